#include "dialogs/tests/DialogTestSupport.h"

#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gdk/gdkx.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace brioui_test {

namespace {

CChildProcess& XServerProcess()
{
    static CChildProcess s_process;
    return s_process;
}

std::string& DisplayName()
{
    static std::string s_strName;
    return s_strName;
}

}  // namespace

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string CChildProcess::Start(const std::vector<std::string>& argv, bool bReadLine)
{
    int anPipe[2] = {-1, -1};
    if (bReadLine && pipe(anPipe) != 0) {
        return "";
    }
    std::vector<std::string> args = argv;
    for (std::string& strArg : args) {
        if (strArg == "{fd}") {
            strArg = std::to_string(anPipe[1]);
        }
    }
    m_pid = fork();
    if (m_pid == 0) {
        if (bReadLine) {
            close(anPipe[0]);
        }
        const int nNull = open("/dev/null", O_RDWR);
        dup2(nNull, STDOUT_FILENO);
        dup2(nNull, STDERR_FILENO);
        std::vector<char*> pszArgs;
        for (std::string& strArg : args) {
            pszArgs.push_back(strArg.data());
        }
        pszArgs.push_back(nullptr);
        execvp(pszArgs[0], pszArgs.data());
        _exit(127);
    }
    std::string strLine;
    if (bReadLine) {
        close(anPipe[1]);
        pollfd stPoll = {anPipe[0], POLLIN, 0};
        char c = 0;
        const int nWait = static_cast<int>(std::chrono::milliseconds(kRoomUnderLoad).count());
        while (poll(&stPoll, 1, nWait) == 1 && read(anPipe[0], &c, 1) == 1 && c != '\n') {
            strLine.push_back(c);
        }
        close(anPipe[0]);
    }
    return strLine;
}

void CChildProcess::Stop()
{
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
}

void StopTestDisplay()
{
    XServerProcess().Stop();
}

void PrepareTestProcess()
{
    setenv("LC_ALL", "C.UTF-8", 1);
    setenv("NO_AT_BRIDGE", "1", 1);
    unsetenv("LANGUAGE");
    unsetenv("GTK_MODULES");
}

