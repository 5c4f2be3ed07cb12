#!/bin/bash
# Whole-program tests of damaged state and a vanishing audio server: a
# settings file and an address book full of garbage, a settings folder and
# an address book that cannot be written, and the audio server killed while
# a sound message plays and while one is recorded. The program starts and
# runs on, says what it could not do, and damages no file.
source "$(dirname "$0")/lib.sh"

need_hosts "damaged state and audio faults"

FIRST_START="Tarvello 2.0. Информация для пользователя"
NOTICE="Предупреждение"
BOOK="Адресная книга"
EDITOR="Введите параметры для нового пользователя"
SOUND="Принято звуковое сообщение"
COMPOSE="Сообщение для $PC_B_USER"
tray_menu_of() { TRAY_PID=$(pid_of "$1") open_tray_menu; }
both_ports() { listening_on "$1" 4 && listening_on "$1" 64897; }

# --- pc-a: settings and address book full of garbage ---------------------------------
mkdir -p "$WORK/a/config/Tarvello" "$WORK/a/bin"
head -c 4096 /dev/urandom >"$WORK/a/config/Tarvello/Tarvello.conf"
printf '<Phonebook><Item Address="10.77.0.2" Type="1">Второй</Item><Item Addr' >"$WORK/a/bin/AddressBook.xml"
head -c 2000 /dev/urandom >>"$WORK/a/bin/AddressBook.xml"
book_sum=$(sha256sum <"$WORK/a/bin/AddressBook.xml")

# --- pc-b: a settings folder and an address book that cannot be written -------------
mkdir -p "$WORK/b/config/Tarvello" "$WORK/b/bin"
printf '<Phonebook><Item Address="10.77.0.1" Type="1">Первый</Item></Phonebook>' \
    >"$WORK/b/bin/AddressBook.xml"
# Mounted before the program starts: its host copies the mount table then.
mount -t tmpfs -o ro,size=64k tv-settings "$WORK/b/config/Tarvello" &&
    on_exit "umount $WORK/b/config/Tarvello"
mount --bind "$WORK/b/bin/AddressBook.xml" "$WORK/b/bin/AddressBook.xml" &&
    on_exit "umount $WORK/b/bin/AddressBook.xml" &&
    mount -o remount,bind,ro "$WORK/b/bin/AddressBook.xml"

start_tarvello a $NS_A pc-a
# Garbage holds no values: the defaults stand, and it is no first start.
check "garbage settings: pc-a starts and listens on the default ports" wait_for 15 both_ports $NS_A
check "garbage settings: no first-start window" window_gone "$FIRST_START"
check "garbage address book: pc-a's tray menu opens" wait_for 10 tray_menu_of a
# Opening the book (from the menu just opened) says that the file could not
# be read, and where it is.
export TRAY_PID
TRAY_PID=$(pid_of a)
xdotool mousemove --window "$(tray_menu_window)" 40 125 sleep 0.2 click 1
if wait_for 10 has_window "$BOOK"; then
    if wait_for 5 has_window "$NOTICE"; then
        pass "garbage address book: opening the book says it could not be read"
        screenshot book-unreadable
        click_notice_ok "$NOTICE"
    else
        fail "garbage address book: opening the book says it could not be read"
    fi
    xdotool key Escape
    wait_for 5 window_gone "$BOOK"
else
    fail "\"Адресная книга...\" opens \"$BOOK\" on pc-a"
fi
TRAY_PID=
check "garbage address book: the file is left as it was" \
    [ "$(sha256sum <"$WORK/a/bin/AddressBook.xml")" = "$book_sum" ]

# A settings folder that cannot be written is a first start each time: the
# defaults cannot be stored, and the program runs on them.
start_tarvello b $NS_B pc-b
if wait_for 15 has_window "$FIRST_START"; then
    pass "unwritable settings: pc-b shows the first-start window"
    click_bottom_button "$FIRST_START" 23
    wait_for 5 window_gone "$FIRST_START"
else
    fail "unwritable settings: pc-b shows the first-start window"
