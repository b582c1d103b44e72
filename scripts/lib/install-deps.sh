# shellcheck shell=bash
# Installs the Debian 12 packages that building, testing and running need,
# when any is missing. Sourced by scripts/test and scripts/run.

kov_packages=(
    cmake g++ clang pkg-config
    qt6-base-dev libgl-dev
    libgtest-dev libbenchmark-dev
    mtools dosfstools
    libblkid-dev fdisk
    libmagic-dev libjpeg62-turbo-dev zlib1g-dev
    imagemagick libjpeg-turbo-progs zip sox lame libgsf-bin python3-mutagen
    gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
    xvfb xauth time
    help2man man-db desktop-file-utils appstream debootstrap
    dbus udev udisks2 polkitd
    fdisk ntfs-3g
    exfatprogs exfat-fuse fuse3 sleuthkit
    libfuse3-dev gddrescue
)

# Installs the missing ones of kov_packages with apt-get, through sudo when
# not root; updates the package lists once, and only when something is
# missing. Returns non-zero when it cannot install.
kov_install_deps() {
    local missing=() pkg
    for pkg in "${kov_packages[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    if ((${#missing[@]} == 0)); then
        return 0
    fi

    local asroot=()
    if ((EUID != 0)); then
        if ! command -v sudo >/dev/null; then
            echo "install-deps: need root or sudo to install: ${missing[*]}" >&2
            return 1
        fi
        asroot=(sudo)
    fi
    echo "install-deps: installing ${missing[*]}"
    "${asroot[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
    "${asroot[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
}
