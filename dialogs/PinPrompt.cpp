// The PIN prompt: a modal dialog with a password entry that accepts a PIN
// of minLen to maxLen bytes, showing the token's remaining retry count.
#include "dialogs/brioui.h"
#include "dialogs/DialogLibrary.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace brioui {
namespace {

class CPinPrompt {
public:
    CPinPrompt(int nRetriesLeft, int nMinLen, int nMaxLen)
        : m_nRetriesLeft(nRetriesLeft), m_nMinLen(nMinLen), m_nMaxLen(nMaxLen), m_abPin(), m_ulPinLen(0),
          m_lResult(BRIOUI_CANCELLED), m_pDialog(nullptr), m_pEntry(nullptr), m_pTipLabel(nullptr),
          m_pOkButton(nullptr), m_pCancelButton(nullptr), m_pLoop(nullptr)
    {
    }

    ~CPinPrompt() { ClearPin(); }

    CPinPrompt(const CPinPrompt&) = delete;
    CPinPrompt& operator=(const CPinPrompt&) = delete;

    long Run(CPromptSession& session, char* szOut)
    {
        m_pLoop = g_main_loop_new(nullptr, FALSE);
        Build();
        session.ShowAbove(m_pDialog);
        g_main_loop_run(m_pLoop);
        session.ReleaseGrab();
        if (m_lResult == 0) {
            std::memcpy(szOut, m_abPin, m_ulPinLen);
        }
        ClearPin();
        if (m_pEntry != nullptr) {
            gtk_entry_set_text(GTK_ENTRY(m_pEntry), "");  // the entry wipes its old text
        }
        DestroyPromptWindow(m_pDialog, this, {m_pOkButton, m_pCancelButton});
        g_main_loop_unref(m_pLoop);
        return m_lResult;
    }

private:
    void Build()
    {
        m_pDialog = gtk_dialog_new();
        g_object_ref(m_pDialog);  // stays ours until DestroyPromptWindow, even if destroyed early
        gtk_window_set_title(GTK_WINDOW(m_pDialog), Translate("Verify PIN"));
        gtk_widget_set_size_request(m_pDialog, 360, 140);
        gtk_window_set_deletable(GTK_WINDOW(m_pDialog), FALSE);
        gtk_window_set_resizable(GTK_WINDOW(m_pDialog), FALSE);
        gtk_window_set_modal(GTK_WINDOW(m_pDialog), TRUE);

        GtkWidget* pFixed = gtk_fixed_new();
        gtk_container_add(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(m_pDialog))), pFixed);

        GtkWidget* pPinLabel = PlaceWidget(pFixed, gtk_label_new(Translate("User PIN:")), 100, 32, 17, 10);
        gtk_label_set_line_wrap(GTK_LABEL(pPinLabel), TRUE);
        gtk_label_set_justify(GTK_LABEL(pPinLabel), GTK_JUSTIFY_RIGHT);

        m_pEntry = PlaceWidget(pFixed, gtk_entry_new(), 240, 32, 97, 10);
        gtk_widget_set_name(m_pEntry, "pin-entry");
        gtk_entry_set_max_length(GTK_ENTRY(m_pEntry), BRIOUI_MAX_PIN_LEN);
        gtk_entry_set_visibility(GTK_ENTRY(m_pEntry), FALSE);

        m_pTipLabel = PlaceWidget(pFixed, gtk_label_new(nullptr), 340, 60, 17, 42);
        gtk_widget_set_name(m_pTipLabel, "tip-label");
        gtk_label_set_line_wrap(GTK_LABEL(m_pTipLabel), TRUE);
        const std::string strTip = FormatText(
            "<span foreground='#0000FF'>TIPS: PIN length is %d ~ %d bytes.</span>\nPIN left retry times: %d",
            m_nMinLen, m_nMaxLen, m_nRetriesLeft);
        gtk_label_set_markup(GTK_LABEL(m_pTipLabel), strTip.c_str());

        m_pOkButton = PlaceWidget(pFixed, gtk_button_new_with_label(Translate("OK")), 120, 32, 50, 100);
        gtk_widget_set_name(m_pOkButton, "ok-button");
        m_pCancelButton = PlaceWidget(pFixed, gtk_button_new_with_label(Translate("CANCEL")), 120, 32, 190, 100);
        gtk_widget_set_name(m_pCancelButton, "cancel-button");

        gtk_widget_grab_focus(m_pEntry);

