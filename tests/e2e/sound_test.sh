#!/bin/bash
# Whole-program test of a sound message: pc-a records two seconds of a
# 440 Hz tone, sends it to pc-b; pc-b shows it and, with auto-play on, plays
# it and closes the window by itself. A recorder on the sink measures what
# pc-b played.
source "$(dirname "$0")/lib.sh"

need_hosts "sound messages between the test hosts"
pulse_up || { fail "PulseAudio with a null sink"; summary; exit 1; }

SOUND="Принято звуковое сообщение"
COMPOSE="Сообщение для $PC_B_USER"
configure b AutoPlaySound=1
TV_ENV=("PULSE_SERVER=$PULSE_SERVER")
start_pair || { fail "both programs listen"; summary; exit 1; }
TV_ENV=()

sox -q -n -r 44100 -c 2 -b 16 "$WORK/tone.wav" synth 4 sine 440 vol 0.5
if TRAY_PID=$(pid_of a) open_tray_menu && TRAY_PID=$(pid_of a) choose_user 0 &&
    wait_for 10 has_window "$COMPOSE"; then
    pass "the compose window opens on pc-a"
    paplay -d tv_sink "$WORK/tone.wav" &
    tone=$!
    sleep 0.5
    # "Записать" and "Отправить звуковое сообщение" sit at the bottom of the
    # frame, left and right.
    click_in_window "$COMPOSE" 60 -59
    sleep 2
    screenshot recording
    click_in_window "$COMPOSE" 60 -59 # "Остановить"
    wait $tone
    sleep 1
    screenshot recorded
    parecord -d tv_sink.monitor --raw --format=s16le --rate=11025 --channels=1 \
        >"$WORK/played.raw" 2>/dev/null &
    recorder=$!
    click_in_window "$COMPOSE" -125 -59
    if wait_for 15 has_window "$SOUND"; then
        pass "pc-b shows \"$SOUND\""
        screenshot incoming-sound
        check "with auto-play on, pc-b's window closes by itself when the sound ends" \
            wait_for 15 window_gone "$SOUND"
    else
        fail "pc-b shows \"$SOUND\""
    fi
    check "pc-a confirms the sound message" wait_for 10 has_window "Tarvello"
    click_notice_ok "Tarvello"
    sleep 0.5
    kill $recorder 2>/dev/null
    wait $recorder 2>/dev/null
    # What pc-b played: the sound from its first non-silent sample on, past
    # the window's two short beeps.
    sox -t raw -r 11025 -e signed -b 16 -c 1 "$WORK/played.raw" "$WORK/played.wav" \
        silence 1 0.05 2% reverse silence 1 0.05 2% reverse 2>/dev/null
    length=$(soxi -D "$WORK/played.wav" 2>/dev/null || echo 0)
    frequency=$(sox "$WORK/played.wav" -n trim 0.5 1.0 stat 2>&1 | awk '/Rough.*frequency/{print $3}')
    echo "measured: ${length:-?} s of sound, rough frequency ${frequency:-?} Hz"
    check "pc-b played a tone near 440 Hz (measured ${frequency:-none} Hz)" \
        awk "BEGIN{exit !(${frequency:-0} > 420 && ${frequency:-0} < 460)}"
    check "pc-b played about two seconds (measured ${length:-none} s)" \
        awk "BEGIN{exit !(${length:-0} > 1.5 && ${length:-0} < 3.5)}"
else
    fail "the compose window opens on pc-a"
fi

summary
