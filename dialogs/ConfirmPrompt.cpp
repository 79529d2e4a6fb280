// The press-button confirmation prompt: a window with a picture, a message
// counting down the seconds left and a CANCEL button, shown while the
// caller's callback runs in a worker thread.
#include "dialogs/brioui.h"
#include "dialogs/DialogLibrary.h"
#include "dialogs/TouchTokenImage.h"

#include <atomic>
#include <string>
#include <thread>

namespace brioui {
namespace {

struct ConfirmKindText {
    int nKind;
    const char* szMessage;
    const char* szTitle;
};

const char* const KEY_PRESS_TITLE = "Key press confirmation";

const ConfirmKindText KIND_TEXTS[] = {
    {BRIOUI_CONFIRM_PIN_ERRORS,
     "Too many times of error PIN verification, please touch your Brio to continue in <span "
     "foreground='#FF0000'>%d</span> seconds, otherwise it will be canceled automatically.",
     KEY_PRESS_TITLE},
    {BRIOUI_CONFIRM_CHANGE_PIN,
     "You are trying to change the user PIN, please touch you Brio to continue in <span "
     "foreground='#FF0000'>%d</span> seconds, otherwise it will be canceled automatically.",
     KEY_PRESS_TITLE},
    {BRIOUI_CONFIRM_TRANSACTION,
     "Please check the transaction information carefully, and touch your Brio to continue in <span "
     "foreground='#FF0000'>%d</span> seconds, otherwise it will be canceled automatically.",
     "Transaction confirmation"},
};

const ConfirmKindText GENERAL_TEXT = {
    0,
    "Please check the operation carefully, and touch your Brio to continue in <span "
    "foreground='#FF0000'>%d</span> seconds, otherwise it will be canceled automatically.",
    KEY_PRESS_TITLE};

const ConfirmKindText& TextOfKind(int nKind)
{
    for (const ConfirmKindText& stText : KIND_TEXTS) {
        if (stText.nKind == nKind) {
            return stText;
        }
    }
    return GENERAL_TEXT;
}

class CConfirmPrompt {
public:
    explicit CConfirmPrompt(const ConfirmPromptRequest& stRequest)
        : m_stRequest(stRequest), m_stText(TextOfKind(stRequest.kind)),
          m_nCount(stRequest.timeoutSeconds > 0 ? stRequest.timeoutSeconds : BRIOUI_DEFAULT_TIMEOUT_SECONDS),
          m_uiTimerId(0), m_uiCompletionId(0), m_bCompleted(false), m_ulResult(0), m_pWindow(nullptr),
          m_pMessageLabel(nullptr), m_pCancelButton(nullptr), m_pLoop(nullptr)
    {
    }

    CConfirmPrompt(const CConfirmPrompt&) = delete;
    CConfirmPrompt& operator=(const CConfirmPrompt&) = delete;

    long Run(CPromptSession& session)
    {
        m_pLoop = g_main_loop_new(nullptr, FALSE);
        std::thread worker;
        try {
            worker = std::thread(&CConfirmPrompt::RunCallback, this);
        } catch (...) {
            g_main_loop_unref(m_pLoop);
            return BRIOUI_DIALOG_FAILED;
        }
        try {
            Build();
            m_uiTimerId = g_timeout_add(1000, &CConfirmPrompt::OnTick, this);
            session.ShowAbove(m_pWindow);
            g_main_loop_run(m_pLoop);
            session.ReleaseGrab();
        } catch (...) {
            // The callback is told to stop, so that the worker can be joined.
            SetStatus(static_cast<unsigned long>(BRIOUI_CANCELLED));
            Finish(worker);
            throw;
        }
        Finish(worker);
        return static_cast<long>(m_ulResult);
    }

private:
    // The loop has ended, normally through the worker's completion, or when
    // the window was destroyed under the prompt; then the callback is still
    // to be waited for and its completion may be left queued.
    void Finish(std::thread& worker)
    {
        StopTimer();
        worker.join();
        if (!m_bCompleted && m_uiCompletionId != 0) {
            g_source_remove(m_uiCompletionId);
        }
        if (m_pWindow != nullptr) {
            DestroyPromptWindow(m_pWindow, this, {m_pCancelButton});
        }
        g_main_loop_unref(m_pLoop);
    }

    void Build()
    {
        m_pWindow = gtk_dialog_new();
        g_object_ref(m_pWindow);  // stays ours until DestroyPromptWindow, even if destroyed early
        GdkColor stWhite = {0, 0xFFFF, 0xFFFF, 0xFFFF};
        gtk_widget_modify_bg(m_pWindow, GTK_STATE_NORMAL, &stWhite);
        gtk_window_set_position(GTK_WINDOW(m_pWindow), GTK_WIN_POS_CENTER_ALWAYS);
        gtk_window_set_keep_above(GTK_WINDOW(m_pWindow), TRUE);
        gtk_window_set_decorated(GTK_WINDOW(m_pWindow), FALSE);
        gtk_window_set_title(GTK_WINDOW(m_pWindow), Translate(m_stText.szTitle));

        GtkWidget* pFixed = gtk_fixed_new();
        gtk_widget_set_size_request(pFixed, 360, 400);
        gtk_container_add(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(m_pWindow))), pFixed);

        // The inline-pixbuf loader is deprecated in GdkPixbuf but is GTK+ 2's way
        // of building pictures into a library.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        GdkPixbuf* pPicture = gdk_pixbuf_new_from_inline(-1, g_abTouchTokenImage, TRUE, nullptr);
#pragma GCC diagnostic pop
        PlaceWidget(pFixed, gtk_image_new_from_pixbuf(pPicture), 360, 260, 0, 0);
        if (pPicture != nullptr) {
            g_object_unref(pPicture);
        }

