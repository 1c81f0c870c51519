#!/bin/sh
# Installs every Debian package memloupe needs to build, test and run.
# Idempotent: apt is only touched when a package is missing.
set -eu

PACKAGES="
build-essential
cmake
ninja-build
pkg-config
extra-cmake-modules
gettext
qtbase5-dev
qtbase5-dev-tools
libqt5svg5-dev
libkf5coreaddons-dev
libkf5i18n-dev
libkf5config-dev
libkf5configwidgets-dev
libkf5widgetsaddons-dev
libkf5kio-dev
libkf5xmlgui-dev
libkf5iconthemes-dev
libkf5threadweaver-dev
libkchart-dev
libboost-dev
libboost-iostreams-dev
zlib1g-dev
libzstd-dev
zstd
robin-map-dev
libunwind-dev
libdw-dev
ltrace
gdb
python3
breeze-icon-theme
breeze-icon-theme-rcc
xvfb
xauth
x11-apps
imagemagick
"

missing=""
for p in $PACKAGES; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
    if [ "$status" != "installed" ]; then
        missing="$missing $p"
    fi
done

if [ -z "$missing" ]; then
    echo "install-deps: all packages present"
    exit 0
fi

echo "install-deps: installing:$missing"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
# shellcheck disable=SC2086
$SUDO apt-get install -y -q --no-install-recommends $missing
