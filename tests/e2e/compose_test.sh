#!/bin/bash
# Whole-program tests of sending a text message: from pc-a to pc-b over the
# message port, then through the messenger service (Samba on pc-b) when
# Tarvello does not run there.
source "$(dirname "$0")/lib.sh"

need_hosts "sending between the test hosts"

INCOMING="Принято сообщение:"
COMPOSE="Сообщение для $PC_B_USER"
NOTICE="Предупреждение"
start_pair || { fail "both programs listen"; summary; exit 1; }
clipboard() { xclip -o -selection clipboard 2>/dev/null; }
hex() { od -An -tx1 | tr -d ' \n'; }

# compose TEXT: chooses the user in pc-a's tray menu and sends the text.
compose() {
    TRAY_PID=$(pid_of a) open_tray_menu && TRAY_PID=$(pid_of a) choose_user 0 &&
        wait_for 10 has_window "$COMPOSE" || return 1
    screenshot compose
    # The text goes in through the clipboard and "Взять из буфера обмена"
    # (typing Cyrillic with xdotool drops characters now and then).
    printf '%s' "$1" | xclip -i -selection clipboard -quiet 2>/dev/null &
    local holder=$!
    sleep 0.3
    # From the text field: Tab to the paste button, then the check box, the
    # sender field and the send button.
    xdotool key Tab space
    sleep 0.3
    kill $holder 2>/dev/null
    xdotool key Tab Tab Tab space
}

TEXT="Привет из pc-a! Как дела?"
if compose "$TEXT"; then
    pass "\"Отправить сообщение\" opens \"$COMPOSE\""
else
    fail "\"Отправить сообщение\" opens \"$COMPOSE\""
fi
if wait_for 15 has_window "$INCOMING"; then
    pass "pc-b shows the message"
    click_in_window "$INCOMING" -161 -17
    sleep 0.3
    check "pc-b received \"Сообщение от pc-a:\" CR LF and the text (got: $(clipboard))" \
        [ "$(clipboard | hex)" = "$(printf 'Сообщение от pc-a:\r\n%s' "$TEXT" | hex)" ]
    click_in_window "$INCOMING" -46 -17
else
    fail "pc-b shows the message"
fi
if wait_for 10 has_window "Tarvello"; then
    pass "pc-a confirms: a box captioned \"Tarvello\""
    screenshot sent
    click_notice_ok "Tarvello"
else
    fail "pc-a confirms: a box captioned \"Tarvello\""
fi

# pc-a's log holds the outgoing entry.
if TRAY_PID=$(pid_of a) wait_for 10 open_tray_menu; then
    menu=$(TRAY_PID=$(pid_of a) tray_menu_window)
    xdotool mousemove --window "$menu" 40 "${LOG_ITEM_FROM_TOP:-103}" sleep 0.2 click 1
    if wait_for 10 has_window "Лог сообщений"; then
        click_in_window "Лог сообщений" 100 100
        xdotool key ctrl+a ctrl+c
        sleep 0.3
        log_text=$(clipboard)
        outgoing_logged() {
            grep -q ': Сообщение для 10.77.0.2$' <<<"$log_text" &&
                grep -qxF "$TEXT" <<<"$log_text" && ! grep -q 'Сообщение от' <<<"$log_text"
        }
        check "pc-a's log: \"Сообщение для 10.77.0.2\" and the text without the header" \
            outgoing_logged
        xdotool key Escape
        wait_for 5 window_gone "Лог сообщений"
    else
        fail "pc-a's log window opens"
    fi
fi

# pc-b without Tarvello, with Samba: the messenger service delivers.
kill -TERM "$(pid_of b)"
wait_exit b 15
samba_up $NS_B PC-B tv_veth_b || fail "Samba on pc-b"
LONG="Это длинное сообщение через службу Messenger: в нём больше восьмидесяти знаков, хвост отрежется. КОНЕЦ"
if compose "$LONG"; then
    if wait_for 15 has_window "$NOTICE"; then
        pass "no Tarvello on pc-b: the messenger question appears"
        screenshot messenger-question
        xdotool key Return # "Да", the default button
        if wait_for 15 sh -c "ls $WORK/inbox-$NS_B/msg-*.txt >/dev/null 2>&1"; then
            # Samba stores the text in its Unix character set, UTF-8.
            got=$(cat "$WORK"/inbox-$NS_B/msg-*.txt)
            want=$(python3 -c "import sys; print(sys.argv[1][:80])" "$LONG")
            check "Samba on pc-b received the first 80 characters, Cyrillic intact (got: $got)" \
                [ "$(printf '%s' "$got" | tr -d '\r\n')" = "$want" ]
        else
            fail "Samba on pc-b received the message"
        fi
        check "pc-a confirms the messenger delivery" wait_for 15 has_window "Tarvello"
        click_notice_ok "Tarvello"
    else
        fail "no Tarvello on pc-b: the messenger question appears"
    fi
else
    fail "the compose window opens a second time"
fi

# The session ends on pc-a while the messenger service's program waits for a
# Samba that does not answer: the program does not wait for it.
smbd_b() { for p in $(ip netns pids $NS_B); do [ "$(cat /proc/$p/comm 2>/dev/null)" = smbd ] && echo $p; done; }
kill -STOP $(smbd_b)
if compose "Никто не ответит"; then
    if wait_for 15 has_window "$NOTICE"; then
        xdotool key Return
        if wait_for 10 sh -c "pgrep -x smbclient >/dev/null"; then
            check_ends_at_once a "the messenger service waits for an answer"
        else
            fail "pc-a runs the messenger service's program"
        fi
    else
        fail "the messenger question appears again"
    fi
else
    fail "the compose window opens a third time"
fi
kill -CONT $(smbd_b)

summary
