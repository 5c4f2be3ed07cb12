#!/bin/bash
# Whole-program tests of incoming text messages: the incoming window, the
# clipboard and the message log, with messages from another host.
source "$(dirname "$0")/lib.sh"

INCOMING="Принято сообщение:"
LOG="Лог сообщений"

need_hosts "incoming messages from another host"
# A clipboard manager is not needed: the program owns what it copies.

mkdir -p "$WORK/a/config/Tarvello"
printf '[General]\nListeningPort=1024\nListeningDataPort=33277\n' >"$WORK/a/config/Tarvello/Tarvello.conf"
start_tarvello a $NS_A pc-a
wait_for 15 listening_on $NS_A 4 || { fail "the program listens on port 4"; summary; exit 1; }

send_from_b() { # HEX: the bytes of a message, sent from the other host
    printf '%s' "$1" | ip netns exec $NS_B python3 "$E2E_DIR/rawtcp.py" send $IP_A 4 - >/dev/null
}
clipboard() { xclip -o -selection clipboard 2>/dev/null; }
copy_and_close() { # copies the incoming window's text, then closes it
    click_in_window "$INCOMING" -161 -17 &&
        sleep 0.3 &&
        click_in_window "$INCOMING" -46 -17 &&
        wait_for 5 window_gone "$INCOMING"
}

# The example: "Сообщение от PC1:" CR LF "Привет" in code page 1251.
send_from_b d1eeeee1f9e5ede8e520eef220504331 &&
    send_from_b 3a0d0acff0e8e2e5f2 # a second, separate message: the tail alone
# Two connections: two windows, one after the other.
if wait_for 10 has_window "$INCOMING"; then
    pass "a message from another host opens \"$INCOMING\""
    screenshot incoming-first
else
    fail "a message from another host opens \"$INCOMING\""
fi
copy_and_close
check "\"Копировать в буфер\" puts the text on the clipboard" \
    [ "$(clipboard)" = "Сообщение от PC1" ]
check "the second message opens its window after the first closed" wait_for 10 has_window "$INCOMING"
copy_and_close
check "the second window shows the second message" [ "$(clipboard | od -An -tx1 | tr -d ' \n')" = \
    "$(printf ':\r\nПривет' | od -An -tx1 | tr -d ' \n')" ]

# The whole example in one connection.
send_from_b d1eeeee1f9e5ede8e520eef2205043313a0d0acff0e8e2e5f2
wait_for 10 has_window "$INCOMING"
copy_and_close
check "the example arrives as \"Сообщение от PC1:\" CR LF \"Привет\"" \
    [ "$(clipboard | od -An -tx1 | tr -d ' \n')" = \
        "$(printf 'Сообщение от PC1:\r\nПривет' | od -An -tx1 | tr -d ' \n')" ]

# Long messages arrive whole.
long_hex() { # BYTES: cyclic Cyrillic and Latin text in cp1251, with line breaks
    python3 -c "
import sys
n = int(sys.argv[1])
s = ''.join(('Привет, мир! Hello 0123456789\r\n')[i % 31] for i in range(n))
sys.stdout.write(s.encode('cp1251').hex())" "$1"
}
long_utf8_hash() {
    python3 -c "
import hashlib, sys
n = int(sys.argv[1])
s = ''.join(('Привет, мир! Hello 0123456789\r\n')[i % 31] for i in range(n))
print(hashlib.sha256(s.encode('utf-8')).hexdigest())" "$1"
}
for size in 10000 100000; do
    long_hex $size | ip netns exec $NS_B python3 "$E2E_DIR/rawtcp.py" send $IP_A 4 - >/dev/null
    if wait_for 10 has_window "$INCOMING"; then
        [ $size = 100000 ] && screenshot incoming-long
        copy_and_close
        check "a message of $size characters arrives whole" \
            [ "$(clipboard | sha256sum | cut -d' ' -f1)" = "$(long_utf8_hash $size)" ]
    else
        fail "a message of $size characters opens its window"
    fi
done

# The message log shows what arrived.
if open_tray_menu; then
    menu=$(tray_menu_window)
    xdotool mousemove --window "$menu" 40 "${LOG_ITEM_FROM_TOP:-103}" sleep 0.2 click 1
    if wait_for 10 has_window "$LOG"; then
        pass "\"Лог сообщений...\" opens the log window"
        screenshot message-log
        click_in_window "$LOG" 100 100
        xdotool key ctrl+a ctrl+c
        sleep 0.3
        log_text=$(clipboard)
        check "the log shows the message under \"Входящее сообщение\"" \
            grep -q "Входящее сообщение" <<<"$log_text"
        check "the log holds the example text" grep -q "Привет" <<<"$log_text"
        check "the log lists the messages oldest first" \
            [ "$(grep -n 'Сообщение от PC1$' <<<"$log_text" | head -n1 | cut -d: -f1)" -lt \
                "$(grep -n '0123456789' <<<"$log_text" | head -n1 | cut -d: -f1)" ]
        xdotool key Escape
        check "Escape closes the log window" wait_for 5 window_gone "$LOG"
    else
        fail "\"Лог сообщений...\" opens the log window"
    fi
else
    fail "the tray menu opens"
fi

summary
