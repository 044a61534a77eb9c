#!/usr/bin/env bash
# Builds the Debian package from a finished build tree and checks what it holds: its files,
# its control fields, its binary's hardening and, where LINTIAN and HARDENING_CHECK name the
# programs, their verdicts.
# usage: check-package.sh CPACK BUILD-DIR VERSION OUT-DIR
set -euo pipefail
cpack=$1 build=$2 version=$3 out=$4

failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

rm -rf "$out"
"$cpack" --config "$build/CPackConfig.cmake" -B "$out" >/dev/null
arch=$(dpkg --print-architecture)
deb=$out/varnok_${version}_${arch}.deb
[ -f "$deb" ] || { echo "FAIL: no $deb" >&2; exit 1; }

# Every file the package must hold, and nothing else.
expected="./usr/bin/varnok
./usr/bin/varnok-cli
./usr/share/man/man1/varnok-cli.1.gz
./usr/share/applications/com.brindlemoor.Varnok.desktop
./usr/share/doc/varnok/changelog.gz
./usr/share/doc/varnok/copyright
./usr/share/man/man1/varnok.1.gz
./usr/share/metainfo/com.brindlemoor.Varnok.metainfo.xml"
for size in 16 24 32 48 64 128 256; do
    expected+=$'\n'"./usr/share/icons/hicolor/${size}x${size}/apps/varnok.png"
done
packaged=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sort)
diff -u <(sort <<<"$expected") - <<<"$packaged" >&2 ||
    fail "file list differs (- wanted, + packaged)"

member() { dpkg-deb --fsys-tarfile "$deb" | tar -xO "$1"; }
member ./usr/share/man/man1/varnok.1.gz | gzip -dc | grep -q "^\.TH VARNOK 1 .*\"Varnok $version\"" ||
    fail "manual page is not compressed roff naming version $version"
member ./usr/share/man/man1/varnok-cli.1.gz | gzip -dc |
    grep -q "^\.TH VARNOK-CLI 1 .*\"Varnok $version\"" ||
    fail "varnok-cli's manual page is not compressed roff naming version $version"

field() { dpkg-deb -f "$deb" "$1"; }
expect_field() { [ "$(field "$1")" = "$2" ] || fail "$1 is '$(field "$1")', not '$2'"; }
expect_field Package varnok
expect_field Version "$version"
expect_field Architecture "$arch"
expect_field Section utils
[[ "$(field Maintainer)" == "Brindlemoor <"*">" ]] || fail "Maintainer is '$(field Maintainer)'"
[ "$(field Description | head -1)" = "RC4 file encryption/decryption" ] ||
    fail "Description starts '$(field Description | head -1)'"
# The libraries with their versions come from dpkg-shlibdeps reading the binary; the fonts
# are the ones the windows are laid out with.
depends=", $(field Depends),"
for lib in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6; do
    [[ "$depends" == *", $lib (>= "* ]] || fail "Depends lacks a versioned $lib: $depends"
done
for font in fonts-dejavu-core fonts-urw-base35 fonts-wine; do
    [[ "$depends" == *", $font,"* ]] || fail "Depends lacks $font: $depends"
done

# The hardening of the shipped (stripped) binaries. Two of hardening-check's tests cannot pass on
# Debian 12 whatever the flags, so they are checked here by other means: control-flow
# protection is marked only when every object linked carries the mark, and the C library's
# start files do not; and fortification shows only as checked calls (__memcpy_chk, ...), which
# the compiler emits only where it knows a buffer's size, and these programs have no such call.
# has FILE-OUTPUT PATTERN: the whole output is read (grep -q would stop the writer early, which
# pipefail reports as a failure).
has() { [ "$(grep -c -- "$2" <<<"$1")" -gt 0 ]; }
for program in varnok varnok-cli; do
    binary=$out/$program
    member ./usr/bin/$program >"$binary"
    has "$(readelf -h "$binary")" 'Type: *DYN' || fail "$program is not position-independent"
    has "$(readelf -d "$binary")" 'BIND_NOW' || fail "$program is not linked with -z now"
    has "$(readelf -l "$binary")" 'GNU_RELRO' || fail "$program has no read-only relocations"
    has "$(nm -D "$binary")" 'U __stack_chk_fail' || fail "$program has no stack protector"
    has "$(objdump -d "$binary")" 'endbr64' || fail "$program has no control-flow protection"
    if [ -n "${HARDENING_CHECK:-}" ]; then
        "$HARDENING_CHECK" --nocfprotection --nofortify "$binary" >&2 ||
            fail "hardening-check $program"
    fi
done
# Every compile of this build had fortification on, by the project or by the packager's flags.
unfortified=$(grep '"command":' "$build/compile_commands.json" | grep -cv -- '-D_FORTIFY_SOURCE=[1-9]') ||
    true
[ "$unfortified" = 0 ] || fail "$unfortified compiles without _FORTIFY_SOURCE"

if [ -n "${LINTIAN:-}" ]; then
    "$LINTIAN" --fail-on error,warning "$deb" || fail "lintian"
fi
exit "$failed"
