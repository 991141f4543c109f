#!/usr/bin/env bash
# Figures of the release program on a private Xvfb display against the
# simulator on 127.0.0.1: start to window shown, idle CPU and memory with a
# session open, and the delivery latency (tools/delivery_latency).
# Needs a release build (cmake --preset release; cmake --build build/release)
# and xvfb and xdotool.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$PWD/build/release
idle_seconds=${IDLE_SECONDS:-60}
starts=${STARTS:-5}
source tools/perf/common.sh

Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do [[ -s $work/display ]] && break; sleep 0.1; done
export DISPLAY=:$(tr -d '\n' <"$work/display")

perf_start_smsc
cat >"$work/EMI.INI" <<EOF
[EMI]
IP=127.0.0.1
Port=$port
LogFile=$work/traffic.log
[EMI.Connection]
User=1234
Password=dk
EOF

now_ms() { echo $(($(date +%s%N) / 1000000)); }
window_of() { xdotool search --onlyvisible --pid "$1" --name 'Qorvel' 2>/dev/null | head -1; }

# Start to window shown.
times=()
for _ in $(seq "$starts"); do
  t0=$(now_ms)
  "$build/qorvel" "-I:$work/EMI.INI" >/dev/null 2>&1 &
  pid=$!
  while [[ -z $(window_of "$pid") ]]; do :; done
  times+=($(($(now_ms) - t0)))
  kill "$pid"
  wait "$pid" 2>/dev/null || true
done
sorted=($(printf '%s\n' "${times[@]}" | sort -n))
echo "start to window shown: median ${sorted[$((starts / 2))]} ms, worst ${sorted[-1]} ms (${times[*]})"

# Idle with a session open.
"$build/qorvel" "-I:$work/EMI.INI" >/dev/null 2>&1 &
pid=$!
pids+=($pid)
until window=$(window_of "$pid") && [[ -n $window ]]; do sleep 0.05; done
xdotool windowfocus --sync "$window" key alt+c
for _ in $(seq 50); do grep -q "/60/" "$work/smsc.log" && break; sleep 0.1; done
grep -q '/60/' "$work/smsc.log" || { echo "no login reached the simulator" >&2; exit 1; }
sleep 2
cpu() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
c0=$(cpu)
sleep "$idle_seconds"
c1=$(cpu)
hz=$(getconf CLK_TCK)
rss=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
awk -v d=$((c1 - c0)) -v hz="$hz" -v s="$idle_seconds" -v r="$rss" 'BEGIN {
  printf "idle %d s with a session open: CPU %.3f %% of one core (%.2f s), RSS %.1f MB\n",
         s, 100 * d / hz / s, d / hz, r / 1024 }'

"$build/tools/delivery_latency" 100 2>/dev/null
