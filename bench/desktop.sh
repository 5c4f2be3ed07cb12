#!/bin/bash
# The figures that need a desktop: start-up until both ports listen, and CPU
# time and wake-ups over 60 idle seconds against a bare Qt tray program, on
# an Xvfb display with a tray, on a test host (network namespace). Needs
# root; prints the figures and exits 1 when a target is missed.
#   bench/desktop.sh [IDLE_SECONDS]
source "$(dirname "$0")/../tests/e2e/lib.sh"
IDLE=${1:-60}
RUNS=5
BARE=${BARE:-$BUILD_DIR/bench/bench_baretray}

is_root || { echo "bench/desktop.sh needs root (network namespaces)"; exit 1; }
x11_up || { echo "no X server with a tray"; exit 1; }
netns_up || { echo "no test hosts"; exit 1; }

# The moment (ns since the epoch) both ports listen on pc-a: read from the
# host's socket table every millisecond, without connecting to them.
both_listening_at() {
    ip netns exec $NS_A python3 -c '
import time
while True:
    with open("/proc/net/tcp") as f:
        ports = {l.split()[1].split(":")[1] for l in f.readlines()[1:] if l.split()[3] == "0A"}
    if "0004" in ports and "FD81" in ports:
        print(time.time_ns())
        break
    time.sleep(0.001)'
}

# CPU ticks (user + system) and context switches (all threads) of a process.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
switches() {
    cat /proc/"$1"/task/*/status 2>/dev/null |
        awk '/^(non)?voluntary_ctxt_switches/{n += $2} END{print n}'
}
# idle PID NAME: ticks and wake-ups over $IDLE seconds.
idle() {
    local pid=$1 t0 s0 t1 s1
    sleep 5 # settle
    t0=$(cpu_ticks "$pid")
    s0=$(switches "$pid")
    sleep "$IDLE"
    t1=$(cpu_ticks "$pid")
    s1=$(switches "$pid")
    IDLE_TICKS=$((t1 - t0))
    IDLE_WAKEUPS=$((s1 - s0))
    printf '  %-22s %3d CPU ticks (of %d), %5d wake-ups (%.2f/s), %2d threads, RSS %s kB\n' "$2" \
        "$IDLE_TICKS" $((IDLE * $(getconf CLK_TCK))) "$IDLE_WAKEUPS" \
        "$(awk "BEGIN{print $IDLE_WAKEUPS / $IDLE}")" "$(ls /proc/"$pid"/task | wc -l)" \
        "$(awk '/VmRSS/{print $2}' /proc/"$pid"/status)"
}

echo "start-up to both ports listening ($RUNS runs)"
configure a
times=()
for ((i = 0; i < RUNS; i++)); do
    both_listening_at >"$WORK/listening" &
    probe=$!
    sleep 0.3 # the probe runs
    t0=$(date +%s%N)
    start_tarvello a $NS_A pc-a
    wait $probe
    times+=($((($(cat "$WORK/listening") - t0) / 1000000)))
    [ $i = $((RUNS - 1)) ] || { kill "$(pid_of a)"; wait "$(pid_of a)" 2>/dev/null; }
done
sorted=$(printf '%s\n' "${times[@]}" | sort -n)
median=$(echo "$sorted" | sed -n "$((RUNS / 2 + 1))p")
echo "  runs: ${times[*]} ms; median $median ms"
status=0
[ "$median" -lt 1000 ] || { echo "  target (under 1000 ms): MISSED"; status=1; }

echo "idle for $IDLE s"
idle "$(pid_of a)" Tarvello
program_ticks=$IDLE_TICKS
program_wakeups=$IDLE_WAKEUPS
ip netns exec $NS_A env DISPLAY="$DISPLAY" QT_QPA_PLATFORM=xcb "$BARE" >/dev/null 2>&1 &
bare=$!
on_exit "kill $bare"
idle $bare "bare Qt tray program"
echo "  Tarvello minus the bare tray: $((program_ticks - IDLE_TICKS)) ticks," \
    "$((program_wakeups - IDLE_WAKEUPS)) wake-ups"
# An idle program does nothing it was not asked to: at most one tick and one
# wake-up a second more than the bare tray.
if [ $((program_ticks - IDLE_TICKS)) -gt 1 ] || [ $((program_wakeups - IDLE_WAKEUPS)) -gt "$IDLE" ]; then
    echo "  target (idle like the bare tray): MISSED"
    status=1
fi
exit $status
