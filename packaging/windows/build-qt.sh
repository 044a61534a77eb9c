#!/usr/bin/env bash
# Builds Qt for 64-bit Windows (shared libraries, mingw-w64) from Debian's own qt6-base source,
# the very version the Linux build uses, and prints the install prefix. The result is cached under
# ~/.cache/varnok/, keyed by the Qt version and by this recipe, so only the first call builds;
# later calls print the cached prefix at once. The first call says what it does on stderr, one
# line per phase and a progress line while it builds; the build's own output goes to a log
# beside the cache, whose last lines are shown if a phase fails.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

for tool in x86_64-w64-mingw32-g++-posix ninja cmake dpkg-source apt-get; do
    command -v "$tool" >/dev/null || {
        echo "$0: $tool is missing (packages: g++-mingw-w64-x86-64-posix ninja-build cmake dpkg-dev)" >&2
        exit 1
    }
done

qt_version=$(dpkg-query -W -f='${Version}' qt6-base-dev)
# Features: no tablet (the source lacks the wintab headers), no OpenGL at all (dynamic GL would
# otherwise stay on and break the platform plugin), Direct2D without 1.1 (the DirectWrite font
# database needs Direct2D itself), bundled FreeType (the offscreen plugin, for headless tests,
# needs it), and none of the modules Varnok does not use. Then, to build less, the parts of Core,
# Gui and Widgets that Varnok and its tests do not use: graphics view, the date, font, color
# and file dialogs and widgets, MDI, wizards, undo, the Markdown, ODF and PDF writers, XML
# streams, the MIME database, the tray icon and the non-Gregorian calendars.
qt_options=(
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF
    -DFEATURE_tabletevent=OFF
    -DINPUT_opengl=no -DFEATURE_opengl=OFF -DFEATURE_opengl_dynamic=OFF -DFEATURE_dynamicgl=OFF
    -DFEATURE_direct2d1_1=OFF -DFEATURE_system_freetype=OFF
    -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_xml=OFF
    -DFEATURE_concurrent=OFF -DFEATURE_printsupport=OFF -DFEATURE_vulkan=OFF
    -DFEATURE_graphicsview=OFF -DFEATURE_mdiarea=OFF -DFEATURE_calendarwidget=OFF
    -DFEATURE_datetimeedit=OFF -DFEATURE_dial=OFF -DFEATURE_lcdnumber=OFF
    -DFEATURE_fontcombobox=OFF -DFEATURE_fontdialog=OFF -DFEATURE_colordialog=OFF
    -DFEATURE_wizard=OFF -DFEATURE_undocommand=OFF -DFEATURE_undoview=OFF
    -DFEATURE_columnview=OFF -DFEATURE_keysequenceedit=OFF -DFEATURE_splashscreen=OFF
    -DFEATURE_toolbox=OFF -DFEATURE_datawidgetmapper=OFF -DFEATURE_errormessage=OFF
    -DFEATURE_filedialog=OFF -DFEATURE_filesystemmodel=OFF
    -DFEATURE_textodfwriter=OFF -DFEATURE_textmarkdownreader=OFF -DFEATURE_textmarkdownwriter=OFF
    -DFEATURE_pdf=OFF -DFEATURE_systemtrayicon=OFF -DFEATURE_xmlstream=OFF -DFEATURE_mimetype=OFF
    -DFEATURE_jalalicalendar=OFF -DFEATURE_islamiccivilcalendar=OFF
)
# The cache key: the Qt version, the options and the toolchain's settings (its comments aside),
# so that any change that could give another Qt rebuilds.
recipe=$( (printf '%s\n' "${qt_options[@]}"; grep -v '^\s*\(#\|$\)' "$here/mingw-w64.cmake") |
         sha256sum | cut -c1-12)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/varnok
prefix=$cache/qt-win64-$qt_version-$recipe
if [ -f "$prefix/.complete" ]; then
    echo "$prefix"
    exit 0
fi

work=$cache/qt-win64-work
log=$prefix.log
rm -rf "$work" "$prefix"
mkdir -p "$work/apt/lists/partial" "$work/apt/cache/archives/partial"
: >"$log"
started=$SECONDS

