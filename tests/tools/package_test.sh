#!/bin/sh
# Installs into a scratch prefix and builds the Debian package; checks that
# the tools, their man pages and the package's dependencies are in place.
#   usage: package_test.sh BUILD_DIR
set -eu
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/usr" >/dev/null
for tool in encrypt_tool key_tool verify_tool; do
    test -x "$scratch/usr/bin/$tool" || { echo "missing bin/$tool"; exit 1; }
    test -f "$scratch/usr/share/man/man1/$tool.1" || { echo "missing man page $tool.1"; exit 1; }
done
"$scratch/usr/bin/key_tool" --version | grep -q '^key_tool ' || { echo "installed key_tool does not run"; exit 1; }
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/pkg" >/dev/null
deb=$(ls "$scratch"/pkg/*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
echo "$depends" | grep -q 'libtfm1' || { echo "package does not depend on libtfm1"; exit 1; }
echo "$depends" | grep -q 'libssl3' || { echo "package does not depend on libssl3"; exit 1; }
dpkg-deb -c "$deb" | grep -q 'usr/share/man/man1/verify_tool.1' || { echo "man page not packaged"; exit 1; }
echo "package test passed: $(basename "$deb")"
