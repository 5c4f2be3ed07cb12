#!/bin/bash
# Whole-program tests of the program's shell: first start, tray, single
# instance, listening ports, a message from another host, a stray stop
# header, Exit from the tray menu and the session's end.
source "$(dirname "$0")/lib.sh"

FIRST_START="Tarvello 2.0. Информация для пользователя"
NOTICE="Предупреждение"
INCOMING="Принято сообщение:"
CONF_REL=config/Tarvello/Tarvello.conf

x11_up || { fail "X server with a tray"; summary; exit 1; }

if is_root; then
    netns_up || { fail "test hosts"; summary; exit 1; }
    HOST_A=$NS_A
    MSG_PORT=4
    DATA_PORT=64897
else
    skip "test hosts (needs root): the other-host and default-port cases"
    HOST_A=-
fi

# --- First start ---------------------------------------------------------------
start_tarvello a "$HOST_A" pc-a
if wait_for 15 has_window "$FIRST_START"; then
    pass "a first start shows the first-start window"
    screenshot first-start
else
    fail "a first start shows the first-start window"
fi
check "a first start writes the four default values" \
    diff <(sort "$WORK/a/$CONF_REL") <(printf '%s\n' AutoPlaySound=0 ListeningDataPort=33277 \
        ListeningPort=1024 UseNetSendByDeault=0 '[General]' | sort)
check "the tray icon docks in the tray" wait_for 10 has_tray_icon

if ! is_root; then
    # Port 4 needs privileges: the program says so.
    check "an ordinary user is told that port 4 cannot be opened" wait_for 10 has_window "$NOTICE"
    screenshot port-notice
    click_notice_ok "$NOTICE"
    wait_for 5 window_gone "$NOTICE"
fi

click_bottom_button "$FIRST_START" 23
check "the first-start window closes with its button" wait_for 5 window_gone "$FIRST_START"

if is_root; then
    if wait_for 10 listening_on $NS_A $MSG_PORT && wait_for 10 listening_on $NS_A $DATA_PORT; then
        pass "TCP ports 4 and 64897 listen with the default settings"
    else
        fail "TCP ports 4 and 64897 listen with the default settings"
    fi
fi

# --- Second instance -------------------------------------------------------------
conf_before=$(md5sum <"$WORK/a/$CONF_REL")
# The second instance shares the first one's user folders.
mkdir -p "$WORK/a2"
home=$WORK/a
if [ "$HOST_A" = - ]; then
    env HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/runtime" \
        XDG_DATA_HOME="$home/data" LANG=ru_RU.UTF-8 QT_QPA_PLATFORM=xcb QT_STYLE_OVERRIDE=Fusion \
        DBUS_SESSION_BUS_ADDRESS=disabled: "$WORK/a/bin/tarvello" >"$WORK/a2/out.log" 2>&1 &
else
    ip netns exec "$HOST_A" env HOME="$home" XDG_CONFIG_HOME="$home/config" \
        XDG_RUNTIME_DIR="$home/runtime" XDG_DATA_HOME="$home/data" LANG=ru_RU.UTF-8 \
        QT_QPA_PLATFORM=xcb QT_STYLE_OVERRIDE=Fusion DBUS_SESSION_BUS_ADDRESS=disabled: \
        "$WORK/a/bin/tarvello" >"$WORK/a2/out.log" 2>&1 &
fi
TV_PID_a2=$!
on_exit "kill -9 $TV_PID_a2"
if wait_for 10 has_window "$NOTICE"; then
    pass "a second start shows the notice"
    screenshot second-instance
    id=$(window_by_title "$NOTICE")
    check "the notice belongs to the second instance" \
        [ "$(xdotool getwindowpid "$id" 2>/dev/null)" = "$TV_PID_a2" ]
    click_notice_ok "$NOTICE"
else
    fail "a second start shows the notice"
fi
wait_exit a2 10
check "the second instance ends with status 2 (got $EXIT_STATUS)" [ "$EXIT_STATUS" = 2 ]
check "the first instance goes on" alive a
check "the second start leaves the settings untouched" \
    [ "$(md5sum <"$WORK/a/$CONF_REL")" = "$conf_before" ]

