#!/usr/bin/env bash
# Bus submits per second: the release program (offscreen) in front of the
# simulator on 127.0.0.1, on a private session bus, fed by qorvelctl send.
#   - one client: MESSAGES (10000) lines through one `qorvelctl send --window 100`;
#   - ten clients at once, MESSAGES/10 lines each, `--window 10` each;
# with [EMI] Window=WINDOW (100) and MaxSubmitsPerSecond=RATE (0, no limit),
# and the message history on, or off with
# HISTORY=off. Prints each summary, the processor time Qorvel used for
# both, and the simulator's count of accepted submits and duplicates.
# Needs a release build (cmake --preset release; cmake --build build/release,
# or another tree named by BUILD) and dbus (dbus-run-session).
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${BUILD:-$PWD/build/release}
messages=${MESSAGES:-10000}
window=${WINDOW:-100}
history_file=$([[ ${HISTORY:-on} == off ]] && echo "" || echo "messages.db")

if [[ -z ${QORVEL_BUS_SEND_INNER:-} ]]; then
  exec env QORVEL_BUS_SEND_INNER=1 dbus-run-session -- bash "$0" "$@"
fi

source tools/perf/common.sh

perf_start_smsc --counts "$work/counts.json"
cat >"$work/EMI.INI" <<EOF
[EMI]
IP=127.0.0.1
Port=$port
Window=$window
MaxSubmitsPerSecond=${RATE:-0}
LogFile=
[EMI.Connection]
User=1234
Password=dk
[History]
File=$history_file
EOF

QT_QPA_PLATFORM=offscreen "$build/qorvel" "-I:$work/EMI.INI" >"$work/qorvel.log" 2>&1 &
qorvel=$!
pids+=($qorvel)
ctl=$build/tools/qorvelctl
perf_wait_for_bus
"$ctl" connect --wait 10 >/dev/null
# Processor time (user and system, in clock ticks) the program has used.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$qorvel/stat"; }
ticks_before=$(cpu_ticks)

lines() {  # $1 count, $2 tag
  local i
  for ((i = 1; i <= $1; i++)); do echo "0612345678,bus send $2 message $i"; done
}

echo "Window=$window; the simulator on 127.0.0.1; qorvelctl send over one private session bus"
lines "$messages" one >"$work/one.csv"
echo -n "one client, $messages messages, --window 100: "
{ "$ctl" send --window 100 --json "$work/one.csv" || true; } | tail -1

per=$((messages / 10))
for c in $(seq 10); do lines "$per" "client$c" >"$work/c$c.csv"; done
start=$(date +%s%N)
clients=()
for c in $(seq 10); do
  "$ctl" send --window 10 --json "$work/c$c.csv" >"$work/c$c.out" &
  clients+=($!)
done
wait "${clients[@]}" || true
elapsed_ms=$((($(date +%s%N) - start) / 1000000))
tail -qn1 "$work"/c*.out | awk -v ms="$elapsed_ms" -v per="$per" '
  { if (match($0, /"sent":[0-9]+/)) s += substr($0, RSTART + 7, RLENGTH - 7)
    if (match($0, /"failed":[0-9]+/)) f += substr($0, RSTART + 9, RLENGTH - 9) }
  END { printf "ten clients at once, %d messages each, --window 10: sent %d, failed %d, %.2f s, %.1f submits/s in all\n",
               per, s, f, ms / 1000, s * 1000 / ms }'

# The history's last batch is written within 200 ms: count it in.
sleep 0.5
awk -v t="$(($(cpu_ticks) - ticks_before))" -v hz="$(getconf CLK_TCK)" -v n="$((messages * 2))" \
  'BEGIN { printf "Qorvel used %.2f s of processor time, %.0f us a submit\n", t / hz, t / hz / n * 1e6 }'

kill "$smsc"
wait "$smsc" 2>/dev/null || true
echo "simulator: $(cat "$work/counts.json")"
