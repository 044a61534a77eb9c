#!/usr/bin/env bash
# Writes this machine's apt sources for binary packages as source-package (deb-src) entries
# into FOLDER, for an apt run of its own (Dir::Etc::SourceParts=FOLDER) that fetches sources
# through the very archives, mirrors or proxies the machine installs from. Both formats are read
# where apt itself reads them (apt-config: Dir::Etc::SourceList and Dir::Etc::SourceParts): each
# entry keeps its URIs, suites, components and options (Signed-By keyring, Check-Valid-Until,
# ...), only its type changes. Prints the archives and suites the entries name; fails with one
# sentence when there are none.
#
#   apt-source-entries.sh FOLDER
set -euo pipefail
folder=${1:?usage: $0 FOLDER}
mkdir -p "$folder"
rm -f "$folder/machine.list" "$folder/machine.sources"

eval "$(apt-config shell list Dir::Etc::SourceList/f parts Dir::Etc::SourceParts/d)"
lists=() sources=()
[ -f "$list" ] && lists+=("$list")
if [ -n "$parts" ]; then
    for file in "$parts"*.list; do [ -f "$file" ] && lists+=("$file"); done
    for file in "$parts"*.sources; do [ -f "$file" ] && sources+=("$file"); done
fi

# One-line format: "deb [options] URI suite components..." becomes "deb-src ...". Existing deb-src
# lines are left out: only what the machine installs from counts, and a line listed twice would
# make apt warn.
if [ ${#lists[@]} -gt 0 ]; then
    awk '$1 == "deb" { $1 = "deb-src"; if (!seen[$0]++) print }' "${lists[@]}" \
        >"$folder/machine.list"
fi
# deb822 format: every stanza whose Types include deb is copied whole with "Types: deb-src"
# (field names are case-insensitive); other stanzas and comments between them are left out.
if [ ${#sources[@]} -gt 0 ]; then
    awk '
        function flush() {
            if (binary) printf "%s\n", stanza
            stanza = ""; binary = 0
        }
        FNR == 1 { flush() }
        /^[ \t]*$/ { flush(); next }
        stanza == "" && /^#/ { next }
        tolower(substr($0, 1, 6)) == "types:" {
            n = split(substr($0, 7), types)
            for (i = 1; i <= n; i++) if (types[i] == "deb") binary = 1
            $0 = "Types: deb-src"
        }
        { stanza = stanza $0 "\n" }
        END { flush() }' "${sources[@]}" >"$folder/machine.sources"
fi

# What apt makes of the entries, read by apt itself (Enabled: no and the like included).
targets=$(apt-get -o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$folder" \
    indextargets --no-release-info --format '$(REPO_URI) $(RELEASE)' 'Identifier: Sources' |
    sort -u)
if [ -z "$targets" ]; then
    echo "apt has no package source configured to fetch Debian's source packages from;" \
        "add a \"deb\" entry for the Debian archive this machine installs from to $list" \
        "or a .sources file in $parts, then run this again." >&2
    exit 1
fi
echo "$targets"
