#!/usr/bin/env bash
# Builds the libraries the Windows programs link, for MinGW-w64, from Debian's own source
# packages: Qt 6 (Core, Gui, Widgets, Network, the Windows and offscreen platforms), libcurl
# with Windows' own TLS (Schannel) and OpenSSL's libcrypto (the Ed25519 release signatures).
#
# They go into a cache folder outside the tree, named after the three source versions and a
# short hash of how they are built ($KESTRUN_MINGW_CACHE, by default ~/.cache/kestrun/mingw), and
# are built once: when the folder for these versions and options is complete, the script only
# prints its path; a changed option builds a new folder. Each step prints one
# line with the time it took (on standard error); a failed step names itself and its log.
#
#   scripts/windows-deps.sh            build what is missing, print the folder (standard output)
#   scripts/windows-deps.sh --print    print the folder only (no build; fails when not built)
set -euo pipefail

cache_root=${KESTRUN_MINGW_CACHE:-$HOME/.cache/kestrun/mingw}
jobs=${KESTRUN_MINGW_JOBS:-$(nproc)}
here=$(cd "$(dirname "$0")/.." && pwd)

step_start=0
step() { # step <title>: starts the timing of one step
    step_title=$1
    step_start=$(date +%s)
    printf 'windows-deps: %s ...' "$step_title" >&2
}
done_step() {
    printf ' %ss\n' $(($(date +%s) - step_start)) >&2
}
fail() {
    printf '\nwindows-deps: failed: %s%s\n' "$step_title" "${1:+ (see $1)}" >&2
    [[ -n "${1:-}" && -f "$1" ]] && tail -n 30 "$1" >&2
    exit 1
}
run_logged() { # run_logged <log> <command...>
    local log=$1
    shift
    "$@" >>"$log" 2>&1 || fail "$log"
}

# The deb-src entry of the archive the system already uses, when the system has none.
ensure_deb_src() {
    if grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        return 0
    fi
    step "adding the deb-src entry of the system's archive"
    [[ $(id -u) -eq 0 ]] || fail "root is needed to add /etc/apt/sources.list.d/kestrun-src.sources"
    local src=/etc/apt/sources.list.d/debian.sources
    if [[ -f $src ]]; then
        sed -n 's/^Types:.*/Types: deb-src/;/^\(Types\|URIs\|Suites\|Components\|Signed-By\):\|^$/p' \
            "$src" >/etc/apt/sources.list.d/kestrun-src.sources
    else
        sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >/etc/apt/sources.list.d/kestrun-src.list
    fi
    apt-get update -qq >/dev/null 2>&1 || fail
    done_step
}

