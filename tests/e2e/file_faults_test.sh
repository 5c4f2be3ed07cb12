#!/bin/bash
# Whole-program tests of files that cannot be stored or break off: a folder
# that cannot be written, a disk that fills, the link going down, a file
# that grows or shrinks while it is sent, the receiver and the sender killed
# in the middle. Each ends in a clear message on pc-a and, on pc-b, in
# nothing or a ".part" file beside the target, never in a damaged file under
# the target's name. What is not a regular file (a device, a FIFO, a pipe,
# /proc) is refused before anything is offered. The link from pc-a is
# slowed to 40 Mbit/s so that a transfer lasts long enough to break into.
source "$(dirname "$0")/lib.sh"

need_hosts "file faults between the test hosts"
if ! ip netns exec $NS_A tc qdisc add dev tv_veth_a root tbf rate 40mbit burst 64kb latency 400ms; then
    skip "file faults (the kernel has no token bucket filter to slow the link)"
    summary
    exit 0
fi

head -c 30000000 /dev/urandom >"$WORK/big.bin"
# Mounted before the programs start: each test host has its own copy of the
# mount table, taken when its program is started.
mkdir -p "$WORK/files" "$WORK/readonly" "$WORK/small"
mount -t tmpfs -o ro,size=1m tv-readonly "$WORK/readonly" && on_exit "umount $WORK/readonly"
mount -t tmpfs -o size=4m tv-small "$WORK/small" && on_exit "umount $WORK/small"
start_pair || { fail "both programs listen"; summary; exit 1; }

