# Container object: the record, certificates, key pairs, public keys,
# signatures, session keys and agreement against the virtual token on bus 22
# (each test its own address), with OpenSSL as the independent side.
if(COMMAND brio_vtoken_gtest)
  brio_vtoken_gtest(skf_container_keys_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_container_keys.cpp ${CMAKE_CURRENT_LIST_DIR}/test_container_skf.cpp
    LIBS brio_skf OpenSSL::Crypto
    LABELS skf
    PROPERTIES TIMEOUT 180)
  target_include_directories(skf_container_keys_test PRIVATE ${CMAKE_SOURCE_DIR})

  # Session keys and the agreement, checked by ciphering with the handles.
  brio_vtoken_gtest(skf_container_session_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_container_session.cpp
    LIBS brio_skf brio_gm OpenSSL::Crypto
    LABELS skf
    PROPERTIES TIMEOUT 180)
  target_include_directories(skf_container_session_test PRIVATE ${CMAKE_SOURCE_DIR})

  # The press-button road under the program's own Xvfb, and the signal of
  # certificate imports on a private session bus.
  brio_vtoken_gtest(skf_container_prompt_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_container_prompts.cpp
    LIBS brio_skf brio_skf_test_xvfb brio_skf_test_dbus OpenSSL::Crypto
    LABELS skf
    PROPERTIES TIMEOUT 180)
  target_include_directories(skf_container_prompt_test PRIVATE ${CMAKE_SOURCE_DIR})
endif()

# Against a scripted token: answers out of shape.
brio_gtest(skf_container_answers_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_container_answers.cpp
  LIBS brio_skf
  LABELS skf)
target_include_directories(skf_container_answers_test PRIVATE ${CMAKE_SOURCE_DIR})
