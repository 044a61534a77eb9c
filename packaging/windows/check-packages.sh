#!/usr/bin/env bash
# Builds the portable zip and the installer from a finished Windows build tree and checks them:
# the zip holds the program with every DLL and plugin it loads, stripped, and nothing Windows does
# not use; the programs carry their icon and version; and the installer, run silently under Wine,
# installs the programs, the Start-menu entry, the entry in the list of installed programs and
# the entry in Explorer's menu for every file, and its uninstaller removes them all, leaving no
# file or registry key of ours.
# usage: check-packages.sh CPACK BUILD-DIR VERSION   (Wine settings as for wine-run.sh)
set -euo pipefail
cpack=$1 build=$2 version=$3
here=$(cd "$(dirname "$0")" && pwd)

failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

(cd "$build" && "$cpack" -G ZIP >/dev/null && "$cpack" -G NSIS64 >/dev/null)
zip=$build/varnok-$version-win64.zip
setup=$build/varnok-$version-setup.exe
[ -f "$zip" ] && [ -f "$setup" ] || { echo "FAIL: no $zip or $setup" >&2; exit 1; }

# The zip: one folder, the program, Qt, the compiler's runtime, the plugins Qt loads by name.
top=varnok-$version-win64
listed=$(cmake -E tar tf "$zip" | sort)
for f in varnok.exe Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll libstdc++-6.dll libgcc_s_seh-1.dll \
         libwinpthread-1.dll platforms/qwindows.dll imageformats/qjpeg.dll imageformats/qgif.dll \
         imageformats/qico.dll styles/qwindowsvistastyle.dll; do
    grep -qx "$top/$f" <<<"$listed" || fail "the zip lacks $f"
done
grep -v "^$top/" <<<"$listed" && fail "the zip holds files outside $top/"
grep "^$top/share/" <<<"$listed" && fail "the zip holds a Linux desktop's files (share/)"

# Every DLL the program and its plugins import is in the zip or is Windows' own.
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
(cd "$unpacked" && cmake -E tar xf "$zip")
imports=$(find "$unpacked/$top" -name '*.exe' -o -name '*.dll' |
          xargs -d '\n' x86_64-w64-mingw32-objdump -p | sed -n 's/^\s*DLL Name: //p' | sort -fu)
for dll in $imports; do
    [[ -n $(find "$unpacked/$top" -maxdepth 1 -iname "$dll") ]] && continue
    [[ -f /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/${dll,,} || $dll == api-ms-win-* ]] ||
        fail "$dll is imported but neither in the zip nor part of Windows"
done

# Debugging information is no use to a user, and was most of the zip's size.
unstripped() { # folder: the programs and DLLs in it that still carry it
    find "$1" -iname '*.exe' -o -iname '*.dll' | while read -r f; do
        x86_64-w64-mingw32-objdump -h "$f" | grep -q ' \.debug_' && echo "${f#"$1"/}"
    done
}
[ -z "$(unstripped "$unpacked/$top")" ] || fail "not stripped: $(unstripped "$unpacked/$top")"

# The icon and the version Explorer shows.
exe=$unpacked/$top/varnok.exe
x86_64-w64-mingw32-objdump -h "$exe" | grep -q '\.rsrc' || fail "varnok.exe has no resources"
strings -el "$exe" | grep -qx "Varnok Encryptor" || fail "varnok.exe has no file description"
strings -el "$exe" | grep -qx "$version" || fail "varnok.exe does not carry version $version"
# varnok-cli.exe, beside it, writes to the console it is started from, which only a console
# program has.
grep -qx "$top/varnok-cli.exe" <<<"$listed" || fail "the zip lacks varnok-cli.exe"
[[ $(x86_64-w64-mingw32-objdump -p "$unpacked/$top/varnok-cli.exe") == *"(Windows CUI)"* ]] ||
    fail "varnok-cli.exe is not a console program"

# The installer, silently, into the test's Wine prefix; then the uninstaller.
run() { "$here/wine-run.sh" "$@"; }
root=$VARNOK_WINEPREFIX/drive_c
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Varnok'
# The registry's keys that name us, as the prefix keeps them once its server has saved them.
our_keys() {
    WINEPREFIX=$VARNOK_WINEPREFIX wineserver --wait
    cat "$VARNOK_WINEPREFIX"/{system,user}.reg |
        { grep -i '^\[.*\(varnok\|brindlemoor\)' || true; } | sed 's/\].*/]/' | sort
}
keys_before=$(our_keys)
run "$setup" /S
installed="$root/Program Files/Varnok"
[ -f "$installed/varnok.exe" ] && [ -f "$installed/platforms/qwindows.dll" ] ||
    fail "the installer did not put the program in $installed"
cli_version=$(run "$installed/varnok-cli.exe" --version | tr -d '\r') || true
[ "$cli_version" = "varnok-cli $version" ] ||
    fail "the installed varnok-cli.exe --version says '$cli_version'"
[ ! -e "$installed/share" ] || fail "the installer put a Linux desktop's files (share\) in $installed"
[ -z "$(unstripped "$installed")" ] || fail "installed, not stripped: $(unstripped "$installed")"
run reg query 'HKLM\Software\Brindlemoor\Varnok' >/dev/null 2>&1 ||
    fail "the installer did not note its folder in HKLM\Software\Brindlemoor\Varnok"
menu=$(find "$root" -path '*Start Menu/Programs/Varnok/Varnok.lnk' | head -1)
[ -n "$menu" ] || fail "no Start-menu entry Varnok"
run reg query "$key" /v DisplayName 2>/dev/null | grep -q "Varnok" ||
    fail "no entry in the list of installed programs"
run reg query "$key" /v UninstallString >/dev/null 2>&1 || fail "the entry names no uninstaller"
# Explorer's menu for every file: its text, and the command that opens the window on the file.
verb='HKLM\Software\Classes\*\shell\Varnok'
run reg query "$verb" /ve 2>/dev/null | grep -q "REG_SZ *Encrypt or decrypt with Varnok\s*$" ||
    fail "no entry \"Encrypt or decrypt with Varnok\" in Explorer's menu for files"
run reg query "$verb\command" /ve 2>/dev/null |
    grep -qF 'REG_SZ    "C:\Program Files\Varnok\varnok.exe" "%1"' ||
    fail "Explorer's menu entry does not open the installed program on the file"

run "$installed/Uninstall.exe" /S
# The uninstaller copies itself away and finishes from there: wait for it.
WINEPREFIX=$VARNOK_WINEPREFIX wineserver --wait
[ ! -e "$installed" ] || fail "the uninstaller left $installed: $(find "$installed")"
[ -z "$(find "$root" -path '*Start Menu/Programs/Varnok*')" ] || fail "the Start-menu entry stayed"
left=$(find "$root" -ipath '*varnok*')
[ -z "$left" ] || fail "the uninstaller left files of ours: $left"
run reg query "$key" >/dev/null 2>&1 && fail "the installed-programs entry stayed"
run reg query "$verb" >/dev/null 2>&1 && fail "the entry in Explorer's menu stayed"
run reg query 'HKLM\Software\Brindlemoor' >/dev/null 2>&1 &&
    fail "the vendor's key HKLM\Software\Brindlemoor stayed"
left=$(comm -13 <(echo "$keys_before") <(our_keys))
[ -z "$left" ] || fail "the uninstaller left registry keys: $left"

[ "$failed" -eq 0 ] && echo "zip $(stat -c %s "$zip") bytes, installer $(stat -c %s "$setup") bytes"
exit "$failed"
