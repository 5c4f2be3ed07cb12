#!/bin/bash
# Whole-program tests in a Wayland session, as wlroots desktops have it: sway
# with waybar, whose tray module is a StatusNotifier host drawing the menu the
# program exports. The icon, a right click that keeps the menu open, both
# user submenus and commands chosen with the mouse, the way back to an open
# window, "Выход"; an incoming message window; waybar restarted or started
# after the program; no tray at all, where the notice must never cover an
# incoming message.
#
# Runs here, without test hosts: every instance gets free ports of its own.
source "$(dirname "$0")/lib.sh"

INCOMING="Принято сообщение:"
NO_TRAY="Tarvello"
ADDRESS_BOOK="Адресная книга"
SHOW_OPEN_WINDOW="Показать открытое окно Tarvello"
USER_2="Второй* (IP = 127.0.0.2)"
USER_3="Склад* (IP = 127.0.0.3)"
# "Сообщение от PC1:" CR LF "Привет" in code page 1251, and as it is shown.
MESSAGE_HEX=d1eeeee1f9e5ede8e520eef2205043313a0d0acff0e8e2e5f2
MESSAGE_TEXT=$(printf 'Сообщение от PC1:\r\nПривет')
# Distances of the entries from the bottom of waybar's menu (rows of 25 pixels
# and separators).
ROW_SEND_MESSAGE=17
ROW_SEND_FILE=42
ROW_EXIT=68
ROW_ADDRESS_BOOK=94

for tool in sway swaymsg waybar grim wl-paste wayland-scanner gcc dbus-daemon busctl convert python3 setpriv; do
    command -v $tool >/dev/null || { skip "the Wayland tests (no $tool: scripts/packages.sh)"; summary; exit 0; }
done
[ -e /usr/lib/x86_64-linux-gnu/qt6/plugins/platforms/libqwayland-generic.so ] ||
    { skip "the Wayland tests (no qt6-wayland: scripts/packages.sh)"; summary; exit 0; }
t_start=$(date +%s%N)
wl_session_up || { fail "a sway session with a pointer and a keyboard"; summary; exit 1; }
TV_ENV=(QT_QPA_PLATFORM=wayland WAYLAND_DISPLAY="$WL_DISPLAY")

# new_instance NAME: an instance on free ports with two users in its address
# book; MESSAGE_PORT_<NAME>: the TCP port it receives messages on.
new_instance() {
    configure_free "$1"
    eval "MESSAGE_PORT_$1=$(wire_port "$1" ListeningPort)"
    printf '<Phonebook><Item Address="127.0.0.2" Type="1">Второй</Item><Item Address="127.0.0.3" Type="1">Склад</Item></Phonebook>' \
        >"$WORK/$1/bin/AddressBook.xml"
    # The instance's own runtime folder (its single-instance socket); the
    # session's display by its full path.
    TV_SESSION_BUS=$DBUS_SESSION_BUS_ADDRESS start_tarvello "$1" - "$1"
    wait_for 15 listening_on - "$(eval echo "\$MESSAGE_PORT_$1")"
}
message_to() { # NAME: the example message to an instance
    python3 "$E2E_DIR/rawtcp.py" send 127.0.0.1 "$(eval echo "\$MESSAGE_PORT_$1")" $MESSAGE_HEX >/dev/null
}
clipboard() { wl_run wl-paste -n 2>/dev/null; }
clipboard_is() { [ "$(clipboard)" = "$1" ]; }
between() { [ "$1" -ge "$2" ] && [ "$1" -le "$3" ]; }
# on_screen TITLE: the window lies on the screen whole.
on_screen() {
    local x y w h
    read -r _ _ _ x y w h < <(wl_window "$1") &&
        [ "$x" -ge 0 ] && [ "$y" -ge 0 ] && [ $((x + w)) -le $WL_WIDTH ] && [ $((y + h)) -le $WL_HEIGHT ]
}
close_window() { # TITLE [PID]: Escape in the window, as a user closes a dialog
    wl_focused "$@" && wl_input key Escape && wait_for 5 wl_window_gone "$@"
}
icon_shown() { # WHAT: the item registers and waybar draws it
    local t0
    t0=$(date +%s%N)
    if wait_for 15 sni_registered; then
        pass "$1: the icon registers with waybar ($(ms_since "$t0") ms)"
    else
        fail "$1: the icon registers with waybar"
    fi
    check "$1: waybar draws the icon" wait_for 10 waybar_icon_drawn
}
users_in() { # SUBMENU: both users are listed in the exported menu
    [ "$(sni_menu_labels | awk -v top="$1" '/^[^ ]/ {inside = ($0 == top)} /^  / && inside')" = \
        "$(printf '  %s\n  %s' "$USER_2" "$USER_3")" ]
}
only_show_open_window() { [ "$(sni_menu_labels)" = "$SHOW_OPEN_WINDOW" ]; }
menu_rows() { local h; read -r _ h _ <<<"$WAYBAR_MENU"; echo $(((h - 8) / 25)); }

