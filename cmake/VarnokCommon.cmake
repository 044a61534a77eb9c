# Settings every Varnok target shares: language level, warnings (as errors on request),
# hardening and, on request, the sanitizers. Targets link varnok_common instead of repeating them.
include(CheckCXXCompilerFlag)
include(CheckPIESupported)

add_library(varnok_common INTERFACE)
target_compile_features(varnok_common INTERFACE cxx_std_20)
target_compile_options(varnok_common INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor)
# On for the project's own routes (build.sh, CI), where the compiler is known; off by default so
# that a packager's extra flags or a newer compiler's new warnings do not stop a build.
if(VARNOK_WERROR)
    target_compile_options(varnok_common INTERFACE -Werror)
endif()

# Hardening as Debian builds its packages: stack protector, checked libc calls, control-flow
# protection where the compiler has it, position-independent executables, and a relocation
# table that turns read-only once every symbol is resolved at start.
check_pie_supported(LANGUAGES CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
target_compile_options(varnok_common INTERFACE -fstack-protector-strong)
check_cxx_compiler_flag(-fcf-protection VARNOK_HAVE_CF_PROTECTION)
if(VARNOK_HAVE_CF_PROTECTION)
    target_compile_options(varnok_common INTERFACE -fcf-protection)
endif()
# The checked calls need optimisation, and would hide faults from the sanitizers, which check
# the same calls more closely. A packager's own _FORTIFY_SOURCE level is left as it is.
if(NOT VARNOK_SANITIZE AND NOT CMAKE_CXX_FLAGS MATCHES "_FORTIFY_SOURCE")
    target_compile_definitions(varnok_common INTERFACE
        $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
endif()
if(WIN32)
    # The PE counterparts: address space layout randomisation (64-bit) and no-execute data.
    target_link_options(varnok_common INTERFACE
        LINKER:--dynamicbase LINKER:--high-entropy-va LINKER:--nxcompat)
    # mingw's checked calls and stack protector live in libssp.
    target_link_libraries(varnok_common INTERFACE ssp)
else()
    target_link_options(varnok_common INTERFACE LINKER:-z,relro LINKER:-z,now)
endif()
target_compile_definitions(varnok_common INTERFACE
    QT_NO_CAST_FROM_BYTEARRAY QT_NO_URL_CAST_FROM_STRING QT_USE_QSTRINGBUILDER)

if(VARNOK_SANITIZE)
    set(_varnok_san -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_compile_options(varnok_common INTERFACE ${_varnok_san})
    target_link_options(varnok_common INTERFACE ${_varnok_san})
endif()

# Registers a Qt Test executable with CTest. Widget tests run on the offscreen platform.
function(varnok_add_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE varnok_common Qt6::Test ${ARG_LIBS})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES ENVIRONMENT
        "QT_QPA_PLATFORM=offscreen;${VARNOK_WINE_ENVIRONMENT}")
endfunction()

# Tests name files of the source tree by their path on this machine (prefix the path with this).
# A Windows build run under Wine reaches them through Wine's drive for the Unix root.
set(VARNOK_HOST_PATH_PREFIX "")
if(WIN32 AND CMAKE_CROSSCOMPILING)
    set(VARNOK_HOST_PATH_PREFIX "Z:")
    # A Windows build's tests run under Wine (VARNOK_WINE_ENVIRONMENT, set once Qt is found,
    # names the Wine prefix and the Windows Qt).
    if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
        set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/packaging/windows/wine-run.sh)
    endif()
endif()
