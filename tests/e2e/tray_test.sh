#!/bin/bash
# Whole-program tests of the tray on a StatusNotifier host, as KDE, Xfce,
# LXQt and GNOME with AppIndicator have it: xfce4-panel's Status Tray draws
# the icon and the menu the program exports. The menu and its user submenus,
# a right click while a window is open, a panel that starts after the
# program or restarts, and a desktop with no tray at all.
#
# Runs here, without test hosts: every instance gets free ports of its own.
source "$(dirname "$0")/lib.sh"

NO_TRAY="Tarvello"
ADDRESS_BOOK="Адресная книга"
SHOW_OPEN_WINDOW="Показать открытое окно Tarvello"
USER_2="Второй* (IP = 127.0.0.2)"
USER_3="Склад* (IP = 127.0.0.3)"
USER_ABSENT="Бухгалтерия (PC12, отсутствует в сети)"
COMMANDS="О программе
Документация...
Настройка...
Обновить список пользователей
Лог сообщений...
Адресная книга...
Выход
Отправить файл
Отправить сообщение"

for tool in xfce4-panel dbus-daemon busctl xdotool xwininfo xmessage import xclip; do
    command -v $tool >/dev/null || { skip "the tray tests (no $tool: scripts/packages.sh)"; summary; exit 0; }
done
x11_server_up || { fail "X server"; summary; exit 1; }
sni_bus_up || { fail "private session bus"; summary; exit 1; }

# new_instance NAME [BUS]: an instance on free ports, with two users by
# address and one by a name nobody announces (absent) in its address book,
# started on the session bus, or with BUS "-" on none.
new_instance() {
    configure_free "$1"
    cat >"$WORK/$1/bin/AddressBook.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<Phonebook>
    <Item Address="127.0.0.2" Type="1">Второй</Item>
    <Item Address="127.0.0.3" Type="1">Склад</Item>
    <Item Address="PC12" Type="2">Бухгалтерия</Item>
</Phonebook>
XML
    STARTED_AT=$(date +%s%N)
    if [ "${2:-}" = - ]; then
        TV_SESSION_BUS='' start_tarvello "$1" - "$1"
    else
        TV_SESSION_BUS=$DBUS_SESSION_BUS_ADDRESS start_tarvello "$1" - "$1"
    fi
}

top_labels() { sni_menu_items | awk -F'\t' '$1 == 0 {print $4}'; }
has_commands() { [ "$(top_labels)" = "$COMMANDS" ]; }
# submenu TOP: "ENABLED<TAB>LABEL" for each entry of a submenu.
submenu() {
    sni_menu_items |
        awk -F'\t' -v top="$1" '$1 == 0 {inside = ($4 == top)} $1 == 1 && inside {print $2 "\t" $4}'
}
users_listed() {
    [ "$(submenu "$1")" = "$(printf '1\t%s\n1\t%s\n0\t%s' "$USER_2" "$USER_3" "$USER_ABSENT")" ]
}

exports_menu() {
    local path
    path=$(sni_menu_path) && [ -n "$path" ] && [ "$path" != /NO_DBUSMENU ]
}
only_show_open_window() { [ "$(sni_menu_labels)" = "$SHOW_OPEN_WINDOW" ]; }
no_xembed_icon() { ! tray_icon_window >/dev/null; }
icon_on_panel() { sni_registered || has_tray_icon; }
# The panel draws the item's own menu.
panel_shows_its_menu() { [ "$MENU_KIND" = panel ] && panel_menu_fits; }
# panel_gets_icon WHAT: the icon comes to the panel (as a StatusNotifier item
# or, failing that, as an XEmbed window in the same tray), drawn, and it is
# a StatusNotifier item.
panel_gets_icon() {
    local t0
    t0=$(date +%s%N)
    if wait_for 10 icon_on_panel; then
        pass "$1 gets the icon ($(ms_since "$t0") ms after its host)"
    else
        fail "$1 gets the icon"
    fi
    check "$1 draws the icon" wait_for 10 sni_icon_drawn
    check "$1 shows the icon as a StatusNotifier item (not an XEmbed window)" no_xembed_icon
}
between() { [ "$1" -ge "$2" ] && [ "$1" -le "$3" ]; }

# still_running NAME SECONDS: the instance does not end within that time.
still_running() { ! wait_for "$2" sh -c "! kill -0 $(pid_of "$1")"; }

# quiet_for NAME SECONDS: the instance runs that long and shows no notice.
quiet_for() { ! wait_for "$2" has_window "$NO_TRAY" && alive "$1"; }

# choose LABEL [SUBLABEL]: chooses an entry of the open menu; false, with the
# menu closed, when it has no such entry.
choose() { menu_choose "$@" || { panel_close_menu; return 1; }; }

