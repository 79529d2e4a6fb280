#include "skf/tests/SessionBus.h"

#include "skf/tests/TestChild.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

namespace skf_test {

CPrivateSessionBus::CPrivateSessionBus()
{
    const char *pszOld = getenv("DBUS_SESSION_BUS_ADDRESS");
    m_bHadOld = pszOld != nullptr;
    if (m_bHadOld) m_strOld = pszOld;
    m_pid = StartChild({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address={fd}"}, SIGTERM,
                       &m_strAddress);
    if (m_strAddress.empty()) {
        fprintf(stderr, "dbus-daemon did not start\n");
        Stop();
        return;
    }
    setenv("DBUS_SESSION_BUS_ADDRESS", m_strAddress.c_str(), 1);
}

CPrivateSessionBus::~CPrivateSessionBus()
{
    Stop();
    if (m_bHadOld) {
        setenv("DBUS_SESSION_BUS_ADDRESS", m_strOld.c_str(), 1);
    } else {
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
}

void CPrivateSessionBus::Stop()
{
    StopChild(m_pid);
    m_pid = -1;
}

CReloadDeviceListener::CReloadDeviceListener(const std::string &strAddress, bool bTakeSenderName)
{
    DBusError stError;
    dbus_error_init(&stError);
    m_pConnection = dbus_connection_open_private(strAddress.c_str(), &stError);
    if (m_pConnection != nullptr && !dbus_bus_register(m_pConnection, &stError)) {
        dbus_connection_close(m_pConnection);
        dbus_connection_unref(m_pConnection);
        m_pConnection = nullptr;
    }
    if (m_pConnection == nullptr) {
        fprintf(stderr, "listener: %s\n", stError.message != nullptr ? stError.message : "no connection");
        dbus_error_free(&stError);
        return;
    }
    dbus_bus_add_match(m_pConnection,
                       "type='signal',interface='" RELOAD_SIGNAL_INTERFACE "',member='" RELOAD_SIGNAL_MEMBER "'",
                       &stError);
    dbus_bus_add_match(m_pConnection,
                       "type='signal',sender='org.freedesktop.DBus',member='NameOwnerChanged',arg0='" RELOAD_SENDER_NAME
                       "'",
                       &stError);
    if (bTakeSenderName) {
        int nReply = dbus_bus_request_name(m_pConnection, RELOAD_SENDER_NAME, DBUS_NAME_FLAG_DO_NOT_QUEUE, &stError);
        if (nReply != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) fprintf(stderr, "listener: the sender name not taken\n");
    }
    if (dbus_error_is_set(&stError)) fprintf(stderr, "listener: %s\n", stError.message);
    dbus_error_free(&stError);
    m_thread = std::thread(&CReloadDeviceListener::Run, this);
}

CReloadDeviceListener::~CReloadDeviceListener()
{
    if (m_pConnection == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
    }
    m_thread.join();
    dbus_connection_close(m_pConnection);
    dbus_connection_unref(m_pConnection);
}

void CReloadDeviceListener::Run()
{
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bStop) return;
        }
        if (!dbus_connection_read_write(m_pConnection, 50)) return;
        while (DBusMessage *pMessage = dbus_connection_pop_message(m_pConnection)) {
            const char *pszFirst = nullptr;
            const char *pszSecond = nullptr;
            const char *pszThird = nullptr;
            if (dbus_message_is_signal(pMessage, RELOAD_SIGNAL_INTERFACE, RELOAD_SIGNAL_MEMBER) &&
                dbus_message_has_path(pMessage, RELOAD_SIGNAL_PATH)) {
                std::string strSerial = "<not one string>";
                if (dbus_message_get_args(pMessage, nullptr, DBUS_TYPE_STRING, &pszFirst, DBUS_TYPE_INVALID)) {
                    strSerial = pszFirst;
                }
                std::lock_guard<std::mutex> lock(m_mutex);
                m_serials.push_back(strSerial);
                m_cv.notify_all();
            } else if (dbus_message_is_signal(pMessage, DBUS_INTERFACE_DBUS, "NameOwnerChanged") &&
                       dbus_message_get_args(pMessage, nullptr, DBUS_TYPE_STRING, &pszFirst, DBUS_TYPE_STRING,
                                             &pszSecond, DBUS_TYPE_STRING, &pszThird, DBUS_TYPE_INVALID) &&
                       *pszThird != '\0') {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_owners.push_back(pszThird);
            }
            dbus_message_unref(pMessage);
        }
    }
}

std::vector<std::string> CReloadDeviceListener::WaitForSignals(size_t n, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait_for(lock, timeout, [&] { return m_serials.size() >= n; });
    return m_serials;
}

std::vector<std::string> CReloadDeviceListener::Settle(std::chrono::milliseconds wait)
{
    std::this_thread::sleep_for(wait);
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_serials;
}

std::vector<std::string> CReloadDeviceListener::SenderNameOwners()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_owners;
}

}  // namespace skf_test
