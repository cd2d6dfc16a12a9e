#!/usr/bin/env bash
# Cross-builds Velmora for 64-bit Windows on Debian 12 with MinGW-w64 and packs
# build-windows/velmora-<version>-win64.zip (velmora.exe, velmoractl.exe,
# velmora-search.exe, velmora-service.exe, Velmora.xml, the control file and a
# README) and build-windows/velmora-<msi version>-x64.msi (wixl, from the same
# files installed into build-windows/stage, and velmora-setup.dll), then checks
# the zip's version resources, manifests, line ends and settings and the MSI's
# tables (scripts/check-windows-package.py).
#
# The MSI's version is major.minor.build: Windows Installer compares only the
# first three fields, so each build needs its own third one to upgrade the one
# before. The build number is VELMORA_MSI_BUILD, else the number of commits of
# the checkout; the product code follows from the version, so a rebuild of the
# same version is the same product (Windows refuses it or repairs it) rather
# than a second one.
#
#   scripts/build-windows.sh          install what is missing, build, pack the zip
#   scripts/build-windows.sh --test   the same with the unit tests, then run them
#                                     under Wine through ctest (ctest -L unit)
#
# Everything lands in build-windows/ (VELMORA_WIN_BUILD overrides it):
#   deps/          the libraries built for Windows and the include links
#   deps/apt/      a private apt configuration that fetches Debian's source
#                  packages of pugixml and jsoncpp (the system's stays untouched)
#   wineprefix/    the Wine prefix the tests run in
# As root the tests run in a network namespace of their own with loopback
# alone, so no test datagram reaches the machine's network. The end-to-end
# scenarios under Wine are tests/e2e/50-wine-daemon.sh (the daemon) and
# 52-wine-service.sh (the MSI and the service; it uses stage/ and the host one
# version up that --test builds), both with VELMORA_WIN_BUILD.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${VELMORA_WIN_BUILD:-$top/build-windows}
deps=$build/deps
toolchain=$top/cmake/mingw-w64-x86_64.cmake
run_tests=0
case "${1:-}" in
    --test) run_tests=1 ;;
    "") ;;
    *) echo "usage: $0 [--test]" >&2; exit 2 ;;
esac
jobs=2
started=$SECONDS
phase_start=$SECONDS
timing=()
phase_done() {
    timing+=("$1: $((SECONDS - phase_start)) s")
    phase_start=$SECONDS
}

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

# ---- packages --------------------------------------------------------------
install_missing() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}" >&2
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq \
        --no-install-recommends "${missing[@]}"
}

install_missing g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wixl msitools python3 cmake \
    pkg-config git dpkg-dev xz-utils libasio-dev libcli11-dev libpugixml-dev libjsoncpp-dev googletest
if [ "$run_tests" -eq 1 ]; then
    install_missing wine64 wine iproute2
fi
phase_done "packages"

# ---- sources of pugixml and jsoncpp ----------------------------------------
# The same versions as the headers the Linux build uses, from Debian's source
# packages, through a private apt configuration.
apt_opts=(-o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$deps/apt/sources.list.d"
          -o "Dir::State::Lists=$deps/apt/lists" -o "Dir::Cache=$deps/apt/cache"
          -o "APT::Sandbox::User=root")

source_of() {   # binary package -> "source=version"
    dpkg-query -W -f='${source:Package}=${source:Version}' "$1"
}