# exit_through_menu NAME WHAT: "Выход" from the icon's menu ends the instance
# with status 4.
exit_through_menu() {
    TRAY_PID=$(pid_of "$1")
    if ! panel_open_menu; then
        fail "$2: a right click on the icon opens a menu"
    elif ! choose "Выход"; then
        fail "$2: the menu the right click opens ($MENU_KIND draws it) holds \"Выход\""
    else
        pass "$2: a right click on the icon opens a menu ($MENU_KIND draws it) with \"Выход\""
        wait_exit "$1" 15
        check "$2: \"Выход\" ends the program with status 4 (got $EXIT_STATUS)" [ "$EXIT_STATUS" = 4 ]
    fi
    alive "$1" && kill -9 "$(pid_of "$1")"
    unset TRAY_PID
}

# --- The panel first: icon, menu, submenus ------------------------------------------
if sni_panel_up; then
    pass "the panel's Status Tray registers as the host (${SNI_PANEL_MS} ms)"
else
    fail "the panel's Status Tray registers as the host"
    summary
    exit 1
fi

t0=$(date +%s%N)
new_instance a
TRAY_PID=$(pid_of a)
if wait_for 15 sni_registered; then
    pass "the icon registers with the host ($(ms_since "$t0") ms from exec)"
else
    fail "the icon registers with the host"
fi
check "the panel draws the icon" wait_for 10 sni_icon_drawn
screenshot tray-sni-icon
check "the icon hands the host a menu (got $(sni_menu_path))" exports_menu
check "the exported menu holds the commands and the two user submenus" wait_for 15 has_commands
check "\"Отправить файл\" lists the users, the absent one greyed" wait_for 15 users_listed "Отправить файл"
check "\"Отправить сообщение\" lists the users, the absent one greyed" users_listed "Отправить сообщение"

if panel_open_menu; then
    check "a right click on the icon opens Tarvello's menu, drawn by the panel (got: $MENU_KIND)" \
        panel_shows_its_menu
    screenshot tray-sni-menu
    if choose "Отправить сообщение" "$USER_3"; then
        check "the panel's \"Отправить сообщение\" opens the message to the chosen user" \
            wait_for 10 has_window "Сообщение для $USER_3"
        check "the menu closes once the user is chosen" wait_for 5 menu_gone
        close_dialog "Сообщение для $USER_3"
    else
        fail "the panel's menu holds \"Отправить сообщение\", \"$USER_3\""
    fi
else
    fail "a right click on the icon opens the menu"
fi

if panel_open_menu; then
    if choose "Отправить файл" "$USER_2"; then
        check "the panel's \"Отправить файл\" asks for a file for the chosen user" \
            wait_for 10 has_window "Выберите файл для отправки к $USER_2"
        screenshot tray-sni-send-file
        close_dialog "Выберите файл для отправки к $USER_2"
    else
        fail "the panel's menu holds \"Отправить файл\", \"$USER_2\""
    fi
else
    fail "a right click on the icon opens the menu again"
fi

