# The device object, the device manager with the device-event wait, and the
# library's start and stop.  Virtual tokens on bus 24 (device object) and
# bus 25 (manager and the wait).
brio_gtest(skf_device_scripted_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_device_object_scripted.cpp
  LIBS brio_skf OpenSSL::Crypto)

if(COMMAND brio_vtoken_gtest)
  brio_vtoken_gtest(skf_device_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_device_object_vtoken.cpp
    LIBS brio_skf OpenSSL::Crypto
    PROPERTIES TIMEOUT 180)
  brio_vtoken_gtest(skf_manager_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_brio_manager_vtoken.cpp
    LIBS brio_skf
    PROPERTIES TIMEOUT 180)
endif()