# --- waybar first: the icon, the menu, the user submenus -------------------------------
if waybar_up; then
    pass "waybar registers as the StatusNotifier host ($WAYBAR_MS ms)"
else
    fail "waybar registers as the StatusNotifier host"
    summary
    exit 1
fi
new_instance a || fail "the program listens on its message port"
TRAY_PID=$(pid_of a)
icon_shown "waybar first"
screenshot wayland-icon
check "\"Отправить сообщение\" lists the address book's users" wait_for 10 users_in "Отправить сообщение"
check "\"Отправить файл\" lists the address book's users" users_in "Отправить файл"

opened=0
for try in 1 2 3; do
    if waybar_open_menu; then
        sleep 2 # a menu that closes by itself does so within 2 s
        waybar_menu_shown && opened=$((opened + 1))
        waybar_close_menu
    fi
done
check "a right click keeps the menu open for 2 s (open after 2 s: $opened of 3)" [ "$opened" = 3 ]

if waybar_open_menu; then
    screenshot wayland-menu
    check "the menu is drawn with the program's entries (about $(menu_rows) rows, 9 exported)" \
        between "$(menu_rows)" 8 10
    if waybar_open_submenu $ROW_SEND_MESSAGE; then
        screenshot wayland-submenu-message
        read -r _ h _ <<<"$WAYBAR_SUBMENU"
        check "\"Отправить сообщение\" opens a submenu of two users (${h} pixels high)" \
            between "$h" 45 70
        waybar_submenu_click 1
        check "the second user chosen with the mouse opens the message to \"$USER_3\"" \
            wait_for 10 wl_focused "Сообщение для $USER_3"
        close_window "Сообщение для $USER_3"
        # With the window gone the screen is as it was before the menu.
        check "the menu has closed once the user was chosen" wait_for 3 waybar_menu_gone
    else
        fail "hovering \"Отправить сообщение\" opens its submenu"
        waybar_close_menu
    fi
else
    fail "a right click on the icon opens the menu"
fi

if waybar_open_menu && waybar_open_submenu $ROW_SEND_FILE; then
    screenshot wayland-submenu-file
    waybar_submenu_click 0
    check "\"Отправить файл\" to the first user chosen with the mouse asks for a file for \"$USER_2\"" \
        wait_for 10 wl_focused "Выберите файл для отправки к $USER_2"
    close_window "Выберите файл для отправки к $USER_2"
else
    fail "hovering \"Отправить файл\" opens its submenu"
    waybar_close_menu
fi

# --- A window open: the menu is the way back to it -------------------------------------
waybar_open_menu && waybar_menu_click $ROW_ADDRESS_BOOK
if wait_for 10 wl_focused "$ADDRESS_BOOK"; then
    pass "\"Адресная книга...\" chosen with the mouse opens \"$ADDRESS_BOOK\""
    check "while it is open the exported menu holds only \"$SHOW_OPEN_WINDOW\"" \
        wait_for 5 only_show_open_window
    if waybar_open_menu; then
        screenshot wayland-way-back
        check "waybar draws a menu of one entry (about $(menu_rows) rows)" [ "$(menu_rows)" = 1 ]
        waybar_menu_click $ROW_SEND_MESSAGE
        check "\"$SHOW_OPEN_WINDOW\" leaves the address book shown and focused" \
            wait_for 5 wl_focused "$ADDRESS_BOOK"
        check "the one-entry menu closes" wait_for 3 waybar_menu_gone
    else
        fail "a right click opens the menu while the address book is open"
    fi
    windows=$(wl_windows | awk -F'\t' -v pid="$TRAY_PID" '$1 == pid' | wc -l)
    check "the program shows one window, the address book (got $windows)" [ "$windows" = 1 ]
    close_window "$ADDRESS_BOOK"
    check "once it is closed the exported menu holds the commands again" \
        wait_for 5 users_in "Отправить сообщение"
else
    fail "\"Адресная книга...\" chosen with the mouse opens \"$ADDRESS_BOOK\""
fi

# --- An incoming message ---------------------------------------------------------------
message_to a
if wait_for 10 wl_has_window "$INCOMING"; then
    check "an incoming message window is shown and focused" wait_for 5 wl_focused "$INCOMING"
    check "it lies on the screen whole ($(wl_window "$INCOMING" | cut -d' ' -f4-))" on_screen "$INCOMING"
    screenshot wayland-incoming
    wl_click_in "$INCOMING" -161 -17 # "Копировать в буфер"
    check "its text reads as sent (copied with its button)" \
        wait_for 5 clipboard_is "$MESSAGE_TEXT"
    close_window "$INCOMING"
