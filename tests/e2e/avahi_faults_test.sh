#!/bin/bash
# Whole-program tests of the neighbourhood when the Avahi daemon misbehaves:
# it restarts under a running Tarvello, or hangs (stopped) while Tarvello
# ends. Hosts in the namespaces ak_lan, ak_a and ak_b (10.78.2.1, .2).
source "$(dirname "$0")/lib.sh"

if ! is_root; then
    skip "Avahi faults (needs root for the test hosts)"
    summary
    exit 0
fi

ak_lan_up() {
    ip netns add ak_lan || return 1
    on_exit "ip netns del ak_lan"
    ip -n ak_lan link add br0 type bridge mcast_snooping 0 && ip -n ak_lan link set br0 up || return 1
    local i=0 name
    for name in "$@"; do
        i=$((i + 1))
        ip netns add "ak_$name" || return 1
        on_exit "for p in \$(ip netns pids ak_$name); do kill -9 \$p; done; ip netns del ak_$name; rm -rf /etc/netns/ak_$name"
        ip link add eth0 netns "ak_$name" type veth peer name "ak_p$name" netns ak_lan
        ip -n ak_lan link set "ak_p$name" master br0 up
        ip -n "ak_$name" addr add "10.78.2.$i/24" dev eth0
        ip -n "ak_$name" link set lo up
        ip -n "ak_$name" link set eth0 up
        mkdir -p "/etc/netns/ak_$name"
        printf '127.0.0.1\tlocalhost\n' >"/etc/netns/ak_$name/hosts"
        printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' >"/etc/netns/ak_$name/resolv.conf"
    done
    wait_for 10 ip netns exec "ak_$1" ping -c1 -W1 "10.78.2.$i" >/dev/null
}
avahi_pid() { # the avahi-daemon of a host
    local p
    for p in $(ip netns pids "$1"); do
        [ "$(cat /proc/$p/comm 2>/dev/null)" = avahi-daemon ] && { echo "$p"; return 0; }
    done
    return 1
}
avahi_restart() { # NS HOST: a new daemon on the same bus, after the old one ended
    local d=$WORK/avahi-$1 pid
    pid=$(avahi_pid "$1") && kill "$pid"
    wait_for 10 sh -c "! kill -0 $pid 2>/dev/null" || return 1
    : >"$d/avahi.log"
    ip netns exec "$1" env DBUS_SYSTEM_BUS_ADDRESS="unix:path=$d/bus" sh -c '
        mount --bind "$1/run" /run/avahi-daemon &&
        exec avahi-daemon -f "$1/avahi-daemon.conf" --no-drop-root --no-chroot --no-rlimits' \
        sh "$d" >"$d/avahi.log" 2>&1 &
    on_exit "kill $!"
    wait_for 10 grep -q "Server startup complete" "$d/avahi.log"
}
browses() { # NS NAME: the host's Avahi sees NAME's Tarvello
    ip netns exec "$1" env "$(avahi_env "$1")" avahi-browse -tpk _tarvello._tcp 2>/dev/null |
        grep -q "$2"
}
users() {
    ip netns exec "ak_$1" env -u DISPLAY HOME="$WORK/$1" XDG_CONFIG_HOME="$WORK/$1/config" \
        XDG_RUNTIME_DIR="$WORK/$1/runtime" LANG=ru_RU.UTF-8 LC_ALL= TARVELLO_NEIGHBOURHOOD=on \
        "$WORK/$1/bin/tarvello" users >"$WORK/users-$1" 2>"$WORK/users-$1.err"
}
lists() { users "$1" && grep -qF "$2" "$WORK/users-$1"; }

x11_up || { fail "X server with a tray"; summary; exit 1; }
ak_lan_up a b || { fail "two test hosts on one LAN"; summary; exit 1; }
avahi_up ak_a pc-a eth0 stock && avahi_up ak_b pc-b eth0 stock ||
    { fail "Debian's Avahi on pc-a and pc-b"; summary; exit 1; }
for n in a b; do
    mkdir -p "$WORK/$n/config/Tarvello"
    printf '[General]\nListeningPort=1024\nListeningDataPort=33277\n' >"$WORK/$n/config/Tarvello/Tarvello.conf"
done
TV_ENV=("$(avahi_env ak_a)")
start_tarvello a ak_a pc-a
TV_ENV=("$(avahi_env ak_b)")
start_tarvello b ak_b pc-b
check "pc-a listens" wait_for 20 listening_on ak_a 4
check "pc-b sees pc-a's Tarvello" wait_for 10 browses ak_b pc-a
check "pc-a lists pc-b" wait_for 10 lists a "10.78.2.2"

# pc-a's daemon restarts: its Tarvello is announced again, pc-b listed again.
avahi_restart ak_a pc-a || fail "pc-a's Avahi restarts"
check "after pc-a's Avahi restarted, pc-b sees pc-a's Tarvello again" wait_for 15 browses ak_b pc-a
check "after pc-a's Avahi restarted, pc-a lists pc-b again" wait_for 15 lists a "10.78.2.2"

# pc-a's daemon hangs: the session's end still ends Tarvello at once.
pid=$(avahi_pid ak_a)
kill -STOP "$pid"
on_exit "kill -CONT $pid"
check_ends_at_once a "pc-a's Avahi daemon hangs"
kill -CONT "$pid"
check "pc-b still runs" alive b

summary
