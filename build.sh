#!/usr/bin/env bash
# Sets up a Debian 12 machine for Varnok (installing what is missing), builds it, and then
#   run        starts the program
#   test       runs the whole test suite: the Linux build's, then the Windows build's under Wine
#              (the first run builds the Windows Qt, about 20 minutes on two cores; later runs reuse it)
#   sanitize   runs the whole test suite built with AddressSanitizer + UndefinedBehaviorSanitizer
#   bench      runs the benchmarks (release build)
#   package    builds the Debian package build/package/varnok_<version>_<arch>.deb and runs lintian on it
#   windows    builds Varnok for 64-bit Windows (mingw-w64, with a Qt built once from Debian's own
#              source and cached) and runs its suites, the end-to-end suite against varnok.exe
#              and the check of its zip and installer (build-windows/varnok-*) under Wine
#   format     formats the sources with clang-format
set -euo pipefail
cd "$(dirname "$0")"

# acl: setfacl, with which the tests give a file an access list.
packages=(build-essential cmake qt6-base-dev qt6-base-dev-tools libgl-dev libssl-dev
          libbenchmark-dev clang-format fonts-wine fonts-urw-base35 fonts-dejavu-core
          acl)
# The package test runs lintian and hardening-check (devscripts), and the resources suite
# desktop-file-validate and appstreamcli, where they are installed;
# installing them here makes those checks real. (dpkg-dev, which builds the package, comes with
# build-essential.)
package_tools=(lintian devscripts desktop-file-utils appstream)
# The end-to-end test runs the program on its own X server with a window manager and drives it
# with XTEST input; without these it skips. FUSE gives it a drive that stops answering (a file
# system of its own, built against libfuse3) and a FAT stick (fusefat, mkfs.vfat); without
# those, those steps skip.
e2e_tools=(xvfb openbox xdotool fuse3 libfuse3-dev fusefat dosfstools)
# The Windows build: cross compilers, the Qt source's unpacker, Wine to run the tests, NSIS for
# the installer.
windows_tools=(mingw-w64 g++-mingw-w64-x86-64-posix ninja-build dpkg-dev wine wine64 nsis)

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

install_missing() { # [extra packages...]
    local missing=()
    for p in "${packages[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return
    echo "Installing: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
}

build() { # build-dir [cmake options...]
    local dir=$1; shift
    # Warnings stop the build here, where the compiler is Debian 12's; a plain cmake configure
    # (a packager's) leaves them warnings.
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DVARNOK_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" --parallel "$(nproc)"
}

windows_build() { # -> builds build-windows against the cached Windows Qt
    local qt
    local fresh=()
    qt=$(packaging/windows/build-qt.sh)
    # A Qt of an earlier recipe leaves its paths in the build's cache: configure afresh then.
    if [ -f build-windows/CMakeCache.txt ] &&
        ! grep -qxF "VARNOK_WINDOWS_QT:PATH=$qt" build-windows/CMakeCache.txt; then
        fresh=(--fresh)
    fi
    cmake "${fresh[@]}" -G Ninja -S . -B build-windows -DCMAKE_BUILD_TYPE=Release -DVARNOK_WERROR=ON \
        -DVARNOK_WINDOWS_QT="$qt" \
        -DVARNOK_BUILD_BENCH=OFF -DCMAKE_TOOLCHAIN_FILE="$PWD/packaging/windows/mingw-w64.cmake" \
        -DCMAKE_PREFIX_PATH="$qt" -DQT_HOST_PATH=/usr \
        -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake >/dev/null
    cmake --build build-windows --parallel "$(nproc)"
}

fresh_wine_prefix() { # a new Wine prefix for the Windows tests of this run
    local prefix=$PWD/build-windows/wineprefix
    WINEPREFIX=$prefix wineserver --kill 2>/dev/null || true
    rm -rf "$prefix"
    WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
        wineboot --init >/dev/null 2>&1
}

windows_test() { # runs the Windows build's suites, in a Wine prefix of their own
    local status=0
    fresh_wine_prefix
    ctest --test-dir build-windows --output-on-failure --timeout 600 || status=$?
    WINEPREFIX=$PWD/build-windows/wineprefix wineserver --kill 2>/dev/null || true
    return "$status"
}

case "${1:-}" in
run)
    install_missing
    build build
    exec build/src/app/varnok
    ;;
test)
    install_missing "${package_tools[@]}" "${e2e_tools[@]}" "${windows_tools[@]}"
    windows_build
    # The Linux suite includes the end-to-end suite against the Windows build (and files passed
    # between the two builds), so the Windows build comes first.
    build build -DVARNOK_WINDOWS_BUILD="$PWD/build-windows"
    fresh_wine_prefix
    status=0
    ctest --test-dir build --output-on-failure --timeout 600 || status=$?
    windows_test || status=$?
    exit "$status"
    ;;
sanitize)
    install_missing "${e2e_tools[@]}"
    build build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNOK_SANITIZE=ON -DVARNOK_BUILD_BENCH=OFF
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    LSAN_OPTIONS=suppressions=$PWD/tools/lsan.supp:print_suppressions=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir build-sanitize --output-on-failure --timeout 1200
    ;;
bench)
    install_missing
    build build
    # Every benchmark program (not the *_autogen folders beside them); a failing one fails the
    # route, after the others have run.
    status=0
    for b in build/bench/*/bench_*; do
        [[ -f $b && -x $b ]] || continue
        echo "== $b"
        "$b" || { echo "FAIL: $b exited with $?" >&2; status=1; }
    done
    exit "$status"
    ;;
package)
    install_missing "${package_tools[@]}"
    build build
    rm -rf build/package
    cpack --config build/CPackConfig.cmake -B build/package
    lintian --fail-on error,warning build/package/varnok_*.deb
    ;;
windows)
    install_missing "${e2e_tools[@]}" "${windows_tools[@]}"
    windows_build
    build build -DVARNOK_WINDOWS_BUILD="$PWD/build-windows"
    fresh_wine_prefix
    status=0
    ctest --test-dir build --output-on-failure --timeout 600 -R '^tst_endtoend_windows$' ||
        status=$?
    windows_test || status=$?
    exit "$status"
    ;;
format)
    git ls-files '*.cpp' '*.h' | xargs clang-format -i
    ;;
*)
    echo "usage: $0 run|test|sanitize|bench|package|windows|format" >&2
    exit 2
    ;;
esac