# --- Traffic from another host ---------------------------------------------------
if is_root; then
    # "Сообщение от pc-b:\r\nПривет" in code page 1251.
    hello=d1eeeee1f9e5ede8e520eef220
    hello+=$(printf 'pc-b:' | xxd -p)0d0acff0e8e2e5f2
    ip netns exec $NS_B python3 "$E2E_DIR/rawtcp.py" send $IP_A $MSG_PORT "$hello" >/dev/null
    if wait_for 10 has_window "$INCOMING"; then
        pass "a message from another host opens the incoming window"
        screenshot incoming-message
        click_in_window "$INCOMING" -30 -14
        check "the incoming window closes with \"Закрыть\"" wait_for 5 window_gone "$INCOMING"
    else
        fail "a message from another host opens the incoming window"
    fi

    stop=$(python3 -c "print(('01000000' '03000000' + '00' * 688))")
    answer=$(ip netns exec $NS_B python3 "$E2E_DIR/rawtcp.py" send $IP_A $DATA_PORT "$stop")
    check "a stop header from another host is answered 0" [ "$answer" = 00000000 ]
    sleep 0.3
    check "the data listener goes on after a stranger's stop header" listening_on $NS_A $DATA_PORT
    answer=$(ip netns exec $NS_B python3 "$E2E_DIR/rawtcp.py" send $IP_A $DATA_PORT \
        "$(python3 -c "print('01000000' '07000000' + '00' * 688)")")
    check "the data listener still answers (kind 7 refused)" [ "$answer" = 00000000 ]
fi

# --- Exit from the tray menu -------------------------------------------------------
if open_tray_menu; then
    pass "a right click on the tray icon opens the menu"
    screenshot tray-menu
    choose_exit
    wait_exit a 15
    check "\"Выход\" ends the program with status 4, the low byte of 32772 (got $EXIT_STATUS)" \
        [ "$EXIT_STATUS" = 4 ]
    if is_root; then
        check "Exit frees TCP ports 4 and 64897" \
            sh -c "! ip netns exec $NS_A ss -ltnH | grep -Eq ':(4|64897) '"
    fi
else
    fail "a right click on the tray icon opens the menu"
fi

# --- A later start: no first-start window, the session's end -----------------------
t0=$(date +%s%N)
start_tarvello a "$HOST_A" pc-a
if is_root; then
    if wait_for 15 sh -c "ip netns exec $NS_A ss -ltnH | grep -q ':4 ' && ip netns exec $NS_A ss -ltnH | grep -q ':64897 '"; then
        pass "a later start listens on both ports ($(ms_since "$t0") ms from exec)"
    else
        fail "a later start listens on both ports"
    fi
else
    wait_for 10 has_tray_icon
fi
check "a later start shows no first-start window" window_gone "$FIRST_START"
kill -TERM "$(pid_of a)"
wait_exit a 15
check "the session's end (SIGTERM) ends the program as Exit does (got $EXIT_STATUS)" \
    [ "$EXIT_STATUS" = 4 ]

# --- The session ends while peers trickle bytes into both ports -------------------
# Neither listener waits for a peer: the program ends at once, and what had
# arrived of the message is kept for the next start (an instance of its own,
# so that the later sections start without it).
if is_root; then
    configure t
    start_tarvello t $NS_A pc-a
    if wait_for 15 sh -c "ip netns exec $NS_A ss -ltnH | grep -q ':4 ' && ip netns exec $NS_A ss -ltnH | grep -q ':64897 '"; then
        for port in 4 64897; do
            ip netns exec $NS_A python3 "$E2E_DIR/rawtcp.py" trickle 127.0.0.1 $port 60 \
                >"$WORK/trickle-$port.out" 2>&1 &
            on_exit "kill $! 2>/dev/null"
        done
        if wait_for 10 sh -c "grep -q 'sent 5' '$WORK/trickle-4.out' && grep -q 'sent 5' '$WORK/trickle-64897.out'"; then
            check_ends_at_once t "peers trickle into both ports"
            check "the bytes that had arrived wait in the journal for the next start" \
                python3 -c "import sys; sys.exit(b'\\1\\0' * 5 not in open(sys.argv[1], 'rb').read())" \
                "$WORK/t/.local/state/Tarvello/journal"
        else
            fail "two peers trickle into the ports"
        fi
    else
        fail "a third start listens on both ports"
    fi
fi

# --- Two sessions on one computer ------------------------------------------------
# A second user's session has its own runtime folder, so it runs, but the
# first holds the ports: it says so once, and its end reaches nobody else.
if is_root; then
    start_tarvello a $NS_A pc-a
    wait_for 15 listening_on $NS_A $MSG_PORT && wait_for 15 listening_on $NS_A $DATA_PORT
    configure s2
    start_tarvello s2 $NS_A pc-a
    if wait_for 15 has_window "$NOTICE"; then
        pass "a second session is told that the message port is taken"
        id=$(window_by_title "$NOTICE")
        check "the notice belongs to the second session" \
            [ "$(xdotool getwindowpid "$id" 2>/dev/null)" = "$(pid_of s2)" ]
        click_notice_ok "$NOTICE"
        wait_for 5 window_gone "$NOTICE"
    else
        fail "a second session is told that the message port is taken"
    fi
    check "the second session runs on" alive s2
    kill -TERM "$(pid_of s2)"
    wait_exit s2 15
    check "the second session ends as Exit does (got $EXIT_STATUS)" [ "$EXIT_STATUS" = 4 ]
    # Its stop token would open a message window in the first.
    if wait_for 2 has_window "$INCOMING"; then
        fail "the second session's end sends the first nothing"
    else
        pass "the second session's end sends the first nothing"
    fi
    check "the first session still listens on both ports" \
        sh -c "ip netns exec $NS_A ss -ltnH | grep -q ':4 ' && ip netns exec $NS_A ss -ltnH | grep -q ':64897 '"
    kill -TERM "$(pid_of a)"
    wait_exit a 15
