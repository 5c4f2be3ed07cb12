#!/bin/bash
# Whole-program tests of the command line between the test hosts: a text
# from pc-a's terminal opens a window on pc-b, a file goes with its answer,
# and "check" tells a reachable colleague from one behind a firewall. The
# tray programs run meanwhile.
source "$(dirname "$0")/lib.sh"

need_hosts "the command line between the test hosts"
command -v nft >/dev/null || { skip "the command line: nft is not installed"; summary; exit 0; }

INCOMING="Принято сообщение:"
start_pair || { fail "both programs listen"; summary; exit 1; }
clipboard() { xclip -o -selection clipboard 2>/dev/null; }
hex() { od -An -tx1 | tr -d ' \n'; }

# --- send ---------------------------------------------------------------------
TEXT="Сервер перезагрузится в 18:00"
t0=$(date +%s%N)
cli a send pc-b "$TEXT"
took=$(ms_since "$t0")
check "\"tarvello send pc-b\" exits with 0 (got $CLI_STATUS; $(cat "$WORK/cli.err"))" [ "$CLI_STATUS" = 0 ]
check "it says where the message went (got: $(cat "$WORK/cli.out"))" \
    grep -qx "Сообщение доставлено: pc-b (10.77.0.2)." "$WORK/cli.out"
echo "  send took $took ms from start to exit"
if wait_for 10 has_window "$INCOMING"; then
    pass "pc-b shows \"$INCOMING\""
    screenshot cli-message
    click_in_window "$INCOMING" -161 -17 # "Копировать"
    sleep 0.3
    check "pc-b received the compose window's header and text (got: $(clipboard))" \
        [ "$(clipboard | hex)" = "$(printf 'Сообщение от pc-a:\r\n%s' "$TEXT" | hex)" ]
    click_in_window "$INCOMING" -46 -17
    wait_for 5 window_gone "$INCOMING"
else
    fail "pc-b shows \"$INCOMING\""
fi
check "pc-a's tray program runs on beside the command" alive a

# cli_says TITLE STATUS TEXT: the last command ended with STATUS and said TEXT.
cli_says() {
    check "$1 (status $CLI_STATUS; $(cat "$WORK/cli.out" "$WORK/cli.err"))" \
        sh -c "[ $CLI_STATUS = $2 ] && grep -qF -- \"\$0\" '$WORK/cli.out' '$WORK/cli.err'" "$3"
}
cli a --messenger send pc-b x
cli_says "an option before the command is a usage error, with no display and no tray" 2 \
    'неизвестный параметр "--messenger"'
cli a send 10.77.0.99 x
cli_says "an address nobody holds on the link has no route" 3 "нет маршрута до компьютера"
CLI_ENV=(PATH=/nonexistent)
cli a send pc-b --messenger x
CLI_ENV=()
cli_says "--messenger without smbclient says to install it" 1 "sudo apt install smbclient"

# --- send-file ----------------------------------------------------------------
head -c 5000000 /dev/urandom >"$WORK/cli-send.bin"
cli a send-file pc-b "$WORK/cli-send.bin" &
sender=$!
if accept_offer "$WORK/cli-received.bin"; then
    pass "\"tarvello send-file\" offers the file on pc-b and it is accepted"
    wait "$sender"
    CLI_STATUS=$?
    check "send-file exits with 0 once the file is stored (got $CLI_STATUS)" [ "$CLI_STATUS" = 0 ]
    check "the stored file is byte-identical (sha256)" \
        [ "$(sha256sum <"$WORK/cli-received.bin")" = "$(sha256sum <"$WORK/cli-send.bin")" ]
    check "its progress ends at 100% (got: $(grep -c % "$WORK/cli.out") lines)" \
        grep -q "^100%  " "$WORK/cli.out"
else
    fail "\"tarvello send-file\" offers the file on pc-b and it is accepted"
    kill "$sender" 2>/dev/null
fi

# --- check ----------------------------------------------------------------------
cli a check pc-b
check "\"tarvello check pc-b\" finds both ports reachable (status $CLI_STATUS)" \
    sh -c "[ $CLI_STATUS = 0 ] && grep -q 'порт сообщений, TCP 4: доступен' '$WORK/cli.out' &&
           grep -q 'порт данных, TCP 64897: доступен' '$WORK/cli.out'"

ip netns exec $NS_B nft -f - <<'NFT'
table inet tvtest {
    chain input {
        type filter hook input priority 0;
        tcp dport 4 drop
        udp dport 64897 drop
    }
    chain output {
        type filter hook output priority 0;
        tcp dport 64897 drop
    }
}
NFT
on_exit "ip netns exec $NS_B nft delete table inet tvtest 2>/dev/null"
cli a check pc-b
check "with TCP 4 dropped on pc-b, check says the message port gets no answer (status $CLI_STATUS)" \
    sh -c "[ $CLI_STATUS = 3 ] && grep -q 'порт сообщений, TCP 4: нет ответа за 10 с - соединение задерживает брандмауэр' '$WORK/cli.out'"
check "... and the data port is still reachable" grep -q 'порт данных, TCP 64897: доступен' "$WORK/cli.out"
cli b check
check "pc-b's own check names the rule that drops TCP 4 (status $CLI_STATUS)" \
    sh -c "[ $CLI_STATUS = 1 ] && grep -q 'Брандмауэр (nftables) не пропускает TCP 4: tcp dport 4 drop' '$WORK/cli.out'"
check "... and neither the UDP rule nor the output chain is taken for a block of TCP 64897" \
    sh -c "! grep -q 'не пропускает TCP 64897' '$WORK/cli.out'"
check "pc-b's own check finds its Tarvello on both ports" \
    sh -c "grep -q 'порт сообщений, TCP 4: слушает Tarvello (процесс' '$WORK/cli.out' &&
           grep -q 'порт данных, TCP 64897: слушает Tarvello (процесс' '$WORK/cli.out'"
sed 's/^/    /' "$WORK/cli.out"

summary
