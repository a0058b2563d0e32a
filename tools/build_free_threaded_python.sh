#!/usr/bin/env bash
# Builds a free-threaded CPython 3.13 (--disable-gil) into PREFIX from Debian's trixie
# source package. Skips the build when PREFIX already holds a working interpreter.
# Needs root for apt. The build is lean, for the tests alone: no test modules, no
# modules the tests and pip do not use, light optimisation, no static library,
# no pip in PREFIX (a venv takes it from the bundled wheel), bytecode at one
# optimisation level.
set -euo pipefail

PREFIX=${1:?usage: build_free_threaded_python.sh PREFIX}
PYTHON="$PREFIX/bin/python3.13t"
SOURCE_LIST=/etc/apt/sources.list.d/fernquill-trixie-src.sources
APT_WAIT=(-o DPkg::Lock::Timeout=900)
BUILD_PACKAGES=(build-essential dpkg-dev pkg-config libssl-dev zlib1g-dev libffi-dev libexpat1-dev)
# Extension modules neither the tests nor pip import (decimal falls back to its
# Python version).
UNUSED_MODULES=(_sqlite3 _tkinter _curses _curses_panel readline _dbm _gdbm _uuid _lzma _bz2 _decimal)

interpreter_works() {
    [ -x "$PYTHON" ] && "$PYTHON" -c '
import sys, ssl, zlib, ctypes, venv, ensurepip
assert not sys._is_gil_enabled()' 2>/dev/null
}

if interpreter_works; then
    echo "free-threaded interpreter already at $PYTHON"
    exit 0
fi

# The source list gets the URI the machine already uses for Debian.
debian_uri() {
    grep -hoE '^(URIs:|deb) *[a-z]+://[^ ]*/debian/?( |$)' /etc/apt/sources.list.d/*.sources \
        /etc/apt/sources.list 2>/dev/null | head -n1 | awk '{print $2}' || true
}
if [ ! -f "$SOURCE_LIST" ]; then
    uri=$(debian_uri)
    uri=${uri:-http://deb.debian.org/debian}
    printf 'Types: deb-src\nURIs: %s\nSuites: trixie\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
        "$uri" >"$SOURCE_LIST"
fi
apt-get "${APT_WAIT[@]}" update -q
DEBIAN_FRONTEND=noninteractive apt-get "${APT_WAIT[@]}" install -y -q "${BUILD_PACKAGES[@]}"

work=$(mktemp -d /tmp/fernquill-ft-build.XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
cd "$work"
# Upstream sources only: Debian's patches assume its own packaging layout.
apt-get source --download-only -q python3.13
tar -xf python3.13_*.orig.tar.xz
cd Python-3.13*/
unused=()
for module in "${UNUSED_MODULES[@]}"; do unused+=("py_cv_module_$module=n/a"); done
./configure --prefix="$PREFIX" --disable-gil --with-ensurepip=no --disable-test-modules \
    --without-static-libpython OPT="-DNDEBUG -O1" "${unused[@]}" >configure.log
nice -n 10 make -j2 >make.log 2>&1 || { tail -n 50 make.log; exit 1; }
# The standard library's bytecode at the one level the tests run at.
sed -i 's/-o 0 -o 1 -o 2 /-o 0 /' Makefile
nice -n 10 make install >install.log 2>&1 || { tail -n 50 install.log; exit 1; }

interpreter_works || { echo "built interpreter at $PYTHON does not work" >&2; exit 1; }
echo "free-threaded interpreter installed at $PYTHON"
