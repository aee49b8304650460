# The unit tests of the Windows build: those whose subject is the same on
# both systems or has a Windows back end. Each is a program of its own, run
# under Wine by scripts/test.sh windows (the list is in
# build-windows/windows_tests.txt).
set(QUOR_WINDOWS_UNIT_TESTS
  event_test frame_backlog_test net_test
  soft_dev_descriptor_test soft_dev_dispatch_test state_transition_test strings_test
  vbus_wire_test loader_script_test)
# The tests of the Windows back ends themselves, in unit/win/.
file(GLOB QUOR_WINDOWS_ONLY_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/unit/win/*_test.cpp)
set(QUOR_WINDOWS_TEST_LIST)
foreach(src ${QUOR_WINDOWS_ONLY_TESTS})
  get_filename_component(name ${src} NAME_WE)
  list(APPEND QUOR_WINDOWS_UNIT_TESTS ${name})
endforeach()
foreach(name ${QUOR_WINDOWS_UNIT_TESTS})
  set(src ${CMAKE_CURRENT_SOURCE_DIR}/unit/${name}.cpp)
  if(NOT EXISTS ${src})
    set(src ${CMAKE_CURRENT_SOURCE_DIR}/unit/win/${name}.cpp)
  endif()
  add_executable(${name} ${src})
  target_link_libraries(${name} PRIVATE quor_core GTest::gtest GTest::gtest_main GTest::gmock)
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  # Beside the programs and the SRTP library.
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  list(APPEND QUOR_WINDOWS_TEST_LIST ${name}.exe)
endforeach()
string(REPLACE ";" "\n" QUOR_WINDOWS_TEST_LINES "${QUOR_WINDOWS_TEST_LIST}")
file(WRITE ${CMAKE_BINARY_DIR}/windows_tests.txt "${QUOR_WINDOWS_TEST_LINES}\n")
