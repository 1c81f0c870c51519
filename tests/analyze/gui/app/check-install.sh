#!/bin/sh
# Installs the build into a scratch prefix and checks what a desktop menu needs:
# the desktop entry's program and icon are installed under the names it gives,
# and the installed program runs. Also checks that the sample trace comes along.
#   check-install.sh BUILD_DIR
set -eu
BUILD_DIR=$1
PREFIX=$(mktemp -d)
trap 'rm -rf "$PREFIX"' EXIT

fail() {
    echo "check-install: $*" >&2
    exit 1
}

cmake --install "$BUILD_DIR" --prefix "$PREFIX" >/dev/null

DESKTOP=$PREFIX/share/applications/org.memloupe.memloupe_gui.desktop
[ -f "$DESKTOP" ] || fail "no desktop entry at $DESKTOP"
key() {
    sed -n "s/^$1=//p" "$DESKTOP"
}
[ "$(key Type)" = Application ] || fail "Type is not Application"
[ -n "$(key Name)" ] || fail "no Name"
case "$(key Categories)" in
*\;) ;;
*) fail "Categories must end with ';'" ;;
esac

program=$(key Exec | cut -d' ' -f1)
[ -x "$PREFIX/bin/$program" ] || fail "Exec names $program, not installed in bin/"
icon=$(key Icon)
[ -f "$PREFIX/share/icons/hicolor/512x512/apps/$icon.png" ] || fail "Icon names $icon, not installed in the hicolor theme"
[ "$(identify -format '%wx%h' "$PREFIX/share/icons/hicolor/512x512/apps/$icon.png")" = 512x512 ] || fail "the icon is not 512 x 512 pixels"

[ -s "$PREFIX/share/memloupe/memloupe.vextor.59132.zst" ] || fail "no sample trace in share/memloupe/"

version=$(QT_QPA_PLATFORM=offscreen "$PREFIX/bin/$program" --version 2>/dev/null)
[ "$version" = "memloupe_gui 1.5.0" ] || fail "the installed program printed '$version' for --version"
echo "check-install: ok"