fi
check "unwritable settings: pc-b listens on the default ports" wait_for 15 both_ports $NS_B

# A new entry in a book that cannot be written: the notice says so and the
# window stays open with the change.
export TRAY_PID
TRAY_PID=$(pid_of b)
if choose_command 125 && wait_for 10 has_window "$BOOK"; then
    click_in_window "$BOOK" 50 -22 # "Добавить"
    if wait_for 5 has_window "$EDITOR"; then
        click_in_window "$EDITOR" 188 42 && xdotool type --delay 20 Tester
        click_in_window "$EDITOR" 288 111 && xdotool type --delay 20 PC-X
        click_in_window "$EDITOR" 238 152 # "Добавить"
        wait_for 5 window_gone "$EDITOR"
    fi
    click_in_window "$BOOK" -40 -22 # "Закрыть"
    if wait_for 5 has_window "$NOTICE"; then
        xdotool key Return # "Да": save
    fi
    if wait_for 10 has_window "$NOTICE" && has_window "$BOOK"; then
        pass "unwritable address book: a notice says so and the book stays open"
        screenshot book-not-saved
        click_notice_ok "$NOTICE"
    else
        fail "unwritable address book: a notice says so and the book stays open"
    fi
    check "unwritable address book: the file is left as it was" \
        grep -q '^<Phonebook><Item Address="10.77.0.1" Type="1">Первый</Item></Phonebook>$' \
        "$WORK/b/bin/AddressBook.xml"
    xdotool key Escape # the book closes; its change is given up
    wait_for 5 window_gone "$BOOK"
    check "pc-b runs on" alive b
else
    fail "\"Адресная книга...\" opens \"$BOOK\" on pc-b"
fi
TRAY_PID=

# --- The audio server vanishes -------------------------------------------------------
kill -9 "$(pid_of a)" "$(pid_of b)"
wait "$(pid_of a)" "$(pid_of b)" 2>/dev/null
umount "$WORK/b/config/Tarvello" "$WORK/b/bin/AddressBook.xml"
pulse_up || { fail "PulseAudio with a null sink"; summary; exit 1; }
configure a
configure b AutoPlaySound=1
TV_ENV=("PULSE_SERVER=$PULSE_SERVER")
start_pair || { fail "both programs listen for the sound faults"; summary; exit 1; }
TV_ENV=()

# While playing: pc-b, playing a six-second sound by itself, loses its server.
python3 "$E2E_DIR/rawtcp.py" sound pc-a 6 |
    ip netns exec $NS_A python3 "$E2E_DIR/rawtcp.py" send $IP_B 64897 - 10 >/dev/null &
sender=$!
if wait_for 15 has_window "$SOUND"; then
    sleep 1
    kill -9 "$PULSE_PID"
    t0=$(date +%s%N)
    check "server gone while playing: the sound window closes as after the end" \
        wait_for 15 window_gone "$SOUND"
    echo "  closed after $(ms_since "$t0") ms"
    check "server gone while playing: pc-b runs on" alive b
else
    fail "pc-b shows \"$SOUND\""
fi
wait $sender

# While recording: pc-a's recording ends when the server goes.
pulse_up || { fail "PulseAudio again"; summary; exit 1; }
if TRAY_PID=$(pid_of a) open_tray_menu && TRAY_PID=$(pid_of a) choose_user 0 &&
    wait_for 10 has_window "$COMPOSE"; then
    click_in_window "$COMPOSE" 60 -59 # "Записать"
    sleep 1.5
    kill -9 "$PULSE_PID"
    sleep 1
    screenshot recording-server-gone
    click_in_window "$COMPOSE" 60 -59 # "Остановить", if still recording
    sleep 1
    screenshot recording-after-stop
    xdotool key Escape
    check "server gone while recording: the compose window closes" wait_for 10 window_gone "$COMPOSE"
    check "server gone while recording: pc-a's tray menu opens again" \
        wait_for 10 tray_menu_of a
    xdotool key Escape
    check "server gone while recording: pc-a runs on" alive a
else
    fail "the compose window opens on pc-a"
fi

summary
