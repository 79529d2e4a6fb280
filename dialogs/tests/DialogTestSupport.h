// Test support for the dialog library: a private Xvfb per test process (and
// openbox where activation matters), the library loaded once that display is
// up, and a driver that works a prompt from inside its own main loop.
#pragma once

#include "dialogs/brioui.h"

// Before Xlib, whose macros (None, Bool) clash with GoogleTest's names.
#include <gtest/gtest.h>

#include <gdk/gdkkeysyms.h>
#include <gtk/gtk.h>
#include <X11/Xlib.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace brioui_test {

// The two calls of the library under test, found with dlsym.
struct BrioUi {
    long (*GetUserPIN)(void*, int, int, int, char*);
    long (*ShowConfirmationPrompt)(const ConfirmPromptRequest*);
};

// Sets the environment the tests expect before anything of GTK starts: the
// UTF-8 C locale, no LANGUAGE list, no GTK modules, no accessibility bridge.
void PrepareTestProcess();

// Loads libbrioui-enterprise (once per process) and returns its calls.
const BrioUi& LoadBrioUi();

// How long a wait for something the test started (a server, a window
// manager, an activation, a prompt's end) may take before it counts as
// failed: far more than it takes, so that a busy machine does not fail it.
constexpr std::chrono::seconds kRoomUnderLoad{30};

// Checks done() every 10 ms until it holds (true) or the room ran out.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = kRoomUnderLoad);

// A child process started with fork/exec and stopped with SIGTERM.
class CChildProcess {
public:
    CChildProcess() = default;
    ~CChildProcess() { Stop(); }
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;
    // Starts argv.  With bReadLine the child gets the write end of a pipe,
    // whose number replaces "{fd}" in argv, and the first line it writes there
    // is returned (empty when it wrote none within kRoomUnderLoad).
    std::string Start(const std::vector<std::string>& argv, bool bReadLine);
    void Stop();
    bool IsRunning() const { return m_pid > 0; }

private:
    pid_t m_pid = -1;
};

// The private X server of this test process, started before the library is
// loaded (so the library's load-time GTK start finds it) and stopped after
// the last test.  DISPLAY names it.
const std::string& TestDisplayName();
void StopTestDisplay();

// openbox on the test display, for the tests of window-manager activation.
class CWindowManager {
public:
    CWindowManager();
    ~CWindowManager();

private:
    CChildProcess m_process;
};

// An Xlib connection of the test's own, standing in for other applications.
class CXClient {
public:
    CXClient();
    ~CXClient();
    Display* Get() const { return m_pDisplay; }
    Window Root() const { return DefaultRootWindow(m_pDisplay); }
    // A mapped window (top-level when ulParent is the root) with WM_NAME szTitle
    // (none when null).
    Window MakeWindow(Window ulParent, const char* szTitle);
    Window TransientFor(Window ulWindow);
    Window ActiveWindow();  // _NET_ACTIVE_WINDOW of the root, None without
    void RequestActivation(Window ulWindow);  // asks the window manager, as a pager does
    bool PointerIsGrabbedByOthers();

private:
    Display* m_pDisplay;
};

// Finds the widget named szName at or below pWidget.
GtkWidget* FindWidget(GtkWidget* pWidget, const char* szName);
std::string LabelText(GtkWidget* pRoot, const char* szName);
std::string EntryText(GtkWidget* pRoot, const char* szName);
// The library's windows (dialogs) that GTK still knows: shown, hidden or leaked.
int PromptWindowCount();
Window XidOf(GtkWidget* pWindow);

// Synthesised input through GTK's test utilities.
void TypeText(GtkWidget* pRoot, const char* szEntryName, const std::string& strText);
void PressKey(GtkWidget* pRoot, const char* szWidgetName, guint uiKeyval);
void ClickButton(GtkWidget* pRoot, const char* szButtonName);
// Writes an image of the window's contents to the screenshot folder.
void SaveScreenshot(GtkWidget* pWindow, const std::string& strName);
// Runs a command line and waits for it; its exit status.
int RunCommand(const std::string& strCommand);

// Waits until the X server has answered everything sent so far and
// dispatches the events that came back: synthesised input has then been
// handled, however busy the machine is.
void SettleEvents();

// Works the prompt that the library shows next, from inside its main loop.
// Each turn first settles the events (SettleEvents); the steps start once a
// prompt window is shown, mapped by the server and drawn, and then each step
// runs with that window after the events of the one before were handled.  A
// step returning false (one that waits for an event: focus, text) is tried
// again at the next turn.  Lives across one prompt call.
class CPromptDriver {
public:
    using Step = std::function<bool(GtkWidget* pWindow)>;
    explicit CPromptDriver(std::vector<Step> steps);
    ~CPromptDriver();
    CPromptDriver(const CPromptDriver&) = delete;
    CPromptDriver& operator=(const CPromptDriver&) = delete;
    bool Finished() const { return m_ulNext == m_steps.size(); }
    GtkWidget* Window() const { return m_pWindow; }

private:
    static constexpr guint kTurnMilliseconds = 20;
    static gboolean OnTurn(gpointer pvDriver);
    static gboolean OnExpose(GtkWidget* pWidget, GdkEventExpose* pEvent, gpointer pvDriver);
    std::vector<Step> m_steps;
    size_t m_ulNext = 0;
    GtkWidget* m_pWindow = nullptr;
    gulong m_ulExposeHandler = 0;
    bool m_bDrawn = false;
    guint m_uiSource = 0;
};

// A confirmation callback that waits, as the middleware's polling loop does,
// until the status word it gets as context says cancel; returns that status.
unsigned long WaitForCancelStatus(void* pvStatus, void* pvParam);

// The first shown window (dialog) of the library, or null.
GtkWidget* FindShownPrompt();

}  // namespace brioui_test
