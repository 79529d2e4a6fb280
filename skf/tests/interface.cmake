# The SKF C interface: its frame and handle registry, the exported surface
# as an application sees it through skf.h, and the installed library.
# Virtual tokens of these suites sit on buses 26 and 27.

# The frame through the shared library, without a token.
brio_gtest(skf_interface_frame_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_interface_frame.cpp
  LIBS brioskf-enterprise
  PROPERTIES TIMEOUT 120)
target_include_directories(skf_interface_frame_test PRIVATE ${CMAKE_SOURCE_DIR})

# The handle registry against the virtual token: handles made as the open
# calls make them, used through skf.h.
if(COMMAND brio_vtoken_gtest)
  brio_vtoken_gtest(skf_interface_handles_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_interface_handles.cpp
    LIBS brio_skf
    PROPERTIES TIMEOUT 180)
endif()

# `make install` into a temporary prefix, and an application built against
# it with only the installed skf.h and pkg-config's flags.
add_test(NAME skf_interface_install
  COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/check_install.sh ${CMAKE_BINARY_DIR}
          ${CMAKE_CURRENT_LIST_DIR}/install_app.c ${CMAKE_C_COMPILER} ${CMAKE_CXX_COMPILER})
set_tests_properties(skf_interface_install PROPERTIES TIMEOUT 120)

# The flows of an application through skf.h and the shared library against
# the virtual token (bus 27); a second process holds the device lock.
if(COMMAND brio_vtoken_gtest)
  add_executable(skf_interface_lock_peer ${CMAKE_CURRENT_LIST_DIR}/lock_peer.c)
  target_include_directories(skf_interface_lock_peer PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(skf_interface_lock_peer PRIVATE brioskf-enterprise)

  brio_vtoken_gtest(skf_interface_flows_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_interface_flows.cpp ${CMAKE_CURRENT_LIST_DIR}/FailingAllocator.cpp
    LIBS brioskf-enterprise OpenSSL::Crypto
    PROPERTIES TIMEOUT 180)
  target_include_directories(skf_interface_flows_test PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(skf_interface_flows_test PRIVATE
    SKF_LOCK_PEER="$<TARGET_FILE:skf_interface_lock_peer>")
  add_dependencies(skf_interface_flows_test skf_interface_lock_peer)
endif()
