#!/bin/bash
# Whole-program tests of the settings window, the address book window and
# the documentation command, driven with the mouse and the keyboard.
source "$(dirname "$0")/lib.sh"

need_hosts "settings and address book on the test hosts"

SETTINGS="Настройки программы"
BOOK="Адресная книга"
EDITOR="Введите параметры для нового пользователя"
NOTICE="Предупреждение"
# A viewer for the documentation: the desktop opens files with xdg-open.
mkdir -p "$WORK/viewer"
printf '#!/bin/sh\nprintf "%%s\\n" "$@" >> %s/viewer/opened\n' "$WORK" >"$WORK/viewer/xdg-open"
chmod +x "$WORK/viewer/xdg-open"
TV_ENV=("PATH=$WORK/viewer:$PATH")
start_pair || { fail "both programs listen"; summary; exit 1; }
TV_ENV=()
export TRAY_PID
TRAY_PID=$(pid_of a)

# --- Settings: both ports move ------------------------------------------------------
if choose_command 56 && wait_for 10 has_window "$SETTINGS"; then
    pass "\"Настройка...\" opens \"$SETTINGS\""
    screenshot settings-window
    # Configured 1280 is TCP port 5 on the wire, 33533 is 64898.
    replace_text "$SETTINGS" 430 52 1280
    replace_text "$SETTINGS" 430 80 33533
    click_in_window "$SETTINGS" 393 214 # "Сохранить"
    if wait_for 5 has_window "$NOTICE"; then
        xdotool key Return # "Да"
    fi
    check "the listeners move to TCP ports 5 and 64898" \
        wait_for 15 sh -c "ip netns exec $NS_A ss -ltnH | grep -q ':5 ' && ip netns exec $NS_A ss -ltnH | grep -q ':64898 '"
    check "nothing listens on the old ports 4 and 64897" \
        sh -c "! ip netns exec $NS_A ss -ltnH | grep -Eq ':(4|64897) '"
    check "the new ports are stored" \
        grep -q '^ListeningPort=1280$' "$WORK/a/config/Tarvello/Tarvello.conf"
    printf 'moved' | xxd -p | ip netns exec $NS_B python3 "$E2E_DIR/rawtcp.py" send $IP_A 5 - >/dev/null
    check "a message to the new port arrives" wait_for 10 has_window "Принято сообщение:"
    click_in_window "Принято сообщение:" -46 -17
    wait_for 5 window_gone "Принято сообщение:"
else
    fail "\"Настройка...\" opens \"$SETTINGS\""
fi

# --- Address book: a new entry -------------------------------------------------------
if choose_command 125 && wait_for 10 has_window "$BOOK"; then
    pass "\"Адресная книга...\" opens \"$BOOK\""
    screenshot address-book-window
    click_in_window "$BOOK" 50 -22 # "Добавить"
    if wait_for 5 has_window "$EDITOR"; then
        replace_text "$EDITOR" 188 42 Tester
        replace_text "$EDITOR" 288 111 PC-X
        screenshot user-editor
        click_in_window "$EDITOR" 238 152 # "Добавить"
        wait_for 5 window_gone "$EDITOR"
    fi
    click_in_window "$BOOK" -40 -22 # "Закрыть"
    if wait_for 5 has_window "$NOTICE"; then
        xdotool key Return # "Да"
    fi
    check "AddressBook.xml holds the new entry" \
        wait_for 10 grep -q '<Item Address="PC-X" Type="2">Tester</Item>' "$WORK/a/bin/AddressBook.xml"
    check "the menu opens again after the rebuild" wait_for 15 open_tray_menu
    open_submenu 12
    if wait_for 5 submenu_window >/dev/null; then
        rows=$((($(submenu_height) + 11) / 22))
        check "the rebuilt list holds pc-b and the new (absent) user (got $rows)" [ "$rows" = 2 ]
        screenshot user-menu-after-book
    fi
    xdotool key Escape Escape
else
    fail "\"Адресная книга...\" opens \"$BOOK\""
fi

# --- Documentation --------------------------------------------------------------------
cp "$BUILD_DIR/Tarvello.pdf" "$WORK/a/bin/Tarvello.pdf"
if choose_command 33; then
    check "\"Документация...\" opens Tarvello.pdf in the desktop's viewer" \
        wait_for 10 grep -q "/a/bin/Tarvello.pdf" "$WORK/viewer/opened"
fi
rm -f "$WORK/a/bin/Tarvello.pdf"
if wait_for 5 open_tray_menu; then
    xdotool mousemove --window "$(tray_menu_window)" 40 33 sleep 0.2 click 1
    check "without the file the notice appears" wait_for 10 has_window "$NOTICE"
    screenshot help-missing
    click_notice_ok "$NOTICE"
fi

summary
