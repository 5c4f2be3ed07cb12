#!/bin/bash
# Whole-program test of the Debian package: installs build-package's .deb on
# this machine, checks its files, the capability and the desktop entries,
# starts the installed program as an ordinary user under Xvfb with a tray,
# sees both ports listening and a message arrive, then removes the package.
source "$(dirname "$0")/lib.sh"

if ! is_root; then
    skip "installing the package (needs root)"
    summary
    exit 0
fi
deb=$(ls "$ROOT_DIR"/build-package/tarvello_*.deb 2>/dev/null | head -n1)
if [ -z "$deb" ]; then
    fail "a package built by ./package.sh"
    summary
    exit 1
fi
# A tarvello package installed before the test is packed up from its files
# and installed again at the end.
if dpkg-query -W -f='${Status}' tarvello 2>/dev/null | grep -q "install ok installed"; then
    mkdir -p "$WORK/installed-before"
    if (cd "$WORK/installed-before" && dpkg-repack tarvello >/dev/null 2>&1); then
        on_exit "DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --allow-downgrades $WORK/installed-before/tarvello_*.deb"
    else
        fail "the tarvello package installed here can be packed up to be put back"
        summary
        exit 1
    fi
    apt-get remove -y -qq tarvello >/dev/null 2>&1
fi
on_exit "DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq tarvello"
check "apt-get installs the package" \
    env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb"
for f in /usr/bin/tarvello /usr/share/doc/tarvello/Tarvello.pdf /usr/share/doc/tarvello/copyright \
    /usr/share/applications/tarvello.desktop /etc/xdg/autostart/tarvello.desktop \
    /usr/share/icons/hicolor/scalable/apps/tarvello.svg /usr/share/icons/hicolor/48x48/apps/tarvello.png \
    /usr/share/metainfo/tarvello.metainfo.xml /usr/share/man/man1/tarvello.1.gz \
    /usr/share/bash-completion/completions/tarvello; do
    check "the package installs $f" test -s "$f"
done
check "the program may open port 4 (cap_net_bind_service)" \
    sh -c "getcap /usr/bin/tarvello | grep -q cap_net_bind_service"
check "the menu entry is valid" desktop-file-validate /usr/share/applications/tarvello.desktop
check "the autostart entry is valid" desktop-file-validate /etc/xdg/autostart/tarvello.desktop

# The installed program, started by an ordinary user.
# An account made for the test goes with it.
if ! id tvtest >/dev/null 2>&1; then
    useradd -m tvtest && on_exit "pkill -KILL -u tvtest; userdel -r tvtest 2>/dev/null"
fi

# Its command line, without a display: the version, this computer's check
# naming the capability, and completion of the subcommands.
check "the installed command line runs without a display" \
    sh -c "env -u DISPLAY /usr/bin/tarvello --version | grep -qx 'Tarvello 2.0'"
check "an ordinary user's check says the program may open port 4 through the capability" \
    sh -c "runuser -u tvtest -- env -u DISPLAY LANG=ru_RU.UTF-8 /usr/bin/tarvello check |
           grep -q 'Порт TCP 4: программа может его открыть (у неё есть право cap_net_bind_service)'"
completes() {
    bash -c 'source /usr/share/bash-completion/bash_completion
             source /usr/share/bash-completion/completions/tarvello
             COMP_WORDS=(tarvello se); COMP_CWORD=1; COMP_LINE="tarvello se"; COMP_POINT=11
             _tarvello; echo "${COMPREPLY[*]}"'
}
check "bash completes \"tarvello se\" to send and send-file (got: $(completes 2>&1))" \
    [ "$(completes 2>/dev/null)" = "send send-file" ]
x11_up || { fail "X server with a tray"; summary; exit 1; }
xhost +si:localuser:tvtest >/dev/null
runtime=$(mktemp -d /tmp/tarvello-tvtest.XXXXXX)
chown tvtest "$runtime"
chmod 700 "$runtime"
on_exit "rm -rf $runtime"
rm -rf /home/tvtest/.config/Tarvello
setpriv --reuid=tvtest --regid=tvtest --init-groups env HOME=/home/tvtest XDG_RUNTIME_DIR="$runtime" LANG=ru_RU.UTF-8 \
    DISPLAY="$DISPLAY" QT_QPA_PLATFORM=xcb QT_STYLE_OVERRIDE=Fusion \
    DBUS_SESSION_BUS_ADDRESS=disabled: DBUS_SYSTEM_BUS_ADDRESS=disabled: /usr/bin/tarvello \
    >"$WORK/installed.log" 2>&1 &
TV_PID_installed=$!
on_exit "kill -9 $TV_PID_installed"
if wait_for 15 has_window "Tarvello 2.0. Информация для пользователя"; then
    click_bottom_button "Tarvello 2.0. Информация для пользователя" 23
fi
check "as an ordinary user it listens on TCP ports 4 and 64897" \
    wait_for 15 sh -c "ss -ltnH 'sport = :4' | grep -q LISTEN && ss -ltnH 'sport = :64897' | grep -q LISTEN"
check "it runs as the ordinary user" \
    sh -c "ps -o user= -p $TV_PID_installed | grep -q tvtest"
printf 'Сообщение от pc-x:\r\nустановлен' | iconv -t cp1251 | xxd -p | tr -d '\n' |
    python3 "$E2E_DIR/rawtcp.py" send 127.0.0.1 4 - >/dev/null
check "a message arrives" wait_for 10 has_window "Принято сообщение:"
screenshot installed-message
click_in_window "Принято сообщение:" -46 -17
kill -TERM $TV_PID_installed
wait_exit installed 15
check "the installed program exits with 4" [ "$EXIT_STATUS" = 4 ]

check "apt-get removes the package" \
    env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq tarvello
check "nothing of it is left in /usr/bin and the menus" \
    sh -c "! test -e /usr/bin/tarvello && ! test -e /usr/share/applications/tarvello.desktop && ! test -e /etc/xdg/autostart/tarvello.desktop"

summary
