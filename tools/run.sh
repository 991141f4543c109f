#!/usr/bin/env bash
# The demo: builds the release program, starts the bundled SMSC simulator on
# 127.0.0.1, writes a demo EMI.INI of its own and opens the window on it.
# Closing the window ends the simulator. A second run reuses the build.
# On a fresh Debian 12 machine run it as root (or with sudo at hand) the first
# time, so that the missing packages can be installed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

source tools/packages.sh
needed=("${qorvel_build_packages[@]}")
[[ -n "${DISPLAY:-}" ]] || needed+=(xvfb)
qorvel_install_missing "${needed[@]}"

build=$root/build/release
[[ -f $build/build.ninja ]] || cmake --preset release >/dev/null
cmake --build "$build" --target qorvel smsc_sim -j2

# The demo's own folder: never the user's EMI.INI.
state=${XDG_STATE_HOME:-$HOME/.local/state}/qorvel-demo
mkdir -p "$state"
ini=$state/EMI.INI
traffic=$state/traffic.log
smsc_log=$state/smsc.log

account=1234
password=demo
number=0612345678
message="Hello from Qorvel"

pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Starts the simulator with the given interval of messages from mobiles and
# sets $port once it listens; fails when it stops first.
start_smsc() {
  : >"$smsc_log"
  "$build/tools/smsc_sim" --bind 127.0.0.1 --port 0 --account "$account" --password "$password" \
    --deliver-every "$1" >>"$smsc_log" 2>&1 &
  local pid=$! i
  for i in $(seq 50); do
    if port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$smsc_log") && [[ -n $port ]]; then
      pids+=("$pid")
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  kill "$pid" 2>/dev/null || true
  return 1
}
# A message from a mobile every 20 to 30 seconds.
if ! start_smsc 20-30; then
  echo "the SMSC simulator did not start; see $smsc_log" >&2
  exit 1
fi

# The stored password: reversed, then every letter and digit mirrored in its range.
scrambled=$(printf '%s' "$password" | rev |
  tr 'a-zA-Z0-9' 'zyxwvutsrqponmlkjihgfedcbaZYXWVUTSRQPONMLKJIHGFEDCBA9876543210')
message_hex=$(printf '%s' "$message" | od -An -tx1 | tr -d ' \n' | tr 'a-f' 'A-F')

umask 077
cat >"$ini" <<EOF
[EMI]
IP=127.0.0.1
Port=$port
ReconnectTimeout=10
LogFile=$traffic
Phone.Number=$number
Message=$message_hex
Notification.Delivered=1
[EMI.Connection]
User=$account
Password=$scrambled
EOF

if [[ -z "${DISPLAY:-}" ]]; then
  displayfd=$state/display
  : >"$displayfd"
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$displayfd" >"$state/xvfb.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do [[ -s $displayfd ]] && break; sleep 0.1; done
  [[ -s $displayfd ]] || { echo "Xvfb did not start; see $state/xvfb.log" >&2; exit 1; }
  export DISPLAY=:$(tr -d '\n' <"$displayfd")
  echo "No display: the window runs under Xvfb on $DISPLAY; the traffic goes to $traffic"
fi

echo "SMSC simulator on 127.0.0.1:$port (account $account), its trace in $smsc_log"
echo "Settings: $ini. Click Connect, then Transmit; close the window to end the demo."
"$build/qorvel" "-I:$ini"
