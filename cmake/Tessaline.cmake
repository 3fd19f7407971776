# Helpers shared by every folder: one function per kind of target.

find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

set(TESSALINE_WARNINGS -Wall -Wextra -Werror)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  # Checks the lock annotations (ambry/ThreadSafety.h).
  list(APPEND TESSALINE_WARNINGS -Wthread-safety -Wthread-safety-beta)
endif()
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # GCC 12 reports false positives here on code that is correct under -O2.
  list(APPEND TESSALINE_WARNINGS -Wno-stringop-overflow -Wno-array-bounds -Wno-restrict -Wno-stringop-truncation)
endif()

if(TESSALINE_SANITIZERS)
  string(REPLACE ";" "," _san "${TESSALINE_SANITIZERS}")
  add_compile_options(-fsanitize=${_san} -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=${_san})
  add_compile_definitions(TESSALINE_SANITIZED=1)
endif()

# Fault-injection builds: Ambry::FaultHit (ambry/FaultInject.h) fails the Nth call of a
# chosen kind; the "faults" tests walk every N. Off: FaultHit is a constant false.
option(TESSALINE_FAULTS "Build with fault injection (tests of failure paths)" OFF)
if(TESSALINE_FAULTS)
  add_compile_definitions(TESSALINE_FAULTS=1)
endif()

# Is a library enabled in this build tree?
function(tessaline_enabled out comp)
  if(comp IN_LIST TESSALINE_COMPONENTS AND TARGET tessaline_${comp})
    set(${out} TRUE PARENT_SCOPE)
  else()
    set(${out} FALSE PARENT_SCOPE)
  endif()
endfunction()

# tessaline_library(<name> [DEPS targets...] [PRIVATE_DEPS targets...])
# Builds <name>/src/*.cpp (and *.c) into the static library tessaline_<name>,
# alias tessaline::<name>, with <name>/include as its public include folder.
function(tessaline_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;PRIVATE_DEPS;SOURCES" ${ARGN})
  file(GLOB_RECURSE _src CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/src/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/src/*.c)
  list(APPEND _src ${ARG_SOURCES})
  if(NOT _src)
    # Headers only (so far).
    add_library(tessaline_${name} INTERFACE)
    add_library(tessaline::${name} ALIAS tessaline_${name})
    target_include_directories(tessaline_${name} INTERFACE ${CMAKE_CURRENT_SOURCE_DIR}/include)
    target_link_libraries(tessaline_${name} INTERFACE ${ARG_DEPS} Threads::Threads)
    return()
  endif()
  add_library(tessaline_${name} STATIC ${_src})
  add_library(tessaline::${name} ALIAS tessaline_${name})
  target_include_directories(tessaline_${name}
    PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include
    PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
  target_compile_options(tessaline_${name} PRIVATE ${TESSALINE_WARNINGS})
  target_link_libraries(tessaline_${name} PUBLIC ${ARG_DEPS} Threads::Threads PRIVATE ${ARG_PRIVATE_DEPS})
endfunction()

# tessaline_test(<name> LIBS targets... [LABELS labels...] [SOURCES files...] [QT_MAIN])
# One GoogleTest binary test_<name> from tests/<name>/*.cpp, registered with CTest.
# QT_MAIN: the binary's main creates a QApplication (offscreen) for widget tests.
function(tessaline_test name)
  cmake_parse_arguments(ARG "QT_MAIN" "TIMEOUT" "LIBS;LABELS;SOURCES" ${ARGN})
  file(GLOB _src CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(APPEND _src ${ARG_SOURCES})
  if(NOT _src)
    return()
  endif()
  if(ARG_QT_MAIN)
    list(APPEND _src ${PROJECT_SOURCE_DIR}/tests/common/QtMain.cpp)
    set(_main GTest::gtest)
  else()
    set(_main GTest::gtest_main)
  endif()
  add_executable(test_${name} ${_src})
  target_compile_options(test_${name} PRIVATE ${TESSALINE_WARNINGS})
  target_include_directories(test_${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/common)
  target_link_libraries(test_${name} PRIVATE ${ARG_LIBS} ${_main} GTest::gmock Threads::Threads)
  target_compile_definitions(test_${name} PRIVATE
    TESSALINE_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    TESSALINE_BINARY_DIR="${PROJECT_BINARY_DIR}"
    TESSALINE_BIN_DIR="${PROJECT_BINARY_DIR}/bin")
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  if(NOT ARG_LABELS)
    set(ARG_LABELS quick)
  endif()
  # Test discovery flattens list-valued properties, so the labels go on the
  # directory: CTest gives them to every test found in it.
  set_property(DIRECTORY APPEND PROPERTY LABELS ${name} ${ARG_LABELS})
  gtest_discover_tests(test_${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} ENVIRONMENT QT_QPA_PLATFORM=offscreen)
endfunction()

# tessaline_program(<name> SOURCES files... LIBS targets...)
# Every program sees <tessaline/Version.h>; cmake/Install.cmake says where it is installed.
function(tessaline_program name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${TESSALINE_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} tessaline::version Threads::Threads)
endfunction()

# tessaline_fuzzer(<name> SOURCES files... LIBS targets... [CORPUS dir])
# With TESSALINE_FUZZ (clang): a libFuzzer binary fuzz_<name>.
# Always: a replay binary fuzz_<name>_replay that runs every file of the committed
# corpus through the target under CTest.
function(tessaline_fuzzer name)
  cmake_parse_arguments(ARG "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  if(NOT ARG_CORPUS)
    set(ARG_CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/${name})
  endif()
  add_executable(fuzz_${name}_replay ${ARG_SOURCES} ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
  target_compile_options(fuzz_${name}_replay PRIVATE ${TESSALINE_WARNINGS})
  target_link_libraries(fuzz_${name}_replay PRIVATE ${ARG_LIBS})
  add_test(NAME fuzz_replay_${name} COMMAND fuzz_${name}_replay ${ARG_CORPUS})
  set_tests_properties(fuzz_replay_${name} PROPERTIES LABELS "fuzz;quick" TIMEOUT 300)
  if(TESSALINE_FUZZ)
    add_executable(fuzz_${name} ${ARG_SOURCES})
    target_compile_options(fuzz_${name} PRIVATE -fsanitize=fuzzer ${TESSALINE_WARNINGS})
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(fuzz_${name} PRIVATE ${ARG_LIBS})
  endif()
endfunction()

if(TESSALINE_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# Adds <dir>/<comp> for every enabled library that has such a folder.
macro(tessaline_add_component_dirs)
  foreach(_comp IN LISTS TESSALINE_ALL_COMPONENTS)
    if(_comp IN_LIST TESSALINE_COMPONENTS AND TARGET tessaline_${_comp}
       AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${_comp}/CMakeLists.txt)
      add_subdirectory(${_comp})
    endif()
  endforeach()
endmacro()
