# Container object: the record, certificates, key pairs, public keys,
# signatures, session keys and agreement against the virtual token on bus 22
# (each test its own address), with OpenSSL as the independent side.
if(COMMAND brio_vtoken_gtest)
  brio_vtoken_gtest(skf_container_keys_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_container_keys.cpp
    LIBS brio_skf OpenSSL::Crypto
    PROPERTIES TIMEOUT 180)
  target_include_directories(skf_container_keys_test PRIVATE ${CMAKE_SOURCE_DIR})
endif()

# Against a scripted token: answers out of shape.
brio_gtest(skf_container_answers_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_container_answers.cpp
  LIBS brio_skf)
target_include_directories(skf_container_answers_test PRIVATE ${CMAKE_SOURCE_DIR})