        g_signal_connect(m_pOkButton, "clicked", G_CALLBACK(&CPinPrompt::OnOkClicked), this);
        g_signal_connect(m_pCancelButton, "clicked", G_CALLBACK(&CPinPrompt::OnCancelClicked), this);
        g_signal_connect(m_pDialog, "destroy", G_CALLBACK(&CPinPrompt::OnDestroy), this);
        g_signal_connect(m_pDialog, "delete-event", G_CALLBACK(&CPinPrompt::OnDeleteEvent), this);
    }

    void ClearPin()
    {
        volatile unsigned char* pbPin = m_abPin;
        for (size_t i = 0; i < sizeof(m_abPin); ++i) {
            pbPin[i] = 0;
        }
        m_ulPinLen = 0;
    }

    void Accept()
    {
        ClearPin();
        const char* szText = gtk_entry_get_text(GTK_ENTRY(m_pEntry));
        // The limits are in bytes: multibyte characters count for each byte.
        const size_t ulLen = std::strlen(szText);
        if (ulLen < static_cast<size_t>(m_nMinLen) || ulLen > static_cast<size_t>(m_nMaxLen)) {
            const std::string strError = FormatText(
                "<span foreground='#FF0000'>ERROR: The PIN length must be %d ~ %d bytes. Please re-enter.</span>",
                m_nMinLen, m_nMaxLen);
            gtk_label_set_markup(GTK_LABEL(m_pTipLabel), strError.c_str());
            gtk_entry_set_text(GTK_ENTRY(m_pEntry), "");
            gtk_widget_grab_focus(m_pEntry);
            return;
        }
        std::memcpy(m_abPin, szText, ulLen);  // ulLen <= m_nMaxLen <= sizeof(m_abPin)
        m_ulPinLen = ulLen;
        Finish(0);
    }

    void Finish(long lResult)
    {
        m_lResult = lResult;
        gtk_widget_hide(m_pDialog);
        g_main_loop_quit(m_pLoop);
    }

    static void OnOkClicked(GtkButton*, gpointer pvPrompt) { static_cast<CPinPrompt*>(pvPrompt)->Accept(); }

    static void OnCancelClicked(GtkButton*, gpointer pvPrompt)
    {
        static_cast<CPinPrompt*>(pvPrompt)->Finish(BRIOUI_CANCELLED);
    }

    // Somebody else destroyed the dialog: its children go with it.
    static void OnDestroy(GtkWidget*, gpointer pvPrompt)
    {
        CPinPrompt* pPrompt = static_cast<CPinPrompt*>(pvPrompt);
        DisconnectHandlers(pPrompt, {pPrompt->m_pOkButton, pPrompt->m_pCancelButton});
        pPrompt->m_pEntry = pPrompt->m_pTipLabel = pPrompt->m_pOkButton = pPrompt->m_pCancelButton = nullptr;
        pPrompt->Finish(BRIOUI_CANCELLED);
    }

    // Closing the window, Escape included, cancels; the window is kept.
    static gboolean OnDeleteEvent(GtkWidget*, GdkEvent*, gpointer pvPrompt)
    {
        static_cast<CPinPrompt*>(pvPrompt)->Finish(BRIOUI_CANCELLED);
        return TRUE;
    }

    const int m_nRetriesLeft;
    const int m_nMinLen;
    const int m_nMaxLen;
    unsigned char m_abPin[BRIOUI_MAX_PIN_LEN];
    size_t m_ulPinLen;
    long m_lResult;
    GtkWidget* m_pDialog;
    GtkWidget* m_pEntry;
    GtkWidget* m_pTipLabel;
    GtkWidget* m_pOkButton;
    GtkWidget* m_pCancelButton;
    GMainLoop* m_pLoop;
};

}  // namespace
}  // namespace brioui

extern "C" __attribute__((visibility("default"))) long GetUserPIN(void* /*pvReserved*/, int nRetriesLeft, int nMinLen,
                                                                   int nMaxLen, char* szOut)
{
    const int nEffectiveMax = std::min(nMaxLen, BRIOUI_MAX_PIN_LEN);
    const int nEffectiveMin = std::max(nMinLen, 0);
    if (szOut == nullptr || nEffectiveMax < 1 || nEffectiveMin > nEffectiveMax) {
        return BRIOUI_DIALOG_FAILED;
    }
    try {
        brioui::CPromptSession session;
        if (!session.IsReady()) {
            return BRIOUI_DIALOG_FAILED;
        }
        brioui::CPinPrompt prompt(nRetriesLeft, nEffectiveMin, nEffectiveMax);
        return prompt.Run(session, szOut);
    } catch (...) {
        return BRIOUI_DIALOG_FAILED;
    }
}
