# Shared by the project's scripts: packages, the build, and a private Wine environment.
# shellcheck shell=bash

# Debian's Wine 8 comes without its preloader, which would claim the addresses every Windows
# program needs (the shared user data at 0x7ffe0000) before anything else is mapped. Its loader
# sits at 0x7d000000, and with address randomization the kernel starts the loader's C heap up to
# 1 GiB above it: about once in 2,000 starts the heap covers 0x7ffe0000 and the program ends at
# once with exit code 1 ("failed to map the shared user data"). The script that sourced this
# file runs again with randomization off (setarch -R): the heap then starts right after the
# loader, the same for every Wine program it starts and every program those start.
if [ "${BASH_SOURCE[-1]}" = "$0" ] && [ -f "$0" ] &&
    [ $((0x$(cat /proc/self/personality 2>/dev/null || echo 0) & 0x0040000)) -eq 0 ] &&
    setarch "$(uname -m)" -R true 2>/dev/null; then
    exec setarch "$(uname -m)" -R "$BASH" "$0" "$@"
fi

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"

BASE_PACKAGES=(cmake ninja-build g++-mingw-w64-x86-64-posix googletest wine wine64 xvfb xauth nsis
               xdotool imagemagick procps wixl msitools osslsigncode openssl python3 python3-yaml)

# Installs, with apt-get, those of the given packages that are missing.
need_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
}

build_all() {
    need_packages "${BASE_PACKAGES[@]}"
    # Signing, when asked for through the environment (see README, Packaging).
    local signing=() name
    for name in CODE_SIGN_PKCS12 CODE_SIGN_PASSWORD_FILE CODE_SIGN_TIMESTAMP_URL; do
        if [ -n "${!name:-}" ]; then signing+=("-D$name=${!name}"); fi
    done
    cmake --preset cross "${signing[@]}" >/dev/null
    cmake --build --preset cross
}

export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

# Makes a prefix once (decorated windows, no crash debugger) and reuses it.
prepare_prefix() {
    local prefix=$1
    [ -f "$prefix/.prepared" ] && return 0
    rm -rf "$prefix"
    mkdir -p "$(dirname "$prefix")"
    WINEPREFIX="$prefix" wineboot -i >/dev/null 2>&1
    WINEPREFIX="$prefix" wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
    WINEPREFIX="$prefix" wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ /d '' /f >/dev/null 2>&1
    WINEPREFIX="$prefix" wineserver -w
    touch "$prefix/.prepared"
}

XVFB_PID=
# Starts a private Xvfb. The server picks a free display number itself and writes it to the
# -displayfd descriptor once it listens, so scripts starting at the same moment never pick the
# same one; 10 s bound.
start_display() {
    local number_file number=
    number_file=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$number_file" >/dev/null 2>&1 &
    XVFB_PID=$!
    for _ in $(seq 100); do
        number=$(head -n 1 "$number_file")
        [ -n "$number" ] && break
        kill -0 "$XVFB_PID" 2>/dev/null || break
        sleep 0.1
    done
    rm -f "$number_file"
    if [ -z "$number" ]; then
        kill "$XVFB_PID" >/dev/null 2>&1
        XVFB_PID=
        echo "Xvfb did not start" >&2
        return 1
    fi
    export DISPLAY=":$number"
}

# Starts the test prefix's wineserver and keeps it up, under a private display.
start_wine() {
    export WINEPREFIX=${1:-$BUILD/wineprefix}
    export SETUP_WINEPREFIX=$WINEPREFIX
    prepare_prefix "$WINEPREFIX"
    start_display
    wineserver -p
    wine cmd /c exit >/dev/null 2>&1 || true
}

stop_wine() {
    [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1 || true
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" >/dev/null 2>&1 || true
}
