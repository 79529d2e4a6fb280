#include "dialogs/DialogLibrary.h"

#include "dialogs/X11Window.h"

#include <gdk/gdkx.h>
#include <libintl.h>
#include <pthread.h>

#include <cstdarg>
#include <cstring>

namespace brioui {

const char* const TEXT_DOMAIN = "DOZUDIDOZ";

namespace {

const char* const LOCALE_DIR = "/usr/share/locale";

// One prompt at a time per process.
pthread_mutex_t g_stDialogMutex;
// gtk_init_check succeeded when the library was loaded.
bool g_bGtkStarted = false;

// The conversions of a printf format, flags and widths included, in order.
std::string FormatConversions(const char* szFormat)
{
    std::string strConversions;
    for (const char* p = szFormat; *p != '\0'; ++p) {
        if (*p != '%') {
            continue;
        }
        if (p[1] == '%') {
            ++p;
            continue;
        }
        const char* pEnd = p + 1;
        while (*pEnd != '\0' && std::strchr("diouxXeEfFgGaAcspn", *pEnd) == nullptr) {
            ++pEnd;
        }
        if (*pEnd == '\0') {
            strConversions.append(p);  // a broken conversion never matches a sound one
            break;
        }
        strConversions.append(p, pEnd + 1);
        strConversions.push_back(' ');
        p = pEnd;
    }
    return strConversions;
}

// Load-time start: GTK (which also sets the locale from the environment,
// unless the host asked GTK not to), the dialog mutex and the catalogue.  The
// catalogue is used by name, so the host's default text domain stays its own.
__attribute__((constructor)) void StartDialogLibrary()
{
    g_bGtkStarted = gtk_init_check(nullptr, nullptr) != FALSE;
    pthread_mutex_init(&g_stDialogMutex, nullptr);
    bindtextdomain(TEXT_DOMAIN, LOCALE_DIR);
    bind_textdomain_codeset(TEXT_DOMAIN, "UTF-8");
}

__attribute__((destructor)) void StopDialogLibrary()
{
    pthread_mutex_destroy(&g_stDialogMutex);
}

}  // namespace

const char* Translate(const char* szMsgId)
{
    return dcgettext(TEXT_DOMAIN, szMsgId, LC_MESSAGES);
}

std::string FormatText(const char* szFormat, ...)
{
    const char* szTranslated = Translate(szFormat);
    if (szTranslated != szFormat && FormatConversions(szTranslated) != FormatConversions(szFormat)) {
        szTranslated = szFormat;
    }
    va_list args;
    va_start(args, szFormat);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    gchar* szText = g_strdup_vprintf(szTranslated, args);
#pragma GCC diagnostic pop
    va_end(args);
    std::string strText(szText != nullptr ? szText : "");
    g_free(szText);
    return strText;
}

CPromptSession::CPromptSession() : m_pDisplay(nullptr), m_ulParentWindow(None), m_bGrabbed(false)
{
    pthread_mutex_lock(&g_stDialogMutex);
    // Without GTK or without a display nothing of GDK is touched.
    if (!g_bGtkStarted || gdk_display_get_default() == nullptr) {
        return;
    }
    m_pDisplay = XOpenDisplay(nullptr);
    if (m_pDisplay != nullptr) {
        m_ulParentWindow = FindParentWindow(m_pDisplay);
    }
}

CPromptSession::~CPromptSession()
{
    if (m_bGrabbed) {
        ReleaseGrab();
    }
    if (m_pDisplay != nullptr) {
        XCloseDisplay(m_pDisplay);
    }
    pthread_mutex_unlock(&g_stDialogMutex);
}

void CPromptSession::ShowAbove(GtkWidget* pWindow)
{
    Display* pGdkDisplay = GDK_DISPLAY_XDISPLAY(gdk_display_get_default());
    gtk_widget_realize(pWindow);
    const Window ulWindow = GDK_WINDOW_XID(gtk_widget_get_window(pWindow));
    SetTransientParent(pGdkDisplay, ulWindow, m_ulParentWindow);
    gtk_widget_show_all(pWindow);
    m_bGrabbed = ActivateAndGrabPointer(pGdkDisplay, ulWindow, m_ulParentWindow);
}

void CPromptSession::ReleaseGrab()
{
    UngrabPointer(GDK_DISPLAY_XDISPLAY(gdk_display_get_default()));
    m_bGrabbed = false;
}

void DisconnectHandlers(gpointer pvData, std::initializer_list<GtkWidget*> pWidgets)
{
    for (GtkWidget* pWidget : pWidgets) {
        if (pWidget != nullptr) {
            g_signal_handlers_disconnect_matched(pWidget, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, pvData);
        }
    }
}

void DestroyPromptWindow(GtkWidget* pWindow, gpointer pvData, std::initializer_list<GtkWidget*> pWidgets)
{
    DisconnectHandlers(pvData, pWidgets);
    DisconnectHandlers(pvData, {pWindow});
    gtk_widget_destroy(pWindow);
    g_object_unref(pWindow);
    gdk_flush();
}

GtkWidget* PlaceWidget(GtkWidget* pFixed, GtkWidget* pWidget, int nWidth, int nHeight, int nX, int nY)
{
    gtk_widget_set_size_request(pWidget, nWidth, nHeight);
    gtk_fixed_put(GTK_FIXED(pFixed), pWidget, nX, nY);
    return pWidget;
}

}  // namespace brioui