fetch_sources() {
    local want=("$(source_of libpugixml-dev)" "$(source_of libjsoncpp-dev)")
    if [ -f "$deps/src/.fetched" ] && [ "$(cat "$deps/src/.fetched")" = "${want[*]}" ]; then
        return 0
    fi
    mkdir -p "$deps/apt/sources.list.d" "$deps/apt/lists/partial" \
             "$deps/apt/cache/archives/partial"
    local uri suites
    uri=$(sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null \
          | head -n 1)
    suites=$(sed -n 's/^Suites:[[:space:]]*//p' /etc/apt/sources.list.d/debian.sources \
             2>/dev/null | head -n 1)
    cat > "$deps/apt/sources.list.d/velmora-src.sources" <<EOF
Types: deb-src
URIs: ${uri:-http://deb.debian.org/debian}
Suites: ${suites:-bookworm bookworm-updates}
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    apt-get "${apt_opts[@]}" update -qq
    rm -rf "$deps/src"
    mkdir -p "$deps/src"
    (cd "$deps/src" && apt-get "${apt_opts[@]}" source -qq "${want[@]}")
    echo "${want[*]}" > "$deps/src/.fetched"
}

# ---- libraries built for Windows -------------------------------------------
# build_lib <name> <source dir> [cmake options...]: configure, build and
# install into $deps once per source version.
build_lib() {
    local name=$1 src=$2; shift 2
    local stamp="$deps/.built-$name"
    [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$src" ] && return 0
    cmake -S "$src" -B "$deps/build/$name" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" -DBUILD_SHARED_LIBS=OFF \
        -DCMAKE_INSTALL_LIBDIR=lib "$@" >/dev/null
    nice -n 10 cmake --build "$deps/build/$name" -j"$jobs" >/dev/null
    cmake --install "$deps/build/$name" >/dev/null
    echo "$src" > "$stamp"
}

link_headers() {   # the header-only libraries, without /usr/include itself
    mkdir -p "$deps/include" "$deps/share/cmake"
    local h
    for h in asio.hpp asio CLI; do
        ln -sfn "/usr/include/$h" "$deps/include/$h"
    done
    # CLI11's own package file, which finds its headers at <prefix>/include.
    ln -sfn /usr/share/cmake/CLI11 "$deps/share/cmake/CLI11"
}

fetch_sources
phase_done "sources"
link_headers
pugixml_src=$(find "$deps/src" -maxdepth 1 -type d -name 'pugixml-*' | head -n 1)
jsoncpp_src=$(find "$deps/src" -maxdepth 1 -type d -name 'libjsoncpp-*' | head -n 1)
build_lib pugixml "$pugixml_src" -DPUGIXML_BUILD_TESTS=OFF
build_lib jsoncpp "$jsoncpp_src" -DJSONCPP_WITH_TESTS=OFF -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF \
    -DJSONCPP_WITH_PKGCONFIG_SUPPORT=ON -DJSONCPP_WITH_CMAKE_PACKAGE=ON -DBUILD_STATIC_LIBS=ON \
    -DBUILD_OBJECT_LIBS=OFF
if [ "$run_tests" -eq 1 ]; then
    build_lib googletest /usr/src/googletest -DINSTALL_GTEST=ON -DBUILD_GMOCK=ON
fi
phase_done "libraries"

# ---- Velmora ---------------------------------------------------------------
cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DVELMORA_WIN_DEPS="$deps" \
    -DCMAKE_BUILD_TYPE=Release -DVELMORA_WERROR=ON -DBUILD_TESTING="$run_tests" >/dev/null
nice -n 10 cmake --build "$build" -j"$jobs"
(cd "$build" && cpack -G ZIP >/dev/null)
phase_done "cross-build"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
zip="$build/velmora-$version-win64.zip"
python3 "$top/scripts/check-windows-package.py" "$zip" "$version"
rm -rf "$build/stage"
cmake --install "$build" --prefix "$build/stage" --strip >/dev/null
msi_build=${VELMORA_MSI_BUILD:-$(git -C "$top" rev-list --count HEAD 2>/dev/null || echo 0)}
msi_version=${version%.*}.$msi_build
rm -f "$build"/velmora-*-x64.msi
msi="$build/velmora-$msi_version-x64.msi"
cp "$top/packaging/windows/velmora.wxs" "$build/stage/"   # sources: Velmora/... beside it
x86_64-w64-mingw32-strip -o "$build/stage/velmora-setup.dll" \
    "$build/tools/velmora-service/velmora-setup.dll"
bash "$top/packaging/windows/make-msi.sh" "$msi" "$msi_version" "$build/stage/velmora.wxs"
python3 "$top/scripts/check-windows-package.py" --msi "$msi" "$msi_version"
phase_done "zip and msi"
echo "Built: $build/velmora.exe $build/tools/velmoractl/velmoractl.exe" \
    "$build/tools/velmora-search/velmora-search.exe" \
    "$build/tools/velmora-service/velmora-service.exe"
echo "Packages: $zip $msi"

# ---- unit tests under Wine -------------------------------------------------
ns=""
cleanup() {
    if [ -d "$build/wineprefix" ]; then
        WINEPREFIX="$build/wineprefix" wineserver -k 2>/dev/null || true
    fi
    [ -z "$ns" ] || ip netns del "$ns" 2>/dev/null || true
}

if [ "$run_tests" -eq 1 ]; then
    trap cleanup EXIT
    export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        wineboot -i </dev/null >/dev/null 2>&1 || true
        # A crash ends the program at once: Wine would start its debugger.
        wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger \
            /d false /f </dev/null >/dev/null 2>&1
    fi
    # The Wine server holds the sockets: start it afresh inside the namespace.
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    in_ns=()
    if [ "$(id -u)" -eq 0 ] && command -v ip >/dev/null && ip netns add "velmora-wine-$$"; then
        ns="velmora-wine-$$"
        ip -n "$ns" link set lo up
        in_ns=(ip netns exec "$ns")
    fi
    # One persistent server for the whole run, its background services started
    # once with their output off ctest's pipes: each test program then starts
    # in a fraction of a second instead of booting the prefix again.
    "${in_ns[@]}" wineserver -p >/dev/null 2>&1
    "${in_ns[@]}" wineboot </dev/null >/dev/null 2>&1 || true
    rc=0
    (cd "$build" && "${in_ns[@]}" ctest -L unit -j"$jobs" --output-on-failure \
        --output-junit "$build/ctest-junit.xml") || rc=$?
    phase_done "wine tests"
    echo "Timings: ${timing[*]}; total $((SECONDS - started)) s"
    exit "$rc"
fi
echo "Timings: ${timing[*]}; total $((SECONDS - started)) s"
