#!/bin/bash
# Whole-program tests of the neighbourhood when the Avahi daemon misbehaves:
# it restarts under a running Tarvello, or hangs (stopped) while Tarvello
# ends. Hosts tv_a and tv_b on one bridge (10.77.1.1, .2).
source "$(dirname "$0")/lib.sh"

if ! is_root; then
    skip "Avahi faults (needs root for the test hosts)"
    summary
    exit 0
fi

avahi_pid() { # the avahi-daemon of a host
    local p
    for p in $(ip netns pids "$1"); do
        [ "$(cat /proc/$p/comm 2>/dev/null)" = avahi-daemon ] && { echo "$p"; return 0; }
    done
    return 1
}
avahi_restart() { # NS: a new daemon on the same bus, after the old one ended
    local pid
    pid=$(avahi_pid "$1") && kill "$pid"
    wait_for 10 sh -c "! kill -0 $pid 2>/dev/null" || return 1
    avahi_daemon_start "$1"
}
browses() { # NS NAME: the host's Avahi sees NAME's Tarvello
    ip netns exec "$1" env "$(avahi_env "$1")" avahi-browse -tpk _tarvello._tcp 2>/dev/null |
        grep -q "$2"
}

x11_up || { fail "X server with a tray"; summary; exit 1; }
lan_up a b || { fail "two test hosts on one LAN"; summary; exit 1; }
avahi_up tv_a pc-a eth0 stock && avahi_up tv_b pc-b eth0 stock ||
    { fail "Debian's Avahi on pc-a and pc-b"; summary; exit 1; }
for n in a b; do
    mkdir -p "$WORK/$n/config/Tarvello"
    printf '[General]\nListeningPort=1024\nListeningDataPort=33277\n' >"$WORK/$n/config/Tarvello/Tarvello.conf"
done
TV_ENV=("$(avahi_env tv_a)")
start_tarvello a tv_a pc-a
TV_ENV=("$(avahi_env tv_b)")
start_tarvello b tv_b pc-b
check "pc-a listens" wait_for 20 listening_on tv_a 4
check "pc-b sees pc-a's Tarvello" wait_for 10 browses tv_b pc-a
check "pc-a lists pc-b" wait_for 10 lists a "10.77.1.2"

# pc-a's daemon restarts: its Tarvello is announced again, pc-b listed again.
avahi_restart tv_a || fail "pc-a's Avahi restarts"
check "after pc-a's Avahi restarted, pc-b sees pc-a's Tarvello again" wait_for 15 browses tv_b pc-a
check "after pc-a's Avahi restarted, pc-a lists pc-b again" wait_for 15 lists a "10.77.1.2"

# pc-a's daemon hangs: the session's end still ends Tarvello at once.
pid=$(avahi_pid tv_a)
kill -STOP "$pid"
on_exit "kill -CONT $pid"
check_ends_at_once a "pc-a's Avahi daemon hangs"
kill -CONT "$pid"
check "pc-b still runs" alive b

summary
