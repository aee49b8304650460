# The unit tests of the Windows build: those whose subject is the same on
# both systems or has a Windows back end. Each is a program of its own, run
# under Wine by scripts/test.sh windows (the list is in
# build-windows/windows_tests.txt).
set(QUOR_WINDOWS_UNIT_TESTS
  audio_stream_test event_test frame_backlog_test
  main_dlg_test net_test
  soft_dev_descriptor_test soft_dev_dispatch_test state_transition_test strings_test
  vbus_wire_test vbus_stream_test vbus_usbip_server_test srtp_keying_test
  rtp_session_net_test diag_log_test syslog_ring_test)
set(QUOR_WINDOWS_TEST_LIST)
foreach(name ${QUOR_WINDOWS_UNIT_TESTS})
  add_executable(${name} ${CMAKE_CURRENT_SOURCE_DIR}/unit/${name}.cpp)
  target_link_libraries(${name} PRIVATE quor_core GTest::gtest GTest::gtest_main GTest::gmock)
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  list(APPEND QUOR_WINDOWS_TEST_LIST ${name}.exe)
endforeach()
foreach(test srtp_keying_test rtp_session_net_test)
  if(TARGET ${test})
    add_dependencies(${test} quor_srtp_kit)
    target_compile_definitions(${test} PRIVATE QUOR_SRTP_KIT_PATH="$<TARGET_FILE_NAME:quor_srtp_kit>")
  endif()
endforeach()
string(REPLACE ";" "\n" QUOR_WINDOWS_TEST_LINES "${QUOR_WINDOWS_TEST_LIST}")
file(WRITE ${CMAKE_BINARY_DIR}/windows_tests.txt "${QUOR_WINDOWS_TEST_LINES}\n")