const std::string& TestDisplayName()
{
    std::string& strName = DisplayName();
    if (strName.empty()) {
        PrepareTestProcess();
        // -displayfd lets the server pick a free display number, so test
        // processes running side by side never share one.
        const std::string strNumber = XServerProcess().Start(
            {"Xvfb", "-displayfd", "{fd}", "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, true);
        if (strNumber.empty()) {
            ADD_FAILURE() << "Xvfb did not start";
            return strName;
        }
        strName = ":" + strNumber;
        setenv("DISPLAY", strName.c_str(), 1);
    }
    return strName;
}

const BrioUi& LoadBrioUi()
{
    static const BrioUi s_stCalls = [] {
        BrioUi stCalls = {nullptr, nullptr};
        void* pvLibrary = dlopen(BRIOUI_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (pvLibrary == nullptr) {
            ADD_FAILURE() << "dlopen: " << dlerror();
            return stCalls;
        }
        stCalls.GetUserPIN = reinterpret_cast<long (*)(void*, int, int, int, char*)>(dlsym(pvLibrary, "GetUserPIN"));
        stCalls.ShowConfirmationPrompt = reinterpret_cast<long (*)(const ConfirmPromptRequest*)>(
            dlsym(pvLibrary, "ShowConfirmationPrompt"));
        return stCalls;
    }();
    if (s_stCalls.GetUserPIN == nullptr || s_stCalls.ShowConfirmationPrompt == nullptr) {
        ADD_FAILURE() << "the library's calls are missing";
    }
    return s_stCalls;
}

CWindowManager::CWindowManager()
{
    // A window manager that ran before leaves its check property behind.
    CXClient client;
    const Atom ulCheck = XInternAtom(client.Get(), "_NET_SUPPORTING_WM_CHECK", False);
    XDeleteProperty(client.Get(), client.Root(), ulCheck);
    XSync(client.Get(), False);
    m_process.Start({"openbox", "--sm-disable"}, false);
    const bool bStarted = WaitUntil([&] {
        Atom ulType = None;
        int nFormat = 0;
        unsigned long ulItems = 0;
        unsigned long ulAfter = 0;
        unsigned char* pbValue = nullptr;
        XGetWindowProperty(client.Get(), client.Root(), ulCheck, 0, 1, False, XA_WINDOW, &ulType, &nFormat, &ulItems,
                           &ulAfter, &pbValue);
        if (pbValue != nullptr) {
            XFree(pbValue);
        }
        return ulItems == 1;
    });
    if (!bStarted) {
        ADD_FAILURE() << "openbox did not start";
        return;
    }
    // openbox announces itself before it manages windows, and a window mapped
    // in between is managed without being activated: it is ready once it has
    // activated a window of the test's own on request, which then goes.
    const Window ulProbe = client.MakeWindow(client.Root(), "probe");
    const bool bActivated = WaitUntil([&] {
        if (client.ActiveWindow() == ulProbe) {
            return true;
        }
        client.RequestActivation(ulProbe);
        return false;
    });
    if (!bActivated) {
        ADD_FAILURE() << "openbox did not activate a window on request";
    }
    XDestroyWindow(client.Get(), ulProbe);
    XSync(client.Get(), False);
}

CWindowManager::~CWindowManager()
{
    m_process.Stop();
}

CXClient::CXClient() : m_pDisplay(XOpenDisplay(TestDisplayName().c_str()))
{
    if (m_pDisplay == nullptr) {
        ADD_FAILURE() << "cannot open the test display";
        std::abort();
    }
}

CXClient::~CXClient()
{
    XCloseDisplay(m_pDisplay);
}

Window CXClient::MakeWindow(Window ulParent, const char* szTitle)
{
    const Window ulWindow = XCreateSimpleWindow(m_pDisplay, ulParent, 10, 10, 300, 200, 0, 0, 0xFFFFFF);
    if (szTitle != nullptr) {
        XStoreName(m_pDisplay, ulWindow, szTitle);
    }
    XMapWindow(m_pDisplay, ulWindow);
    XSync(m_pDisplay, False);
    return ulWindow;
}

Window CXClient::TransientFor(Window ulWindow)
{
    Window ulParent = None;
    if (!XGetTransientForHint(m_pDisplay, ulWindow, &ulParent)) {
        return None;
    }
    return ulParent;
}

Window CXClient::ActiveWindow()
{
    Atom ulType = None;
    int nFormat = 0;
    unsigned long ulItems = 0;
    unsigned long ulAfter = 0;
    unsigned char* pbValue = nullptr;
    Window ulActive = None;
    XGetWindowProperty(m_pDisplay, Root(), XInternAtom(m_pDisplay, "_NET_ACTIVE_WINDOW", False), 0, 1, False,
                       XA_WINDOW, &ulType, &nFormat, &ulItems, &ulAfter, &pbValue);
    if (pbValue != nullptr) {
        if (ulItems == 1) {
            ulActive = *reinterpret_cast<Window*>(pbValue);
        }
        XFree(pbValue);
    }
    return ulActive;
}

void CXClient::RequestActivation(Window ulWindow)
{
    XEvent stEvent = {};
    stEvent.xclient.type = ClientMessage;
    stEvent.xclient.window = ulWindow;
    stEvent.xclient.message_type = XInternAtom(m_pDisplay, "_NET_ACTIVE_WINDOW", False);
    stEvent.xclient.format = 32;
    stEvent.xclient.data.l[0] = 2;  // from a pager: a user's request
    stEvent.xclient.data.l[1] = CurrentTime;
    XSendEvent(m_pDisplay, Root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &stEvent);
    XSync(m_pDisplay, False);
}

bool CXClient::PointerIsGrabbedByOthers()
{
    const int nGrab = XGrabPointer(m_pDisplay, Root(), False, ButtonPressMask, GrabModeAsync, GrabModeAsync, None,
                                   None, CurrentTime);
    if (nGrab == GrabSuccess) {
        XUngrabPointer(m_pDisplay, CurrentTime);
        XSync(m_pDisplay, False);
    }
    return nGrab == AlreadyGrabbed;
}

GtkWidget* FindWidget(GtkWidget* pWidget, const char* szName)
{
    if (pWidget == nullptr) {
        return nullptr;
    }
    const char* szWidgetName = gtk_widget_get_name(pWidget);
    if (szWidgetName != nullptr && std::strcmp(szWidgetName, szName) == 0) {
        return pWidget;
    }
    if (!GTK_IS_CONTAINER(pWidget)) {
        return nullptr;
    }
    GList* pChildren = gtk_container_get_children(GTK_CONTAINER(pWidget));
    GtkWidget* pFound = nullptr;
    for (GList* p = pChildren; p != nullptr && pFound == nullptr; p = p->next) {
        pFound = FindWidget(GTK_WIDGET(p->data), szName);
    }
    g_list_free(pChildren);
    return pFound;
}

std::string LabelText(GtkWidget* pRoot, const char* szName)
{
    GtkWidget* pLabel = FindWidget(pRoot, szName);
    return pLabel != nullptr ? gtk_label_get_text(GTK_LABEL(pLabel)) : "<no label>";
}

std::string EntryText(GtkWidget* pRoot, const char* szName)
{
    GtkWidget* pEntry = FindWidget(pRoot, szName);
    return pEntry != nullptr ? gtk_entry_get_text(GTK_ENTRY(pEntry)) : "<no entry>";
}

int PromptWindowCount()
{
    GList* pList = gtk_window_list_toplevels();
    int nCount = 0;
    for (GList* p = pList; p != nullptr; p = p->next) {
        nCount += GTK_IS_DIALOG(p->data) ? 1 : 0;
    }
    g_list_free(pList);
    return nCount;
}

Window XidOf(GtkWidget* pWindow)
{
    return GDK_WINDOW_XID(gtk_widget_get_window(pWindow));
}

GtkWidget* FindShownPrompt()
{
    GList* pList = gtk_window_list_toplevels();
    GtkWidget* pShown = nullptr;
    for (GList* p = pList; p != nullptr && pShown == nullptr; p = p->next) {
        GtkWidget* pWindow = GTK_WIDGET(p->data);
        if (GTK_IS_DIALOG(pWindow) && gtk_widget_get_mapped(pWindow)) {
            pShown = pWindow;
        }
    }
    g_list_free(pList);
    return pShown;
}

void TypeText(GtkWidget* pRoot, const char* szEntryName, const std::string& strText)
{
    GtkWidget* pEntry = FindWidget(pRoot, szEntryName);
    ASSERT_NE(pEntry, nullptr);
    for (char c : strText) {
        EXPECT_TRUE(gtk_test_widget_send_key(pEntry, gdk_unicode_to_keyval(static_cast<guint32>(c)),
                                             static_cast<GdkModifierType>(0)));
    }
}

void PressKey(GtkWidget* pRoot, const char* szWidgetName, guint uiKeyval)
{
    GtkWidget* pWidget = FindWidget(pRoot, szWidgetName);
    ASSERT_NE(pWidget, nullptr);
    EXPECT_TRUE(gtk_test_widget_send_key(pWidget, uiKeyval, static_cast<GdkModifierType>(0)));
}

void ClickButton(GtkWidget* pRoot, const char* szButtonName)
{
    // A button has no X window of its own: the press goes to the toplevel at
    // the button's centre, where GDK hands it to the button.
    GtkWidget* pButton = FindWidget(pRoot, szButtonName);
    ASSERT_NE(pButton, nullptr);
    GtkWidget* pToplevel = gtk_widget_get_toplevel(pButton);
    GtkAllocation stArea = {};
    gtk_widget_get_allocation(pButton, &stArea);
    gint nX = 0;
    gint nY = 0;
    ASSERT_TRUE(gtk_widget_translate_coordinates(pButton, pToplevel, stArea.width / 2, stArea.height / 2, &nX, &nY));
    GdkWindow* pWindow = gtk_widget_get_window(pToplevel);
    // The pointer enters the button first, as a user's would, so that the
    // button takes the release as a click.
    gint nRootX = 0;
    gint nRootY = 0;
    gdk_window_get_origin(pWindow, &nRootX, &nRootY);
    // It comes from outside the window: GDK learns which widget the
    // pointer is over from the crossing of the window's edge.
    const int anPath[2][2] = {{1020, 760}, {nRootX + nX, nRootY + nY}};
    for (const auto& anPoint : anPath) {
        gdk_display_warp_pointer(gdk_display_get_default(), gdk_screen_get_default(), anPoint[0], anPoint[1]);
        gdk_display_sync(gdk_display_get_default());
        for (int i = 0; i < 100 && g_main_context_iteration(nullptr, FALSE); ++i) {
        }
    }
    EXPECT_TRUE(gdk_test_simulate_button(pWindow, nX, nY, 1, static_cast<GdkModifierType>(0), GDK_BUTTON_PRESS));
    EXPECT_TRUE(gdk_test_simulate_button(pWindow, nX, nY, 1, static_cast<GdkModifierType>(0), GDK_BUTTON_RELEASE));
}

int RunCommand(const std::string& strCommand)
{
    return std::system(strCommand.c_str());
}

void SaveScreenshot(GtkWidget* pWindow, const std::string& strName)
{
    g_mkdir_with_parents(BRIOUI_SCREENSHOT_DIR, 0755);
    gdk_window_process_all_updates();
    gdk_flush();
    const std::string strFile = std::string(BRIOUI_SCREENSHOT_DIR) + "/" + strName + ".png";
    char szCommand[512];
    std::snprintf(szCommand, sizeof(szCommand), "import -window 0x%lx '%s' >/dev/null 2>&1", XidOf(pWindow),
                  strFile.c_str());
    EXPECT_EQ(RunCommand(szCommand), 0) << szCommand;
}

unsigned long WaitForCancelStatus(void* pvStatus, void*)
{
    unsigned long* pulStatus = static_cast<unsigned long*>(pvStatus);
    while (__atomic_load_n(pulStatus, __ATOMIC_SEQ_CST) == 0) {
        g_usleep(10000);
    }
    return __atomic_load_n(pulStatus, __ATOMIC_SEQ_CST);
}

void SettleEvents()
{
    // The round trip makes the server answer after every event it owes this
    // client for what was sent before (synthesised input, a warp, a map);
    // those events are then queued here and dispatched before returning.
    gdk_display_sync(gdk_display_get_default());
    while (gtk_events_pending()) {
        gtk_main_iteration_do(FALSE);
    }
}

CPromptDriver::CPromptDriver(std::vector<Step> steps) : m_steps(std::move(steps))
{
    if (!m_steps.empty()) {
        m_uiSource = g_timeout_add(kTurnMilliseconds, &CPromptDriver::OnTurn, this);
    }
}

CPromptDriver::~CPromptDriver()
{
    if (m_uiSource != 0) {
        g_source_remove(m_uiSource);
    }
    if (m_pWindow != nullptr) {
        g_signal_handler_disconnect(m_pWindow, m_ulExposeHandler);
        g_object_remove_weak_pointer(G_OBJECT(m_pWindow), reinterpret_cast<gpointer*>(&m_pWindow));
    }
}

gboolean CPromptDriver::OnExpose(GtkWidget*, GdkEventExpose*, gpointer pvDriver)
{
    static_cast<CPromptDriver*>(pvDriver)->m_bDrawn = true;
    return FALSE;  // the window draws itself as usual
}

gboolean CPromptDriver::OnTurn(gpointer pvDriver)
{
    CPromptDriver* pDriver = static_cast<CPromptDriver*>(pvDriver);
    SettleEvents();
    if (pDriver->m_pWindow == nullptr) {
        pDriver->m_pWindow = FindShownPrompt();
        if (pDriver->m_pWindow != nullptr) {
            // Destroyed by a step or by the library, the window nulls the
            // pointer and takes the handler with it.
            pDriver->m_bDrawn = false;
            g_object_add_weak_pointer(G_OBJECT(pDriver->m_pWindow), reinterpret_cast<gpointer*>(&pDriver->m_pWindow));
            pDriver->m_ulExposeHandler =
                g_signal_connect_after(pDriver->m_pWindow, "expose-event", G_CALLBACK(&CPromptDriver::OnExpose), pDriver);
            gtk_widget_queue_draw(pDriver->m_pWindow);
        }
        return TRUE;
    }
    // The steps start once the server has mapped the window and it has drawn
    // itself, however long that takes (a step may hide it later).
    GdkWindow* pGdkWindow = gtk_widget_get_window(pDriver->m_pWindow);
    if (pDriver->m_ulNext == 0 && (!pDriver->m_bDrawn || pGdkWindow == nullptr ||
                                   (gdk_window_get_state(pGdkWindow) & GDK_WINDOW_STATE_WITHDRAWN) != 0)) {
        return TRUE;
    }
    if (pDriver->m_steps[pDriver->m_ulNext](pDriver->m_pWindow)) {
        ++pDriver->m_ulNext;
    }
    if (pDriver->Finished() || pDriver->m_pWindow == nullptr) {
        pDriver->m_uiSource = 0;
        return FALSE;
    }
    return TRUE;
}

}  // namespace brioui_test
