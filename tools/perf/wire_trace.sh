#!/usr/bin/env bash
# The wire at default settings, for comparing two builds of the program:
#   tools/perf/wire_trace.sh [PROGRAM] > trace.txt
# Runs PROGRAM (default build/release/qorvel; offscreen, private session bus)
# against this tree's simulator on 127.0.0.1, connects, sends COUNT (10)
# identical submits from as many qorvelctl calls at once, and disconnects.
# Prints every frame the simulator read or wrote, in order, with the
# milliseconds since the previous frame; the SMSC's time stamps and the
# checksums that cover them are masked, so that two runs compare with diff.
# The last line gives the median and the largest gap between a submit's
# answer and the next submit.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$PWD/build/release
program=${1:-$build/qorvel}
count=${COUNT:-10}

if [[ -z ${QORVEL_WIRE_TRACE_INNER:-} ]]; then
  exec env QORVEL_WIRE_TRACE_INNER=1 dbus-run-session -- bash "$0" "$@"
fi

source tools/perf/common.sh

perf_start_smsc
cat >"$work/EMI.INI" <<EOF
[EMI]
IP=127.0.0.1
Port=$port
LogFile=
[EMI.Connection]
User=1234
Password=dk
EOF

QT_QPA_PLATFORM=offscreen "$program" "-I:$work/EMI.INI" >"$work/qorvel.log" 2>&1 &
pids+=($!)
ctl=$build/tools/qorvelctl
perf_wait_for_bus
"$ctl" connect >/dev/null
senders=()
for _ in $(seq "$count"); do
  "$ctl" submit 0612345678 "wire trace" >/dev/null &
  senders+=($!)
done
wait "${senders[@]}"
sleep 1
"$ctl" disconnect >/dev/null

# hh:mm:ss.mmm <-|-> frame
awk '$2 == "<-" || $2 == "->" {
  split($1, t, ":"); ms = (t[1] * 3600 + t[2] * 60 + t[3]) * 1000
  frame = $0; sub(/^[^ ]+ [^ ]+ /, "", frame)
  gsub(/[0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9]/, "<SCTS>", frame)
  if (frame ~ /<SCTS>/) sub(/\/[0-9A-F][0-9A-F]<ETX>/, "/<CS><ETX>", frame)
  gap = (n++ ? ms - last : 0); last = ms
  printf "%5d %s %s\n", gap, $2, frame
  if ($2 == "<-" && frame ~ /\/O\/51\//) { if (answered) gaps[m++] = ms - answered }
  if ($2 == "->" && frame ~ /\/R\/51\//) answered = ms
}
END {
  if (m == 0) exit
  for (i = 0; i < m; i++) for (j = i + 1; j < m; j++) if (gaps[j] < gaps[i]) { x = gaps[i]; gaps[i] = gaps[j]; gaps[j] = x }
  printf "answer to next submit: median %d ms, largest %d ms (%d gaps)\n", gaps[int((m - 1) / 2)], gaps[m - 1], m
}' "$work/smsc.log"
