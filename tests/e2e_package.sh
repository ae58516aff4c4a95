#!/usr/bin/env bash
# The Debian package: cpack -G DEB on this build, then what dpkg-deb says is
# in it, what it depends on (worked out by dpkg-shlibdeps), and whether apt
# could install it here. scripts/package makes the release package and runs
# this same check on it.
set -euo pipefail

deb=${1:-}
work=$(mktemp -d /tmp/hollin-package-XXXXXX)
trap 'rm -rf "$work"' EXIT
if [ -z "$deb" ]; then
  bin=${HOLLIN_BINARY:?HOLLIN_BINARY is not set}
  build=$(dirname "$bin")
  cpack -G DEB -B "$work" --config "$build/CPackConfig.cmake" >"$work/cpack.log" ||
    { cat "$work/cpack.log"; exit 1; }
  deb=$(ls "$work"/hollin_*.deb)
fi
fail() { echo "e2e_package: $*"; exit 1; }

dpkg-deb --contents "$deb" >"$work/contents"
for path in ./usr/bin/hollin \
            ./usr/libexec/hollin/hollin-windows \
            ./usr/share/applications/io.hollin.Hollin.desktop \
            ./usr/share/metainfo/io.hollin.Hollin.metainfo.xml \
            ./usr/share/icons/hicolor/scalable/apps/io.hollin.Hollin.svg \
            ./usr/share/dbus-1/services/io.hollin.Hollin.service \
            ./usr/share/man/man1/hollin.1; do
  grep -q " $path\$" "$work/contents" || { cat "$work/contents"; fail "$path is not in the package"; }
done

info() { dpkg-deb --field "$deb" "$1"; }
[ "$(info Package)" = hollin ] || fail "package name is $(info Package)"
[ "$(info Version)" = "$(sed -n 's/^project(Hollin VERSION \([0-9.]*\).*/\1/p' "${HOLLIN_SOURCE_DIR:-$(dirname "$0")/..}/CMakeLists.txt")" ] ||
  fail "version is $(info Version)"
[ -n "$(info Maintainer)" ] && [ -n "$(info Description)" ] || fail "no maintainer or description"
depends=$(info Depends)
for lib in libqt6widgets6 libqt6dbus6 libc6 libxcb1; do
  grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib: $depends"
done

# What the package installs must say the installed paths.
dpkg-deb --extract "$deb" "$work/root"
grep -qx "Exec=/usr/bin/hollin --service" "$work/root/usr/share/dbus-1/services/io.hollin.Hollin.service" ||
  fail "service file: $(cat "$work/root/usr/share/dbus-1/services/io.hollin.Hollin.service")"
desktop-file-validate "$work/root/usr/share/applications/io.hollin.Hollin.desktop"
appstreamcli validate --no-net "$work/root/usr/share/metainfo/io.hollin.Hollin.metainfo.xml" >/dev/null
"$work/root/usr/bin/hollin" --version | grep -qx "hollin $(info Version)" || fail "the packaged binary does not run"
# It finds its windows program where the package put it, beside its own folder.
QT_QPA_PLATFORM=offscreen "$work/root/usr/bin/hollin" --treemap "$work/root/usr/share/man" "$work/man.svg" &&
  grep -q "<svg" "$work/man.svg" || fail "the packaged hollin does not start its windows program"

# apt resolves the dependencies on this system without installing anything.
apt-get install --simulate --no-install-recommends "$deb" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "apt cannot install the package"; }
echo "e2e_package: $(basename "$deb") holds $(wc -l <"$work/contents") entries; Depends: $depends"
echo "e2e_package: passed"
