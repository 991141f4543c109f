# Sourced by the figures scripts: a scratch folder and the processes they
# start, both gone at exit, and the simulator on a free port of 127.0.0.1.
# Expects $build (a release build tree).

work=$(mktemp -d)
pids=()
perf_cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap perf_cleanup EXIT

# Starts smsc_sim (account 1234, password pw) with any further options given,
# its trace in $work/smsc.log; sets $smsc to its pid and $port to its port.
perf_start_smsc() {
  "$build/tools/smsc_sim" --port 0 --account 1234 --password pw "$@" >"$work/smsc.log" 2>&1 &
  smsc=$!
  pids+=($smsc)
  for _ in $(seq 50); do grep -q 'listening on' "$work/smsc.log" && break; sleep 0.1; done
  port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/smsc.log")
}

# Waits until Qorvel answers on the bus.
perf_wait_for_bus() {
  for _ in $(seq 100); do "$build/tools/qorvelctl" status >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}