# A file arriving on pc-b has no name until it is complete: it is seen as an
# open descriptor of pc-b's into the folder. True once it holds at least the
# given number of bytes.
arriving() { # arriving FOLDER BYTES
    local fd
    for fd in /proc/"$(pid_of b)"/fd/*; do
        case $(readlink "$fd") in "$1"/*) ;; *) continue ;; esac
        [ "$(stat -L -c %s "$fd")" -ge "$2" ] && return 0
    done
    return 1
}
# pc-a's notice that the sending failed, confirmed; then the sending window
# closed.
sending_failed() {
    wait_for "$1" has_window "$SEND_IMPOSSIBLE" || return 1
    screenshot "fault-$2"
    click_notice_ok "$SEND_IMPOSSIBLE"
    wait_for 5 window_gone "$SEND_IMPOSSIBLE" || return 1
    sleep 0.3
    xdotool key Escape # the sending window, idle again, closes
    wait_for 5 window_gone "$SENDING_FILE"
}
# send_into TARGET: pc-a offers big.bin and pc-b accepts it into TARGET.
send_into() {
    choose_file_to_send "$WORK/big.bin" && press_send && accept_offer "$1"
}
nothing_named() { # nothing_named FOLDER: no visible file in the folder
    [ -z "$(ls "$1")" ]
}

# --- A folder that cannot be written ---------------------------------------------
if send_into "$WORK/readonly/x.bin"; then
    check "unwritable folder: pc-a is told \"$SEND_IMPOSSIBLE\"" sending_failed 20 readonly
    check "unwritable folder: nothing is written" nothing_named "$WORK/readonly"
else
    fail "unwritable folder: the offer is made and accepted"
fi

# --- The disk fills during the file -----------------------------------------------
if send_into "$WORK/small/big.bin"; then
    check "full disk: pc-a is told \"$SEND_IMPOSSIBLE\"" sending_failed 30 disk-full
    check "full disk: pc-b leaves nothing behind, the space is free again" \
        wait_for 5 sh -c "[ -z \"\$(ls -A '$WORK/small')\" ] && [ \$(df --output=used '$WORK/small' | tail -n1) -lt 100 ]"
else
    fail "full disk: the offer is made and accepted"
fi
check "full disk: pc-b runs on" alive b

# --- The link goes down -------------------------------------------------------------
if send_into "$WORK/files/down.bin" && wait_for 20 arriving "$WORK/files" 2000000; then
    ip -n $NS_A link set tv_veth_a down
    t0=$(date +%s%N)
    check "link down: pc-a is told \"$SEND_IMPOSSIBLE\" once nothing moves" sending_failed 60 link-down
    echo "  told after $(ms_since "$t0") ms"
    check "link down: pc-b keeps what came as \"down.bin.part\"" \
        wait_for 60 test -s "$WORK/files/down.bin.part"
    check "link down: no \"down.bin\" is made" test ! -e "$WORK/files/down.bin"
    ip -n $NS_A link set tv_veth_a up
    wait_for 10 ip netns exec $NS_A ping -c1 -W1 $IP_B >/dev/null
else
    fail "link down: the transfer starts"
fi

# --- Files that change while sent (the command line) ----------------------------
# cli_bg ARGS...: pc-a's command in the background (CLI_PID), status in cli.status.
cli_bg() {
    rm -f "$WORK/cli.status"
    (cli a "$@"; echo "$CLI_STATUS" >"$WORK/cli.status") &
    CLI_PID=$!
}
cli_status() { cat "$WORK/cli.status" 2>/dev/null; }
mkdir -p "$WORK/changing"
for change in grows shrinks; do
    cp "$WORK/big.bin" "$WORK/$change.bin"
    cli_bg send-file pc-b "$WORK/$change.bin"
    if accept_offer "$WORK/changing/$change.bin" && wait_for 20 arriving "$WORK/changing" 2000000; then
        [ $change = grows ] && head -c 1000000 /dev/urandom >>"$WORK/$change.bin"
        [ $change = shrinks ] && truncate -s 1000000 "$WORK/$change.bin"
        wait_for 60 test -s "$WORK/cli.status"
        check "a file that $change while sent: not delivered, status 1 (got $(cli_status): $(cat "$WORK/cli.err"))" \
            sh -c "[ '$(cli_status)' = 1 ] && grep -q 'файл изменился во время отправки' '$WORK/cli.err'"
        check "a file that $change while sent: pc-b keeps only \"$change.bin.part\"" \
            wait_for 10 sh -c "[ \"\$(ls -A '$WORK/changing')\" = $change.bin.part ]"
    else
        fail "a file that $change while sent: the transfer starts"
    fi
    kill $CLI_PID 2>/dev/null; wait $CLI_PID
    rm -f "$WORK/changing"/*
done

# --- What is not a regular file ------------------------------------------------------
# Refused at once with its reason (status 2), before anything is offered. A
# FIFO is never opened: one without a writer does not hang the command, and
# a writer waiting on one is neither let go nor killed.
mkfifo "$WORK/lonely.fifo" "$WORK/fed.fifo"
(seq 1 200000 >"$WORK/fed.fifo"; echo $? >"$WORK/writer.status") &
writer=$!
refused_at_once() { # refused_at_once PATH
    cli_bg send-file pc-b "$1"
    if ! wait_for 10 test -s "$WORK/cli.status"; then
        [ -p "$1" ] && timeout 5 sh -c ": >'$1'" # a reader stuck in open() goes on
        return 1
    fi
    [ "$(cli_status)" = 2 ] && grep -q "обычный файл" "$WORK/cli.err" && ! grep -q доставлен "$WORK/cli.out"
}
for offered in /proc/cpuinfo /dev/zero "$WORK/lonely.fifo" "$WORK/fed.fifo"; do
    check "send-file $offered: refused at once with its reason" refused_at_once "$offered"
done
check "send-file <(seq 1 1000): refused at once with its reason" refused_at_once <(seq 1 1000)
# In the sending window, a device typed into the file dialog: refused with
# its reason, and the dialog asks again.
check "the sending window refuses /dev/zero: \"$SEND_IMPOSSIBLE\"" \
    choose_file_to_send /dev/zero "$SEND_IMPOSSIBLE"
click_notice_ok "$SEND_IMPOSSIBLE"
check "the file dialog asks again; cancelled, no sending window opens" \
    eval 'wait_for 10 has_window "$CHOOSE_FILE" && close_dialog "$CHOOSE_FILE" && window_gone "$SENDING_FILE"'
check "nothing of these is offered on pc-b" window_gone "$FILE_OFFER"
check "the FIFO's writer still waits for a reader" kill -0 $writer
timeout 10 cat "$WORK/fed.fifo" >/dev/null
check "the FIFO's writer then writes everything (status 0, not SIGPIPE's 141)" \
    wait_for 10 sh -c "[ \"\$(cat '$WORK/writer.status' 2>/dev/null)\" = 0 ]"

# --- The receiver is killed ----------------------------------------------------------
if send_into "$WORK/files/killed.bin" && wait_for 20 arriving "$WORK/files" 2000000; then
    kill -9 "$(pid_of b)"
    wait "$(pid_of b)"
    check "receiver killed: pc-a is told \"$SEND_IMPOSSIBLE\"" sending_failed 40 receiver-killed
    check "receiver killed: nothing is left in the folder but the earlier part" \
        [ "$(ls -A "$WORK/files")" = down.bin.part ]
    check "receiver killed: pc-a runs on" alive a
else
    fail "receiver killed: the transfer starts"
fi

# --- The sender is killed ----------------------------------------------------------------
start_tarvello b $NS_B pc-b
if wait_for 15 listening_on $NS_B 64897 && send_into "$WORK/files/orphan.bin" &&
    wait_for 20 arriving "$WORK/files" 2000000; then
    kill -9 "$(pid_of a)"
    check "sender killed: pc-b keeps what came as \"orphan.bin.part\"" \
        wait_for 40 test -s "$WORK/files/orphan.bin.part"
    check "sender killed: no \"orphan.bin\" is made" test ! -e "$WORK/files/orphan.bin"
    check "sender killed: the part is what was sent, unharmed" \
        cmp -s "$WORK/files/orphan.bin.part" <(head -c "$(stat -c %s "$WORK/files/orphan.bin.part")" "$WORK/big.bin")
    check "sender killed: pc-b runs on and still listens" listening_on $NS_B 64897
else
    fail "sender killed: the transfer starts"
fi

summary