say() { echo "Qt for Windows (first run only): $*" >&2; }
minutes() { echo "$(((SECONDS - started + 30) / 60)) min"; }
failed() { # what
    say "$1 failed after $(minutes). The full log is $log; its last 40 lines:"
    tail -n 40 "$log" >&2
    exit 1
}
logged() { # what command... : runs the command with its output in the log
    local what=$1
    shift
    "$@" >>"$log" 2>&1 </dev/null || failed "$what"
}

# The source comes through the archives this machine installs from, with a private list of
# deb-src entries made from apt's own configuration, so that the machine's stays as it is.
# Root's downloads land in folders of our own, which apt's unprivileged download user cannot
# write; download as root there rather than warn about it.
"$here/apt-source-entries.sh" "$work/apt/sources.list.d" >>"$log"
apt_private=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$work/apt/sources.list.d"
             -o APT::Sandbox::User=root
             -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache=$work/apt/cache")
logged "Reading the package sources" apt-get -q "${apt_private[@]}" update
uris=$(apt-get -q "${apt_private[@]}" source --print-uris "qt6-base=$qt_version" 2>>"$log" |
       grep "^'") || failed "Finding the qt6-base $qt_version source"
say "downloading Debian's qt6-base $qt_version source ($(awk '{s += $3} END {printf "%d MB", s / 1e6}' <<<"$uris"))" \
    "from $(sed -n "1s|^'\(.*\)/[^/]*'.*|\1/|p" <<<"$uris"); full log: $log"
(cd "$work" && logged Downloading apt-get -q "${apt_private[@]}" source --download-only \
    "qt6-base=$qt_version")

say "unpacking"
# Debian's patches are for its Linux build; none is needed here.
logged Unpacking dpkg-source -x --skip-patches "$work"/qt6-base_*.dsc "$work/src"

say "configuring"
logged Configuring cmake -G Ninja -S "$work/src" -B "$work/build" "${qt_options[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$here/mingw-w64.cmake" \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake

# Ninja's "[done/total] description" lines as one line that updates in place on a terminal, or
# a line every tenth of the way otherwise. The estimate weighs each step by what it does (a C++
# compile or a link about five times a C compile; generating or copying a file nothing), as the
# steps range from copying a header to compiling a large Qt source.
step_weight() { # status line -> $weight
    weight=0
    if [[ $1 =~ \]\ Building\ C\ object ]]; then
        weight=1
    elif [[ $1 =~ \]\ (Building\ CXX\ object|Linking) ]]; then
        weight=5
    fi
}
planned_work() { # -> $work_total, from a dry run before the build starts
    local line
    work_total=0
    while IFS= read -r line; do
        step_weight "$line"
        work_total=$((work_total + weight))
    done < <(NINJA_STATUS='[%f/%t] ' ninja -C "$work/build" -n 2>/dev/null)
}
progress() {
    local line done total shown=0 text terminal=false building=$SECONDS work_done=0
    [ -t 2 ] && terminal=true
    while IFS= read -r line; do
        [[ $line =~ ^\[([0-9]+)/([0-9]+)\] ]] || continue
        done=${BASH_REMATCH[1]} total=${BASH_REMATCH[2]}
        step_weight "$line"
        work_done=$((work_done + weight))
        $terminal || [ $((done * 10 / total)) -gt "$shown" ] || continue
        shown=$((done * 10 / total))
        text="$done/$total steps, $(minutes)"
        # An estimate once there is something to go by.
        if [ $((SECONDS - building)) -ge 60 ] && [ $((work_done * 20)) -ge "$work_total" ] &&
            [ "$work_done" -lt "$work_total" ]; then
            text+=", about $(((SECONDS - building) * (work_total - work_done) / work_done / 60 + 1)) min left"
        fi
        if $terminal; then
            printf '\rQt for Windows (first run only): %s\033[K' "$text" >&2
        else
            say "$text"
        fi
    done
    if $terminal; then echo >&2; fi
}
planned_work
if ! NINJA_STATUS='[%f/%t] ' cmake --build "$work/build" --parallel "$(nproc)" </dev/null 2>&1 |
    tee -a "$log" | grep --line-buffered '^\[[0-9]*/[0-9]*\]' | progress; then
    failed Building
fi

say "installing into $prefix"
logged Installing cmake --install "$work/build"
touch "$prefix/.complete"
rm -rf "$work"
say "done in $(minutes); later runs use it at once"
echo "$prefix"
