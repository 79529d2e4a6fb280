#include "dialogs/X11Window.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <cstring>

namespace brioui {

namespace {

// Title part of the browser window a prompt attaches to.
const char* const PARENT_TITLE_PART = "Mozilla Firefox";

// The trap in force.  Prompts run one at a time (the dialog mutex) and set
// one trap at a time.
CXErrorTrap* g_pCurrentTrap = nullptr;

bool WindowTitleContains(Display* pDisplay, Window ulWindow, const char* szPart)
{
    XTextProperty stName = {};
    if (!XGetWMName(pDisplay, ulWindow, &stName)) {
        return false;
    }
    char** pszList = nullptr;
    int nCount = 0;
    bool bFound = false;
    if (stName.value != nullptr && XmbTextPropertyToTextList(pDisplay, &stName, &pszList, &nCount) >= Success &&
        nCount > 0 && pszList != nullptr && pszList[0] != nullptr) {
        bFound = std::strstr(pszList[0], szPart) != nullptr;
    }
    if (pszList != nullptr) {
        XFreeStringList(pszList);
    }
    if (stName.value != nullptr) {
        XFree(stName.value);
    }
    return bFound;
}

}  // namespace

CXErrorTrap::CXErrorTrap(Display* pDisplay)
    : m_pDisplay(pDisplay), m_pfnPrevious(nullptr), m_bError(false)
{
    XSync(m_pDisplay, False);  // errors of earlier requests are not ours to swallow
    m_pfnPrevious = XSetErrorHandler(&CXErrorTrap::OnError);
    g_pCurrentTrap = this;
}

CXErrorTrap::~CXErrorTrap()
{
    XSync(m_pDisplay, False);
    g_pCurrentTrap = nullptr;
    XSetErrorHandler(m_pfnPrevious);
}

bool CXErrorTrap::Sync()
{
    XSync(m_pDisplay, False);
    return m_bError;
}

int CXErrorTrap::OnError(Display* pDisplay, XErrorEvent* pstEvent)
{
    CXErrorTrap* pTrap = g_pCurrentTrap;
    if (pTrap == nullptr) {
        return 0;
    }
    if (pTrap->m_pDisplay == pDisplay) {
        pTrap->m_bError = true;
        return 0;
    }
    return pTrap->m_pfnPrevious != nullptr ? pTrap->m_pfnPrevious(pDisplay, pstEvent) : 0;
}

Window FindParentWindow(Display* pDisplay)
{
    const Window ulRoot = DefaultRootWindow(pDisplay);
    Window ulFocus = None;
    int nRevertTo = 0;
    XGetInputFocus(pDisplay, &ulFocus, &nRevertTo);
    // Without a window manager the focus is often PointerRoot: no window.
    if (ulFocus == None || ulFocus == PointerRoot) {
        return ulRoot;
    }

    CXErrorTrap trap(pDisplay);
    Window ulWindow = ulFocus;
    while (ulWindow != None && ulWindow != ulRoot) {
        Window ulTreeRoot = None;
        Window ulTreeParent = None;
        Window* pulChildren = nullptr;
        unsigned int uiChildren = 0;
        if (!XQueryTree(pDisplay, ulWindow, &ulTreeRoot, &ulTreeParent, &pulChildren, &uiChildren)) {
            break;  // the window went away: the root is the parent
        }
        if (pulChildren != nullptr) {
            XFree(pulChildren);
        }
        if (WindowTitleContains(pDisplay, ulWindow, PARENT_TITLE_PART)) {
            return ulWindow;
        }
        ulWindow = ulTreeParent;
    }
    return ulRoot;
}

void SetTransientParent(Display* pDisplay, Window ulWindow, Window ulParent)
{
    CXErrorTrap trap(pDisplay);  // the parent may have gone meanwhile
    XSetTransientForHint(pDisplay, ulWindow, ulParent);
}

bool ActivateAndGrabPointer(Display* pDisplay, Window ulWindow, Window ulParent)
{
    const Window ulRoot = DefaultRootWindow(pDisplay);
    XEvent stEvent = {};
    stEvent.xclient.type = ClientMessage;
    stEvent.xclient.window = ulWindow;
    stEvent.xclient.message_type = XInternAtom(pDisplay, "_NET_ACTIVE_WINDOW", False);
    stEvent.xclient.format = 32;
    stEvent.xclient.data.l[0] = 2;  // source: a pager, which window managers obey
    XSendEvent(pDisplay, ulRoot, False, SubstructureNotifyMask | SubstructureRedirectMask, &stEvent);
    XAllowEvents(pDisplay, AsyncBoth, CurrentTime);

    CXErrorTrap trap(pDisplay);
    const int nGrab = XGrabPointer(pDisplay, ulParent, True,
                                   ButtonPressMask | ButtonReleaseMask | EnterWindowMask | LeaveWindowMask,
                                   GrabModeAsync, GrabModeAsync, None, None, CurrentTime);
    return !trap.Sync() && nGrab == GrabSuccess;
}

void UngrabPointer(Display* pDisplay)
{
    XUngrabPointer(pDisplay, CurrentTime);
    XAllowEvents(pDisplay, AsyncBoth, CurrentTime);
    XSync(pDisplay, False);
}

}  // namespace brioui
