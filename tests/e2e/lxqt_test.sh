#!/bin/bash
# Whole-program tests of the tray on LXQt's panel (its Status Notifier
# plugin): the panel's menu importer closes a menu whose layout changes
# under it, so the menu must stay as it is while nothing changes. The icon,
# a right click that keeps the menu open, the user submenus, "Выход" chosen
# with the mouse.
source "$(dirname "$0")/lib.sh"

command -v lxqt-panel >/dev/null || { skip "LXQt's panel is not installed"; summary; exit 0; }
x11_server_up || { fail "X server"; summary; exit 1; }

LXQT=$WORK/lxqt
mkdir -p "$LXQT/config/lxqt" "$LXQT/runtime"
chmod 700 "$LXQT/runtime"
cat >"$LXQT/config/lxqt/panel.conf" <<'CONF'
[General]
panels=panel1
[panel1]
plugins=statusnotifier
position=Bottom
[statusnotifier]
type=statusnotifier
CONF
LXQT_ENV=(env XDG_CONFIG_HOME="$LXQT/config" HOME="$LXQT" XDG_RUNTIME_DIR="$LXQT/runtime")
"${LXQT_ENV[@]}" dbus-daemon --session --address="unix:path=$LXQT/bus" --nopidfile --fork \
    --print-pid >"$LXQT/bus.pid" || { fail "private session bus"; summary; exit 1; }
on_exit "kill $(cat "$LXQT/bus.pid")"
export DBUS_SESSION_BUS_ADDRESS=unix:path=$LXQT/bus
"${LXQT_ENV[@]}" lxqt-panel >"$LXQT/panel.log" 2>&1 &
PANEL=$!
on_exit "kill $PANEL"
check "LXQt's panel registers as the StatusNotifier host" wait_for 15 sni_host_registered

configure_free a
cat >"$WORK/a/bin/AddressBook.xml" <<'XML'
<Phonebook><Item Address="127.0.0.2" Type="1">Второй</Item></Phonebook>
XML
TV_SESSION_BUS=$DBUS_SESSION_BUS_ADDRESS start_tarvello a - pc-a
check "the program's item is registered" wait_for 15 sni_registered "$(pid_of a)"

# The panel's menu: a window of the panel's process, taller than an icon.
lxqt_menu() {
    local id
    for id in $(xdotool search --onlyvisible --pid "$PANEL" 2>/dev/null); do
        local h
        h=$(xdotool getwindowgeometry "$id" 2>/dev/null | awk -F'[x ]' '/Geometry/{print $NF}')
        [ "${h:-0}" -gt 100 ] && { echo "$id"; return 0; }
    done
    return 1
}
menu_closed() { ! lxqt_menu >/dev/null; }
# The icon is the panel's first: at its left end, in the bottom row.
icon_at() { echo "15 $(($(xdpyinfo | awk '/dimensions/{split($2, d, "x"); print d[2]}') - 16))"; }

opened=0
for try in 1 2 3 4 5; do
    read -r x y < <(icon_at)
    xdotool mousemove "$x" "$y" click 3
    if wait_for 3 lxqt_menu >/dev/null; then
        sleep 2
        lxqt_menu >/dev/null && opened=$((opened + 1))
    fi
    xdotool key Escape
    wait_for 3 menu_closed
    sleep 0.3
done
check "a right click keeps the menu open for 2 s (open after 2 s: $opened of 5)" [ "$opened" = 5 ]

rows=$(sni_menu_labels "$(pid_of a)" | grep -c 'Второй\* (IP = 127.0.0.2)')
check "the exported menu holds both user submenus with the user (got $rows)" [ "$rows" = 2 ]

read -r x y < <(icon_at)
xdotool mousemove "$x" "$y" click 3
if menu=$(wait_for 3 lxqt_menu >/dev/null && lxqt_menu); then
    screenshot lxqt-menu
    geometry=$(xdotool getwindowgeometry "$menu" | awk '/Geometry/{print $2}')
    # "Выход" is the third row from the bottom, above a separator and the
    # two submenus.
    xdotool mousemove --window "$menu" 40 $((${geometry#*x} - 64)) sleep 0.3 click 1
    wait_exit a 10
    check "\"Выход\" chosen with the mouse ends the program with 4 (got $EXIT_STATUS)" \
        [ "$EXIT_STATUS" = 4 ]
else
    fail "the menu opens for \"Выход\""
fi

summary
