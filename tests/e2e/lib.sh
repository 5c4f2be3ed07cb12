# Shared helpers of the whole-program tests: an X server with a tray, test
# hosts in network namespaces, starting Tarvello instances, waiting for
# conditions with time limits, and the pass/fail count.
#
# Test traffic goes only to loopback and to the test hosts 10.77.0.1 and
# 10.77.0.2, which exist only inside the namespaces made here.

E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT_DIR=$(cd "$E2E_DIR/../.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT_DIR/build}
TARVELLO=${TARVELLO:-$BUILD_DIR/tarvello}
WORK=${E2E_WORK:-$(mktemp -d /tmp/tarvello-e2e.XXXXXX)}
ARTIFACTS=${E2E_ARTIFACTS:-$BUILD_DIR/e2e-artifacts}
mkdir -p "$WORK/bin" "$ARTIFACTS"

NS_A=tv_a
NS_B=tv_b
IP_A=10.77.0.1
IP_B=10.77.0.2

PASSED=0
FAILED=0
SKIPPED=0
CLEANUPS=()
TV_ENV=()

pass() { echo "PASS: $*"; PASSED=$((PASSED + 1)); }
fail() { # with a picture of the screen when there is one
    echo "FAIL: $*"
    FAILED=$((FAILED + 1))
    [ -n "${DISPLAY:-}" ] && import -window root "$ARTIFACTS/fail-$(basename "$0" .sh)-$FAILED.png" 2>/dev/null
    return 0
}
skip() { echo "SKIP: $*"; SKIPPED=$((SKIPPED + 1)); }
check() { # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}

is_root() { [ "$(id -u)" = 0 ]; }

# need_hosts WHAT: an X server with a tray and the two test hosts, or the
# script ends here: skipped without root, failed when they cannot be made.
need_hosts() {
    if ! is_root; then
        skip "$1 (needs root for the test hosts)"
        summary
        exit 0
    fi
    x11_up || { fail "X server with a tray"; summary; exit 1; }
    netns_up || { fail "test hosts"; summary; exit 1; }
}

on_exit() { CLEANUPS+=("$*"); }
run_cleanups() {
    local i
    for ((i = ${#CLEANUPS[@]} - 1; i >= 0; i--)); do eval "${CLEANUPS[$i]}" >/dev/null 2>&1; done
    CLEANUPS=()
}
trap run_cleanups EXIT

# wait_for TIMEOUT_SECONDS COMMAND...: polls every 50 ms.
wait_for() {
    local timeout=$1
    shift
    local deadline=$(($(date +%s%N) + timeout * 1000000000))
    while ! "$@" 2>/dev/null; do
        [ "$(date +%s%N)" -ge "$deadline" ] && return 1
        sleep 0.05
    done
    return 0
}

ms_since() { echo $((($(date +%s%N) - $1) / 1000000)); }

# --- X server and tray -------------------------------------------------------

x11_up() {
    [ -x "$WORK/bin/selowner" ] || gcc -O2 -o "$WORK/bin/selowner" "$E2E_DIR/selowner.c" -lX11 || return 1
    exec 3>"$WORK/displayfd"
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset >"$WORK/xvfb.log" 2>&1 &
    local xvfb=$!
    exec 3>&-
    on_exit "kill $xvfb"
    wait_for 10 test -s "$WORK/displayfd" || return 1
    export DISPLAY=:$(head -n1 "$WORK/displayfd")
    # Without a window manager tint2 waits 15 s for these.
    xprop -root -f _NET_NUMBER_OF_DESKTOPS 32c -set _NET_NUMBER_OF_DESKTOPS 1
    xprop -root -f _NET_CURRENT_DESKTOP 32c -set _NET_CURRENT_DESKTOP 0
    tint2 -c /etc/xdg/tint2/tint2rc >"$WORK/tint2.log" 2>&1 &
    local tint2=$!
    on_exit "kill $tint2"
    "$WORK/bin/selowner" _NET_SYSTEM_TRAY_S0 20000
}

screenshot() { # screenshot NAME
    import -window root "$ARTIFACTS/$1.png" 2>/dev/null
}

# Titles are compared whole and exactly (xdotool's own patterns are regular
# expressions that do not cope with Cyrillic). Tray icons (22x22, named
# after the program) are not windows in this sense.
window_by_title() {
    local id
    for id in $(xdotool search --onlyvisible --name '' 2>/dev/null); do
        [ "$(xdotool getwindowname "$id" 2>/dev/null)" = "$1" ] || continue
        [ "$(xdotool getwindowgeometry "$id" 2>/dev/null | awk '/Geometry/{print $2}')" = 22x22 ] &&
            continue
        echo "$id"
        return 0
    done
    return 1
}
has_window() { [ -n "$(window_by_title "$1")" ]; }
# The tray icon of a Qt program under tint2 is a 22x22 window of its class.
# With several instances on one display, TRAY_PID picks one of them.
of_instance() { [ -z "${TRAY_PID:-}" ] || [ "$(xdotool getwindowpid "$1" 2>/dev/null)" = "$TRAY_PID" ]; }
tray_icon_window() {
    local id
    for id in $(xdotool search --classname "^tarvello\$" 2>/dev/null); do
        of_instance "$id" || continue
        local geometry
        geometry=$(xdotool getwindowgeometry "$id" 2>/dev/null | awk '/Geometry/{print $2}')
        [ "$geometry" = 22x22 ] && { echo "$id"; return 0; }
    done
    return 1
}
has_tray_icon() { tray_icon_window >/dev/null; }

# --- Test hosts --------------------------------------------------------------

netns_up() {
    ip netns add $NS_A && ip netns add $NS_B || return 1
    on_exit netns_down
    ip link add tv_veth_a type veth peer name tv_veth_b
    ip link set tv_veth_a netns $NS_A
    ip link set tv_veth_b netns $NS_B
    ip -n $NS_A addr add $IP_A/24 dev tv_veth_a
    ip -n $NS_B addr add $IP_B/24 dev tv_veth_b
    local ns
    for ns in $NS_A $NS_B; do
        ip -n $ns link set lo up
        mkdir -p /etc/netns/$ns
        printf '127.0.0.1\tlocalhost\n%s\tpc-a\n%s\tpc-b\n' $IP_A $IP_B >/etc/netns/$ns/hosts
        printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' >/etc/netns/$ns/resolv.conf
    done
    ip -n $NS_A link set tv_veth_a up
    ip -n $NS_B link set tv_veth_b up
    wait_for 10 ip netns exec $NS_A ping -c1 -W1 $IP_B >/dev/null
}

netns_down() {
    local ns p
    for ns in $NS_A $NS_B; do
        for p in $(ip netns pids $ns 2>/dev/null); do kill -9 "$p" 2>/dev/null; done
        ip netns del $ns 2>/dev/null
        rm -rf /etc/netns/$ns
    done
}

# in_host NS|- COMMAND...: runs a command on a test host, or here with "-".
in_host() {
    local ns=$1
    shift
    if [ "$ns" = - ]; then "$@"; else ip netns exec "$ns" "$@"; fi
}

listening_on() { # listening_on NS|- PORT
    in_host "$1" ss -ltnH "sport = :$2" | grep -q LISTEN
}

# --- Tarvello instances -------------------------------------------------------

# pc-a's address book names pc-b "Второй" by its address (see start_pair).
PC_B_USER="Второй* (IP = 10.77.0.2)"

# --- DNS-SD on the test hosts ---------------------------------------------------

# avahi_up NS HOSTNAME IFACE: a private system bus and an avahi-daemon that
# announces the host as a workstation, inside the namespace.
avahi_up() {
    local ns=$1 host=$2 iface=$3
    local d=$WORK/avahi-$ns
    mkdir -p "$d/run" /run/avahi-daemon
    cat >"$d/avahi-daemon.conf" <<CONF
[server]
host-name=$host
domain-name=local
use-ipv4=yes
use-ipv6=no
allow-interfaces=$iface
enable-dbus=yes
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-addresses=yes
publish-workstation=yes
publish-aaaa-on-ipv4=no
CONF
    ip netns exec "$ns" dbus-daemon --config-file=/usr/share/dbus-1/system.conf \
        --address="unix:path=$d/bus" --nopidfile --fork --print-pid >"$d/dbus.pid" || return 1
    on_exit "kill $(cat "$d/dbus.pid")"
    ip netns exec "$ns" env DBUS_SYSTEM_BUS_ADDRESS="unix:path=$d/bus" sh -c '
        mount --bind "$1/run" /run/avahi-daemon &&
        exec avahi-daemon -f "$1/avahi-daemon.conf" --no-drop-root --no-chroot --no-rlimits' \
        sh "$d" >"$d/avahi.log" 2>&1 &
    on_exit "kill $!"
    wait_for 10 grep -q "Server startup complete" "$d/avahi.log"
}

# The environment a program on a test host needs to reach its Avahi.
avahi_env() { echo "DBUS_SYSTEM_BUS_ADDRESS=unix:path=$WORK/avahi-$1/bus"; }

# start_tarvello NAME NS|- HOSTNAME: starts an instance with its own home,
# config and runtime folders under $WORK/NAME and its own copy of the
# program in $WORK/NAME/bin (so AddressBook.xml beside it is its own); sets
# TV_PID_<NAME>. Extra environment: TV_ENV (an array).
start_tarvello() {
    local name=$1 ns=$2 host=$3
    local home=$WORK/$name
    mkdir -p "$home/config" "$home/runtime" "$home/data" "$home/bin"
    chmod 700 "$home/runtime"
    cp "$TARVELLO" "$home/bin/tarvello"
    local env=(env HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/runtime"
        XDG_DATA_HOME="$home/data" LANG=ru_RU.UTF-8 LC_ALL= DISPLAY="$DISPLAY"
        QT_QPA_PLATFORM=xcb QT_STYLE_OVERRIDE=Fusion DBUS_SESSION_BUS_ADDRESS=disabled:
        DBUS_SYSTEM_BUS_ADDRESS=disabled: "${TV_ENV[@]}")
    if [ "$ns" = - ]; then
        "${env[@]}" "$home/bin/tarvello" >"$home/out.log" 2>&1 &
    else
        ip netns exec "$ns" unshare -u sh -c "hostname $host; exec \"\$@\"" sh \
            "${env[@]}" "$home/bin/tarvello" >"$home/out.log" 2>&1 &
    fi
    eval "TV_PID_$name=$!"
    on_exit "kill -9 $! 2>/dev/null"
}

pid_of() { eval "echo \$TV_PID_$1"; }
alive() { kill -0 "$(pid_of "$1")" 2>/dev/null; }

# wait_exit NAME TIMEOUT: waits for the instance to end and sets EXIT_STATUS
# ("timeout" when it did not end). Not for $(...): wait needs the parent.
wait_exit() {
    local pid
    pid=$(pid_of "$1")
    EXIT_STATUS=timeout
    wait_for "$2" sh -c "! kill -0 $pid" || return 1
    wait "$pid"
    EXIT_STATUS=$?
}

summary() {
    echo "$PASSED passed, $FAILED failed, $SKIPPED skipped"
    [ "$FAILED" = 0 ]
}

# --- Windows and the tray menu -----------------------------------------------

# click_in_window TITLE X Y: clicks at a position inside a window; negative
# coordinates count from the right or bottom edge.
click_in_window() {
    local id
    id=$(window_by_title "$1") || return 1
    local geometry w h x=$2 y=$3
    geometry=$(xdotool getwindowgeometry "$id" | awk '/Geometry/{print $2}')
    w=${geometry%x*}
    h=${geometry#*x}
    [ "$x" -lt 0 ] && x=$((w + x))
    [ "$y" -lt 0 ] && y=$((h + y))
    xdotool mousemove --window "$id" "$x" "$y" click 1
}

# The button at the bottom centre of a dialog (the first-start window, a
# notice's OK).
click_bottom_button() { # TITLE OFFSET_FROM_BOTTOM
    local id geometry w
    id=$(window_by_title "$1") || return 1
    geometry=$(xdotool getwindowgeometry "$id" | awk '/Geometry/{print $2}')
    w=${geometry%x*}
    click_in_window "$1" $((w / 2)) "-$2"
}

window_gone() { ! has_window "$1"; }

# The OK button of a message box, at its lower right.
click_notice_ok() { click_in_window "$1" -50 -22; }

# The popup menu of the tray: the largest visible window of the program that
# is not a dialog with a title.
tray_menu_window() {
    local id
    for id in $(xdotool search --onlyvisible --classname "^tarvello\$" 2>/dev/null); do
        of_instance "$id" || continue
        local geometry
        geometry=$(xdotool getwindowgeometry "$id" | awk '/Geometry/{print $2}')
        [ "$geometry" != 22x22 ] && [ "${geometry%x*}" -gt 150 ] && { echo "$id"; return 0; }
    done
    return 1
}

open_tray_menu() {
    local icon
    icon=$(tray_icon_window) || return 1
    xdotool mousemove --window "$icon" 11 11 click 3
    wait_for 5 tray_menu_window >/dev/null
}

# choose_exit: clicks "Выход" in the open tray menu. It is the third item
# from the bottom, above a separator and the two user submenus.
choose_exit() {
    local menu geometry h
    menu=$(tray_menu_window) || return 1
    geometry=$(xdotool getwindowgeometry "$menu" | awk '/Geometry/{print $2}')
    h=${geometry#*x}
    xdotool mousemove --window "$menu" 40 $((h - ${EXIT_ITEM_FROM_BOTTOM:-57})) sleep 0.2 click 1
}

# open_submenu FROM_BOTTOM: opens a user submenu by hovering its item,
# given as a distance from the bottom of the tray menu.
open_submenu() {
    local menu geometry h
    menu=$(tray_menu_window) || return 1
    geometry=$(xdotool getwindowgeometry "$menu" | awk '/Geometry/{print $2}')
    h=${geometry#*x}
    xdotool mousemove --window "$menu" 40 $((h - $1))
}
submenu_window() {
    local id menu
    menu=$(tray_menu_window)
    for id in $(xdotool search --onlyvisible --classname "^tarvello\$" 2>/dev/null); do
        [ "$id" = "$menu" ] && continue
        of_instance "$id" || continue
        local geometry
        geometry=$(xdotool getwindowgeometry "$id" | awk '/Geometry/{print $2}')
        [ "$geometry" != 22x22 ] && { echo "$id"; return 0; }
    done
    return 1
}
submenu_height() {
    local id
    id=$(submenu_window) || return 1
    xdotool getwindowgeometry "$id" | awk '/Geometry/{split($2, g, "x"); print g[2]}'
}

# choose_command Y: the tray menu item at that distance from the menu's top.
choose_command() {
    open_tray_menu || return 1
    xdotool mousemove --window "$(tray_menu_window)" 40 "$1" sleep 0.2 click 1
}

# choose_user ROW: in the open tray menu, opens "Отправить сообщение" and
# clicks the user in the given row (from 0).
choose_user() {
    open_submenu 12 && wait_for 5 submenu_window >/dev/null || return 1
    xdotool mousemove --window "$(submenu_window)" 40 $((11 + 22 * $1)) sleep 0.2 click 1
}

# --- Files between the two hosts ----------------------------------------------------

CHOOSE_FILE="Выберите файл для отправки к $PC_B_USER"
SENDING_FILE="Отправка файла пользователю <$PC_B_USER>"
FILE_OFFER="Информация от Tarvello: <pc-a> посылает Вам файл "
SEND_IMPOSSIBLE="Отправка невозможна:"

# choose_file_to_send PATH: on pc-a, "Отправить файл" to the first user and
# PATH typed into the file dialog; true when the sending window is open.
choose_file_to_send() {
    TRAY_PID=$(pid_of a) open_tray_menu || return 1
    open_submenu 34 # "Отправить файл", above "Отправить сообщение"
    wait_for 5 submenu_window >/dev/null || return 1
    xdotool mousemove --window "$(TRAY_PID=$(pid_of a) submenu_window)" 40 11 sleep 0.2 click 1
    wait_for 10 has_window "$CHOOSE_FILE" || return 1
    sleep 0.5
    xdotool type --delay 10 "$1"
    xdotool key Return
    wait_for 10 has_window "$SENDING_FILE"
}

# press_send: "Отправить", the default button of the sending window.
press_send() {
    sleep 0.3
    xdotool key Return
}

# accept_offer PATH: on pc-b, "Да" on the offer and PATH typed into the save
# dialog.
accept_offer() {
    wait_for 10 has_window "$FILE_OFFER" || return 1
    click_in_window "$FILE_OFFER" -125 -22 # "Да", left of "Нет"
    wait_for 10 has_window "Сохранить как" || return 1
    sleep 0.5
    xdotool type --delay 10 "$1"
    xdotool key Return
}

# --- WinPopup receiver ----------------------------------------------------------

# samba_up NS NETBIOSNAME IFACE: smbd and nmbd on a test host that write
# every WinPopup message into $WORK/inbox-NS, with a Russian DOS character
# set (CP1251), as a Russian Windows computer would read them.
samba_up() {
    local ns=$1 nb=$2 iface=$3
    local d=$WORK/samba-$ns inbox=$WORK/inbox-$ns
    mkdir -p "$d"/{pid,lock,state,cache,private,ncalrpc,log} "$inbox"
    # The message command runs as the guest user: it must reach its script
    # and the inbox.
    chmod 755 "$WORK" "$d"
    chmod 1777 "$inbox"
    cat >"$d/deliver.sh" <<'SH'
#!/bin/sh
# $1: the message file, $2: the inbox; the move makes it appear whole.
cp "$1" "$2/.msg-$$" && mv "$2/.msg-$$" "$2/msg-$(date +%s%N).txt"
rm -f "$1"
SH
    chmod 755 "$d/deliver.sh"
    cat >"$d/smb.conf" <<CONF
[global]
  netbios name = $nb
  workgroup = TARVELLO
  server role = standalone server
  interfaces = $iface
  bind interfaces only = yes
  smb ports = 139 445
  server min protocol = NT1
  disable netbios = no
  dos charset = CP1251
  pid directory = $d/pid
  lock directory = $d/lock
  state directory = $d/state
  cache directory = $d/cache
  private dir = $d/private
  ncalrpc dir = $d/ncalrpc
  log file = $d/log/log.%m
  load printers = no
  printing = bsd
  printcap name = /dev/null
  disable spoolss = yes
  map to guest = Bad User
  message command = $d/deliver.sh %s $inbox &
CONF
    # smbd and nmbd signal their whole process group when they end.
    setsid ip netns exec "$ns" smbd --foreground --no-process-group -s "$d/smb.conf" \
        >"$d/smbd.out" 2>&1 &
    on_exit "kill $!"
    setsid ip netns exec "$ns" nmbd --foreground --no-process-group -s "$d/smb.conf" \
        >"$d/nmbd.out" 2>&1 &
    on_exit "kill $!"
    wait_for 15 listening_on "$ns" 139
}

# --- Sound -------------------------------------------------------------------------

# pulse_up: a private PulseAudio (its process: PULSE_PID) with a null sink
# tv_sink (what programs play into) and tv_mic, a plain source fed by the
# sink's monitor (Qt does not offer monitors as inputs). Programs reach it
# through PULSE_SERVER.
pulse_up() {
    local d=$WORK/pulse
    mkdir -p "$d/runtime"
    chmod 700 "$d/runtime"
    PULSE_SERVER=unix:$d/native
    export PULSE_SERVER
    XDG_RUNTIME_DIR=$d/runtime pulseaudio --daemonize=no -n --exit-idle-time=-1 \
        --disallow-exit=yes --log-target=stderr --log-level=notice \
        --load="module-native-protocol-unix socket=$d/native auth-anonymous=1" \
        --load="module-null-sink sink_name=tv_sink rate=44100 channels=2" \
        --load="module-remap-source master=tv_sink.monitor source_name=tv_mic" \
        --load="module-always-sink" >"$d/pulse.log" 2>&1 &
    PULSE_PID=$!
    on_exit "kill $PULSE_PID"
    wait_for 10 pactl info >/dev/null || return 1
    pactl set-default-sink tv_sink && pactl set-default-source tv_mic || return 1
    # A low-latency reader keeps the idle null sink working in small blocks;
    # without it a new recorder waits up to 2 s for its first byte.
    parecord -d tv_sink.monitor --raw --latency-msec=10 --rate=8000 --channels=1 >/dev/null 2>&1 &
    on_exit "kill $!"
    sleep 2.5 # the sink switches to small blocks after its current one
}

# --- Two hosts with Tarvello ---------------------------------------------------------

# configure NAME [LINE...]: default settings for an instance, plus the given
# lines of its settings file.
configure() {
    local name=$1
    shift
    mkdir -p "$WORK/$name/config/Tarvello" "$WORK/$name/bin"
    printf '[General]\nListeningPort=1024\nListeningDataPort=33277\n' \
        >"$WORK/$name/config/Tarvello/Tarvello.conf"
    local line
    for line in "$@"; do echo "$line" >>"$WORK/$name/config/Tarvello/Tarvello.conf"; done
}

# start_pair: Tarvello on pc-a and pc-b (configured before, or with the
# defaults); pc-a's address book names pc-b "Второй" by its address, so its
# menus list exactly "Второй* (IP = 10.77.0.2)". False unless both listen.
start_pair() {
    [ -f "$WORK/a/config/Tarvello/Tarvello.conf" ] || configure a
    [ -f "$WORK/b/config/Tarvello/Tarvello.conf" ] || configure b
    printf '<Phonebook><Item Address="%s" Type="1">Второй</Item></Phonebook>' $IP_B \
        >"$WORK/a/bin/AddressBook.xml"
    start_tarvello b $NS_B pc-b
    start_tarvello a $NS_A pc-a
    wait_for 15 listening_on $NS_B 4 && wait_for 15 listening_on $NS_B 64897 &&
        wait_for 15 listening_on $NS_A 4
}
