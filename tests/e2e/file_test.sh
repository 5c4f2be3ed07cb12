#!/bin/bash
# Whole-program tests of sending a file: pc-a offers a 50 MB file through
# the tray menu; pc-b accepts it within the countdown and stores it; an offer
# left alone is refused after 15 seconds.
source "$(dirname "$0")/lib.sh"

if ! is_root; then
    skip "files between the test hosts (needs root for the namespaces)"
    summary
    exit 0
fi
x11_up || { fail "X server with a tray"; summary; exit 1; }
netns_up || { fail "test hosts"; summary; exit 1; }

CHOOSE="Выберите файл для отправки к $PC_B_USER"
SENDING="Отправка файла пользователю <$PC_B_USER>"
OFFER="Информация от Tarvello: <pc-a> посылает Вам файл "
IMPOSSIBLE="Отправка невозможна:"
start_pair || { fail "both programs listen"; summary; exit 1; }
head -c 50000000 /dev/urandom >"$WORK/send.bin"

# The file dialog: type the path into its name field and press Return.
if TRAY_PID=$(pid_of a) open_tray_menu; then
    open_submenu 34 # "Отправить файл", above "Отправить сообщение"
    wait_for 5 submenu_window >/dev/null &&
        xdotool mousemove --window "$(TRAY_PID=$(pid_of a) submenu_window)" 40 11 sleep 0.2 click 1
fi
if wait_for 10 has_window "$CHOOSE"; then
    pass "\"Отправить файл\" asks for the file to send"
    sleep 0.5
    xdotool type --delay 10 "$WORK/send.bin"
    xdotool key Return
else
    fail "\"Отправить файл\" asks for the file to send"
fi
if wait_for 10 has_window "$SENDING"; then
    pass "the sending window opens"
    screenshot send-file
    sleep 0.3
    xdotool key Return # "Отправить", the default button
else
    fail "the sending window opens"
fi
if wait_for 10 has_window "$OFFER"; then
    pass "pc-b is asked: \"$OFFER\""
    screenshot offer
    click_in_window "$OFFER" -125 -22 # "Да", left of "Нет"
    # The save dialog, with Qt's Russian title, offers the file's name.
    if wait_for 10 has_window "Сохранить как"; then
        pass "\"Да\" opens the save dialog"
        sleep 0.5
        screenshot save-dialog
        xdotool type --delay 10 "$WORK/received.bin"
        xdotool key Return
    else
        fail "\"Да\" opens the save dialog"
    fi
    if wait_for 60 test -f "$WORK/received.bin"; then
        check "the stored file is byte-identical (sha256)" \
            [ "$(sha256sum <"$WORK/received.bin")" = "$(sha256sum <"$WORK/send.bin")" ]
    else
        fail "pc-b stores the accepted file"
    fi
else
    fail "pc-b is asked: \"$OFFER\""
fi

# An offer left alone: refused after 15 seconds.
if has_window "$SENDING"; then
    sleep 1
    xdotool key Return
    if wait_for 10 has_window "$OFFER"; then
        t0=$(date +%s%N)
        check "the unanswered prompt closes by itself" wait_for 25 window_gone "$OFFER"
        echo "  prompt open for $(ms_since "$t0") ms"
        check "pc-a says \"$IMPOSSIBLE\" when the offer is refused" wait_for 10 has_window "$IMPOSSIBLE"
        screenshot refused
        click_notice_ok "$IMPOSSIBLE"
    else
        fail "the second offer reaches pc-b"
    fi
fi

summary
