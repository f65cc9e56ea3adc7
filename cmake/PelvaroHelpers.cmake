# Compiler settings every target of the project shares.
function(pelvaro_target_defaults target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    if(PELVARO_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
    target_compile_definitions(${target} PRIVATE
        QT_NO_CAST_TO_ASCII
        QT_RESTRICTED_CAST_FROM_ASCII
        QT_NO_URL_CAST_FROM_STRING
        QT_NO_CAST_FROM_BYTEARRAY
        QT_NO_KEYWORDS)
endfunction()

if(PELVARO_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()

# One place that adds a test and sets the environment all tests run in: the offscreen platform,
# so no display is needed, and a fixed locale, so that results do not depend on the machine.
# SERVER: the test needs the throwaway PostgreSQL server of tests/CMakeLists.txt; it learns its
# socket folder from PELVARO_PGDIR and pauses it through PELVARO_PGSERVER. Such tests take turns,
# since one of them stops the server for a while.
function(add_unit_test name)
    cmake_parse_arguments(ARG "SERVER" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    pelvaro_target_defaults(${name})
    target_link_libraries(${name} PRIVATE Qt6::Test ${ARG_LIBS})
    add_test(NAME ${name} COMMAND ${name})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    set(env "QT_QPA_PLATFORM=offscreen;LANG=C.UTF-8;LC_ALL=C.UTF-8")
    list(APPEND env "PELVARO_DEVICESIM=$<TARGET_FILE:pelvaro-devicesim>")
    if(TARGET pelvaro-access)
        list(APPEND env "PELVARO_EXE=$<TARGET_FILE:pelvaro-access>"
                        "PELVARO_DAEMON=$<TARGET_FILE:pelvarod>")
    endif()
    if(ARG_SERVER)
        list(APPEND env "PELVARO_PGDIR=${PELVARO_PGDIR}" "PELVARO_PGSERVER=${PELVARO_PGSERVER}")
        set_tests_properties(${name} PROPERTIES
            FIXTURES_REQUIRED pgserver RESOURCE_LOCK pgserver)
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} ENVIRONMENT "${env}")
endfunction()
