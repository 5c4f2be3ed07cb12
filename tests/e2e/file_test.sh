#!/bin/bash
# Whole-program tests of sending a file: pc-a offers a 50 MB file through
# the tray menu; pc-b accepts it within the countdown and stores it; an offer
# left alone is refused after 15 seconds; the session of pc-a ends while its
# offer waits for the answer.
source "$(dirname "$0")/lib.sh"

need_hosts "files between the test hosts"

start_pair || { fail "both programs listen"; summary; exit 1; }
head -c 50000000 /dev/urandom >"$WORK/send.bin"

if choose_file_to_send "$WORK/send.bin"; then
    pass "\"Отправить файл\" asks for the file, then the sending window opens"
    screenshot send-file
    press_send
else
    fail "\"Отправить файл\" asks for the file, then the sending window opens"
fi
if wait_for 10 has_window "$FILE_OFFER"; then
    pass "pc-b is asked: \"$FILE_OFFER\""
    screenshot offer
    # The save dialog, with Qt's Russian title, offers the file's name.
    check "\"Да\" opens the save dialog and takes the path" accept_offer "$WORK/received.bin"
    if wait_for 60 test -f "$WORK/received.bin"; then
        check "the stored file is byte-identical (sha256)" \
            [ "$(sha256sum <"$WORK/received.bin")" = "$(sha256sum <"$WORK/send.bin")" ]
    else
        fail "pc-b stores the accepted file"
    fi
else
    fail "pc-b is asked: \"$FILE_OFFER\""
fi

# An offer left alone: refused after 15 seconds.
if has_window "$SENDING_FILE"; then
    sleep 1
    press_send
    if wait_for 10 has_window "$FILE_OFFER"; then
        t0=$(date +%s%N)
        check "the unanswered prompt closes by itself" wait_for 25 window_gone "$FILE_OFFER"
        echo "  prompt open for $(ms_since "$t0") ms"
        check "pc-a says \"$SEND_IMPOSSIBLE\" when the offer is refused" \
            wait_for 10 has_window "$SEND_IMPOSSIBLE"
        screenshot refused
        click_notice_ok "$SEND_IMPOSSIBLE"
    else
        fail "the second offer reaches pc-b"
    fi
fi

# The session ends on pc-a while its offer waits for pc-b's answer: the
# program does not wait for a person on another computer.
if has_window "$SENDING_FILE"; then
    wait_for 5 window_gone "$SEND_IMPOSSIBLE"
    sleep 0.5
    press_send
    if wait_for 10 has_window "$FILE_OFFER"; then
        check_ends_at_once a "the offer waits for its answer"
        check "pc-b's prompt closes by itself" wait_for 25 window_gone "$FILE_OFFER"
        check "pc-b still listens" listening_on $NS_B 64897
    else
        fail "the third offer reaches pc-b"
    fi
fi

summary
