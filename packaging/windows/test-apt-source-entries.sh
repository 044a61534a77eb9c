#!/usr/bin/env bash
# Runs apt-source-entries.sh against made-up apt configurations (APT_CONFIG moves apt's Dir::Etc
# into a temporary folder) and checks what apt itself then reads from the entries it writes.
set -euo pipefail
script=$(cd "$(dirname "$0")" && pwd)/apt-source-entries.sh
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
failures=0

# case NAME EXPECTED: EXPECTED is the script's output (archive and suite per line), or "fails";
# the made-up configuration is read from the files written into $etc before.
case_() {
    local name=$1 expected=$2 out status=0
    out=$(APT_CONFIG=$root/apt.conf "$script" "$root/out" 2>"$root/err") || status=$?
    if [ "$expected" = fails ]; then
        if [ $status -eq 0 ] || [ "$(wc -l <"$root/err")" -ne 1 ] ||
            ! grep -q "add a \"deb\" entry" "$root/err"; then
            echo "FAIL $name: expected one sentence saying what to add, got status $status:"
            cat "$root/err"
            failures=$((failures + 1))
        fi
    elif [ $status -ne 0 ] || [ "$out" != "$expected" ]; then
        printf 'FAIL %s: status %s, got\n%s\nexpected\n%s\n' "$name" $status "$out" "$expected"
        cat "$root/err"
        failures=$((failures + 1))
    fi
}
# Checks that the entries written keep the keyring named in the configuration.
keeps_keyring() {
    grep -qiE "signed-by(:|=) *$1" "$root/out"/* ||
        { echo "FAIL $2: keyring $1 lost"; failures=$((failures + 1)); }
}
fresh() {
    etc=$root/etc
    rm -rf "$etc" "$root/out"
    mkdir -p "$etc/sources.list.d" "$etc/apt.conf.d"
    echo "Dir::Etc \"$etc\";" >"$root/apt.conf"
}

fresh
case_ "nothing configured" fails

fresh
cat >"$etc/sources.list" <<'EOF'
# A mirror of the archive, the security suite from a proxy, a source line already there
deb [arch=amd64 signed-by=/usr/share/keyrings/mirror.gpg] http://192.0.2.7/debian bookworm main
deb-src http://192.0.2.7/debian bookworm main
  deb http://127.0.0.1:3142/debian-security bookworm-security main contrib # proxied
#deb http://192.0.2.9/debian bookworm-backports main
EOF
case_ "sources.list only" "http://127.0.0.1:3142/debian-security/ bookworm-security
http://192.0.2.7/debian/ bookworm"
keeps_keyring /usr/share/keyrings/mirror.gpg "sources.list only"

fresh
cat >"$etc/sources.list.d/archive.sources" <<'EOF'
# Written by hand

Types: deb
URIs: file:/srv/mirror/debian
Suites: bookworm bookworm-updates
Components: main
signed-by: /etc/apt/keyrings/local.gpg

Types: deb-src
URIs: file:/srv/elsewhere
Suites: bookworm
Components: main

types: deb deb-src
URIs: http://192.0.2.7/debian-security
Suites: bookworm-security
Components: main

Types: deb
Enabled: no
URIs: http://192.0.2.8/debian
Suites: bookworm
Components: main
EOF
case_ "deb822 only" "file:/srv/mirror/debian/ bookworm
file:/srv/mirror/debian/ bookworm-updates
http://192.0.2.7/debian-security/ bookworm-security"
keeps_keyring /etc/apt/keyrings/local.gpg "deb822 only"

# Both formats, and files apt does not read (neither .list nor .sources) left out.
echo "deb http://192.0.2.9/debian bookworm main" >"$etc/sources.list"
echo "deb http://192.0.2.10/other stable main" >"$etc/sources.list.d/other.list.disabled"
case_ "both formats" "file:/srv/mirror/debian/ bookworm
file:/srv/mirror/debian/ bookworm-updates
http://192.0.2.7/debian-security/ bookworm-security
http://192.0.2.9/debian/ bookworm"

fresh
cat >"$etc/sources.list.d/off.sources" <<'EOF'
Types: deb
Enabled: no
URIs: http://192.0.2.8/debian
Suites: bookworm
Components: main
EOF
echo "deb-src http://192.0.2.7/debian bookworm main" >"$etc/sources.list"
case_ "only disabled and source entries" fails

[ $failures -eq 0 ] && echo "all cases passed"
exit $((failures > 0))
