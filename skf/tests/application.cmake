# The application object (PIN policy, containers) and the SKF file layer
# against the virtual token, bus 23.  The two-process file test runs a peer
# program on the same token.
if(COMMAND brio_vtoken_gtest)
  add_executable(skf_application_files_peer ${CMAKE_CURRENT_LIST_DIR}/application_files_peer.cpp)
  target_link_libraries(skf_application_files_peer PRIVATE brio_skf)
  foreach(part pin files)
    brio_vtoken_gtest(skf_application_${part}_test
      SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_application_${part}_vtoken.cpp
      LIBS brio_skf OpenSSL::Crypto
      PROPERTIES TIMEOUT 300)
  endforeach()
  target_compile_definitions(skf_application_files_test PRIVATE
    SKF_APPLICATION_FILES_PEER="$<TARGET_FILE:skf_application_files_peer>")
  add_dependencies(skf_application_files_test skf_application_files_peer)
endif()
