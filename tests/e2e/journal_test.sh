#!/bin/bash
# Whole-program tests of the journal of received messages: nothing taken off
# the wire is lost, whatever ends the program (SIGKILL, the X server going,
# SIGTERM at the worst moment, a full queue, a second session of the same
# user, a full disk), and a way out of a flood of messages.
source "$(dirname "$0")/lib.sh"

INCOMING="Принято сообщение:"
NOTICE="Предупреждение"

x11_up || { fail "X server with a tray"; summary; exit 1; }

# begin NAME: an instance on free ports of its own (kept for its later
# starts); MSG and DATA are its TCP ports.
begin() {
    [ -f "$WORK/$1/config/Tarvello/Tarvello.conf" ] || configure_free "$1"
    MSG=$(wire_port "$1" ListeningPort)
    DATA=$(wire_port "$1" ListeningDataPort)
    start_tarvello "$1" - "$1"
    wait_for 15 listening_on - "$MSG" && wait_for 5 listening_on - "$DATA"
}
journal_of() { echo "$WORK/$1/.local/state/Tarvello/journal"; }
pending() { python3 "$E2E_DIR/journal.py" count "$(journal_of "$1")" 2>/dev/null || echo 0; }
pending_is() { [ "$(pending "$1")" = "$2" ]; }
burst() { python3 "$E2E_DIR/journal.py" burst "$MSG" "$1" "$2"; }
# close_all N: closes N incoming windows one after another.
close_all() {
    local i
    for i in $(seq "$1"); do
        wait_for 10 has_window "$INCOMING" || return 1
        local id
        id=$(window_by_title "$INCOMING")
        click_in_window "$INCOMING" -46 -17
        wait_for 5 sh -c "! xdotool getwindowname $id >/dev/null 2>&1" || return 1
    done
}

# --- SIGKILL, then the X server going, with messages queued ------------------------
begin k || fail "the program listens"
burst 10 "сообщение"
if wait_for 10 pending_is k 10; then
    pass "10 messages received are in the journal before any window is closed"
    kill -KILL "$(pid_of k)"
    wait_exit k 5
    begin k
    check "after SIGKILL the next start keeps all 10" pending_is k 10
    check "they come back in the order they arrived" [ "$(python3 "$E2E_DIR/journal.py" texts "$(journal_of k)" | tr '\n' ,)" = \
        "$(for i in $(seq 10); do printf 'сообщение %d,' "$i"; done)" ]
    check "the first is shown first" wait_for 10 has_window "$INCOMING"
    check "three windows closed one after another" close_all 3
    check "seven still wait" wait_for 5 pending_is k 7
else
    fail "10 messages received are in the journal before any window is closed"
fi
kill -KILL "$(pid_of k)" 2>/dev/null
wait_exit k 5

# The program on an X server of its own, which goes away.
exec 3>"$WORK/displayfd2"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >"$WORK/xvfb2.log" 2>&1 &
xvfb2=$!
exec 3>&-
on_exit "kill $xvfb2 2>/dev/null"
if wait_for 10 test -s "$WORK/displayfd2"; then
    TV_ENV=(DISPLAY=":$(head -n1 "$WORK/displayfd2")")
    begin k
    TV_ENV=()
    # A peer trickling its message holds the listener: three more wait in
    # the listen queue behind it, their senders done.
    python3 "$E2E_DIR/rawtcp.py" trickle 127.0.0.1 "$MSG" 20 >"$WORK/trickle.log" &
    wait_for 5 grep -q "sent 2" "$WORK/trickle.log"
    burst 3 "позади"
    kill "$xvfb2"
    wait_exit k 10
    check "the X server going ends the program (status $EXIT_STATUS)" [ "$EXIT_STATUS" != timeout ]
    texts=$(python3 "$E2E_DIR/journal.py" texts "$(journal_of k)")
    check "and loses none of the 7" [ "$(grep -c '^сообщение' <<<"$texts")" = 7 ]
    check "nor the 3 waiting in the listen queue" [ "$(grep -c '^позади' <<<"$texts")" = 3 ]
fi