fi

# --- An ordinary user ---------------------------------------------------------------
# Port 4 is below 1024: without the capability the program says so, with the
# fix; with it (as the package grants) the port opens.
if is_root; then
    user_home=$WORK/user
    mkdir -p "$user_home/config/Tarvello" "$user_home/runtime" "$user_home/bin"
    printf '[General]\nListeningPort=1024\nListeningDataPort=33277\n' \
        >"$user_home/config/Tarvello/Tarvello.conf"
    cp "$TARVELLO" "$user_home/bin/tarvello"
    chmod 755 "$WORK"
    chown -R nobody:nogroup "$user_home"
    chmod 700 "$user_home/runtime"
    start_as_user() {
        ip netns exec $NS_A unshare -u sh -c 'hostname pc-a; exec "$@"' sh \
            setpriv --reuid=nobody --regid=nogroup --clear-groups \
            env HOME="$user_home" XDG_CONFIG_HOME="$user_home/config" \
            XDG_RUNTIME_DIR="$user_home/runtime" XDG_DATA_HOME="$user_home/data" \
            LANG=ru_RU.UTF-8 DISPLAY="$DISPLAY" QT_QPA_PLATFORM=xcb QT_STYLE_OVERRIDE=Fusion \
            DBUS_SESSION_BUS_ADDRESS=disabled: DBUS_SYSTEM_BUS_ADDRESS=disabled: \
            "$user_home/bin/tarvello" >"$user_home/out.log" 2>&1 &
        TV_PID_user=$!
        on_exit "kill -9 $TV_PID_user 2>/dev/null"
    }
    start_as_user
    if wait_for 15 has_window "$NOTICE"; then
        pass "an ordinary user is told that port 4 cannot be opened"
        screenshot port-notice
        check "the notice belongs to the ordinary user's program" \
            [ "$(xdotool getwindowpid "$(window_by_title "$NOTICE")" 2>/dev/null)" = "$TV_PID_user" ]
        click_notice_ok "$NOTICE"
        wait_for 5 window_gone "$NOTICE"
    else
        fail "an ordinary user is told that port 4 cannot be opened"
    fi
    check "an ordinary user still receives files and sounds on TCP 64897" \
        wait_for 10 listening_on $NS_A $DATA_PORT
    check "an ordinary user's program does not hold TCP 4" sh -c "! ip netns exec $NS_A ss -ltnH | grep -q ':4 '"
    kill -TERM "$TV_PID_user"
    wait_exit user 15
    check "an ordinary user's program ends on SIGTERM (got $EXIT_STATUS)" [ "$EXIT_STATUS" = 4 ]

    setcap cap_net_bind_service=+ep "$user_home/bin/tarvello"
    start_as_user
    check "with the capability an ordinary user's program opens TCP 4" \
        wait_for 15 listening_on $NS_A $MSG_PORT
    check "with the capability no port notice appears" window_gone "$NOTICE"
    check "the program there runs as the ordinary user" \
        [ "$(stat -c %U "/proc/$TV_PID_user")" = nobody ]
    kill -TERM "$TV_PID_user"
    wait_exit user 15

    # On a file system mounted nosuid the system ignores the capability.
    mkdir -p "$WORK/nosuid"
    if mount -t tmpfs -o nosuid,size=300m tmpfs "$WORK/nosuid"; then
        on_exit "umount -l '$WORK/nosuid'"
        cp "$user_home/bin/tarvello" "$WORK/nosuid/" &&
            setcap cap_net_bind_service=+ep "$WORK/nosuid/tarvello"
        setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$user_home" \
            XDG_CONFIG_HOME="$user_home/config" LANG=ru_RU.UTF-8 "$WORK/nosuid/tarvello" check \
            >"$WORK/nosuid-check.out" 2>&1
        check "on a nosuid mount \"check\" says the capability is ignored (status $?)" \
            grep -q "есть право cap_net_bind_service, но система его программе не даёт: её файловая система смонтирована с nosuid" \
            "$WORK/nosuid-check.out"
    else
        fail "a nosuid file system for the test"
    fi
fi

summary
