# Key handle objects (symmetric keys, MACs, digests, agreement) against the
# virtual token on bus 21, with a peer process on the same token.
if(COMMAND brio_vtoken_gtest)
  add_executable(skf_key_peer ${CMAKE_CURRENT_LIST_DIR}/key_peer.cpp)
  target_include_directories(skf_key_peer PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(skf_key_peer PRIVATE brio_skf brio_gm)

  brio_vtoken_gtest(skf_key_objects_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_key_objects_vtoken.cpp
    LIBS brio_skf brio_gm OpenSSL::Crypto
    PROPERTIES TIMEOUT 300)
  target_include_directories(skf_key_objects_test PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(skf_key_objects_test PRIVATE SKF_KEY_PEER="$<TARGET_FILE:skf_key_peer>")
  add_dependencies(skf_key_objects_test skf_key_peer)
endif()
