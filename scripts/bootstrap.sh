#!/usr/bin/env bash
# Sets up a Debian 12 machine from nothing and builds everything:
#   apt packages, npm packages, the Windows build (MinGW-w64), the native
#   reference server and a Wine prefix inside the build tree.
# A second run installs nothing and only rebuilds what changed.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${RPQ_BUILD:-$ROOT/build}"
say() { printf '[bootstrap] %s\n' "$*"; }

APT_PACKAGES=(
  g++ cmake ninja-build pkg-config curl ca-certificates
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
  wine wine64 libgnutls30 googletest xvfb 7zip imagemagick
  libcpp-httplib-dev libssl-dev openssl procps nlohmann-json3-dev wixl msitools faketime
  ghostscript fonts-liberation clang libclang-rt-14-dev osslsigncode python3 icoutils
  libpappl-dev libarchive-dev libcurl4-openssl-dev libqpdf-dev libcups2-dev
  cups-ipp-utils cups-daemon cups-client avahi-daemon dbus
)
missing=()
for p in "${APT_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
command -v npm >/dev/null 2>&1 || missing+=(nodejs npm)
if [ ${#missing[@]} -gt 0 ]; then
  say "installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# npm packages: 7z.dll and the PCRE2 sources. Install scripts are not run:
# only files are taken from the packages.
stamp="$ROOT/node_modules/.rpq-lock"
if [ ! -f "$stamp" ] || ! cmp -s "$ROOT/package-lock.json" "$stamp"; then
  say "npm ci"
  (cd "$ROOT" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
  cp "$ROOT/package-lock.json" "$stamp"
fi

mkdir -p "$BUILD"
if [ ! -f "$BUILD/win/build.ninja" ]; then
  say "configuring the Windows build"
  cmake -G Ninja -S "$ROOT" -B "$BUILD/win" \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRPQ_WINEPREFIX="$BUILD/wineprefix" >/dev/null
fi
cmake --build "$BUILD/win"
# Trayherald for 32-bit Windows as well (this kernel runs only the 64-bit one).
if [ ! -f "$BUILD/win32/build.ninja" ]; then
  say "configuring the 32-bit notifier build"
  cmake -G Ninja -S "$ROOT" -B "$BUILD/win32" \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-i686.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRPQ_NOTIFIER_ONLY=ON >/dev/null
fi
cmake --build "$BUILD/win32" --target Trayherald

if [ -f "$ROOT/server/CMakeLists.txt" ]; then
if [ ! -f "$BUILD/server/build.ninja" ]; then
  say "configuring the reference server"
  cmake -G Ninja -S "$ROOT/server" -B "$BUILD/server" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$BUILD/server"
fi

# rpqgate, the IPP gateway: native, with its tests.
if [ ! -f "$BUILD/gateway/build.ninja" ]; then
  say "configuring the IPP gateway"
  cmake -G Ninja -S "$ROOT/gateway" -B "$BUILD/gateway" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$BUILD/gateway"

export WINEPREFIX="$BUILD/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  say "creating the Wine prefix $WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w
fi
say "ready: $BUILD"