        m_pMessageLabel = PlaceWidget(pFixed, gtk_label_new(nullptr), 350, 94, 5, 265);
        gtk_widget_set_name(m_pMessageLabel, "message-label");
        gtk_label_set_line_wrap(GTK_LABEL(m_pMessageLabel), TRUE);
        ShowCount();

        m_pCancelButton = PlaceWidget(pFixed, gtk_button_new_with_label(Translate("CANCEL")), 120, 32, 120, 365);
        gtk_widget_set_name(m_pCancelButton, "cancel-button");

        g_signal_connect(m_pCancelButton, "clicked", G_CALLBACK(&CConfirmPrompt::OnCancelClicked), this);
        g_signal_connect(m_pWindow, "delete-event", G_CALLBACK(&CConfirmPrompt::OnDeleteEvent), this);
        g_signal_connect(m_pWindow, "destroy", G_CALLBACK(&CConfirmPrompt::OnDestroy), this);
    }

    void ShowCount()
    {
        if (m_pMessageLabel == nullptr) {
            return;
        }
        const std::string strMessage = FormatText(m_stText.szMessage, m_nCount);
        gtk_label_set_markup(GTK_LABEL(m_pMessageLabel), strMessage.c_str());
    }

    // The status word is read by the callback in the worker thread.
    void SetStatus(unsigned long ulStatus)
    {
        if (m_stRequest.status != nullptr) {
            __atomic_store_n(m_stRequest.status, ulStatus, __ATOMIC_SEQ_CST);
        }
    }

    void StopTimer()
    {
        if (m_uiTimerId != 0) {
            g_source_remove(m_uiTimerId);
            m_uiTimerId = 0;
        }
    }

    void Cancel()
    {
        SetStatus(static_cast<unsigned long>(BRIOUI_CANCELLED));
        gtk_widget_hide(m_pWindow);
    }

    // Worker thread: the callback only; its completion goes to the loop.
    void RunCallback()
    {
        m_ulResult = m_stRequest.callback(m_stRequest.context, m_stRequest.param);
        m_uiCompletionId = g_idle_add(&CConfirmPrompt::OnCallbackDone, this);
    }

    static gboolean OnCallbackDone(gpointer pvPrompt)
    {
        CConfirmPrompt* pPrompt = static_cast<CConfirmPrompt*>(pvPrompt);
        pPrompt->m_bCompleted = true;
        pPrompt->StopTimer();
        gtk_widget_hide(pPrompt->m_pWindow);
        g_main_loop_quit(pPrompt->m_pLoop);
        return FALSE;
    }

    static gboolean OnTick(gpointer pvPrompt)
    {
        CConfirmPrompt* pPrompt = static_cast<CConfirmPrompt*>(pvPrompt);
        pPrompt->ShowCount();
        if (pPrompt->m_nCount <= 0) {
            pPrompt->SetStatus(static_cast<unsigned long>(BRIOUI_TIMED_OUT));
            gtk_widget_hide(pPrompt->m_pWindow);
            pPrompt->m_uiTimerId = 0;
            return FALSE;
        }
        --pPrompt->m_nCount;
        return TRUE;
    }

    static void OnCancelClicked(GtkButton*, gpointer pvPrompt) { static_cast<CConfirmPrompt*>(pvPrompt)->Cancel(); }

    // Escape or a close request: the same as CANCEL; the window is kept.
    static gboolean OnDeleteEvent(GtkWidget*, GdkEvent*, gpointer pvPrompt)
    {
        static_cast<CConfirmPrompt*>(pvPrompt)->Cancel();
        return TRUE;
    }

    // Somebody else destroyed the window: cancel, so that the callback ends,
    // and leave the loop.
    static void OnDestroy(GtkWidget*, gpointer pvPrompt)
    {
        CConfirmPrompt* pPrompt = static_cast<CConfirmPrompt*>(pvPrompt);
        DisconnectHandlers(pPrompt, {pPrompt->m_pCancelButton});
        pPrompt->m_pCancelButton = pPrompt->m_pMessageLabel = nullptr;
        pPrompt->StopTimer();
        pPrompt->SetStatus(static_cast<unsigned long>(BRIOUI_CANCELLED));
        g_main_loop_quit(pPrompt->m_pLoop);
    }

    const ConfirmPromptRequest& m_stRequest;
    const ConfirmKindText& m_stText;
    int m_nCount;
    guint m_uiTimerId;
    guint m_uiCompletionId;  // written by the worker, read after it is joined
    bool m_bCompleted;
    unsigned long m_ulResult;  // written by the worker, read after it is joined
    GtkWidget* m_pWindow;
    GtkWidget* m_pMessageLabel;
    GtkWidget* m_pCancelButton;
    GMainLoop* m_pLoop;
};

}  // namespace
}  // namespace brioui

extern "C" __attribute__((visibility("default"))) long ShowConfirmationPrompt(const ConfirmPromptRequest* pstRequest)
{
    if (pstRequest == nullptr || pstRequest->callback == nullptr) {
        return BRIOUI_DIALOG_FAILED;
    }
    try {
        brioui::CPromptSession session;
        if (!session.IsReady()) {
            return BRIOUI_DIALOG_FAILED;
        }
        brioui::CConfirmPrompt prompt(*pstRequest);
        return prompt.Run(session);
    } catch (...) {
        return BRIOUI_DIALOG_FAILED;
    }
}
