# The application object (PIN policy, containers) and the SKF file layer
# against the virtual token, bus 23: addresses 1-59 without a display (the
# dialog library cannot start GTK there), 60 on under the prompt test's own
# Xvfb.  The two-process file test runs a peer program on the same token;
# the container deletion's signal goes to a private session bus.  The file
# tests take over the transport's pause (TransportPause.h).
if(COMMAND brio_vtoken_gtest)
  add_executable(skf_application_files_peer ${CMAKE_CURRENT_LIST_DIR}/application_files_peer.cpp)
  target_link_libraries(skf_application_files_peer PRIVATE brio_skf)
  brio_vtoken_gtest(skf_application_pin_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_application_pin_vtoken.cpp
    LIBS brio_skf brio_skf_test_dbus OpenSSL::Crypto
    LABELS skf
    PROPERTIES ENVIRONMENT "DISPLAY=" TIMEOUT 120)
  brio_vtoken_gtest(skf_application_files_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_application_files_vtoken.cpp ${CMAKE_CURRENT_LIST_DIR}/TransportPause.cpp
    LIBS brio_skf OpenSSL::Crypto
    LABELS skf
    PROPERTIES ENVIRONMENT "DISPLAY=" TIMEOUT 300)
  target_compile_definitions(skf_application_files_test PRIVATE
    SKF_APPLICATION_FILES_PEER="$<TARGET_FILE:skf_application_files_peer>")
  add_dependencies(skf_application_files_test skf_application_files_peer)
  # The largest file is written whole: 3,072 chunk writes, after each of
  # which the virtual token stores its whole state (the 786 KB object with
  # it) before it answers, so no round of it can go.  Measured under the
  # sanitizers: 120 s at load 7 to 11 (529 s at load 25 when the token
  # stored its state a third slower); plain 35 s.  Its own limit is over
  # twice the slowest seen.
  set(largest_timeout ${CMAKE_CURRENT_BINARY_DIR}/skf_application_files_test_timeouts.cmake)
  file(WRITE ${largest_timeout}
    "list(FIND skf_application_files_test_TESTS ApplicationTest.LargestObjectFillsTheRecordsThirtyTwoFiles at)\n"
    "if(at GREATER -1)\n"
    "  set_tests_properties(ApplicationTest.LargestObjectFillsTheRecordsThirtyTwoFiles PROPERTIES TIMEOUT 1200)\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${largest_timeout})
  brio_vtoken_gtest(skf_application_prompt_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_application_prompt_vtoken.cpp
    LIBS brio_skf brio_skf_test_xvfb
    LABELS skf
    PROPERTIES TIMEOUT 120)
endif()