# Tools the builds need beyond the project's own set-up (the host Qt's moc, rcc and uic serve
# as the cross build's host tools).
ensure_tools() {
    local need=(dpkg-dev qt6-base-dev qt6-base-dev-tools g++-mingw-w64-x86-64-posix
                gcc-mingw-w64-x86-64-posix ninja-build cmake perl make)
    local missing=()
    for p in "${need[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$p")
    done
    [[ ${#missing[@]} -eq 0 ]] && return 0
    step "installing ${missing[*]}"
    [[ $(id -u) -eq 0 ]] || fail "root is needed to install ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" \
        >/dev/null 2>&1 || fail
    done_step
}

source_versions() { # the versions of a source package the archive lists, newest first
    apt-cache showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -Vru
}

# fetch_source <package> <folder>: unpacks the newest source of <package> that the archive
# still serves (a security update may be listed before its files are reachable) into <folder>
# and records its version in <folder>/.version.
fetch_source() {
    local pkg=$1 dir=$2 version
    [[ -f $dir/.version ]] && return 0
    step "fetching the source of $pkg"
    for version in $(source_versions "$pkg"); do
        rm -rf "$dir" "$dir.tmp"
        mkdir -p "$dir.tmp"
        if (cd "$dir.tmp" && apt-get source -qq "$pkg=$version" >fetch.log 2>&1); then
            local unpacked
            unpacked=$(find "$dir.tmp" -mindepth 1 -maxdepth 1 -type d | head -n 1)
            [[ -n $unpacked ]] || fail "$dir.tmp/fetch.log"
            mv "$unpacked" "$dir"
            rm -rf "$dir.tmp"
            echo "$version" >"$dir/.version"
            printf ' %s' "$version" >&2
            done_step
            return 0
        fi
    done
    fail "$dir.tmp/fetch.log"
}

# A toolchain file with the compilers alone (the project's own also wires in Wine).
write_toolchain() {
    cat >"$work/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 $prefix)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
}

build_openssl() {
    [[ -f $prefix/.openssl ]] && return 0
    step "building OpenSSL $openssl_version (libcrypto, static)"
    local log=$work/openssl.log
    : >"$log"
    cd "$work/openssl"
    run_logged "$log" ./Configure mingw64 no-shared no-asm no-tests no-engine no-module \
        --cross-compile-prefix=x86_64-w64-mingw32- --prefix="$prefix" \
        --libdir=lib
    run_logged "$log" make -j"$jobs" build_libs
    run_logged "$log" make install_dev
    touch "$prefix/.openssl"
    done_step
}

# cmake_build <name> <source folder> <options...>: configures a CMake source for MinGW (static,
# release, installed into the prefix), builds and installs it, logging to <name>.log, and marks
# the prefix as holding it.
cmake_build() {
    local name=$1 source=$2
    shift 2
    local log=$work/$name.log
    : >"$log"
    run_logged "$log" cmake -S "$source" -B "$work/$name-build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF "$@"
    run_logged "$log" cmake --build "$work/$name-build" --parallel "$jobs"
    run_logged "$log" cmake --install "$work/$name-build"
    touch "$prefix/.$name"
}

build_curl() {
    [[ -f $prefix/.curl ]] && return 0
    step "building libcurl $curl_version (Schannel, static)"
    cmake_build curl "$work/curl" -DBUILD_CURL_EXE=OFF \
        -DBUILD_TESTING=OFF -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DCURL_DISABLE_LDAP=ON \
        -DCURL_USE_LIBSSH2=OFF -DUSE_NGHTTP2=OFF -DUSE_LIBIDN2=OFF -DCURL_ZLIB=OFF \
        -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DENABLE_UNICODE=ON -DCURL_STATIC_CRT=OFF
    done_step
}

build_qt() {
    [[ -f $prefix/.qt ]] && return 0
    step "building Qt $qt_version (Core, Gui, Widgets, Network, Test; static)"
    # Debian's source lacks the tablet headers of the Windows platform, hence no tablet events;
    # the Windows platform of this Qt needs desktop OpenGL (opengl32.dll, part of Windows). The
    # offscreen platform (sessions without a desktop, the widget tests) draws text with Qt's own
    # FreeType.
    cmake_build qt "$work/qtbase" -DQT_HOST_PATH=/usr \
        -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DQT_QMAKE_TARGET_MKSPEC=win32-g++ \
        -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
        -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF \
        -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_testlib=ON \
        -DFEATURE_openssl=OFF -DFEATURE_tabletevent=OFF -DINPUT_opengl=desktop \
        -DFEATURE_vulkan=OFF -DFEATURE_icu=OFF -DFEATURE_jpeg=OFF -DFEATURE_freetype=ON \
        -DFEATURE_system_freetype=OFF -DFEATURE_fontconfig=OFF \
        -DFEATURE_androiddeployqt=OFF -DFEATURE_sql_sqlite=OFF -DFEATURE_glib=OFF \
        -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF \
        -DFEATURE_system_png=OFF -DFEATURE_gssapi=OFF
    done_step
}

# How the three are built, as a short hash: part of the cache folder's name.
options=$(declare -f build_openssl cmake_build build_curl build_qt | sha256sum | cut -c1-8)

# A complete folder of the cache, built with today's options, whose three versions the archive
# still lists.
find_cached() {
    local dir name
    for dir in "$cache_root"/qt*-curl*-openssl*-"$options"; do
        [[ -f $dir/.qt && -f $dir/.curl && -f $dir/.openssl ]] || continue
        name=${dir##*/}
        name=${name%-"$options"}
        local qt=${name#qt} curl openssl
        qt=${qt%%-curl*}
        curl=${name#*-curl}
        curl=${curl%%-openssl*}
        openssl=${name##*-openssl}
        source_versions qt6-base | grep -qxF "$qt" &&
            source_versions curl | grep -qxF "$curl" &&
            source_versions openssl | grep -qxF "$openssl" && echo "$dir" && return 0
    done
    return 1
}

if [[ "${1:-}" != "--print" ]]; then
    ensure_tools
    ensure_deb_src
fi
if cached=$(find_cached); then
    [[ "${1:-}" == "--print" ]] || echo "windows-deps: cached in $cached" >&2
    echo "$cached"
    exit 0
fi
if [[ "${1:-}" == "--print" ]]; then
    echo "windows-deps: not built yet (scripts/windows-deps.sh builds them)" >&2
    exit 1
fi
work=$cache_root/work
mkdir -p "$work"
total_start=$(date +%s)
fetch_source openssl "$work/openssl"
fetch_source curl "$work/curl"
fetch_source qt6-base "$work/qtbase"
qt_version=$(cat "$work/qtbase/.version")
curl_version=$(cat "$work/curl/.version")
openssl_version=$(cat "$work/openssl/.version")
prefix=$cache_root/qt$qt_version-curl$curl_version-openssl$openssl_version-$options
mkdir -p "$prefix"
write_toolchain
build_openssl
build_curl
build_qt
echo "windows-deps: built in $(($(date +%s) - total_start))s into $prefix" >&2
echo "$prefix"
