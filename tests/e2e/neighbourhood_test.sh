#!/bin/bash
# Whole-program tests of the neighbourhood on a LAN as Debian and Windows
# ship it: pc-a and pc-b run Debian's avahi-daemon with its own
# configuration file (it announces no workstation) and Tarvello; pc-c is a
# Windows computer as the network sees one (Debian's wsdd, no Avahi) that
# listens on the message port. Colleagues appear and leave by themselves.
source "$(dirname "$0")/lib.sh"

if ! is_root; then
    skip "the neighbourhood (needs root for the test hosts)"
    summary
    exit 0
fi
command -v wsdd >/dev/null || { skip "the neighbourhood: wsdd is not installed"; summary; exit 0; }
x11_up || { fail "X server with a tray"; summary; exit 1; }
lan_up a b c || { fail "three test hosts on one LAN"; summary; exit 1; }
avahi_up tv_a pc-a eth0 stock && avahi_up tv_b pc-b eth0 stock ||
    { fail "Debian's Avahi on pc-a and pc-b"; summary; exit 1; }
check "Avahi's configuration is Debian's own: no workstation announced" \
    grep -qx "publish-workstation=no" "$WORK/avahi-tv_a/avahi-daemon.conf"

# pc-c: wsdd answers WS-Discovery as Windows does; a listener on TCP 4
# keeps what arrives.
ip netns exec tv_c wsdd -i eth0 -n PC-C >"$WORK/wsdd.log" 2>&1 &
on_exit "kill $!"
ip netns exec tv_c python3 -c '
import socket, sys
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("0.0.0.0", 4)); s.listen(5)
c, _ = s.accept(); data = b""
while True:
    b = c.recv(65536)
    if not b: break
    data += b
open(sys.argv[1], "wb").write(data)' "$WORK/pc-c-received" &
on_exit "kill $!"

mkdir -p "$WORK/a/config/Tarvello" "$WORK/a/bin" "$WORK/b/config/Tarvello"
for n in a b; do
    printf '[General]\nListeningPort=1024\nListeningDataPort=33277\n' >"$WORK/$n/config/Tarvello/Tarvello.conf"
done
cat >"$WORK/a/bin/AddressBook.xml" <<'XML'
<Phonebook><Item Address="PC-C" Type="2">Бухгалтерия</Item></Phonebook>
XML

PC_B_LINE=$(printf 'PC-B, IP = 10.77.1.2\t10.77.1.2\tDNS-SD (Tarvello)')
PC_A_LINE=$(printf 'PC-A, IP = 10.77.1.1\t10.77.1.1\tDNS-SD (Tarvello)')
PC_C_LINE=$(printf 'Бухгалтерия (PC-C, IP = 10.77.1.3)\t10.77.1.3\tадресная книга, WS-Discovery')

TV_ENV=("$(avahi_env tv_a)")
start_tarvello a tv_a pc-a
check "pc-a listens" wait_for 20 listening_on tv_a 4
check "pc-a lists the Windows computer by its WS-Discovery name, the book's entry no longer absent" \
    wait_for 10 lists a "$PC_C_LINE"

TV_ENV=("$(avahi_env tv_b)")
t0=$(date +%s%N)
start_tarvello b tv_b pc-b
if wait_for 5 lists a "$PC_B_LINE"; then
    pass "pc-a lists pc-b without a refresh, $(ms_since "$t0") ms after pc-b's start"
else
    fail "pc-a lists pc-b within 5 s of its start (got: $(cat "$WORK/users-a"))"
fi
check "pc-b lists pc-a within 5 s of its start" wait_for 5 lists b "$PC_A_LINE"
check "avahi-browse on pc-a sees pc-b's Tarvello" sh -c \
    "ip netns exec tv_a env $(avahi_env tv_a) avahi-browse -tpk _tarvello._tcp | grep -q 'pc-b'"
check "the answer says whose list it is" grep -q "Список запущенного Tarvello" "$WORK/users-b.err"

# A script sends to the Windows computer by the name the neighbourhood gave.
ip netns exec tv_a unshare -u sh -c 'hostname pc-a; exec "$@"' sh env -u DISPLAY HOME="$WORK/a" \
    XDG_CONFIG_HOME="$WORK/a/config" XDG_RUNTIME_DIR="$WORK/a/runtime" LANG=ru_RU.UTF-8 LC_ALL= \
    TARVELLO_NEIGHBOURHOOD=on "$WORK/a/bin/tarvello" send PC-C "Отчёт готов" >"$WORK/send.out" 2>&1
status=$?
check "\"tarvello send PC-C\" is delivered (status $status: $(cat "$WORK/send.out"))" [ "$status" = 0 ]
expected=$(printf 'Сообщение от pc-a:\r\nОтчёт готов' | iconv -f UTF-8 -t CP1251 | od -An -tx1)
check "PC-C received the header and text" \
    wait_for 5 sh -c "[ \"\$(od -An -tx1 '$WORK/pc-c-received')\" = \"$expected\" ]"

# The menu lists computers found each way.
TRAY_PID=$(pid_of a)
if open_tray_menu; then
    open_submenu 12
    wait_for 5 submenu_window >/dev/null && screenshot neighbourhood-menu
    xdotool key Escape Escape
fi
unset TRAY_PID

# pc-b's program ends: pc-a's list lets it go.
t0=$(date +%s%N)
kill -TERM "$(pid_of b)"
if wait_for 5 lacks a "PC-B"; then
    pass "pc-b leaves pc-a's list $(ms_since "$t0") ms after its program ended"
else
    fail "pc-b leaves pc-a's list within 5 s of its end"
fi
wait_exit b 10

# Computers whose link goes down without a goodbye leave within 3 minutes.
start_tarvello b tv_b pc-b
check "pc-b is listed again" wait_for 10 lists a "$PC_B_LINE"
t0=$(date +%s%N)
ip -n tv_lan link set tv_pb down
ip -n tv_lan link set tv_pc down
gone_b= gone_c=
deadline=$(($(date +%s) + 200))
while [ "$(date +%s)" -lt "$deadline" ] && { [ -z "$gone_b" ] || [ -z "$gone_c" ]; }; do
    users a
    [ -z "$gone_b" ] && ! grep -q "PC-B" "$WORK/users-a" && gone_b=$(ms_since "$t0")
    [ -z "$gone_c" ] && ! grep -q "IP = 10.77.1.3" "$WORK/users-a" && gone_c=$(ms_since "$t0")
    sleep 1
done
check "pc-b (DNS-SD) leaves within 3 minutes of its link going down (${gone_b:-never} ms)" \
    [ "${gone_b:-999999}" -lt 180000 ]
check "PC-C (WS-Discovery) leaves within 3 minutes (${gone_c:-never} ms)" \
    [ "${gone_c:-999999}" -lt 180000 ]
check "the book's entry for PC-C is absent again" \
    grep -qF "Бухгалтерия (PC-C, отсутствует в сети)" "$WORK/users-a"
check "pc-a still runs" alive a

summary
