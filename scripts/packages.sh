# Debian packages Tarvello needs, and a function that installs the missing
# ones (as root, or through sudo).

BUILD_PACKAGES=(cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-multimedia-dev qt6-svg-dev qt6-tools-dev libqt6svg6
    libavahi-client-dev zlib1g-dev libxcb1-dev fonts-dejavu-core qt6-translations-l10n)
TEST_PACKAGES=(xvfb tint2 xdotool xclip x11-utils imagemagick
    iproute2 iputils-ping python3 gcc libx11-dev procps
    avahi-daemon avahi-utils dbus libnss-mdns samba smbclient
    pulseaudio pulseaudio-utils pipewire pipewire-pulse wireplumber sox poppler-utils xxd x11-xserver-utils libcap2-bin
    desktop-file-utils clang libclang-rt-14-dev xfce4-panel dbus-x11 systemd nftables
    bash-completion wsdd lxqt-panel python3-pyatspi at-spi2-core plasma-workspace plasma-desktop
    sway waybar grim wl-clipboard qt6-wayland libwayland-dev libwayland-bin libxkbcommon-dev dpkg-repack)

install_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$p")
    done
    [ ${#missing[@]} = 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" != 0 ]; then
        if ! command -v sudo >/dev/null; then
            echo "These Debian packages are missing and there is no sudo to install them:" >&2
            echo "  ${missing[*]}" >&2
            return 1
        fi
        sudo=(sudo)
    fi
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" </dev/null
}
