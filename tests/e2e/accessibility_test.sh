#!/bin/bash
# Whole-program test of what a screen reader hears (AT-SPI, as Orca reads
# it): an incoming message window says who sent what as it opens, the
# compose window names its fields and its two toggle buttons, the file offer
# says the file, its sender and its size; and a message written and sent
# with the keyboard alone arrives on the other host.
source "$(dirname "$0")/lib.sh"

# Debian's pyatspi is for Debian's own Python.
PYTHON=/usr/bin/python3
if ! "$PYTHON" -c 'import pyatspi' 2>/dev/null || [ ! -x /usr/libexec/at-spi-bus-launcher ]; then
    skip "what a screen reader hears (needs python3-pyatspi and at-spi2-core)"
    summary
    exit 0
fi
need_hosts "what a screen reader hears"
T0=$(date +%s%N)

INCOMING="Принято сообщение:"
COMPOSE="Сообщение для $PC_B_USER"
TAB=$'\t'

# A private session bus with the accessibility bus on it, as a desktop
# session has them; both programs and the readers use it.
mkdir -p "$WORK/a11y"
dbus-daemon --session --address="unix:path=$WORK/a11y/bus" --nopidfile --fork --print-pid \
    >"$WORK/a11y/bus.pid" || { fail "a session bus"; summary; exit 1; }
on_exit "kill $(head -n1 "$WORK/a11y/bus.pid")"
export DBUS_SESSION_BUS_ADDRESS=unix:path=$WORK/a11y/bus
/usr/libexec/at-spi-bus-launcher --launch-immediately >"$WORK/a11y/launcher.log" 2>&1 &
on_exit "kill $!"
wait_for 10 bus_name_owned org.a11y.Bus || { fail "the accessibility bus starts"; summary; exit 1; }

TV_SESSION_BUS=$DBUS_SESSION_BUS_ADDRESS
TV_ENV=(QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1)
start_pair || { fail "both programs listen"; summary; exit 1; }

# reader NAME: what a screen reader hears from that instance, line by line
# in $WORK/heard-NAME (see screenreader.py).
reader() {
    "$PYTHON" "$E2E_DIR/screenreader.py" "$(pid_of "$1")" >"$WORK/heard-$1" 2>"$WORK/heard-$1.err" &
    on_exit "kill $!"
    wait_for 10 grep -qx ready "$WORK/heard-$1"
}
reader a && reader b || { fail "the screen readers start"; summary; exit 1; }

# heard NAME LINE: the reader of that instance heard the line (fields
# joined by tabs; "\n" for a line break in a text).
heard() { grep -qxF -- "$2" "$WORK/heard-$1"; }
# heard_after NAME MARK LINE: ... after the first MARK lines.
heard_after() { tail -n +"$(($2 + 1))" "$WORK/heard-$1" | grep -qxF -- "$3"; }
lines() { wc -l <"$WORK/heard-$1"; }
expect() { # expect NAME DESCRIPTION LINE: within 10 s
    if wait_for 10 heard "$1" "$3"; then pass "$2"; else
        fail "$2: no line \"$3\" in what pc-$1's reader heard:"
        sed 's/^/    /' "$WORK/heard-$1"
    fi
}

# The compose window, opened from the tray; from there on the keyboard only.
if TRAY_PID=$(pid_of a) open_tray_menu && TRAY_PID=$(pid_of a) choose_user 0 &&
    wait_for 10 has_window "$COMPOSE"; then
    pass "\"Отправить сообщение\" opens \"$COMPOSE\""
else
    fail "\"Отправить сообщение\" opens \"$COMPOSE\""
fi
expect a "the compose window is announced by its title, which names the recipient" \
    "window$TAB$COMPOSE$TAB"
expect a "its text field is named by its label" \
    "item${TAB}text${TAB}1) Текстовое сообщение. ${TAB}${TAB}editable,multi line,focusable"
# Qt 6.4 exports no AT-SPI role for a toggle button: a push button is what
# it can say (a check box is what it said of them before).
expect a "\"Записать\" is a button, not a check box" \
    "item${TAB}push button${TAB}Записать${TAB}${TAB}focusable"
expect a "\"Воспроизвести\" is a button, unavailable before a recording" \
    "item${TAB}push button${TAB}Воспроизвести${TAB}${TAB}focusable,unavailable"
expect a "the text field has the focus as the window opens" \
    "focus${TAB}text${TAB}1) Текстовое сообщение. ${TAB}${TAB}editable,multi line,focusable$TAB"

TEXT="Hello from the keyboard, 42"
mark=$(lines a)
xdotool type --delay 20 "$TEXT"
# Tab: the paste button, the check box, the sender's name; Return sends.
xdotool key --delay 100 Tab Tab Tab
focus_heard() { # the role and name of what took the focus since the mark
    tail -n +"$((mark + 1))" "$WORK/heard-a" | awk -F'\t' '$1 == "focus" {print $2 "\t" $3}'
}
tabbed() { [ "$(focus_heard | tail -n 1)" = "text${TAB}Установить имя отправителя:" ]; }
wait_for 5 tabbed
check "Tab goes from the text to the paste button, the check box and the sender's name, each named" \
    [ "$(focus_heard)" = "push button${TAB}Взять из буфера обмена
check box${TAB}Анонимная отправка через сервис Net Send
text${TAB}Установить имя отправителя:" ]
xdotool key Return
expect b "the message window opens on pc-b saying who sent what" \
    "window$TAB$INCOMING${TAB}Сообщение от pc-a:\\n$TEXT"
expect b "its text has the focus and is read whole" \
    "focus${TAB}text${TAB}$INCOMING${TAB}${TAB}read only,multi line,focusable${TAB}Сообщение от pc-a:\\n$TEXT"
check "pc-a confirms the delivery" wait_for 10 has_window "Tarvello"
xdotool key Return # its OK

# A file offered from pc-a's command line: the prompt says the file, who
# sends it and its size; Return refuses it.
mkdir -p "$WORK/files"
head -c 2048 /dev/zero >"$WORK/files/отчёт за май.txt"
ip netns exec $NS_A unshare -u sh -c 'hostname pc-a; exec "$@"' sh \
    env -u DISPLAY HOME="$WORK/a" XDG_CONFIG_HOME="$WORK/a/config" XDG_RUNTIME_DIR="$WORK/a/runtime" \
    LANG=ru_RU.UTF-8 LC_ALL= "$WORK/a/bin/tarvello" send-file $IP_B "$WORK/files/отчёт за май.txt" \
    >"$WORK/send-file.out" 2>&1 &
SEND_FILE_PID=$!
on_exit "kill $SEND_FILE_PID"
expect b "the file offer says the sender in its title, the file and its size in its description" \
    "window${TAB}Информация от Tarvello: <pc-a> посылает Вам файл ${TAB}Вы хотите принять файл <отчёт за май.txt> размером 2 Кбайт?"

xdotool key Return # "Нет", the default button
if wait_for 10 sh -c "! kill -0 $SEND_FILE_PID"; then
    wait "$SEND_FILE_PID"
    status=$?
    check "Return refuses the offer (send-file: refused is status 1, got $status)" [ "$status" = 1 ]
else
    fail "Return refuses the offer"
fi

cp "$WORK/heard-a" "$ARTIFACTS/accessibility-heard-pc-a.txt"
cp "$WORK/heard-b" "$ARTIFACTS/accessibility-heard-pc-b.txt"
echo "  took $(ms_since "$T0") ms"
summary