# --- SIGTERM 50 ms after a start with 1,000 waiting ---------------------------------
mkdir -p "$WORK/t/.local/state/Tarvello"
python3 "$E2E_DIR/journal.py" write "$(journal_of t)" 1000
configure_free t
start_tarvello t - t
# The earliest moment: as soon as the program catches SIGTERM at all.
catches_sigterm() { (($(sed -n 's/^SigCgt:\t*/0x/p' "/proc/$1/status") & 0x4000)); }
wait_for 5 catches_sigterm "$(pid_of t)"
kill -TERM "$(pid_of t)"
wait_exit t 10
check "SIGTERM as soon as the program catches it ends it (status $EXIT_STATUS)" [ "$EXIT_STATUS" = 4 ]
check "all 1,000 messages still wait" pending_is t 1000

# --- A second session of the same user never touches the first's journal ---------
begin s
burst 5 "первый сеанс"
wait_for 10 pending_is s 5
before=$(md5sum <"$(journal_of s)")
TV_ENV=(HOME="$WORK/s")
start_tarvello s2 - s
TV_ENV=()
wait_for 15 has_window "$NOTICE" && click_notice_ok "$NOTICE"
kill -TERM "$(pid_of s2)"
wait_exit s2 10
check "the second session ends as Exit does (status $EXIT_STATUS)" [ "$EXIT_STATUS" = 4 ]
check "the first session's journal is as it was" [ "$(md5sum <"$(journal_of s)")" = "$before" ]

# --- 1,005 sent with the queue full, then SIGTERM ------------------------------------
kill -TERM "$(pid_of s)"
wait_exit s 10
rm -rf "$WORK/s/.local/state"
begin s
burst 1005 "поток"
check "1,000 queued and more waiting in the listen queue" wait_for 30 sh -c "[ \$(python3 '$E2E_DIR/journal.py' count '$(journal_of s)') -ge 1000 ]"
kill -TERM "$(pid_of s)"
wait_exit s 10
check "SIGTERM in a flood ends the program (status $EXIT_STATUS)" [ "$EXIT_STATUS" = 4 ]
check "every one of the 1,005 waits for the next start (got $(pending s))" pending_is s 1005

# --- A flood: Exit in three actions, nothing lost -----------------------------------
begin f
burst 300 "наводнение"
if wait_for 20 pending_is f 300 && wait_for 10 has_window "$INCOMING"; then
    EXIT_ITEM_FROM_BOTTOM=101 && open_tray_menu && screenshot flood-menu && choose_exit # 1, 2
    t0=$(date +%s%N)
    check "Exit waits for the window on screen" sh -c "sleep 0.5; kill -0 $(pid_of f)"
    close_all 1                                                  # action 3
    wait_exit f 5
    check "the program ends within 2 s of that close (got $(ms_since "$t0") ms, status $EXIT_STATUS)" \
        [ "$EXIT_STATUS" = 4 ]
    check "299 wait for the next start" pending_is f 299
else
    fail "300 messages arrive"
fi

# The session ends while Exit waits for the window on screen.
begin f
if wait_for 10 has_window "$INCOMING" && open_tray_menu && EXIT_ITEM_FROM_BOTTOM=101 choose_exit; then
    check_ends_at_once f "Exit waits for the window on screen"
    check "all 299 still wait" pending_is f 299
else
    fail "Exit chosen in a flood"
fi

# --- Text and sound are shown side by side -----------------------------------------
begin f
python3 "$E2E_DIR/rawtcp.py" sound ПК-ЗВУК 0.5 | python3 "$E2E_DIR/rawtcp.py" send 127.0.0.1 "$DATA" -
check "a sound window opens while a message window is open" wait_for 10 sh -c \
    "[ \$(xdotool search --onlyvisible --classname '^tarvello\$' 2>/dev/null | wc -l) -ge 2 ]"
screenshot text-and-sound
kill -TERM "$(pid_of f)"
wait_exit f 10