else
    fail "an incoming message opens \"$INCOMING\""
fi

# --- waybar restarted ----------------------------------------------------------------------
if waybar_down && waybar_up; then
    pass "waybar restarts (its host back after $WAYBAR_MS ms)"
    icon_shown "after a waybar restart"
    screenshot wayland-restarted
else
    fail "waybar restarts"
fi
if waybar_open_menu; then
    waybar_menu_click $ROW_EXIT
    wait_exit a 10
    check "\"Выход\" chosen with the mouse ends the program with status 4 (got $EXIT_STATUS)" \
        [ "$EXIT_STATUS" = 4 ]
else
    fail "a right click opens the menu for \"Выход\""
fi
unset TRAY_PID

# --- No tray: the notice never covers an incoming message -----------------------------------
waybar_down || fail "waybar ends"
# no_cover: the incoming window is shown and no notice overlaps it.
no_cover() {
    local pid x y w h visible nx ny nw nh
    pid=$(pid_of b)
    read -r _ _ visible x y w h < <(wl_window "$INCOMING" "$pid") && [ "$visible" = 1 ] || return 1
    read -r _ _ _ nx ny nw nh < <(wl_window "$NO_TRAY" "$pid") || return 0
    [ $((nx + nw)) -le "$x" ] || [ $((x + w)) -le "$nx" ] || [ $((ny + nh)) -le "$y" ] || [ $((y + h)) -le "$ny" ]
}
covered() { ! no_cover; }
notice_names_waybar() {
    grep -q "рабочие столы на wlroots: включите в панели (например, waybar) модуль «tray»" <<<"$(clipboard)"
}
new_instance b
TRAY_PID=$(pid_of b)
WL_ALSO=("$NO_TRAY" "$INCOMING")
t0=$(date +%s%N)
message_to b
if wait_for 10 wl_focused "$INCOMING" "$TRAY_PID"; then
    # The notice is due 10 s after the start, while the message is still open.
    check "a message open when the notice is due: no notice covers it for 13 s" not_within 13 covered
    close_window "$INCOMING" "$TRAY_PID"
    if wait_for 5 wl_has_window "$NO_TRAY" "$TRAY_PID"; then
        pass "once the message is closed the notice \"$NO_TRAY\" opens ($(ms_since "$t0") ms after the start)"
    else
        fail "once the message is closed the notice \"$NO_TRAY\" opens"
    fi
else
    fail "an incoming message opens \"$INCOMING\" with no tray"
fi
if wl_focused "$NO_TRAY" "$TRAY_PID"; then
    screenshot wayland-notice
    # Its text: selected whole and copied, as a user can.
    wl_click_in "$NO_TRAY" 200 40 "$TRAY_PID" && wl_input key Control_L+a Control_L+c
    check "the notice names the wlroots desktops and waybar's tray module" wait_for 5 notice_names_waybar
    message_to b
    check "a message while the notice is shown opens focused" wait_for 10 wl_focused "$INCOMING" "$TRAY_PID"
    check "and the notice steps aside" wait_for 5 no_cover
    check "and stays aside" not_within 2 covered
    screenshot wayland-notice-aside
    close_window "$INCOMING" "$TRAY_PID"
    check "the notice comes back once the message is closed" wait_for 5 wl_has_window "$NO_TRAY" "$TRAY_PID"
else
    fail "the notice is shown and focused"
fi

# --- waybar after the program ------------------------------------------------------------
if waybar_up; then
    icon_shown "waybar started after the program"
    screenshot wayland-late
else
    fail "waybar starts after the program"
fi
kill -TERM "$TRAY_PID"
wait_exit b 10
check "the session's end ends the program with status 4 (got $EXIT_STATUS)" [ "$EXIT_STATUS" = 4 ]

# --- The compositor going with messages waiting in the listen queue ---------------------
# A peer trickling its message holds the listener; three more wait behind it.
new_instance g
python3 "$E2E_DIR/rawtcp.py" trickle 127.0.0.1 "$MESSAGE_PORT_g" 20 >"$WORK/trickle.log" &
wait_for 5 grep -q "sent 2" "$WORK/trickle.log"
python3 "$E2E_DIR/journal.py" burst "$MESSAGE_PORT_g" 3 "позади"
kill "$SWAY_PID"
wait_exit g 10
check "the compositor going ends the program (status $EXIT_STATUS)" [ "$EXIT_STATUS" != timeout ]
check "the 3 waiting in the listen queue are in the journal" [ "$(python3 "$E2E_DIR/journal.py" texts \
    "$WORK/g/.local/state/Tarvello/journal" | grep -c '^позади')" = 3 ]

echo "Run time: $(ms_since "$t_start") ms"
summary
