#!/bin/bash
# Whole-program tests of the user list: the neighbourhood found through
# DNS-SD on the test hosts, merged with the address book, in the tray menu.
source "$(dirname "$0")/lib.sh"

need_hosts "the user list on the test hosts"
avahi_up $NS_A pc-a tv_veth_a && avahi_up $NS_B pc-b tv_veth_b ||
    { fail "Avahi on both test hosts"; summary; exit 1; }
sees_pc_b() {
    ip netns exec $NS_A env "$(avahi_env $NS_A)" avahi-browse -tpk _workstation._tcp 2>/dev/null |
        grep -q 'pc-b'
}
check "Avahi on pc-a sees pc-b's workstation" wait_for 15 sees_pc_b

mkdir -p "$WORK/a/config/Tarvello" "$WORK/a/bin"
printf '[General]\nListeningPort=1024\nListeningDataPort=33277\n' >"$WORK/a/config/Tarvello/Tarvello.conf"
# A user of another subnet by address, and one by a name nobody announces.
cat >"$WORK/a/bin/AddressBook.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<Phonebook>
    <Item Address="192.168.50.7" Type="1">Склад</Item>
    <Item Address="PC12" Type="2">Бухгалтерия</Item>
</Phonebook>
XML
TV_ENV=("$(avahi_env $NS_A)")
start_tarvello a $NS_A pc-a
check "the program starts and listens" wait_for 20 listening_on $NS_A 4

if open_tray_menu; then
    open_submenu 12 # "Отправить сообщение", the last item
    if wait_for 5 submenu_window >/dev/null; then
        rows=$(( ($(submenu_height) + ${MENU_ROW:-22} / 2) / ${MENU_ROW:-22} ))
        # pc-b and pc-a (the neighbourhood lists this computer too), then
        # the book's user by address and its absent user by name.
        check "the send-message submenu holds four users (got $rows)" [ "$rows" = 4 ]
        screenshot user-menu
    else
        fail "the send-message submenu opens"
    fi
    xdotool key Escape Escape
fi

# Name pc-b in the book and refresh: it becomes a named neighbour. The
# neighbourhood names computers as Windows does, short and upper-case, the
# way "=>" in the user editor stores them.
cat >"$WORK/a/bin/AddressBook.xml" <<'XML'
<Phonebook><Item Address="PC-B" Type="2">Второй компьютер</Item></Phonebook>
XML
if open_tray_menu; then
    menu=$(tray_menu_window)
    xdotool mousemove --window "$menu" 40 "${REFRESH_ITEM_FROM_TOP:-81}" sleep 0.2 click 1
    check "after the refresh the menu opens again" wait_for 20 open_tray_menu
    open_submenu 12
    if wait_for 5 submenu_window >/dev/null; then
        rows=$(( ($(submenu_height) + ${MENU_ROW:-22} / 2) / ${MENU_ROW:-22} ))
        # The named neighbour and pc-a; the book users of before are gone.
        check "after the refresh the submenu holds two users (got $rows)" [ "$rows" = 2 ]
        screenshot user-menu-named
    else
        fail "the send-message submenu opens after the refresh"
    fi
    xdotool key Escape Escape
fi

summary