# --- A settings change while a large file arrives ------------------------------------
# The data port is moved in the settings window while 1 GiB arrives at 40 MiB/s:
# the listener moves only once the file is stored whole.
begin g
python3 "$E2E_DIR/rawtcp.py" offer 127.0.0.1 "$DATA" pc-a big.bin 1024 40 >"$WORK/big.out" 2>&1 &
offerer=$!
on_exit "kill $offerer 2>/dev/null; rm -f '$WORK'/big.bin*"
if accept_offer "$WORK/big.bin" && wait_for 10 grep -q accepted "$WORK/big.out"; then
    moved=$(free_port_pair)
    moved=${moved#* }
    TRAY_PID=$(pid_of g) choose_command 56 && wait_for 10 has_window "Настройки программы" &&
        replace_text "Настройки программы" 430 80 "$moved" &&
        click_in_window "Настройки программы" 393 214 && # "Сохранить"
        wait_for 5 has_window "$NOTICE" && xdotool key Return # "Да"
    check "the change is confirmed while the file still arrives" wait_for 5 \
        sh -c "grep -q '^ListeningDataPort=$moved\$' '$WORK/g/config/Tarvello/Tarvello.conf' && ! grep -q sent '$WORK/big.out'"
    menu_while_arriving() { ! grep -q sent "$WORK/big.out" && open_tray_menu && ! grep -q sent "$WORK/big.out"; }
    TRAY_PID=$(pid_of g) check "while the restart waits for the file, the tray menu opens (Exit is there)" \
        menu_while_arriving
    xdotool key Escape
    check "the sender is told the file was taken whole" wait_for 60 grep -q closed "$WORK/big.out"
    check "the stored file is the one sent (sha256)" \
        [ "$(sha256sum <"$WORK/big.bin" | cut -d' ' -f1)" = "$(sed -n 's/^sent //p' "$WORK/big.out")" ]
    check "then the data listener moves to the new port" wait_for 10 listening_on - "$(wire_port g ListeningDataPort)"
else
    fail "a 1 GiB offer is accepted and arrives ($(cat "$WORK/big.out"))"
fi
kill -TERM "$(pid_of g)"
wait_exit g 10

# --- The session's end with a file offer's prompt open ------------------------------
is_root || { summary; exit; }
begin o
head -c 100000 /dev/urandom >"$WORK/offer.bin"
unshare -u sh -c 'hostname pc-a; exec "$@"' sh env -u DISPLAY HOME="$WORK/o" \
    XDG_CONFIG_HOME="$WORK/o/config" XDG_RUNTIME_DIR="$WORK/o/runtime" LANG=ru_RU.UTF-8 \
    "$WORK/o/bin/tarvello" send-file 127.0.0.1 "$WORK/offer.bin" </dev/null >"$WORK/offer.out" 2>&1 &
sender=$!
if wait_for 10 has_window "$FILE_OFFER"; then
    check_ends_at_once o "a file offer's prompt is open"
    wait_for 5 sh -c "! kill -0 $sender"
    wait "$sender"
    status=$?
    check "the sender is told the offer was refused (status $status: $(cat "$WORK/offer.out"))" \
        [ "$status" = 1 ]
else
    fail "a file offer opens its prompt"
fi

# --- A damaged journal, then a full disk ---------------------------------------------
mkdir -p "$WORK/d/.local/state/Tarvello"
python3 "$E2E_DIR/journal.py" write "$(journal_of d)" 10
printf X | dd of="$(journal_of d)" bs=1 seek=300 conv=notrunc 2>/dev/null
begin d
if wait_for 10 has_window "$NOTICE"; then
    pass "a damaged journal is said"
    screenshot journal-damaged
    click_notice_ok "$NOTICE"
else
    fail "a damaged journal is said"
fi
check "it is kept aside" test -s "$(journal_of d).damaged"
kill -TERM "$(pid_of d)"
wait_exit d 10
mount -t tmpfs -o size=64k tmpfs "$WORK/d/.local/state" && on_exit "umount -l '$WORK/d/.local/state'"
# A damaged journal too large to be kept aside there.
mkdir -p "$WORK/d/.local/state/Tarvello"
python3 "$E2E_DIR/journal.py" write "$(journal_of d)" 1000
printf X | dd of="$(journal_of d)" bs=1 seek=100 conv=notrunc 2>/dev/null
damaged=$(md5sum <"$(journal_of d)")
begin d
check "a damaged journal that cannot be kept aside is not replaced" \
    [ "$(md5sum <"$(journal_of d)")" = "$damaged" ]
python3 -c "import sys; sys.stdout.write(('я' * 100000).encode('cp1251').hex())" |
    python3 "$E2E_DIR/rawtcp.py" send 127.0.0.1 "$MSG" -
if wait_for 10 has_window "$NOTICE"; then
    pass "a journal that cannot be written is said"
    screenshot journal-full
else
    fail "a journal that cannot be written is said"
fi
check "the message is shown all the same" wait_for 10 has_window "$INCOMING"

summary
