#!/bin/bash
# Whole-program tests of the tray on KDE Plasma's panel: plasmashell's System
# Tray is the StatusNotifier host (kded5 the watcher), draws the menu the
# program exports and places it beside the icon at each opening. The icon on
# the panel, a right click that keeps the menu open, the user submenus and a
# command chosen with the mouse, the way back to an open window, where 20
# openings put the menu, "Выход" chosen with the mouse.
source "$(dirname "$0")/lib.sh"

USER_2="Второй* (IP = 127.0.0.2)"
SHOW_OPEN_WINDOW="Показать открытое окно Tarvello"
ADDRESS_BOOK="Адресная книга"

command -v plasmashell >/dev/null || { skip "KDE Plasma is not installed"; summary; exit 0; }
is_root || { skip "KDE Plasma's panel (needs root: the desktop runs as an ordinary user)"; summary; exit 0; }
STARTED=$(date +%s%N)
x11_server_up || { fail "X server"; summary; exit 1; }

# The desktop runs as an ordinary user with folders of its own; its session
# bus lets root's programs (Tarvello, busctl) in too.
PLASMA_USER=tvtest
# An account made for the test goes with it.
if ! id "$PLASMA_USER" >/dev/null 2>&1; then
    useradd -m "$PLASMA_USER" && on_exit "pkill -KILL -u $PLASMA_USER; userdel -r $PLASMA_USER 2>/dev/null"
fi
PLASMA=$WORK/plasma
mkdir -p "$PLASMA/runtime"
chmod 755 "$WORK"
chown -R "$PLASMA_USER:" "$PLASMA"
chmod 700 "$PLASMA/runtime"
xhost "+si:localuser:$PLASMA_USER" >/dev/null
cat >"$PLASMA/bus.conf" <<'XML'
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <include>/usr/share/dbus-1/session.conf</include>
  <policy context="default"><allow user="root"/></policy>
</busconfig>
XML
# kded5, which the bus starts, loads the StatusNotifierWatcher only in a KDE
# session of version 5.
PLASMA_ENV=(setpriv "--reuid=$PLASMA_USER" "--regid=$PLASMA_USER" --init-groups env -i
    PATH=/usr/bin:/bin HOME="$PLASMA" XDG_RUNTIME_DIR="$PLASMA/runtime" DISPLAY="$DISPLAY"
    LANG=C.UTF-8 DBUS_SESSION_BUS_ADDRESS="unix:path=$PLASMA/runtime/bus"
    QT_QUICK_BACKEND=software QT_XCB_GL_INTEGRATION=none LIBGL_ALWAYS_SOFTWARE=1
    XDG_CURRENT_DESKTOP=KDE KDE_FULL_SESSION=true KDE_SESSION_VERSION=5)
"${PLASMA_ENV[@]}" dbus-daemon --config-file="$PLASMA/bus.conf" --address="unix:path=$PLASMA/runtime/bus" \
    --nopidfile --fork --print-pid >"$PLASMA/bus.pid" || { fail "private session bus"; summary; exit 1; }
# The services the bus starts stay in its process group.
on_exit "kill -- -$(cat "$PLASMA/bus.pid")"
export DBUS_SESSION_BUS_ADDRESS=unix:path=$PLASMA/runtime/bus
t0=$(date +%s%N)
"${PLASMA_ENV[@]}" plasmashell --no-respawn >"$PLASMA/plasmashell.log" 2>&1 &
SNI_HOST_PID=$!
on_exit "kill $SNI_HOST_PID"
plasma_is_host() { sni_host_registered && bus_name_owned "org.kde.StatusNotifierHost-$SNI_HOST_PID"; }
if wait_for 30 plasma_is_host; then
    pass "Plasma's System Tray registers as the StatusNotifier host ($(ms_since "$t0") ms)"
else
    fail "Plasma's System Tray registers as the StatusNotifier host"
    summary
    exit 1
fi
read -r _ PANEL_TOP _ PANEL_HEIGHT < <(wait_for 10 host_dock_area >/dev/null && host_dock_area)
check "its first start makes the default panel along the bottom (top at ${PANEL_TOP:-none})" \
    [ "$((${PANEL_TOP:-0} + ${PANEL_HEIGHT:-0}))" = 800 ]

configure_free a
cat >"$WORK/a/bin/AddressBook.xml" <<'XML'
<Phonebook><Item Address="127.0.0.2" Type="1">Второй</Item></Phonebook>
XML
TV_SESSION_BUS=$DBUS_SESSION_BUS_ADDRESS start_tarvello a - pc-a
TRAY_PID=$(pid_of a)
check "the program's item is registered" wait_for 15 sni_registered
# Plasma shows an active item on the panel, not in its expander.
if PANEL_ICON_POINT=$(wait_for 15 sni_icon_point >/dev/null && sni_icon_point); then
    pass "Plasma's System Tray shows the icon on the panel (at $PANEL_ICON_POINT)"