# --- A window open: the right click brings it forward -------------------------------
panel_open_menu && choose "Адресная книга..."
if wait_for 10 has_window "$ADDRESS_BOOK"; then
    pass "the panel's \"Адресная книга...\" opens \"$ADDRESS_BOOK\""
    book=$(window_by_title "$ADDRESS_BOOK")
    # Another program's window over it.
    geometry=$(xwininfo -id "$book" | awk '/Absolute upper-left X/{x=$NF} /Absolute upper-left Y/{y=$NF}
        /Width:/{w=$NF} /Height:/{h=$NF} END{print w "x" h "+" x "+" y}')
    xmessage -title cover -geometry "$geometry" "cover" 2>/dev/null &
    cover_pid=$!
    on_exit "kill $cover_pid"
    wait_for 5 has_window cover && cover=$(window_by_title cover)
    wait_for 5 stacked_above "$cover" "$book" || fail "another window covers the address book"
    check "while it is open the exported menu holds only \"$SHOW_OPEN_WINDOW\"" \
        wait_for 5 only_show_open_window
    windows_before=$(xdotool search --onlyvisible --pid "$TRAY_PID" 2>/dev/null | sort | tr '\n' ' ')
    panel_right_click
    check "a right click on the icon brings the address book forward" \
        wait_for 5 stacked_above "$book" "$cover"
    screenshot tray-sni-modal-front
    # The panel shows the menu it is given; its one entry brings the window
    # forward too.
    if wait_for 3 panel_menu_window >/dev/null && wait_for 3 menu_settled; then
        screenshot tray-sni-modal-menu
        MENU_KIND=panel
        check "the panel's menu then holds one entry" panel_shows_its_menu
        xdotool windowraise "$cover"
        if wait_for 5 stacked_above "$cover" "$book"; then
            choose "$SHOW_OPEN_WINDOW"
            check "the menu's one entry, \"$SHOW_OPEN_WINDOW\", brings the address book forward" \
                wait_for 5 stacked_above "$book" "$cover"
        else
            fail "another window covers the address book again"
        fi
        check "the one-entry menu closes" wait_for 5 menu_gone
    fi
    books=0
    for id in $(xdotool search --onlyvisible --pid "$TRAY_PID" 2>/dev/null); do
        [ "$(xdotool getwindowname "$id")" = "$ADDRESS_BOOK" ] && books=$((books + 1))
    done
    check "there is still one address book (got $books)" [ "$books" = 1 ]
    windows_after=$(xdotool search --onlyvisible --pid "$TRAY_PID" 2>/dev/null | sort | tr '\n' ' ')
    check "the right click starts no other command (no new window)" \
        [ "$windows_after" = "$windows_before" ]
    close_dialog "$ADDRESS_BOOK"
    check "once it is closed the exported menu holds the commands again" wait_for 5 has_commands
    kill "$cover_pid"
else
    fail "the panel's \"Адресная книга...\" opens \"$ADDRESS_BOOK\""
fi

exit_through_menu a "panel first"
unset TRAY_PID

# --- The panel restarted ---------------------------------------------------------------
new_instance r
TRAY_PID=$(pid_of r)
wait_for 15 sni_registered && wait_for 10 sni_icon_drawn
if sni_panel_restart; then
    pass "the panel restarts (its host back after ${SNI_PANEL_MS} ms)"
    t0=$(date +%s%N)
    if wait_for 10 sni_registered; then
        pass "after the restart the icon registers again ($(ms_since "$t0") ms after the host)"
    else
        fail "after the restart the icon registers again"
    fi
    check "after the restart the panel draws the icon" wait_for 10 sni_icon_drawn
    screenshot tray-sni-restarted
    check "after the restart the exported menu holds the commands" wait_for 5 has_commands
    exit_through_menu r "after a panel restart"
else
    fail "the panel restarts"
    kill -9 "$TRAY_PID"
fi
unset TRAY_PID

# --- The panel 5 s after the program ---------------------------------------------------
sni_panel_down || fail "the panel ends"
new_instance late
TRAY_PID=$(pid_of late)
sleep 5 # the program starts on a desktop whose panel comes later
check "the program runs without a tray for 5 s" alive late
if sni_panel_up; then
    panel_gets_icon "the late panel"
    screenshot tray-sni-late
    exit_through_menu late "a late panel"
else
    fail "the panel starts again"
    kill -9 "$TRAY_PID"
fi
unset TRAY_PID

# --- No tray at all ------------------------------------------------------------------------
# notice_test NAME WHAT: no tray; the notice comes about 10 s after the start,
# says why, and closing it leaves the program running.
notice_test() {
    local name=$1 what=$2 id text ms
    if wait_for 20 has_window "$NO_TRAY"; then
        ms=$(ms_since "$STARTED_AT")
        check "$what: the notice \"$NO_TRAY\" opens after about 10 s (got $ms ms)" \
            between "$ms" 9000 15000
        id=$(window_by_title "$NO_TRAY")
        check "$what: the notice belongs to the program" \
            [ "$(xdotool getwindowpid "$id" 2>/dev/null)" = "$(pid_of "$name")" ]
        screenshot "tray-notice-$name"
        # Its first paragraph: a triple click on the first line selects it
        # (the primary selection).
        xdotool mousemove --window "$id" 150 20 click --repeat 3 --delay 80 1
        text=$(timeout 5 xclip -o -selection primary 2>/dev/null)
        check "$what: the notice says that no notification area was found (got \"$text\")" \
            grep -q "не нашла на рабочем столе область уведомлений" <<<"$text"
        # Return: its default button, "Закрыть".
        close_dialog "$NO_TRAY" Return
        check "$what: the notice closes with its button" window_gone "$NO_TRAY"
        check "$what: the program goes on after the notice is closed" still_running "$name" 3
    else
        fail "$what: the notice \"$NO_TRAY\" opens"
    fi
}

sni_panel_down || fail "the panel ends"
# A desktop without a session bus and without a tray.
new_instance nobus -
check "without a tray and a session bus the program runs, with no notice in its first 5 s" \
    quiet_for nobus 5
notice_test nobus "no session bus, no tray"
kill -TERM "$(pid_of nobus)"
wait_exit nobus 15
check "no session bus, no tray: the session's end ends the program with status 4 (got $EXIT_STATUS)" \
    [ "$EXIT_STATUS" = 4 ]

# A session bus with no host on it.
new_instance notray
TRAY_PID=$(pid_of notray)
notice_test notray "a session bus, no tray"
# The notice promises the icon once a tray appears.
if sni_panel_up; then
    panel_gets_icon "a panel started after the notice"
    exit_through_menu notray "a panel after the notice"
else
    fail "the panel starts after the notice"
fi
unset TRAY_PID

summary
