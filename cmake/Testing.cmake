# roadrec_add_test(NAME <target> SOURCES <files...> LIBS <libs...> [TIMEOUT <s>] [LABELS <l...>]
#                  [RESOURCE_LOCK <r...>] [SERIAL] [DEFINITIONS <NAME=value...>] [DEPENDS <targets...>])
# Builds one GoogleTest binary, linked with the shared test helpers (tests/support), and registers
# every test case of it with CTest. DEFINITIONS become private compile definitions; DEPENDS are
# programs the test runs, built before it.
# Each case runs in its own process, so cases can run in parallel under `ctest -j`.
include(GoogleTest)
find_package(GTest REQUIRED)

function(roadrec_add_test)
  if(NOT ROADREC_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "SERIAL" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;RESOURCE_LOCK;DEFINITIONS;DEPENDS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} test_support GTest::gtest GTest::gtest_main Threads::Threads)
  if(T_DEFINITIONS)
    target_compile_definitions(${T_NAME} PRIVATE ${T_DEFINITIONS})
  endif()
  if(T_DEPENDS)
    add_dependencies(${T_NAME} ${T_DEPENDS})
  endif()
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  if(T_RESOURCE_LOCK)
    list(APPEND props RESOURCE_LOCK "${T_RESOURCE_LOCK}")
  endif()
  if(T_SERIAL)
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  gtest_discover_tests(${T_NAME}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ${props})
endfunction()
