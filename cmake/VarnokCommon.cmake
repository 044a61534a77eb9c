# Settings every Varnok target shares: language level, warnings as errors and,
# on request, the sanitizers. Targets link varnok_common instead of repeating them.
add_library(varnok_common INTERFACE)
target_compile_features(varnok_common INTERFACE cxx_std_20)
target_compile_options(varnok_common INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Werror)
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
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()
