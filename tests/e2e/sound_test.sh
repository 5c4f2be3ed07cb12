#!/bin/bash
# Whole-program test of sound messages, on PulseAudio and on PipeWire (each
# private, with a null sink that a recorder hears): pc-b's window beeps
# (1000 Hz, then 1300 Hz), plays a received message (440 Hz, closing with
# 0.2 s at 700 Hz) and, with auto-play on, closes by itself; pc-a records a
# loud voice (440 Hz at peak 0.9) from a stereo microphone and sends it.
source "$(dirname "$0")/lib.sh"

need_hosts "sound messages between the test hosts"

SOUND="Принято звуковое сообщение"
COMPOSE="Сообщение для $PC_B_USER"
sox -q -n -r 44100 -c 2 -b 16 "$WORK/voice.wav" synth 4 sine 440 vol 0.9

# listen: records the sink in stereo (a server's own mix to mono would
# change the level); heard_stop stops once half a second more is in, and
# heard.wav is the left channel.
heard_bytes() { stat -c %s "$WORK/heard.raw"; }
heard_from() { [ "$(heard_bytes)" -ge "$1" ]; }
listen() {
    parecord -d tv_sink.monitor --raw --rate=11025 --channels=2 --latency-msec=10 \
        >"$WORK/heard.raw" 2>/dev/null &
    LISTENER=$!
    wait_for 5 heard_from 1
}
heard_stop() {
    wait_for 10 heard_from $(($(heard_bytes) + 22050))
    kill "$LISTENER" && wait "$LISTENER"
    sox -t raw -r 11025 -e signed -b 16 -c 2 "$WORK/heard.raw" "$WORK/heard.wav" remix 1
}
# span HZ: "START END PEAK" of the tone near HZ in heard.wav (seconds; its
# first and last 10 ms above 0.1 after a band-pass; START > END when absent).
span() {
    sox "$WORK/heard.wav" "$WORK/band.wav" sinc $(($1 - 100))-$(($1 + 100)) 2>/dev/null
    local length='/Length/{print $3}'
    awk -v t="$(soxi -D "$WORK/band.wav")" \
        -v l="$(sox "$WORK/band.wav" -n silence 1 0.01 10% stat 2>&1 | awk "$length")" \
        -v r="$(sox "$WORK/band.wav" -n reverse silence 1 0.01 10% stat 2>&1 | awk "$length")" \
        -v m="$(sox "$WORK/band.wav" -n stat 2>&1 | awk '/Maximum amplitude/{print $3}')" \
        'BEGIN{printf "%.3f %.3f %.3f\n", t - l, r, m}'
}
# check_span SERVER HZ WHAT CONDITION: on s, e, p (start, end, peak) and pe,
# the latest end of the spans checked before.
check_span() {
    local s e p
    read -r s e p <<<"$(span "$2")"
    check "$1: $3 ($2 Hz from $s to $e s, peak $p)" \
        awk -v s="$s" -v e="$e" -v p="$p" -v pe="${PE:-0}" "BEGIN{exit !($4)}"
    PE=$(awk -v a="${PE:-0}" -v b="$e" 'BEGIN{print (b > a ? b : a)}')
}

for server in pulse pipewire; do
    "${server}_up" || fail "$server with a null sink"
    configure a
    configure b AutoPlaySound=1
    TV_ENV=("PULSE_SERVER=$PULSE_SERVER")
    start_pair || fail "$server: both programs listen"
    TV_ENV=()

    listen
    python3 "$E2E_DIR/rawtcp.py" sound pc-a 0.6 700 0.2 |
        ip netns exec $NS_A python3 "$E2E_DIR/rawtcp.py" send $IP_B 64897 - 10 >/dev/null
    check "$server: pc-b shows \"$SOUND\"" wait_for 15 has_window "$SOUND"
    check "$server: with auto-play on, it closes by itself when the sound ends" \
        wait_for 15 window_gone "$SOUND"
    heard_stop
    PE=0
    check_span $server 1000 "the first beep sounds whole" "e - s >= 0.08"
    check_span $server 1300 "the second beep sounds whole after it" \
        "e - s >= 0.08 && s >= pe - 0.02 && p >= 0.2"
    check_span $server 440 "the message starts after the beeps" "s >= pe - 0.02"
    check_span $server 700 "the message's closing 0.2 s is heard" "e - s >= 0.17"

    if TRAY_PID=$(pid_of a) open_tray_menu && TRAY_PID=$(pid_of a) choose_user 0 &&
        wait_for 10 has_window "$COMPOSE"; then
        paplay -d tv_sink "$WORK/voice.wav" &
        voice=$!
        sleep 0.5
        # "Записать" and "Отправить звуковое сообщение" sit at the bottom of
        # the frame, left and right.
        click_in_window "$COMPOSE" 60 -59
        sleep 2
        screenshot "recording-$server"
        click_in_window "$COMPOSE" 60 -59 # "Остановить"
        wait $voice
        listen
        click_in_window "$COMPOSE" -125 -59
        check "$server: pc-b plays the recording and closes its window" \
            eval 'wait_for 15 has_window "$SOUND" && wait_for 15 window_gone "$SOUND"'
        check "$server: pc-a confirms the sound message" wait_for 10 has_window "Tarvello"
        click_notice_ok "Tarvello"
        heard_stop
        check_span $server 440 "pc-b plays two seconds of the loud voice, unclipped" \
            "e - s > 1.5 && e - s < 3.5 && p > 0.8 && p < 0.95"
    else
        fail "$server: the compose window opens on pc-a"
    fi
    kill "$(pid_of a)" "$(pid_of b)"
    wait_exit a 10
    wait_exit b 10
    sound_down
done

summary
