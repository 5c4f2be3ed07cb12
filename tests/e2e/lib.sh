# Shared helpers of the whole-program tests: an X server with a tray (tint2,
# or xfce4-panel's StatusNotifier tray on a private session bus), test hosts
# in network namespaces, starting Tarvello instances, waiting for conditions
# with time limits, and the pass/fail count.
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

# Programs started outside a test host send no discovery traffic to the
# machine's real network; those on test hosts turn it on (start_tarvello).
export TARVELLO_NEIGHBOURHOOD=off

PASSED=0
FAILED=0
SKIPPED=0
CLEANUPS=()
TV_ENV=()
# A command prefix that runs a program as the session's user (see
# wl_session_up), and that user as owner for chown; empty: as ourselves.
RUN_AS=()
RUN_AS_OWNER=

pass() { echo "PASS: $*"; PASSED=$((PASSED + 1)); }
fail() { # with a picture of the screen when there is one
    echo "FAIL: $*"
    FAILED=$((FAILED + 1))
    [ -n "${DISPLAY:-}${WL_ENV[*]:-}" ] && screenshot "fail-$(basename "$0" .sh)-$FAILED"
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

# not_within TIMEOUT_SECONDS COMMAND...: the command does not come true in
# that time (polled as wait_for does).
not_within() { ! wait_for "$@"; }

ms_since() { echo $((($(date +%s%N) - $1) / 1000000)); }

# --- X server and tray -------------------------------------------------------

# x11_server_up: an X server alone, with no tray (sets DISPLAY).
x11_server_up() {
    exec 3>"$WORK/displayfd"
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset >"$WORK/xvfb.log" 2>&1 &
    local xvfb=$!
    exec 3>&-
    on_exit "kill $xvfb"
    wait_for 10 test -s "$WORK/displayfd" || return 1
    export DISPLAY=:$(head -n1 "$WORK/displayfd")
}

# x11_tray_up: tint2, an XEmbed tray, on the X server.
x11_tray_up() {
    [ -x "$WORK/bin/selowner" ] || gcc -O2 -o "$WORK/bin/selowner" "$E2E_DIR/selowner.c" -lX11 || return 1
    # Without a window manager tint2 waits 15 s for these.
    xprop -root -f _NET_NUMBER_OF_DESKTOPS 32c -set _NET_NUMBER_OF_DESKTOPS 1
    xprop -root -f _NET_CURRENT_DESKTOP 32c -set _NET_CURRENT_DESKTOP 0
    tint2 -c /etc/xdg/tint2/tint2rc >"$WORK/tint2.log" 2>&1 &
    local tint2=$!
    on_exit "kill $tint2"
    "$WORK/bin/selowner" _NET_SYSTEM_TRAY_S0 20000
}

# x11_up: an X server with tint2's tray.
x11_up() { x11_server_up && x11_tray_up; }

screenshot() { # screenshot NAME: of the X server, or of the Wayland session
    if [ -n "${WL_ENV[*]:-}" ]; then
        wl_run grim - >"$ARTIFACTS/$1.png" 2>/dev/null
    else
        import -window root "$ARTIFACTS/$1.png" 2>/dev/null
    fi
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

# avahi_up NS HOSTNAME IFACE [stock]: a private system bus and an
# avahi-daemon inside the namespace that announces the host as a
# workstation; with "stock", Debian's own configuration file as the package
# installs it (publish-workstation=no), changed only where a test host needs
# it (its interface and host name).
avahi_up() {
    local ns=$1 host=$2 iface=$3
    local d=$WORK/avahi-$ns
    mkdir -p "$d/run" /run/avahi-daemon
    if [ "${4:-}" = stock ]; then
        sed -e "s/^#\?host-name=.*/host-name=$host/" \
            -e "s/^#\?allow-interfaces=.*/allow-interfaces=$iface/" \
            /etc/avahi/avahi-daemon.conf >"$d/avahi-daemon.conf"
    else
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
    fi
    ip netns exec "$ns" dbus-daemon --config-file=/usr/share/dbus-1/system.conf \
        --address="unix:path=$d/bus" --nopidfile --fork --print-pid >"$d/dbus.pid" || return 1
    on_exit "kill $(cat "$d/dbus.pid")"
    avahi_daemon_start "$ns"
}

# avahi_daemon_start NS: the host's avahi-daemon on its bus, with its
# configuration (avahi_up); true once it has started.
avahi_daemon_start() {
    local d=$WORK/avahi-$1
    : >"$d/avahi.log"
    ip netns exec "$1" env DBUS_SYSTEM_BUS_ADDRESS="unix:path=$d/bus" sh -c '
        mount --bind "$1/run" /run/avahi-daemon &&
        exec avahi-daemon -f "$1/avahi-daemon.conf" --no-drop-root --no-chroot --no-rlimits' \
        sh "$d" >"$d/avahi.log" 2>&1 &
    on_exit "kill $!"
    wait_for 10 grep -q "Server startup complete" "$d/avahi.log"
}

# The environment a program on a test host needs to reach its Avahi.
avahi_env() { echo "DBUS_SYSTEM_BUS_ADDRESS=unix:path=$WORK/avahi-$1/bus"; }

# users NAME: the user list that NAME's running program on the test host
# tv_NAME holds, asked as a script would (tarvello users); the lines in
# $WORK/users-NAME, what it said besides in $WORK/users-NAME.err.
users() {
    ip netns exec "tv_$1" env -u DISPLAY HOME="$WORK/$1" XDG_CONFIG_HOME="$WORK/$1/config" \
        XDG_RUNTIME_DIR="$WORK/$1/runtime" LANG=ru_RU.UTF-8 LC_ALL= TARVELLO_NEIGHBOURHOOD=on \
        "$WORK/$1/bin/tarvello" users >"$WORK/users-$1" 2>"$WORK/users-$1.err"
}
lists() { users "$1" && grep -qF "$2" "$WORK/users-$1"; }
lacks() { users "$1" && ! grep -qF "$2" "$WORK/users-$1"; }

# lan_up NAME...: one test host per name on a bridge (like an unmanaged
# switch: multicast flows), 10.77.1.1, .2, ... in the order given; host
# namespace tv_NAME, interface eth0, the bridge's port tv_pNAME in the
# namespace tv_lan. The hosts file knows no names: the neighbourhood must.
lan_up() {
    ip netns add tv_lan || return 1
    on_exit "ip netns del tv_lan"
    ip -n tv_lan link add br0 type bridge mcast_snooping 0 && ip -n tv_lan link set br0 up || return 1
    local i=0 name
    for name in "$@"; do
        i=$((i + 1))
        ip netns add "tv_$name" || return 1
        on_exit "for p in \$(ip netns pids tv_$name); do kill -9 \$p; done; ip netns del tv_$name; rm -rf /etc/netns/tv_$name"
        ip link add eth0 netns "tv_$name" type veth peer name "tv_p$name" netns tv_lan
        ip -n tv_lan link set "tv_p$name" master br0 up
        ip -n "tv_$name" addr add "10.77.1.$i/24" dev eth0
        ip -n "tv_$name" link set lo up
        ip -n "tv_$name" link set eth0 up
        mkdir -p "/etc/netns/tv_$name"
        printf '127.0.0.1\tlocalhost\n' >"/etc/netns/tv_$name/hosts"
        printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' >"/etc/netns/tv_$name/resolv.conf"
    done
    wait_for 10 ip netns exec "tv_$1" ping -c1 -W1 "10.77.1.$i" >/dev/null
}

# start_tarvello NAME NS|- HOSTNAME: starts an instance with its own home,
# config and runtime folders under $WORK/NAME and its own copy of the
# program in $WORK/NAME/bin (so AddressBook.xml beside it is its own); sets
# TV_PID_<NAME>. Extra environment: TV_ENV (an array). The instance has no
# session bus (so no StatusNotifier tray) unless TV_SESSION_BUS gives one's
# address (see sni_bus_up).
start_tarvello() {
    local name=$1 ns=$2 host=$3
    local home=$WORK/$name
    mkdir -p "$home/config" "$home/runtime" "$home/data" "$home/bin"
    chmod 700 "$home/runtime"
    cp "$TARVELLO" "$home/bin/tarvello"
    [ -z "$RUN_AS_OWNER" ] || chown -R "$RUN_AS_OWNER" "$home"
    local env=(env HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/runtime"
        XDG_DATA_HOME="$home/data" LANG=ru_RU.UTF-8 LC_ALL= DISPLAY="$DISPLAY"
        QT_QPA_PLATFORM=xcb QT_STYLE_OVERRIDE=Fusion
        DBUS_SESSION_BUS_ADDRESS="${TV_SESSION_BUS:-disabled:}" DBUS_SYSTEM_BUS_ADDRESS=disabled:
        "${TV_ENV[@]}")
    if [ "$ns" = - ]; then
        "${RUN_AS[@]}" "${env[@]}" "$home/bin/tarvello" >"$home/out.log" 2>&1 &
    else
        env+=(TARVELLO_NEIGHBOURHOOD=on)
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

# check_ends_at_once NAME WHILE: the session's end (SIGTERM) reaches the
# instance while WHILE goes on; checks that it ends within 2 s, as Exit does.
check_ends_at_once() {
    local t0 took
    t0=$(date +%s%N)
    kill -TERM "$(pid_of "$1")"
    wait_exit "$1" 40
    took=$(ms_since "$t0")
    check "SIGTERM while $2 ends the program within 2 s (got $took ms)" [ "$took" -lt 2000 ]
    check "it ends as Exit does (got $EXIT_STATUS)" [ "$EXIT_STATUS" = 4 ]
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

# close_dialog TITLE [KEY]: Escape (or KEY) in the window, as a user closes
# a dialog.
close_dialog() {
    local id
    id=$(window_by_title "$1") || return 1
    xdotool windowfocus --sync "$id" 2>/dev/null
    xdotool key "${2:-Escape}"
    wait_for 5 window_gone "$1"
}

# The OK button of a message box, at its lower right.
click_notice_ok() { click_in_window "$1" -50 -22; }

# The popup menu of the tray: the largest visible window of the program that
# is not a dialog with a title.
tray_menu_window() {
    local id
    for id in $(xdotool search --onlyvisible --classname "^tarvello\$" 2>/dev/null); do
        of_instance "$id" || continue
        case $(xdotool getwindowname "$id" 2>/dev/null) in "" | Tarvello) ;; *) continue ;; esac
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

# --- StatusNotifierItem tray ----------------------------------------------------
#
# Most desktops (KDE, Xfce, LXQt, GNOME with AppIndicator) show tray icons as
# StatusNotifierItems on the session bus: the host draws the icon and the
# menu the item exports (com.canonical.dbusmenu) itself. Here the host is
# xfce4-panel with only a separator and its Status Tray plugin, along the
# bottom of the screen, on a private session bus. The plugin runs in a process
# of its own (the panel's plugin wrapper), which owns the
# org.kde.StatusNotifierWatcher name, draws the icons and opens their menus.
# The plugin also takes XEmbed icons (it owns _NET_SYSTEM_TRAY_S0).
#
# An instance uses the bus when started with TV_SESSION_BUS set:
#   sni_up && TV_SESSION_BUS=$DBUS_SESSION_BUS_ADDRESS start_tarvello a - pc-a

SNI_DIR=$WORK/sni

sni_busctl() { "${RUN_AS[@]}" busctl --user --timeout=5 "$@"; }

# bus_name_pid NAME: the process that owns a name on the session bus.
bus_name_pid() {
    sni_busctl call org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus \
        GetConnectionUnixProcessID s "$1" 2>/dev/null | awk '$1 == "u" {print $2}'
}
bus_name_owned() { [ -n "$(bus_name_pid "$1")" ]; }

sni_watcher_property() {
    sni_busctl get-property org.kde.StatusNotifierWatcher /StatusNotifierWatcher \
        org.kde.StatusNotifierWatcher "$1" 2>/dev/null
}
sni_host_registered() { [ "$(sni_watcher_property IsStatusNotifierHostRegistered)" = "b true" ]; }
sni_host_gone() { ! bus_name_owned org.kde.StatusNotifierWatcher; }

# sni_bus_up: a private session bus (exported as DBUS_SESSION_BUS_ADDRESS)
# and the panel's settings, without the panel. The bus starts xfconfd, the
# panel's settings store, with the bus's own environment: that is where the
# panel's settings folder comes from.
sni_bus_up() {
    mkdir -p "$SNI_DIR/runtime" "$SNI_DIR/config/xfce4/xfconf/xfce-perchannel-xml"
    chmod 700 "$SNI_DIR/runtime"
    cat >"$SNI_DIR/config/xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=8;x=640;y=785"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="30"/>
      <property name="icon-size" type="uint" value="22"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
        <value type="int" value="2"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="separator">
      <property name="expand" type="bool" value="true"/>
      <property name="style" type="uint" value="0"/>
    </property>
    <property name="plugin-2" type="string" value="systray">
      <property name="square-icons" type="bool" value="true"/>
    </property>
  </property>
</channel>
XML
    "${SNI_ENV[@]}" dbus-daemon --session --address="unix:path=$SNI_DIR/bus" --nopidfile --fork \
        --print-pid >"$SNI_DIR/bus.pid" || return 1
    SNI_BUS_PID=$(head -n1 "$SNI_DIR/bus.pid")
    on_exit sni_down
    export DBUS_SESSION_BUS_ADDRESS=unix:path=$SNI_DIR/bus
}

# The environment of the panel and its bus: folders of their own.
SNI_ENV=(env XDG_CONFIG_HOME="$SNI_DIR/config" HOME="$SNI_DIR" XDG_RUNTIME_DIR="$SNI_DIR/runtime"
    XDG_CACHE_HOME="$SNI_DIR/cache" XDG_DATA_HOME="$SNI_DIR/data" NO_AT_BRIDGE=1 GTK_A11Y=none)

# sni_panel_up: starts the panel on the bus; true once its Status Tray is the
# registered host. Sets SNI_PANEL_PID, SNI_PLUGIN_PID and SNI_PANEL_MS (how
# long the host took to register).
sni_panel_up() {
    local t0
    t0=$(date +%s%N)
    # --disable-wm-check: without a window manager the panel waits 5 s first.
    "${SNI_ENV[@]}" xfce4-panel --disable-wm-check >>"$SNI_DIR/panel.log" 2>&1 &
    SNI_PANEL_PID=$!
    on_exit "kill $SNI_PANEL_PID"
    wait_for 15 sni_host_registered || return 1
    SNI_PANEL_MS=$(ms_since "$t0")
    SNI_PLUGIN_PID=$(bus_name_pid org.kde.StatusNotifierWatcher)
    [ -n "$SNI_PLUGIN_PID" ] && on_exit "kill $SNI_PLUGIN_PID"
}

# sni_panel_down: ends the panel, then its Status Tray process (which would
# otherwise go on for more than a second; killed first, it is restarted by
# the panel); true once both are gone.
sni_panel_down() {
    local plugin
    plugin=$(bus_name_pid org.kde.StatusNotifierWatcher)
    if [ -n "${SNI_PANEL_PID:-}" ]; then
        kill "$SNI_PANEL_PID" 2>/dev/null
        wait_for 10 sh -c "! kill -0 $SNI_PANEL_PID" || return 1
        SNI_PANEL_PID=
    fi
    if [ -n "$plugin" ]; then
        kill "$plugin" 2>/dev/null
        wait_for 10 sh -c "! kill -0 $plugin" || return 1
    fi
    wait_for 5 sni_host_gone
}

# sni_panel_restart: the panel killed and started again on the same bus.
sni_panel_restart() { sni_panel_down && sni_panel_up; }

sni_up() { sni_bus_up && sni_panel_up; }

# sni_down: the panel, the settings store and the bus end.
sni_down() {
    [ -n "${SNI_BUS_PID:-}" ] || return 0
    sni_panel_down
    local xfconfd
    xfconfd=$(bus_name_pid org.xfce.Xfconf)
    [ -n "$xfconfd" ] && kill "$xfconfd"
    kill "$SNI_BUS_PID"
    SNI_BUS_PID=
}

# sni_items: the items registered with the host, one a line, as
# "SERVICE/OBJECT_PATH" (Qt registers its unique connection name).
sni_items() {
    sni_watcher_property RegisteredStatusNotifierItems | grep -o '"[^"]*"' | tr -d '"'
}

# sni_item [PID]: "SERVICE OBJECT_PATH" of the item of a process (PID, or
# TRAY_PID, or else any Tarvello); false when it has none registered.
sni_item() {
    local pid=${1:-${TRAY_PID:-}} item service path owner
    for item in $(sni_items); do
        service=${item%%/*}
        path=/${item#*/}
        [ "$item" = "$service" ] && path=/StatusNotifierItem
        owner=$(bus_name_pid "$service")
        [ -n "$owner" ] || continue
        if [ -n "$pid" ]; then
            [ "$owner" = "$pid" ] || continue
        else
            [ "$(ps -o comm= -p "$owner")" = tarvello ] || continue
        fi
        echo "$service $path"
        return 0
    done
    return 1
}
sni_registered() { sni_item "$@" >/dev/null; }

# sni_item_property NAME [PID]: a property of the item, as busctl prints it.
sni_item_property() {
    local item
    item=$(sni_item "${2:-}") || return 1
    # shellcheck disable=SC2086
    sni_busctl get-property $item org.kde.StatusNotifierItem "$1"
}

# sni_menu_path [PID]: the object path of the item's exported menu ("/NO_DBUSMENU"
# when Qt was given none).
sni_menu_path() {
    local value
    value=$(sni_item_property Menu "${1:-}") || return 1
    value=${value#o \"}
    echo "${value%\"}"
}

# sni_menu_items [PID]: the item's menu as the host reads it, one visible
# entry (not a separator) a line: DEPTH<TAB>ENABLED<TAB>SUBMENU<TAB>LABEL (see
# menulayout.py). Unlike the host it does not say that the menu is about to
# show: a program may answer that (by bringing its open window forward, say),
# and reading the menu must change nothing.
sni_menu_items() {
    local item service path
    item=$(sni_item "${1:-}") || return 1
    service=${item% *}
    path=$(sni_menu_path "${1:-}") || return 1
    [ "$path" != /NO_DBUSMENU ] || return 1
    sni_busctl --json=short call "$service" "$path" com.canonical.dbusmenu GetLayout iias \
        0 -- -1 0 | python3 "$E2E_DIR/menulayout.py"
}

# sni_menu_labels [PID]: the labels of the menu's visible entries, a
# submenu's entries indented by two spaces.
sni_menu_labels() {
    local items
    items=$(sni_menu_items "${1:-}") || return 1
    awk -F'\t' '{ printf "%*s%s\n", 2 * $1, "", $4 }' <<<"$items"
}

# The process that draws the icons and their menus: the watcher's here;
# SNI_HOST_PID when the host is a process of its own (KDE Plasma's shell).
sni_host_pid() {
    if [ -n "${SNI_HOST_PID:-}" ]; then echo "$SNI_HOST_PID"; else bus_name_pid org.kde.StatusNotifierWatcher; fi
}

# The Status Tray's place on the panel: "X Y WIDTH HEIGHT" of the plugin's
# window (1 pixel wide when it holds no icon).
sni_tray_area() {
    local pid id
    pid=$(sni_host_pid)
    [ -n "$pid" ] || return 1
    for id in $(xdotool search --onlyvisible --pid "$pid" 2>/dev/null); do
        xwininfo -id "$id" 2>/dev/null | grep -q 'Override Redirect State: no' || continue
        xwininfo -id "$id" | awk '/Absolute upper-left X/{x=$NF} /Absolute upper-left Y/{y=$NF}
            /Width:/{w=$NF} /Height:/{h=$NF} END{if (x >= 0 && y >= 0) print x, y, w, h; else exit 1}' &&
            return 0
    done
    return 1
}

# sni_icon_drawn: the Status Tray shows an icon (more than a few colours
# where it would be blank panel).
sni_icon_drawn() {
    local area x y w h colours
    area=$(sni_tray_area) || return 1
    read -r x y w h <<<"$area"
    [ "$w" -ge 16 ] || return 1
    colours=$(import -window root -crop "${w}x${h}+$x+$y" +repage -format '%k' info: 2>/dev/null)
    [ "${colours:-0}" -gt 10 ]
}

# panel_icon_point: where Tarvello's icon is on the panel, "X Y": its XEmbed
# window when it docked as one, else the middle of the Status Tray (which
# holds only Tarvello's item in these tests), or PANEL_ICON_POINT when a test
# found it otherwise (sni_icon_point).
panel_icon_point() {
    local icon
    [ -n "${PANEL_ICON_POINT:-}" ] && { echo "$PANEL_ICON_POINT"; return 0; }
    if icon=$(tray_icon_window); then
        xwininfo -id "$icon" | awk '/Absolute upper-left X/{x=$NF} /Absolute upper-left Y/{y=$NF}
            /Width:/{w=$NF} /Height:/{h=$NF} END{print x + int(w / 2), y + int(h / 2)}'
        return 0
    fi
    sni_registered || return 1
    local area x y w h
    area=$(sni_tray_area) || return 1
    read -r x y w h <<<"$area"
    [ "$w" -ge 16 ] || return 1
    echo $((x + w / 2)) $((y + h / 2))
}

# host_dock_area: "X Y WIDTH HEIGHT" of the host's panel (its dock window).
host_dock_area() {
    local pid id
    pid=$(sni_host_pid)
    [ -n "$pid" ] || return 1
    for id in $(xdotool search --onlyvisible --pid "$pid" 2>/dev/null); do
        xprop -id "$id" _NET_WM_WINDOW_TYPE 2>/dev/null | grep -q _NET_WM_WINDOW_TYPE_DOCK || continue
        xwininfo -id "$id" | awk '/Absolute upper-left X/{x=$NF} /Absolute upper-left Y/{y=$NF}
            /Width:/{w=$NF} /Height:/{h=$NF} END{print x, y, w, h}'
        return 0
    done
    return 1
}

# sni_icon_point [PID]: "X Y", the middle of the place on the host's panel
# that shows the picture the item hands the host (its 22-pixel one over the
# panel's commonest colour); false when nothing there is close to it: the
# icon is not on the panel (not shown, or hidden in the host's expander).
sni_icon_point() {
    local item area x y w h d=$WORK/icon-search match
    item=$(sni_item "${1:-}") || return 1
    area=$(host_dock_area) || return 1
    read -r x y w h <<<"$area"
    import -window root -crop "${w}x$h+$x+$y" +repage "$d-panel.ppm" 2>/dev/null || return 1
    # shellcheck disable=SC2086
    sni_busctl --json=short get-property $item org.kde.StatusNotifierItem IconPixmap |
        python3 "$E2E_DIR/iconpixmap.py" 22 >"$d-icon.pam" || return 1
    convert "$d-icon.pam" -background "$(convert "$d-panel.ppm" -format %c histogram:info:- |
        sort -rn | head -n1 | grep -o '#[0-9A-Fa-f]*' | head -n1)" -flatten "$d-icon.ppm" || return 1
    # "RMSE (NORMALISED) @ X,Y" of the best place.
    match=$(compare -metric RMSE -subimage-search "$d-panel.ppm" "$d-icon.ppm" null: 2>&1 |
        sed -nE 's/.*\(([0-9.e-]+)\) @ ([0-9]+),([0-9]+).*/\1 \2 \3/p')
    [ -n "$match" ] || return 1
    awk -v m="$match" -v x="$x" -v y="$y" 'BEGIN {
        split(m, f, " ")
        if (f[1] > 0.2) exit 1
        print x + f[2] + 11, y + f[3] + 11 }'
}

# menu_rows ID: the middle of each row of text a menu window shows, from the
# top, one a line: what a user sees as its entries (separators are too
# light and thin to count).
menu_rows() {
    local w
    w=$(xwininfo -id "$1" 2>/dev/null | awk '/Width:/{print $NF}')
    [ -n "$w" ] || return 1
    import -window "$1" ppm:- 2>/dev/null | convert - -crop "$((w / 2))x+4+0" +repage -colorspace Gray \
        -threshold 70% -negate -scale "1x$(xwininfo -id "$1" | awk '/Height:/{print $NF}')!" -depth 8 txt:- |
        awk -F'[,:() ]+' '/^0,/ {
            ink = $4 > 8
            if (ink && !inside) { inside = 1; top = $2 }
            if (!ink && inside) { inside = 0; if ($2 - top >= 6) print int((top + $2 - 1) / 2) }
        }'
}

panel_submenu_open() { [ "$(panel_menu_windows | wc -l)" -ge 2 ]; }

# entry_place LABEL [SUBLABEL]: "N COUNT", the entry's place among the
# visible entries of the exported menu (or of its submenu), from 1, and how
# many there are.
entry_place() {
    sni_menu_items | awk -F'\t' -v top="$1" -v inner="${2:-}" '
        $1 == 0 { inside = ($4 == top) }
        inner == "" && $1 == 0 || inner != "" && $1 == 1 && inside { n++; if ($4 == (inner == "" ? top : inner)) at = n }
        END { if (!at) exit 1; print at, n }'
}

# row_of ID N COUNT: once the menu window shows COUNT rows, the middle of
# its Nth.
has_rows() { [ "$(menu_rows "$1" | wc -l)" = "$2" ]; }
row_of() { wait_for 3 has_rows "$1" "$3" && menu_rows "$1" | sed -n "$2p"; }

# hover_row ID Y: the pointer onto a row of a menu. A Qt menu selects nothing
# on the first motion after it opens; the next one selects.
hover_row() { xdotool mousemove --window "$1" 40 "$2" sleep 0.1 mousemove --window "$1" 41 "$2"; }

# menu_click LABEL [SUBLABEL]: chooses an entry of the open panel menu (or of
# one of its submenus) with the mouse: its row, counted among the visible
# entries of the exported menu, is hovered, then clicked; a submenu's entry
# is clicked in the submenu the hover opened.
menu_click() {
    local place menu y
    place=$(entry_place "$1") && menu=$(panel_menu_window) || return 1
    # shellcheck disable=SC2086
    y=$(row_of "$menu" $place) && hover_row "$menu" "$y" || return 1
    if [ -n "${2:-}" ]; then
        place=$(entry_place "$1" "$2") && wait_for 3 panel_submenu_open || return 1
        menu=$(panel_menu_windows | grep -vx "$menu" | tail -n1)
        # shellcheck disable=SC2086
        y=$(row_of "$menu" $place) && hover_row "$menu" "$y" || return 1
    fi
    xdotool sleep 0.2 click 1
}

# is_menu ID: the window is a popup menu (not, say, the tooltip that the
# icon shows when the pointer rests on it).
is_menu() {
    xprop -id "$1" _NET_WM_WINDOW_TYPE 2>/dev/null |
        grep -Eq '_NET_WM_WINDOW_TYPE_(POPUP|DROPDOWN)_MENU'
}

# panel_menu_window: a menu the Status Tray opened (a GTK popup of the
# plugin's process). That is Tarvello's menu when the item exports one; when
# it exports none the panel opens its own plugin menu instead.
panel_menu_window() { panel_menu_windows | head -n1 | grep .; }
# panel_menu_windows: every menu the host has open, a menu before its
# submenus.
panel_menu_windows() {
    local pid id
    pid=$(sni_host_pid)
    [ -n "$pid" ] || return 1
    for id in $(xdotool search --onlyvisible --pid "$pid" 2>/dev/null); do
        is_menu "$id" && echo "$id"
    done
}

# program_menu_window: the menu the program opens itself (on an XEmbed
# tray): a popup (override-redirect) window of it, wider than its icon, and
# not a tooltip. Qt gives its menus the window type "normal".
program_menu_window() {
    local id
    for id in $(xdotool search --onlyvisible --classname "^tarvello\$" 2>/dev/null); do
        of_instance "$id" || continue
        xwininfo -id "$id" 2>/dev/null | awk '/Override Redirect State: yes/{o=1} /Width:/{w=$NF}
            END{exit !(o && w > 150)}' || continue
        xprop -id "$id" _NET_WM_WINDOW_TYPE 2>/dev/null | grep -q _NET_WM_WINDOW_TYPE_TOOLTIP &&
            continue
        echo "$id"
        return 0
    done
    return 1
}

# Any open tray menu: the panel's, or the one the program opens itself on an
# XEmbed tray. MENU_KIND says which: panel or program.
any_menu_window() { panel_menu_window || program_menu_window; }
menu_gone() { ! any_menu_window >/dev/null; }

# window_image ID: a checksum of what a window shows now.
window_image() { import -window "$1" rgb:- 2>/dev/null | md5sum; }

# menu_settled: the open menu looks the same twice in a row 0.1 s apart
# (drawn, and no longer being rebuilt by the host).
menu_settled() {
    local id
    id=$(any_menu_window) || return 1
    window_settled "$id"
}
window_settled() {
    local a b
    a=$(window_image "$1")
    sleep 0.1
    b=$(window_image "$1")
    [ -n "$a" ] && [ "$a" = "$b" ]
}

# panel_menu_fits [PID]: the open panel menu is as tall as the item's exported
# menu needs (20 to 40 pixels an entry, with room for separators): the panel
# shows the item's menu, not its own plugin menu (about 136 pixels), which is
# what it opens when the item exports none.
panel_menu_fits() {
    local id entries height
    id=$(panel_menu_window) || return 1
    entries=$(sni_menu_items "${1:-}" | awk -F'\t' '$1 == 0' | wc -l)
    [ "$entries" -gt 0 ] || return 1
    height=$(xwininfo -id "$id" | awk '/Height:/{print $NF}')
    [ "$height" -ge $((entries * 20)) ] && [ "$height" -le $((entries * 40 + 60)) ]
}

# panel_right_click: a right click on Tarvello's icon on the panel.
panel_right_click() {
    local point
    point=$(panel_icon_point) || return 1
    # shellcheck disable=SC2086
    xdotool mousemove $point click 3
}

# panel_open_menu: right-clicks the icon; true once a menu is open and drawn.
# Sets MENU_KIND to panel (the host draws the menu) or program.
panel_open_menu() {
    MENU_KIND=
    panel_right_click || return 1
    wait_for 5 any_menu_window >/dev/null || return 1
    if panel_menu_window >/dev/null; then MENU_KIND=panel; else MENU_KIND=program; fi
    wait_for 3 menu_settled
}

# The program's own menu, as it is without a window open: what the keyboard
# counts on when the program, not the host, draws it (an XEmbed tray).
TARVELLO_MENU=("О программе" "Документация..." "Настройка..." "Обновить список пользователей"
    "Лог сообщений..." "Адресная книга..." "Выход" "Отправить файл" "Отправить сообщение")

# menu_position LABEL [SUBLABEL]: the place of an entry among those the
# keyboard reaches (enabled, not separators), from 1, in the menu and in its
# submenu: "N" or "N M". From the exported menu when the host draws it.
menu_position() {
    if [ "${MENU_KIND:-panel}" = panel ]; then
        sni_menu_items | awk -F'\t' -v top="$1" -v inner="${2:-}" '
            ok { next }
            $1 == 0 { inside = 0 }
            $1 == 0 && $2 == 1 {
                n++
                if ($4 == top) {
                    if (inner == "") { print n; ok = 1 }
                    inside = n
                }
            }
            $1 == 1 && inside && $2 == 1 { m++; if ($4 == inner) { print inside, m; ok = 1 } }
            END { exit !ok }'
        return
    fi
    [ -z "${2:-}" ] || return 1
    local i
    for i in "${!TARVELLO_MENU[@]}"; do
        [ "${TARVELLO_MENU[$i]}" = "$1" ] && { echo $((i + 1)); return 0; }
    done
    return 1
}

# menu_choose LABEL [SUBLABEL]: chooses an entry of the open tray menu (or of
# one of its submenus) with the keyboard, as a user can: Down to it, Right
# into the submenu, Return. The open menu holds the keyboard; the pointer
# stays on the icon, off the menu, so that it does not select anything.
menu_choose() {
    local position n m id before i keys=()
    position=$(menu_position "$@") || return 1
    read -r n m <<<"$position"
    id=$(any_menu_window) || return 1
    # The first Down must show: a press before the menu holds the keyboard
    # is lost.
    before=$(window_image "$id")
    xdotool key Down
    if ! wait_for 2 sh -c "[ \"\$(import -window $id rgb:- 2>/dev/null | md5sum)\" != '$before' ]"; then
        xdotool key Down
    fi
    for ((i = 1; i < n; i++)); do keys+=(Down); done
    if [ -n "$m" ]; then
        keys+=(Right)
        for ((i = 1; i < m; i++)); do keys+=(Down); done
    fi
    keys+=(Return)
    xdotool key --delay 40 "${keys[@]}"
}

# panel_close_menu: Escape until no tray menu is open.
panel_close_menu() {
    local i
    for i in 1 2 3; do
        menu_gone && return 0
        xdotool key Escape
        wait_for 1 menu_gone && return 0
    done
    return 1
}

# stacked_above A B: window A is above window B (ids of top-level windows).
stacked_above() {
    local order
    order=$(xwininfo -root -children | awk '$1 ~ /^0x/ {print $1}')
    local a b
    a=$(printf '0x%x' "$1")
    b=$(printf '0x%x' "$2")
    # xwininfo lists the root's children from the top of the stack down.
    [ "$(grep -nx "$a" <<<"$order" | cut -d: -f1)" -lt "$(grep -nx "$b" <<<"$order" | cut -d: -f1)" ]
}

# --- Files between the two hosts ----------------------------------------------------

CHOOSE_FILE="Выберите файл для отправки к $PC_B_USER"
SENDING_FILE="Отправка файла пользователю <$PC_B_USER>"
FILE_OFFER="Информация от Tarvello: <pc-a> посылает Вам файл "
SEND_IMPOSSIBLE="Отправка невозможна:"

# choose_file_to_send PATH [WINDOW]: on pc-a, "Отправить файл" to the first
# user and PATH typed into the file dialog; true when the sending window (or
# WINDOW) is open.
choose_file_to_send() {
    TRAY_PID=$(pid_of a) open_tray_menu || return 1
    open_submenu 34 # "Отправить файл", above "Отправить сообщение"
    wait_for 5 submenu_window >/dev/null || return 1
    xdotool mousemove --window "$(TRAY_PID=$(pid_of a) submenu_window)" 40 11 sleep 0.2 click 1
    wait_for 10 has_window "$CHOOSE_FILE" || return 1
    sleep 0.5
    xdotool type --delay 10 "$1"
    xdotool key Return
    wait_for 10 has_window "${2:-$SENDING_FILE}"
}

# replace_text TITLE X Y TEXT: a click into an edit of a window, then its
# text replaced.
replace_text() {
    click_in_window "$1" "$2" "$3" && xdotool key ctrl+a && xdotool type --delay 20 "$4"
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

# cli NAME ARGS...: runs pc-NAME's copy of the program as a subcommand in
# its host, with its settings and no display; stdout and stderr in
# $WORK/cli.out and $WORK/cli.err, the status in CLI_STATUS. CLI_ENV: more
# VARIABLE=value for it.
CLI_ENV=()
cli() {
    local name=$1 ns
    shift
    [ "$name" = a ] && ns=$NS_A || ns=$NS_B
    ip netns exec "$ns" unshare -u sh -c "hostname pc-$name; exec \"\$@\"" sh \
        env -u DISPLAY HOME="$WORK/$name" XDG_CONFIG_HOME="$WORK/$name/config" LANG=ru_RU.UTF-8 \
        LC_ALL= "${CLI_ENV[@]}" "$WORK/$name/bin/tarvello" "$@" </dev/null >"$WORK/cli.out" 2>"$WORK/cli.err"
    CLI_STATUS=$?
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
# tv_sink (what programs play into) and tv_mic, a stereo source fed by the
# sink's monitor (Qt does not offer monitors as inputs). Programs reach it
# through PULSE_SERVER. sound_down stops it (SOUND_PIDS).
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
    sound_started $PULSE_PID
    wait_for 10 pactl info >/dev/null || return 1
    sound_defaults
}

# pipewire_up: the same on PipeWire as Debian 12 runs it (pipewire,
# wireplumber, pipewire-pulse), with its own runtime folder and session bus,
# so that no sound service of the machine is touched.
pipewire_up() {
    local d=$WORK/pipewire
    mkdir -p "$d/runtime"
    chmod 700 "$d/runtime"
    dbus-daemon --session --address="unix:path=$d/bus" --nopidfile --fork --print-pid \
        >"$d/dbus.pid" || return 1
    sound_started "$(cat "$d/dbus.pid")"
    local p
    for p in pipewire wireplumber pipewire-pulse; do
        XDG_RUNTIME_DIR=$d/runtime DBUS_SESSION_BUS_ADDRESS=unix:path=$d/bus \
            DBUS_SYSTEM_BUS_ADDRESS=disabled: $p >"$d/$p.log" 2>&1 &
        sound_started $!
        wait_for 10 test -S "$d/runtime/pipewire-0" || return 1
    done
    PULSE_SERVER=unix:$d/runtime/pulse/native
    export PULSE_SERVER
    wait_for 10 pactl info >/dev/null &&
        pactl load-module module-null-sink sink_name=tv_sink rate=44100 channels=2 >/dev/null &&
        pactl load-module module-remap-source master=tv_sink.monitor source_name=tv_mic \
            >/dev/null && sound_defaults
}

sound_defaults() {
    pactl set-default-sink tv_sink && pactl set-default-source tv_mic || return 1
    # A low-latency reader keeps the idle null sink working in small blocks;
    # without it a new recorder waits up to 2 s for its first byte.
    parecord -d tv_sink.monitor --raw --latency-msec=10 --rate=8000 --channels=1 >/dev/null 2>&1 &
    sound_started $!
    sleep 2.5 # the sink switches to small blocks after its current one
}

SOUND_PIDS=()
sound_started() { SOUND_PIDS+=("$1") && on_exit "kill $1"; }
sound_down() {
    local p
    for p in "${SOUND_PIDS[@]}"; do kill "$p" && wait "$p"; done 2>/dev/null
    SOUND_PIDS=()
}

# --- Two hosts with Tarvello ---------------------------------------------------------

# configure NAME [LINE...]: default settings for an instance, plus the given
# lines of its settings file; a given port replaces the default one.
configure() {
    local name=$1
    shift
    local conf=$WORK/$name/config/Tarvello/Tarvello.conf
    mkdir -p "$WORK/$name/config/Tarvello" "$WORK/$name/bin"
    echo '[General]' >"$conf"
    local key
    for key in ListeningPort=1024 ListeningDataPort=33277; do
        printf '%s\n' "$@" | grep -q "^${key%%=*}=" || echo "$key" >>"$conf"
    done
    local line
    for line in "$@"; do echo "$line" >>"$conf"; done
}

# free_port_pair: two free TCP ports here (not in a test host), as the
# settings give them: the program byte-swaps the configured numbers, so
# configured 1024 is TCP port 4. Prints "CONFIGURED_MESSAGE CONFIGURED_DATA".
free_port_pair() {
    local first=0 port
    while :; do
        port=$((20000 + RANDOM % 30000))
        # A low byte of 0 would give a configured number below 256.
        [ $((port & 255)) != 0 ] && [ "$port" != "$first" ] || continue
        # Any socket on it, a connection's too, would keep the program from it.
        ss -tanH "sport = :$port" | grep -q . && continue
        [ "$first" = 0 ] && { first=$port; continue; }
        break
    done
    echo $(((first >> 8) | ((first & 255) << 8))) $(((port >> 8) | ((port & 255) << 8)))
}

# configure_free NAME: NAME's settings on two free ports here.
configure_free() {
    local ports
    ports=$(free_port_pair)
    configure "$1" "ListeningPort=${ports% *}" "ListeningDataPort=${ports#* }"
}

# wire_port NAME KEY: the TCP port of NAME's ListeningPort or
# ListeningDataPort (the configured number byte-swapped).
wire_port() {
    local c
    c=$(sed -n "s/^$2=//p" "$WORK/$1/config/Tarvello/Tarvello.conf" | tail -n1)
    echo $(((c >> 8) | ((c & 255) << 8)))
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

# --- A Wayland session ------------------------------------------------------------
#
# sway 1.7 without a screen or input devices, as wlroots desktops have it,
# with waybar's tray module (a StatusNotifier host) on a private session bus.
# sway refuses to run as root: as root the session is nobody's (RUN_AS). The
# session has no pointer or keyboard of its own: wlinput (wlinput.c) gives it
# both. Screenshots with grim.

WL_DIR=$WORK/wl
WL_WIDTH=1280
WL_HEIGHT=800
WL_ENV=()

# wl_run COMMAND...: a program in the session, as its user.
wl_run() { "${RUN_AS[@]}" env -u DISPLAY "${WL_ENV[@]}" "$@"; }
# wl_spawn LOG COMMAND...: the same in the background, ended at exit; its
# process (the program itself) in WL_PID.
wl_spawn() {
    local log=$1
    shift
    "${RUN_AS[@]}" env -u DISPLAY "${WL_ENV[@]}" "$@" >>"$log" 2>&1 &
    WL_PID=$!
    on_exit "kill $WL_PID"
}

# wl_session_up: sway, the session bus (exported as DBUS_SESSION_BUS_ADDRESS)
# and wlinput; false when one of them does not start.
wl_session_up() {
    if is_root; then
        RUN_AS=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
        RUN_AS_OWNER=nobody:nogroup
        chmod 755 "$WORK" # the session's user reaches its own folders in it
    fi
    mkdir -p "$WL_DIR/runtime" "$WL_DIR/home"
    chmod 700 "$WL_DIR/runtime"
    printf 'output HEADLESS-1 resolution %sx%s\nxwayland disable\n' $WL_WIDTH $WL_HEIGHT \
        >"$WL_DIR/sway.conf"
    [ -z "$RUN_AS_OWNER" ] || chown -R "$RUN_AS_OWNER" "$WL_DIR"
    WL_ENV=(HOME="$WL_DIR/home" XDG_RUNTIME_DIR="$WL_DIR/runtime"
        DBUS_SESSION_BUS_ADDRESS="unix:path=$WL_DIR/runtime/bus" NO_AT_BRIDGE=1)
    wl_spawn "$WL_DIR/sway.log" WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman \
        sway -c "$WL_DIR/sway.conf"
    SWAY_PID=$WL_PID
    wait_for 10 wl_sockets >/dev/null || return 1
    local sockets
    sockets=$(wl_sockets)
    # By its full path: a program with a runtime folder of its own finds it.
    WL_DISPLAY=$WL_DIR/runtime/${sockets% *}
    WL_ENV+=(WAYLAND_DISPLAY="$WL_DISPLAY" SWAYSOCK="$WL_DIR/runtime/${sockets#* }")
    wl_run dbus-daemon --session --address="unix:path=$WL_DIR/runtime/bus" --nopidfile --fork \
        --print-pid >"$WL_DIR/bus.pid" || return 1
    on_exit "kill $(cat "$WL_DIR/bus.pid")"
    export DBUS_SESSION_BUS_ADDRESS=unix:path=$WL_DIR/runtime/bus
    wl_input_up
}

# wl_sockets: "WAYLAND_SOCKET SWAY_IPC_SOCKET" once sway has made both.
wl_sockets() {
    local wayland ipc
    wayland=$(cd "$WL_DIR/runtime" && ls wayland-? 2>/dev/null | head -n1)
    ipc=$(cd "$WL_DIR/runtime" && ls sway-ipc.*.sock 2>/dev/null | head -n1)
    [ -n "$wayland" ] && [ -n "$ipc" ] && echo "$wayland $ipc"
}

# wl_input_up: builds wlinput and starts it as a coprocess (WLINPUT).
wl_input_up() {
    local src=$WORK/wlinput-src p
    mkdir -p "$src"
    for p in wlr-virtual-pointer-unstable-v1 virtual-keyboard-unstable-v1; do
        wayland-scanner client-header "$E2E_DIR/$p.xml" "$src/$p-client-protocol.h" &&
            wayland-scanner private-code "$E2E_DIR/$p.xml" "$src/$p-protocol.c" || return 1
    done
    gcc -O2 -I"$src" -o "$WORK/bin/wlinput" "$E2E_DIR/wlinput.c" "$src"/*-protocol.c \
        -lwayland-client -lxkbcommon || return 1
    chmod 755 "$WORK/bin" "$WORK/bin/wlinput"
    coproc WLINPUT { exec "${RUN_AS[@]}" env "${WL_ENV[@]}" "$WORK/bin/wlinput" $WL_WIDTH $WL_HEIGHT 2>&1; }
    on_exit "kill $WLINPUT_PID"
    wl_input move 5 5
}

# wl_input COMMAND: a command to wlinput (move X Y, click BUTTON, key
# NAME[+NAME]...); true once the compositor has handled it.
wl_input() {
    local answer
    echo "$*" >&"${WLINPUT[1]}" || return 1
    read -r -t 5 answer <&"${WLINPUT[0]}" && [ "$answer" = ok ]
}

# wl_click X Y [BUTTON]: moves the pointer there and clicks (the left button).
wl_click() { wl_input move "$1" "$2" && wl_input click "${3:-1}"; }

# wl_windows: the session's windows, one a line (see swaytree.py).
wl_windows() { wl_run swaymsg -t get_tree | python3 "$E2E_DIR/swaytree.py"; }

# wl_window TITLE [PID]: "PID FOCUSED VISIBLE X Y WIDTH HEIGHT" of the
# window with that title (of that process); false when there is none.
wl_window() {
    wl_windows | awk -F'\t' -v title="$1" -v pid="${2:-}" '
        $8 == title && (pid == "" || $1 == pid) { print $1, $2, $3, $4, $5, $6, $7; found = 1; exit }
        END { exit !found }'
}
wl_window_gone() { ! wl_window "$@" >/dev/null; }
# Waits for a window end the script at once when the program shows one the
# test does not expect: not the awaited one, nor one of the titles in
# WL_ALSO (a warning instead of a message, say).
wl_has_window() { wl_no_stray "$@" && wl_window "$@" >/dev/null; }
wl_focused() { # wl_focused TITLE [PID]: the window is shown and has the keyboard
    local pid focused visible
    wl_no_stray "$@" && read -r pid focused visible _ < <(wl_window "$@") && [ "$focused$visible" = 11 ]
}
WL_ALSO=()
wl_no_stray() { # TITLE [PID]
    local pid=${2:-${TRAY_PID:-}} stray
    [ -n "$pid" ] || return 0
    stray=$(wl_windows | awk -F'\t' -v pid="$pid" -v title="$1" -v also="$(printf '%s\n' "${WL_ALSO[@]}")" '
        BEGIN { n = split(also, a, "\n"); for (i = 1; i <= n; i++) ok[a[i]] = 1 }
        $1 == pid && $8 != title && !($8 in ok) { print $8; exit }')
    [ -z "$stray" ] && return 0
    fail "the program shows a window the test did not expect: \"$stray\" (awaiting \"$1\")"
    summary
    exit 1
}

# wl_click_in TITLE X Y [PID]: clicks in a window; negative coordinates count
# from its right or bottom edge.
wl_click_in() {
    local pid focused visible x y w h
    read -r pid focused visible x y w h < <(wl_window "$1" "${4:-}") || return 1
    local dx=$2 dy=$3
    [ "$dx" -lt 0 ] && dx=$((w + dx))
    [ "$dy" -lt 0 ] && dy=$((h + dy))
    wl_click $((x + dx)) $((y + dy))
}

# wl_shot FILE: a screenshot (PPM).
wl_shot() { wl_run grim -t ppm - >"$1"; }

# wl_settled: the screen looks the same twice in a row 0.1 s apart.
wl_settled() {
    local a b
    a=$(wl_run grim -t ppm - | md5sum)
    sleep 0.1
    b=$(wl_run grim -t ppm - | md5sum)
    [ "$a" = "$b" ]
}

# wl_changed BEFORE AFTER [MASK]: "WIDTH HEIGHT X Y" of the area where two
# screenshots differ, leaving out MASK ("WxH+X+Y", painted over in both);
# false when they do not differ.
wl_changed() {
    local box
    box=$(convert "$1" "$2" -compose difference -composite -threshold 0 \
        ${3:+-compose over -fill black -draw "rectangle $(mask_corners "$3")"} -format '%@' info: 2>/dev/null)
    [[ $box =~ ^([0-9]+)x([0-9]+)\+([0-9]+)\+([0-9]+)$ ]] || return 1
    [ "${BASH_REMATCH[1]}" -gt 0 ] && [ "${BASH_REMATCH[2]}" -gt 0 ] || return 1
    echo "${BASH_REMATCH[1]} ${BASH_REMATCH[2]} ${BASH_REMATCH[3]} ${BASH_REMATCH[4]}"
}
mask_corners() { # WxH+X+Y -> "X0,Y0 X1,Y1" for -draw rectangle
    [[ $1 =~ ^([0-9]+)x([0-9]+)\+([0-9]+)\+([0-9]+)$ ]] || return 1
    local w=${BASH_REMATCH[1]} h=${BASH_REMATCH[2]} x=${BASH_REMATCH[3]} y=${BASH_REMATCH[4]}
    echo "$x,$y $((x + w - 1)),$((y + h - 1))"
}

# --- waybar ---------------------------------------------------------------------------

WAYBAR_BACKGROUND='#203040'

# waybar_up: waybar with only its tray module along the bottom; true once it
# is the registered StatusNotifier host. Sets WAYBAR_PID and WAYBAR_MS.
waybar_up() {
    local t0
    [ -f "$WL_DIR/waybar.json" ] || {
        echo '{"layer": "top", "position": "bottom", "height": 30, "modules-right": ["tray"],
  "tray": {"icon-size": 22, "spacing": 4}}' >"$WL_DIR/waybar.json"
        printf '* { font-family: "DejaVu Sans"; font-size: 13px; }\nwindow#waybar { background: %s; }\n' \
            "$WAYBAR_BACKGROUND" >"$WL_DIR/waybar.css"
        chmod 644 "$WL_DIR/waybar.json" "$WL_DIR/waybar.css"
    }
    t0=$(date +%s%N)
    wl_spawn "$WL_DIR/waybar.log" waybar -c "$WL_DIR/waybar.json" -s "$WL_DIR/waybar.css"
    WAYBAR_PID=$WL_PID
    wait_for 15 sni_host_registered || return 1
    WAYBAR_MS=$(ms_since "$t0")
}

# waybar_down: true once waybar and its host are gone.
waybar_down() {
    kill "$WAYBAR_PID" 2>/dev/null
    wait_for 10 sh -c "! kill -0 $WAYBAR_PID" && wait_for 5 sni_host_gone
}

# waybar_icon: "WIDTH HEIGHT X Y" of what the tray shows on the bar (the bar
# is plain colour but for it and the pointer: see wl_pointer_aside).
waybar_icon() {
    local box
    box=$(wl_run grim -g "0,$((WL_HEIGHT - 30)) ${WL_WIDTH}x30" -t ppm - |
        convert - -fuzz 1% -fill black -opaque "$WAYBAR_BACKGROUND" -format '%@' info: 2>/dev/null)
    [[ $box =~ ^([0-9]+)x([0-9]+)\+([0-9]+)\+([0-9]+)$ ]] || return 1
    [ "${BASH_REMATCH[1]}" -ge 16 ] && [ "${BASH_REMATCH[2]}" -ge 16 ] || return 1
    echo "${BASH_REMATCH[1]} ${BASH_REMATCH[2]} ${BASH_REMATCH[3]} $((BASH_REMATCH[4] + WL_HEIGHT - 30))"
}
# wl_pointer_aside: the pointer off the bar, in the top left corner.
wl_pointer_aside() { wl_input move 5 5; }

# waybar_icon_drawn: an icon of more than a few colours on the bar.
waybar_icon_drawn() {
    local w h x y colours
    wl_pointer_aside && read -r w h x y < <(waybar_icon) || return 1
    colours=$(wl_run grim -g "$x,$y ${w}x$h" -t ppm - | convert - -format '%k' info: 2>/dev/null)
    [ "${colours:-0}" -gt 10 ]
}

# waybar_open_menu: a right click on the icon; true once a menu is drawn and
# settled. WAYBAR_MENU: its "WIDTH HEIGHT X Y"; $WL_DIR/before.ppm the
# screen before it opened; WAYBAR_ICON_MASK the icon's surroundings (which
# change with the pointer over the icon).
waybar_open_menu() {
    local w h x y
    wl_pointer_aside && read -r w h x y < <(waybar_icon) || return 1
    WAYBAR_ICON_MASK="$((w + 40))x$((h + 40))+$((x - 20))+$((y - 20))"
    # The pointer waits beside the icon (on the bar, inside the mask): the
    # screen changes only where the menu opens.
    wl_input move $((x - 18)) $((y + h / 2)) && wait_for 3 wl_settled &&
        wl_shot "$WL_DIR/before.ppm" || return 1
    wl_click $((x + w / 2)) $((y + h / 2)) 3 || return 1
    wait_for 3 waybar_menu_shown && wait_for 3 wl_settled && waybar_menu_shown
}
# waybar_menu_shown: a menu (wider than 100 pixels, taller than one entry)
# is on screen since waybar_open_menu took its screenshot; sets WAYBAR_MENU.
waybar_menu_shown() {
    wl_shot "$WL_DIR/now.ppm" &&
        WAYBAR_MENU=$(wl_changed "$WL_DIR/before.ppm" "$WL_DIR/now.ppm" "$WAYBAR_ICON_MASK") || return 1
    local w h
    read -r w h _ <<<"$WAYBAR_MENU"
    [ "$w" -gt 100 ] && [ "$h" -ge 20 ]
}
waybar_menu_gone() { ! waybar_menu_shown; }

# waybar_menu_click FROM_BOTTOM [BUTTON]: clicks in the open menu at that
# distance from its bottom edge (its rows are 25 pixels high).
waybar_menu_click() {
    local w h x y
    read -r w h x y <<<"$WAYBAR_MENU"
    wl_input move $((x + 40)) $((y + h - $1)) && wl_input click "${2:-1}"
}

# waybar_close_menu: a click beside the menu, as a user closes it.
waybar_close_menu() { wl_click 5 5 && wait_for 3 waybar_menu_gone; }

# waybar_open_submenu FROM_BOTTOM: hovers an entry of the open menu; true once
# its submenu is drawn beside it. WAYBAR_SUBMENU: its "WIDTH HEIGHT X Y".
waybar_open_submenu() {
    local w h x y
    read -r w h x y <<<"$WAYBAR_MENU"
    wl_input move $((x + 40)) $((y + h - $1)) || return 1
    wait_for 3 waybar_submenu_shown && wait_for 3 wl_settled && waybar_submenu_shown
}
waybar_submenu_shown() {
    local w h x y
    read -r w h x y <<<"$WAYBAR_MENU"
    wl_shot "$WL_DIR/now.ppm" &&
        WAYBAR_SUBMENU=$(wl_changed "$WL_DIR/before.ppm" "$WL_DIR/now.ppm" \
            "$((WL_WIDTH - x + 1))x${WL_HEIGHT}+$((x - 1))+0") || return 1
    read -r w h _ <<<"$WAYBAR_SUBMENU"
    [ "$w" -gt 100 ] && [ "$h" -ge 20 ]
}
# waybar_submenu_click ROW: clicks the submenu's entry in that row (from 0).
waybar_submenu_click() {
    local w h x y
    read -r w h x y <<<"$WAYBAR_SUBMENU"
    wl_input move $((x + 40)) $((y + 15 + 25 * $1)) && wl_input click 1
}
