# GoogleTest for the host build comes from Debian's libgtest-dev; the Windows
# cross build compiles it from /usr/src/googletest with the same toolchain.
if(CMAKE_CROSSCOMPILING)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # GoogleTest 1.12 and later name their targets GTest::* themselves.
  foreach(lib gtest gtest_main gmock gmock_main)
    if(NOT TARGET GTest::${lib})
      add_library(GTest::${lib} ALIAS ${lib})
    endif()
  endforeach()
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# The Windows tests and the benchmark drive the Windows programs under Wine
# against the Linux simulator, and compare them with the Linux CLI: the
# programs of the Linux build in build/release, or of another build.
if(CMAKE_CROSSCOMPILING AND WIN32)
  set(ORVA_HOST_BOOTSIM "${PROJECT_SOURCE_DIR}/build/release/sim/orva-bootsim"
      CACHE FILEPATH "The Linux orva-bootsim the Windows tests drive")
  set(ORVA_HOST_CLI "${PROJECT_SOURCE_DIR}/build/release/app/cli/orvaload-cli"
      CACHE FILEPATH "The Linux orvaload-cli the Windows program is compared with")
  set(ORVA_HOST_STATION_TEST "${PROJECT_SOURCE_DIR}/build/release/tests/cli/station_api_test"
      CACHE FILEPATH "The Linux station API test, run against the Windows station")
endif()

# orva_add_gtest(name SOURCES a.cpp b.cpp LIBS x y [LABELS l1 l2] [TIMEOUT s]
#                [PRIVATE_FILES])
# One test binary. On the host every test case is its own CTest test; in the
# cross build the whole binary is one CTest test run under the emulator (Wine).
# PRIVATE_FILES: the host test runs with umask 077, so that the secrets it
# writes (token files) are its own alone, as a server asks of them.
function(orva_add_gtest name)
  cmake_parse_arguments(T "PRIVATE_FILES" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  orva_warnings(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gtest Threads::Threads)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
  else()
    if(T_PRIVATE_FILES)
      set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR
        "${PROJECT_SOURCE_DIR}/tests/support/private_files.sh")
    endif()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
      PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
  endif()
endfunction()
