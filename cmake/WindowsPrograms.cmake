# Windows build: the deliverables, and the Windows-side tests that run under Wine.
set(CV_WIN_PROGRAM_FLAGS -municode -mwindows)
# Sections aligned in the file as in memory, so that a loader can map the image's pages from the
# file as they are used (Wine otherwise copies the whole image into private memory).
set(CV_WIN_IMAGE_FLAGS -Wl,--file-alignment,4096)

add_executable(vigilor src/programs/vigilor_main.cpp)
add_executable(trellion src/programs/trellion_main.cpp)
foreach(program vigilor trellion)
    target_link_libraries(${program} PRIVATE cv_core)
    target_compile_options(${program} PRIVATE ${CV_WARNINGS})
    target_link_options(${program} PRIVATE ${CV_WIN_PROGRAM_FLAGS} ${CV_WIN_IMAGE_FLAGS})
endforeach()

# The message table Event Viewer shows the engine's events with, compiled into vigilor.exe from
# src/texts/EventMessages.mc (a unit test holds the .mc to the action table).
find_program(CV_WINDMC NAMES x86_64-w64-mingw32-windmc windmc REQUIRED)
set(CV_EVENT_MESSAGES_DIR ${CMAKE_BINARY_DIR}/eventmessages)
add_custom_command(
    OUTPUT ${CV_EVENT_MESSAGES_DIR}/EventMessages.rc ${CV_EVENT_MESSAGES_DIR}/MSG00409.bin
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CV_EVENT_MESSAGES_DIR}
    COMMAND ${CV_WINDMC} -U -h ${CV_EVENT_MESSAGES_DIR} -r ${CV_EVENT_MESSAGES_DIR}
            ${CMAKE_SOURCE_DIR}/src/texts/EventMessages.mc
    DEPENDS ${CMAKE_SOURCE_DIR}/src/texts/EventMessages.mc
    VERBATIM)
set_source_files_properties(${CV_EVENT_MESSAGES_DIR}/EventMessages.rc PROPERTIES
    GENERATED TRUE OBJECT_DEPENDS ${CV_EVENT_MESSAGES_DIR}/MSG00409.bin)
target_sources(vigilor PRIVATE ${CV_EVENT_MESSAGES_DIR}/EventMessages.rc)
target_include_directories(vigilor PRIVATE ${CV_EVENT_MESSAGES_DIR})

# The English language module holds string resources only: no code, no entry point.
add_library(cv_rsrc_english SHARED src/texts/english.rc)
set_target_properties(cv_rsrc_english PROPERTIES PREFIX "" OUTPUT_NAME cv_rsrc_english LINKER_LANGUAGE C)
target_include_directories(cv_rsrc_english PRIVATE src/texts)
target_link_options(cv_rsrc_english PRIVATE -nostdlib -Wl,-e,0)
set_source_files_properties(src/texts/english.rc PROPERTIES
    OBJECT_DEPENDS ${CMAKE_SOURCE_DIR}/src/texts/EnglishStrings.inc)

enable_testing()
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

set(CV_WINE_ENV "CV_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix" "WINEDEBUG=-all"
    "CV_BIN_DIR=${CMAKE_BINARY_DIR}"
    "CV_WINE_WIND_DOWN=1")

# Windows-side tests of the real backend, and end-to-end tests that start the programs.
foreach(suite win e2e)
    file(GLOB sources CONFIGURE_DEPENDS tests/${suite}/*.cpp)
    add_executable(cv_${suite}_tests ${sources})
    target_link_libraries(cv_${suite}_tests PRIVATE cv_core gtest gtest_main)
    # GCC 12 reports a false -Wrestrict inside std::string concatenation at -O3.
    target_compile_options(cv_${suite}_tests PRIVATE ${CV_WARNINGS} -Wno-restrict)
    target_include_directories(cv_${suite}_tests PRIVATE tests)
    add_test(NAME ${suite}_tests COMMAND cv_${suite}_tests)
    set_tests_properties(${suite}_tests PROPERTIES ENVIRONMENT "${CV_WINE_ENV}" TIMEOUT 600
        RESOURCE_LOCK wine)
endforeach()
add_executable(cv_e2e_sleeper tests/e2e/helpers/sleeper.cpp)
target_compile_options(cv_e2e_sleeper PRIVATE ${CV_WARNINGS})
add_executable(cv_e2e_burner tests/e2e/helpers/burner.cpp)
target_compile_options(cv_e2e_burner PRIVATE ${CV_WARNINGS})
add_executable(cv_e2e_stubborn tests/e2e/helpers/stubborn.cpp)
target_compile_options(cv_e2e_stubborn PRIVATE ${CV_WARNINGS})
target_link_libraries(cv_e2e_stubborn PRIVATE user32)
add_executable(cv_e2e_counter tests/e2e/helpers/counter.cpp)
target_compile_options(cv_e2e_counter PRIVATE ${CV_WARNINGS})
add_executable(cv_e2e_recorder tests/e2e/helpers/recorder.cpp)
target_compile_options(cv_e2e_recorder PRIVATE ${CV_WARNINGS})
# The baseline that scripts/wine-footprint.sh measures the engine against: the engine's DLLs and
# its once-a-second process-list query, nothing else. It imports what the engine imports; the
# script names the DLLs the engine loads at run time, and the idle threads that stand in for the
# engine's own. Built only to be run from the build folder.
add_executable(cv_listquery bench/wine/listquery.cpp)
target_compile_options(cv_listquery PRIVATE ${CV_WARNINGS})
target_compile_definitions(cv_listquery PRIVATE UNICODE _UNICODE)
target_link_options(cv_listquery PRIVATE ${CV_WIN_PROGRAM_FLAGS})
target_link_libraries(cv_listquery PRIVATE advapi32 dbghelp pdh rpcrt4 shell32 shlwapi user32)
add_dependencies(cv_e2e_tests vigilor trellion cv_rsrc_english cv_e2e_sleeper cv_e2e_stubborn cv_e2e_burner
    cv_e2e_counter cv_e2e_recorder)
add_dependencies(cv_win_tests cv_rsrc_english cv_e2e_sleeper cv_e2e_recorder vigilor)
