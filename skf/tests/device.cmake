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

# The shipped library loaded and unloaded as a program does it.  It runs with
# the virtual token's libusb, which starts no thread of its own (the
# system's libusb leaves a monitor thread that LeakSanitizer trips over after
# an unload).
if(COMMAND brio_vtoken_gtest)
  set(library_env "")
  if(BRIO_SANITIZE)
    set(library_env ENVIRONMENT "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/library_load.lsan.supp")
  endif()
  # Programs of their own: two linked against the library (one of them with
  # functions of its own named like the library's), one loading it.
  find_package(Threads REQUIRED)
  add_executable(skf_library_exit_peer ${CMAKE_CURRENT_LIST_DIR}/exit_peer.c)
  target_link_libraries(skf_library_exit_peer PRIVATE brioskf-enterprise Threads::Threads)
  add_executable(skf_library_own_names_peer ${CMAKE_CURRENT_LIST_DIR}/own_names_peer.c)
  target_link_libraries(skf_library_own_names_peer PRIVATE brioskf-enterprise)
  add_executable(skf_library_load_peer ${CMAKE_CURRENT_LIST_DIR}/load_peer.c)
  target_link_libraries(skf_library_load_peer PRIVATE ${CMAKE_DL_LIBS} Threads::Threads)
  # Another loads it in a worker thread and holds that thread at its end, in
  # a pthread_mutex_lock of its own that the library's calls reach.
  add_executable(skf_library_unload_peer ${CMAKE_CURRENT_LIST_DIR}/unload_peer.c)
  target_link_libraries(skf_library_unload_peer PRIVATE ${CMAKE_DL_LIBS} Threads::Threads)
  set_target_properties(skf_library_unload_peer PROPERTIES ENABLE_EXPORTS ON)
  foreach(peer skf_library_exit_peer skf_library_own_names_peer skf_library_load_peer skf_library_unload_peer)
    target_include_directories(${peer} PRIVATE ${CMAKE_SOURCE_DIR})
  endforeach()

  # The slowest cases (an exit while threads sign or encrypt through the
  # secure channel: fifteen programs of about 1.5 s) take about 30 s, under
  # the sanitizers too, on a machine at load 6; the limit leaves room for a
  # far busier one.
  brio_vtoken_gtest(skf_library_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_skf_library.cpp
    LIBS ${CMAKE_DL_LIBS}
    PROPERTIES TIMEOUT 240 ${library_env})
  target_compile_definitions(skf_library_test PRIVATE
    BRIO_MIDDLEWARE_SO="$<TARGET_FILE:brioskf-enterprise>"
    BRIO_DIALOGS_SO="$<TARGET_FILE:brioui-enterprise>"
    SKF_EXIT_PEER="$<TARGET_FILE:skf_library_exit_peer>"
    SKF_OWN_NAMES_PEER="$<TARGET_FILE:skf_library_own_names_peer>"
    SKF_LOAD_PEER="$<TARGET_FILE:skf_library_load_peer>"
    SKF_UNLOAD_PEER="$<TARGET_FILE:skf_library_unload_peer>")
  add_dependencies(skf_library_test brioskf-enterprise brioui-enterprise skf_library_exit_peer
                   skf_library_own_names_peer skf_library_load_peer skf_library_unload_peer)
endif()
