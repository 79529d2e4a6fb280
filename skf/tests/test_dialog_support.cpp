/* The shared test pieces: a program linked with the Xvfb main finds GTK
 * started on its own display; the private bus carries a signal to the
 * listener and goes away with Stop(). */
#include <gtest/gtest.h>

#include <stdlib.h>

#include "dialogs/brioui.h"
#include "skf/tests/SessionBus.h"
#include "skf/tests/SkfPromptDriver.h"

using namespace skf_test;

TEST(SkfTestXvfbMain, TheDialogLibraryStartedOnTheTestsOwnDisplay)
{
    const char *pszDisplay = getenv("DISPLAY");
    ASSERT_NE(nullptr, pszDisplay);
    GdkDisplay *pDisplay = gdk_display_get_default();
    ASSERT_NE(nullptr, pDisplay) << "GTK did not start when the library was loaded";
    EXPECT_STREQ(pszDisplay, gdk_display_get_name(pDisplay));

    /* The driver works the prompt. */
    std::string strTip;
    CPromptDriver driver({ReadText("tip-label", &strTip), TypePin("1234567"), ClickOk()});
    char szPin[BRIOUI_MAX_PIN_LEN + 1] = {0};
    EXPECT_EQ(0, GetUserPIN(nullptr, 4, 6, 16, szPin));
    EXPECT_TRUE(driver.Finished());
    EXPECT_STREQ("1234567", szPin);
    EXPECT_EQ("TIPS: PIN length is 6 ~ 16 bytes.\nPIN left retry times: 4", strTip);
}

TEST(SkfTestSessionBus, CarriesAReloadSignalToTheListener)
{
    CPrivateSessionBus bus;
    ASSERT_TRUE(bus.Running());
    EXPECT_EQ(bus.Address(), getenv("DBUS_SESSION_BUS_ADDRESS"));
    CReloadDeviceListener listener(bus.Address());
    ASSERT_TRUE(listener.Connected());

    DBusConnection *pSender = dbus_connection_open_private(bus.Address().c_str(), nullptr);
    ASSERT_NE(nullptr, pSender);
    ASSERT_TRUE(dbus_bus_register(pSender, nullptr));
    DBusMessage *pSignal = dbus_message_new_signal(RELOAD_SIGNAL_PATH, RELOAD_SIGNAL_INTERFACE, RELOAD_SIGNAL_MEMBER);
    const char *pszSerial = "SERIAL-1";
    dbus_message_append_args(pSignal, DBUS_TYPE_STRING, &pszSerial, DBUS_TYPE_INVALID);
    dbus_connection_send(pSender, pSignal, nullptr);
    dbus_connection_flush(pSender);
    dbus_message_unref(pSignal);
    dbus_connection_close(pSender);
    dbus_connection_unref(pSender);

    EXPECT_EQ(std::vector<std::string>{"SERIAL-1"}, listener.WaitForSignals(1));
    bus.Stop();
    EXPECT_FALSE(bus.Running());
}

TEST(SkfTestSessionBus, RestoresTheVariableWhenItGoes)
{
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1);
    {
        CPrivateSessionBus bus;
        EXPECT_NE("unix:path=/nonexistent", std::string(getenv("DBUS_SESSION_BUS_ADDRESS")));
    }
    EXPECT_STREQ("unix:path=/nonexistent", getenv("DBUS_SESSION_BUS_ADDRESS"));
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
}
