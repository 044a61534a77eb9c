#!/usr/bin/env bash
# Builds Qt for 64-bit Windows (shared libraries, mingw-w64) from Debian's own qt6-base source,
# the very version the Linux build uses, and prints the install prefix. The result is cached under
# ~/.cache/varnok/, keyed by the Qt version and by this recipe, so only the first call builds
# (1,052 steps, 33 to 64 CPU-minutes: 20 to 40 minutes on two idle cores); later calls print the
# cached prefix at once.
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
# needs it), and none of the modules Varnok does not use.
qt_options=(
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF
    -DFEATURE_tabletevent=OFF
    -DINPUT_opengl=no -DFEATURE_opengl=OFF -DFEATURE_opengl_dynamic=OFF -DFEATURE_dynamicgl=OFF
    -DFEATURE_direct2d1_1=OFF -DFEATURE_system_freetype=OFF
    -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_xml=OFF
    -DFEATURE_concurrent=OFF -DFEATURE_printsupport=OFF -DFEATURE_vulkan=OFF
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
rm -rf "$work" "$prefix"
mkdir -p "$work/apt/lists/partial" "$work/apt/cache/archives/partial"
# The source comes through the archives this machine installs from, with a private list of
# deb-src entries made from apt's own configuration, so that the machine's stays as it is.
# Root's downloads land in folders of our own, which apt's unprivileged download user cannot
# write; download as root there rather than warn about it.
"$here/apt-source-entries.sh" "$work/apt/sources.list.d" >/dev/null
apt_private=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$work/apt/sources.list.d"
             -o APT::Sandbox::User=root
             -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache=$work/apt/cache")
apt-get -qq "${apt_private[@]}" update >&2
(cd "$work" && apt-get -qq "${apt_private[@]}" source --download-only "qt6-base=$qt_version" >&2)
# Debian's patches are for its Linux build; none is needed here.
dpkg-source -x --skip-patches "$work"/qt6-base_*.dsc "$work/src" >&2

cmake -G Ninja -S "$work/src" -B "$work/build" "${qt_options[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$here/mingw-w64.cmake" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake >&2
cmake --build "$work/build" --parallel "$(nproc)" >&2
cmake --install "$work/build" >&2
touch "$prefix/.complete"
rm -rf "$work"
echo "$prefix"
