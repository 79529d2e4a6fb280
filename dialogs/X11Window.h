// Xlib side of the prompts: finding the window a prompt belongs to, the
// transient hint, the window manager's activation and the pointer grab.
#pragma once

#include <X11/Xlib.h>

namespace brioui {

// Swallows the X errors of one display connection while it lives, so that a
// window that vanished (or a focus value that is no window) cannot end the
// host process through the default error handler.  Errors of every other
// connection go on to the handler that was installed before.
class CXErrorTrap {
public:
    explicit CXErrorTrap(Display* pDisplay);
    ~CXErrorTrap();
    CXErrorTrap(const CXErrorTrap&) = delete;
    CXErrorTrap& operator=(const CXErrorTrap&) = delete;

    // Waits for the server's answers so far; true when one of them was an error.
    bool Sync();

private:
    static int OnError(Display* pDisplay, XErrorEvent* pstEvent);

    Display* m_pDisplay;
    int (*m_pfnPrevious)(Display*, XErrorEvent*);
    bool m_bError;
};

// The window whose title names the browser, from the focus window upward, or
// the root window when there is no focus or no such window.
Window FindParentWindow(Display* pDisplay);

// Sets ulParent as WM_TRANSIENT_FOR of ulWindow.
void SetTransientParent(Display* pDisplay, Window ulWindow, Window ulParent);

// Asks the window manager to activate ulWindow (_NET_ACTIVE_WINDOW) and grabs
// the pointer on ulParent; true when the grab was taken.
bool ActivateAndGrabPointer(Display* pDisplay, Window ulWindow, Window ulParent);

// Releases the pointer grab and waits until the server has done so.
void UngrabPointer(Display* pDisplay);

}  // namespace brioui
