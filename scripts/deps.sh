#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need, only
# those that are missing. Sourced by run-demo.sh and run-tests.sh.
velmora_install_deps() {
    local pkgs=(build-essential cmake pkg-config git
                libasio-dev libpugixml-dev libjsoncpp-dev libcli11-dev
                libsystemd-dev googletest libgtest-dev libgmock-dev libbenchmark-dev
                clang-14 libclang-rt-14-dev
                iproute2 procps python3 dpkg-dev file systemd lintian mandoc groff-base)
    [ "${1:-}" = "--run-only" ] && pkgs=(build-essential cmake pkg-config git
                libasio-dev libpugixml-dev libjsoncpp-dev libcli11-dev
                libsystemd-dev)
    local missing=()
    local p
    for p in "${pkgs[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}" >&2
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
}