else
    fail "Plasma's System Tray shows the icon on the panel"
    summary
    exit 1
fi
screenshot plasma-icon
rows=$(sni_menu_labels | grep -cxF "  $USER_2")
check "the exported menu holds both user submenus with the user (got $rows)" [ "$rows" = 2 ]

# The menu, opened with a right click, and one of its commands, chosen with
# the mouse; the dialog it opens is closed.
mouse_command() { # NAME WHAT TITLE LABEL [SUBLABEL]
    local name=$1 what=$2 title=$3
    shift 3
    if ! panel_open_menu; then
        fail "a right click opens the menu for $what"
    elif ! menu_click "$@"; then
        fail "the menu and its submenu show \"$*\" on screen"
        panel_close_menu
    else
        check "$what" wait_for 10 has_window "$title"
        screenshot "plasma-$name"
        close_dialog "$title"
    fi
}

if panel_open_menu; then
    check "a right click opens Tarvello's menu, drawn by Plasma" panel_menu_fits
    check "the menu stays open for 2 s" eval '! wait_for 2 menu_gone'
    screenshot plasma-menu
    panel_close_menu
else
    fail "a right click on the icon opens a menu"
fi
mouse_command message "\"Отправить сообщение\" lists the user; chosen, the message window opens" \
    "Сообщение для $USER_2" "Отправить сообщение" "$USER_2"
mouse_command file "\"Отправить файл\" lists the user; chosen, the file dialog opens" \
    "Выберите файл для отправки к $USER_2" "Отправить файл" "$USER_2"

# --- A window open: the menu offers the way back to it ---------------------------
if panel_open_menu && menu_click "Адресная книга..." && wait_for 10 has_window "$ADDRESS_BOOK"; then
    pass "\"Адресная книга...\" chosen with the mouse opens \"$ADDRESS_BOOK\""
    book=$(window_by_title "$ADDRESS_BOOK")
    geometry=$(xwininfo -id "$book" | awk '/Absolute upper-left X/{x=$NF} /Absolute upper-left Y/{y=$NF}
        /Width:/{w=$NF} /Height:/{h=$NF} END{print w "x" h "+" x "+" y}')
    xmessage -title cover -geometry "$geometry" cover 2>/dev/null &
    on_exit "kill $!"
    wait_for 5 has_window cover && cover=$(window_by_title cover)
    check "while it is open the exported menu holds only \"$SHOW_OPEN_WINDOW\"" \
        wait_for 5 eval '[ "$(sni_menu_labels)" = "$SHOW_OPEN_WINDOW" ]'
    if panel_open_menu; then
        screenshot plasma-way-back
        xdotool windowraise "$cover"
        wait_for 5 stacked_above "$cover" "$book" || fail "another window covers the address book"
        menu_click "$SHOW_OPEN_WINDOW"
        check "\"$SHOW_OPEN_WINDOW\" chosen with the mouse brings the address book forward" \
            wait_for 5 stacked_above "$book" "$cover"
        check "the menu closes" wait_for 5 menu_gone
    else
        fail "a right click opens the menu while the address book is open"
    fi
    close_dialog "$ADDRESS_BOOK"
    check "once it is closed the exported menu holds the commands again" \
        wait_for 5 eval '[ "$(sni_menu_labels | grep -c "^[^ ]")" = 9 ]'
else
    fail "\"Адресная книга...\" chosen with the mouse opens \"$ADDRESS_BOOK\""
fi

# --- Where the menu opens -------------------------------------------------------------
# Beside the icon: its bottom edge on the panel's top edge, the icon within
# its width.
read -r icon_x _ <<<"$PANEL_ICON_POINT"
beside=0 placements=
for try in $(seq 20); do
    if panel_open_menu && id=$(panel_menu_window); then
        read -r x y w h < <(xwininfo -id "$id" | awk '/Absolute upper-left X/{x=$NF}
            /Absolute upper-left Y/{y=$NF} /Width:/{w=$NF} /Height:/{h=$NF} END{print x, y, w, h}')
        off=$((y + h - PANEL_TOP))
        placements+=" $off"
        [ "${off#-}" -le 16 ] && [ "$icon_x" -ge "$x" ] && [ "$icon_x" -le $((x + w)) ] &&
            beside=$((beside + 1))
        [ "${off#-}" -le 16 ] || screenshot "plasma-menu-misplaced-$try"
    else
        placements+=" closed"
    fi
    panel_close_menu
done
echo "The menu's bottom edge against the panel's top edge, 20 openings:$placements"
check "every opening puts the menu beside the icon ($beside of 20)" [ "$beside" = 20 ]

if panel_open_menu && menu_click "Выход"; then
    wait_exit a 15
    check "\"Выход\" chosen with the mouse ends the program with 4 (got $EXIT_STATUS)" \
        [ "$EXIT_STATUS" = 4 ]
else
    fail "the menu offers \"Выход\" to the mouse"
fi

echo "Run time: $(($(ms_since "$STARTED") / 1000)) s"
summary
