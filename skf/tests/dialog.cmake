# Dialog glue and the D-Bus signal; virtual tokens on bus 20.
#
# Test pieces shared by the areas whose operations show prompts or send the
# signal (the support targets below; see each header for its use):
#   brio_skf_test_xvfb  link it into a test program whose prompts must work:
#                       its main runs the program again under a private Xvfb
#                       started before libbrioui-enterprise is loaded
#                       (XvfbTestMain.cpp); the prompt driver
#                       (SkfPromptDriver.h: type a PIN, OK, CANCEL).
#   brio_skf_test_dbus  a private dbus-daemon session bus with
#                       DBUS_SESSION_BUS_ADDRESS set for the process, and a
#                       listener collecting "reloadDevice" signals (SessionBus.h).
#   SkfLogCapture.h     the middleware's log captured in a file (header only).
add_library(brio_skf_test_child STATIC ${CMAKE_CURRENT_LIST_DIR}/TestChild.cpp)
target_include_directories(brio_skf_test_child PUBLIC ${CMAKE_SOURCE_DIR})

add_library(brio_skf_test_xvfb OBJECT
  ${CMAKE_CURRENT_LIST_DIR}/XvfbTestMain.cpp ${CMAKE_CURRENT_LIST_DIR}/SkfPromptDriver.cpp)
target_link_libraries(brio_skf_test_xvfb PUBLIC brioui_test_support brio_skf_test_child)

add_library(brio_skf_test_dbus STATIC ${CMAKE_CURRENT_LIST_DIR}/SessionBus.cpp)
target_include_directories(brio_skf_test_dbus PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(brio_skf_test_dbus PUBLIC brio_skf_test_child PkgConfig::DBUS Threads::Threads)

# The shared pieces themselves: the display is up before the dialog library
# starts, the bus carries a signal to the listener.
brio_gtest(skf_dialog_support_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_dialog_support.cpp
  LIBS brioui-enterprise brio_skf_test_xvfb brio_skf_test_dbus
  LABELS skf)

# Without a display (the dialog library cannot start GTK): the callback's
# table, the PIN status, a prompt that cannot be shown, the signal.
brio_vtoken_gtest(skf_dialog_object_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_dialog_object.cpp
  LIBS brio_skf brio_skf_test_dbus
  LABELS skf
  PROPERTIES ENVIRONMENT "DISPLAY=" TIMEOUT 120)

# The prompts under the program's own Xvfb.
brio_vtoken_gtest(skf_dialog_prompt_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_dialog_prompts.cpp
  LIBS brio_skf brio_skf_test_xvfb
  LABELS skf
  PROPERTIES TIMEOUT 120)
