/* A private D-Bus session bus for a test, and a listener for the signal
 * "reloadDevice" that the middleware sends after a token's certificates
 * changed (path "/vexa/skf/object", interface
 * "com.vexa.skf.enterprise.event", one string: the token serial).
 *
 *   CPrivateSessionBus bus;                 // dbus-daemon --session of its own,
 *                                           // DBUS_SESSION_BUS_ADDRESS set
 *   CReloadDeviceListener listener(bus.Address());
 *   ... the operation under test ...
 *   EXPECT_EQ(std::vector<std::string>{serial}, listener.WaitForSignals(1));
 *
 * The variable is restored when the bus object goes; Stop() ends the daemon
 * early (the variable then names a bus that is gone).  Link the target
 * brio_skf_test_dbus. */
#pragma once

#include <dbus/dbus.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace skf_test {

#define RELOAD_SIGNAL_PATH "/vexa/skf/object"
#define RELOAD_SIGNAL_INTERFACE "com.vexa.skf.enterprise.event"
#define RELOAD_SIGNAL_MEMBER "reloadDevice"
#define RELOAD_SENDER_NAME "com.vexa.skf.sender"

class CPrivateSessionBus {
public:
    CPrivateSessionBus();
    ~CPrivateSessionBus();
    CPrivateSessionBus(const CPrivateSessionBus &) = delete;
    CPrivateSessionBus &operator=(const CPrivateSessionBus &) = delete;

    bool Running() const { return m_pid > 0; }
    const std::string &Address() const { return m_strAddress; }
    void Stop();

private:
    pid_t m_pid = -1;
    std::string m_strAddress;
    bool m_bHadOld = false;
    std::string m_strOld;
};

/* Collects the "reloadDevice" signals of the bus at strAddress, and the new
 * owners that the bus announces for the sender name. */
class CReloadDeviceListener {
public:
    /* bTakeSenderName: this listener owns "com.vexa.skf.sender" first. */
    explicit CReloadDeviceListener(const std::string &strAddress, bool bTakeSenderName = false);
    ~CReloadDeviceListener();
    CReloadDeviceListener(const CReloadDeviceListener &) = delete;
    CReloadDeviceListener &operator=(const CReloadDeviceListener &) = delete;

    bool Connected() const { return m_pConnection != nullptr; }
    /* The serials of the signals seen, once n of them arrived or the time ran out. */
    std::vector<std::string> WaitForSignals(size_t n,
                                            std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    /* What arrived so far, after a short wait for stragglers. */
    std::vector<std::string> Settle(std::chrono::milliseconds wait = std::chrono::milliseconds(300));
    /* Unique names that took "com.vexa.skf.sender" (NameOwnerChanged). */
    std::vector<std::string> SenderNameOwners();

private:
    void Run();

    DBusConnection *m_pConnection = nullptr;
    std::thread m_thread;
    bool m_bStop = false;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::string> m_serials;
    std::vector<std::string> m_owners;
};

}  // namespace skf_test
