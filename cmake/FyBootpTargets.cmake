# One helper per kind of target, so that every target gets the same warning
# list and include root.

set(FYB_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wconversion
    -Wsign-conversion -Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual)
if(FYB_WERROR)
  list(APPEND FYB_WARNINGS -Werror)
endif()

# clang checks the lock annotations (platform/sync/annotated_mutex.h) of the
# product code. Tests set up state before any thread runs and are not held
# to them.
option(FYB_THREAD_SAFETY "Check lock annotations with clang's -Wthread-safety" OFF)

function(fyb_common target)
  target_compile_options(${target} PRIVATE ${FYB_WARNINGS})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

function(fyb_product_checks target)
  if(FYB_THREAD_SAFETY AND NOT CMAKE_CURRENT_SOURCE_DIR MATCHES "/tests(/|$)")
    target_compile_options(${target} PRIVATE -Wthread-safety -Wthread-safety-beta)
  endif()
endfunction()

# fyb_library(NAME SOURCES... DEPS ...)
function(fyb_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  fyb_common(${name})
  fyb_product_checks(${name})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# fyb_test(NAME SOURCES... DEPS ... LABELS label): a GoogleTest binary; every
# test in it is registered with CTest on its own.
function(fyb_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  fyb_common(${name})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock
                        GTest::gtest_main Threads::Threads)
  # One label per target: a list does not survive the generated script.
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
                       PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT 300)
endfunction()

# fyb_executable(NAME SOURCES... DEPS ...)
function(fyb_executable name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  fyb_common(${name})
  fyb_product_checks(${name})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} Threads::Threads)
endfunction()

include(GoogleTest)

# fyb_fuzz(NAME ENTRY lib FUZZER source REPLAY test REPLAY_SOURCES ... [REPLAY_DEPS ...]
#          CORPUS_DEFINE macro [CORPUS folder]): a fuzz target's corpus (fuzz/corpus
# beside the calling CMakeLists.txt unless CORPUS names another folder there)
# replayed through its entry in every test run, and, with FYB_FUZZ, the
# libFuzzer executable NAME that scripts/fuzz drives.
function(fyb_fuzz name)
  cmake_parse_arguments(ARG "" "ENTRY;FUZZER;REPLAY;CORPUS_DEFINE;CORPUS" "REPLAY_SOURCES;REPLAY_DEPS"
                        ${ARGN})
  if(NOT ARG_CORPUS)
    set(ARG_CORPUS fuzz/corpus)
  endif()
  fyb_test(${ARG_REPLAY} SOURCES ${ARG_REPLAY_SOURCES} DEPS ${ARG_ENTRY} ${ARG_REPLAY_DEPS}
           LABELS unit)
  target_compile_definitions(${ARG_REPLAY}
    PRIVATE ${ARG_CORPUS_DEFINE}="${CMAKE_CURRENT_SOURCE_DIR}/${ARG_CORPUS}")
  if(FYB_FUZZ)
    add_executable(${name} ${ARG_FUZZER})
    fyb_common(${name})
    target_link_libraries(${name} PRIVATE ${ARG_ENTRY})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  endif()
endfunction()
