// What both prompts of the dialog library share: the dialog mutex, the
// message catalogue, the per-prompt session (display connection, parent
// window, activation and pointer grab) and the teardown of a prompt window.
#pragma once

#include <gtk/gtk.h>
#include <X11/Xlib.h>

#include <initializer_list>
#include <string>

namespace brioui {

// Text domain of the library's message catalogue.
extern const char* const TEXT_DOMAIN;

// The catalogue's translation of szMsgId (szMsgId itself without one).
const char* Translate(const char* szMsgId);

// printf of the translated szFormat.  A translation whose conversions differ
// from szFormat's is not trusted with the arguments; szFormat is used instead.
std::string FormatText(const char* szFormat, ...) __attribute__((format(printf, 1, 2)));

// One prompt's hold on the library: the dialog mutex for its whole life, a
// display connection of its own for the parent search, and the parent window.
class CPromptSession {
public:
    CPromptSession();
    ~CPromptSession();
    CPromptSession(const CPromptSession&) = delete;
    CPromptSession& operator=(const CPromptSession&) = delete;

    // GTK is running and the X display could be opened: a prompt can be shown.
    bool IsReady() const { return m_pDisplay != nullptr; }
    Window GetParentWindow() const { return m_ulParentWindow; }

    // Realises pWindow, makes it transient for the parent, shows it with all
    // its children, asks the window manager to activate it and grabs the
    // pointer on the parent window.
    void ShowAbove(GtkWidget* pWindow);
    // Releases the grab of ShowAbove.
    void ReleaseGrab();

private:
    Display* m_pDisplay;
    Window m_ulParentWindow;
    bool m_bGrabbed;
};

// Disconnects the handlers that got pvData from each of pWidgets (null ones
// are skipped).
void DisconnectHandlers(gpointer pvData, std::initializer_list<GtkWidget*> pWidgets);

// Ends a prompt's window for good: disconnects the handlers that got pvData
// from the window and from each of pWidgets, so that no cancel handler runs,
// then destroys the window and drops the reference the prompt held on it.
void DestroyPromptWindow(GtkWidget* pWindow, gpointer pvData, std::initializer_list<GtkWidget*> pWidgets);

// Widget with a fixed size placed in a fixed-position container.
GtkWidget* PlaceWidget(GtkWidget* pFixed, GtkWidget* pWidget, int nWidth, int nHeight, int nX, int nY);

}  // namespace brioui
