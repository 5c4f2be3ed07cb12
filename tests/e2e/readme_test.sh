#!/bin/bash
# The README's command examples, run as they stand on pc-a (the colleague's
# name and address taken as pc-b's): every one that needs no person on the
# other side must work, and what it sends must arrive.
source "$(dirname "$0")/lib.sh"

need_hosts "the README's command examples"
start_pair || { fail "both programs listen"; summary; exit 1; }

# "tarvello" on the PATH is pc-a's copy, run in its host with its settings.
mkdir -p "$WORK/readme-bin"
cat >"$WORK/readme-bin/tarvello" <<EOF
#!/bin/sh
exec ip netns exec $NS_A unshare -u sh -c 'hostname pc-a; exec "\$@"' sh env -u DISPLAY \
    HOME="$WORK/a" XDG_CONFIG_HOME="$WORK/a/config" LANG=ru_RU.UTF-8 LC_ALL= "$WORK/a/bin/tarvello" "\$@"
EOF
chmod +x "$WORK/readme-bin/tarvello"

# The shell blocks of "From a terminal or a script", comments cut off. Those
# that wait for an answer from a person (send-file) or need a messenger
# service on the other side are left out.
examples=$(sed -n '/^## From a terminal/,/^## /p' "$ROOT_DIR/README.md" |
    awk '/^```sh/ { on = 1; next } /^```/ { on = 0 } on' |
    sed -e 's/  *# .*$//' -e 's/PC-B/pc-b/g' -e "s/192\\.168\\.0\\.7/$IP_B/g" |
    grep -v -e send-file -e --messenger)
check "the README has command examples to run" [ "$(grep -c tarvello <<<"$examples")" -ge 5 ]
while IFS= read -r line; do
    [ -n "$line" ] || continue
    (cd "$WORK" && PATH="$WORK/readme-bin:$PATH" timeout 60 bash -e -o pipefail -c "$line") \
        </dev/null >"$WORK/readme.out" 2>&1
    status=$?
    # "check" alone may find something to mend on a test host (status 1).
    allowed=0
    [ "$line" = "tarvello check" ] && allowed=1
    check "\"$line\" works (status $status)" [ "$status" -le "$allowed" ]
    [ "$status" -le "$allowed" ] || sed 's/^/    /' "$WORK/readme.out"
done <<<"$examples"

# What the send examples sent arrived on pc-b, each in a window of its own.
for text in "Сервер перезагрузится в 18:00" "Обед!"; do
    if wait_for 10 has_window "Принято сообщение:"; then
        click_in_window "Принято сообщение:" -161 -17 # "Копировать"
        check "\"$text\" arrived" wait_for 3 sh -c "xclip -o -selection clipboard | grep -qF '$text'"
        click_in_window "Принято сообщение:" -46 -17
        wait_for 5 window_gone "Принято сообщение:"
    else
        fail "\"$text\" arrived"
    fi
done

summary
