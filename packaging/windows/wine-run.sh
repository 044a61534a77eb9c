#!/usr/bin/env bash
# Runs a Windows program under Wine the way CTest runs a test: quiet, headless unless a display
# is given, with the Windows Qt and the mingw runtime on the DLL path, and its exit code passed
# through. CTest uses it as the cross-compiling emulator; `./build.sh windows` sets the prefix.
#
#   VARNOK_WINEPREFIX   the Wine prefix (made by `./build.sh windows` afresh for every test run)
#   VARNOK_WINDOWS_QT   the Windows Qt's install prefix
set -euo pipefail
: "${VARNOK_WINEPREFIX:?set by ./build.sh windows}" "${VARNOK_WINDOWS_QT:?set by ./build.sh windows}"

winpath() { echo "Z:${1//\//\\}"; }

export WINEPREFIX=$VARNOK_WINEPREFIX
export WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko install prompts, and a crash ends the program instead of opening a debugger.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
export WINEPATH="$(winpath "$VARNOK_WINDOWS_QT/bin");$(winpath /usr/lib/gcc/x86_64-w64-mingw32/12-posix);$(winpath /usr/x86_64-w64-mingw32/lib)"

# Wine hands the program WINEQT_X as QT_X and drops QT_X itself: pass the caller's Qt settings on.
while IFS='=' read -r name value; do
    [[ $name == QT_* ]] && export "WINE$name=$value"
done < <(env)
# Qt Test writes to the debugger channel when no console is attached; send it to stderr.
export WINEQT_FORCE_STDERR_LOGGING=1
# The offscreen platform finds no fonts of its own.
export WINEQT_QPA_FONTDIR="$(winpath /usr/share/fonts/truetype/dejavu)"

exec wine "$@"
