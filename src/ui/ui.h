// The wizard controller: window, five pages, navigation, status poll, worker.
#ifndef LUMORA_UI_UI_H
#define LUMORA_UI_UI_H

#include <gtk/gtk.h>

#include <string>

#include "ui/utils.h"

class lm_update;
class lm_download;
class lm_attempt;
class lm_sleep_inhibitor;
class lm_warning_check;
struct lm_check_result;

class lm_ui : public CMyTimer {
public:
    enum DLG_TYPE {
        DLGWELCOME = 1,
        DLGWARN = 2,
        DLGDOWNLOAD = 3,
        DLGUPDATE = 4,
        DLGFINISH = 5,
    };

    // What the flash may do, in m_nWriteState: nothing is being written,
    // a stage is being written, or a confirmed quit forbids any new write.
    enum WRITE_STATE {
        WRITE_IDLE = 0,
        WRITE_RUNNING = 1,
        WRITE_QUIT = 2,
        // A quit was confirmed while a stage was being written: the worker
        // carries it out as soon as the write has ended.
        WRITE_QUIT_AFTER = 3,
    };

    lm_ui();
    virtual ~lm_ui();
    void OnTimer(u_int32_t timer_id) override;

    void set_data(lm_update* pUpdate, lm_download* pDownload)
    {
        m_pUpdate = pUpdate;
        m_pDownload = pDownload;
    }
    int show_first_dlg()
    {
        m_oldDlgIdx = DLGWELCOME;
        int ret = show_dlg(DLGWELCOME);
        SetBtnStatus();
        return ret;
    }

    // Window and pages (ui.cpp)
    void release_data_buf();
    int create_dlg();
    GtkWidget* create_father_dlg();
    GtkWidget* create_welcome_dlg();
    GtkWidget* create_dlg_warning();
    GtkWidget* create_dlg_download();
    GtkWidget* create_dlg_update();
    GtkWidget* create_dlg_finish();
    GdkPixbuf* create_pixbuf(const guint8* data);
    GtkWidget* create_pixmap(const guint8* data);
    void btn_set_text(const char* back, const char* next, const char* cancel);
    void btn_display(int mask);
    void show_widget(GtkWidget* w, int show);
    void btn_sense(int mask);
    int SetProgress(GtkWidget* w, float pos);
    int SetProgressText(GtkWidget* w, char* text);
    void show_update_hint();
    int show_dlg(DLG_TYPE page);
    int SetBtnStatus();

    // Navigation (ui_nav.cpp)
    static void OnBtnBack(GtkButton* button, gpointer data);
    static void OnBtnNext(GtkButton* button, gpointer data);
    static void OnBtnCancel(GtkButton* button, gpointer data);
    static gboolean OnDeleteEvent(GtkWidget* widget, GdkEvent* event, gpointer data);
    void DoBtnNext();
    void DoBtnPrev();
    void DoBtnCancel();
    int FinalCancelConfirm();
    int redirect_to_dlg();
    int redirect_to_prev_dlg();
    int show_next_dlg();
    int show_prev_dlg();
    void ClearDlgEvent(DLG_TYPE page);
    int StartWorker();
    void start_page_events(bool poll_idle_download);
    void OnStartWorkerFailed();
    bool defer_while_asking(GSourceFunc dialog_cb);
    void run_deferred_dialog();

    // Status poll (ui_poll.cpp)
    void ExecuteTimerAction();
    bool came_back_renumbered();
    // Starts the Warning page's network and reader check on its own thread
    // (ui_check.cpp): 0 started, -1 not (another check still runs).
    int start_connect_check();
    static void OnCheckDone(void* owner, const lm_check_result& result);
    // Lets go of a running check: its result will never be shown.
    void abandon_connect_check();
    static gboolean OnSetBtnCB(gpointer data);
    static gboolean OnSetProgressCB(gpointer data);
    void OnSetProgress();
    static gboolean OnJumpDlgCB(gpointer data);

    // Worker (ui_worker.cpp)
    static gpointer OnThreadCB(gpointer arg);
    void DoThreadCB();
    int WriteImage();
    static gboolean OnPopupTipDlgCB(gpointer pArg);
    void DoPopupTipDlgCB();
    static gboolean OnPopupTipErrDlgCB(gpointer parg);
    void DoPopupTipErrDlgCB();
    static gboolean OnPopupBadImageDlgCB(gpointer parg);
    void DoPopupBadImageDlgCB();
    static gboolean OnPopupWrongReaderDlgCB(gpointer parg);
    void DoPopupWrongReaderDlgCB();
    void DoStageChainEnd();
    int wait_for_reader();

    // Fields. Those the worker and the main thread share are plain ints
    // read and written with g_atomic_int_get/g_atomic_int_set.
    GtkWidget* m_dlgFather;
    GtkWidget* m_dlgWelcome;
    GtkWidget* m_dlgWarning;
    GtkWidget* m_dlgDownload;
    GtkWidget* m_dlgUpdate;
    GtkWidget* m_dlgFinish;
    GtkWidget* m_oldWidget;
    GtkWidget* m_dlgVbox;
    GtkWidget* alg_update_con_status;
    GtkWidget* img_update_con_ok;
    GtkWidget* img_update_con_fail;
    GtkWidget* img_update_old;
    GtkWidget* m_lblWarning;
    int m_nupdate_old_connect;
    GtkWidget* m_btnBack;
    GtkWidget* m_btnNext;
    GtkWidget* m_btnCancel;
    GtkWidget* m_prgDownload;
    GtkWidget* m_prgUpdate;
    GtkWidget* m_lblDownload;
    GtkWidget* m_lblUpdate;
    GThread* m_pThread;
    int m_nEventID;
    DLG_TYPE m_curDlgIdx;
    DLG_TYPE m_oldDlgIdx;
    lm_download* m_pDownload;
    lm_update* m_pUpdate;
    char* m_pdata;
    int m_nBufLen;
    int m_nCancel;
    int m_downComplete;
    int m_downloading;
    int m_upComplete;
    int m_updating;
    int m_stageRetval;
    int m_nstage_idx;
    int m_nstage_idx_view;
    int m_ndev_con;
    int m_nnet_con;
    int m_downError;
    int m_lumora_bufsize;
    int m_nStageEnd;
    int m_nFreshBegin;
    int m_nFreshEnd;
    // The reader's address when the stage's write began: seen at another
    // address, the reader has left and come back, however briefly.
    int m_nStageAddress;

    // 1 while a stage worker waits for the reader (to be attached, or to
    // come back after a stage); Cancel is sensitive then and a confirmed
    // Cancel ends the wait.
    int m_nWaitDevice;
    // Bit k set once stage k has been written and the reader came back.
    int m_nWrittenStages;
    // 1 once a stage of the current image has been sent to the reader.
    int m_nWriteTried;
    // A WRITE_STATE; the worker and a confirmed quit each claim it from
    // WRITE_IDLE with one compare-and-exchange, so a quit never waits for
    // a write and a write never begins after a quit.
    int m_nWriteState;

    // Main thread only: 1 while the quit question is open; a worker's
    // dialog that comes meanwhile waits in m_pDeferredDlg until it is answered.
    int m_bAsking;
    GSourceFunc m_pDeferredDlg;

    // What outlives the program and what keeps the computer awake
    // (ui_resume.cpp). Both pointers may be null: nothing is kept then.
    void set_state(lm_attempt* pAttempt, lm_sleep_inhibitor* pInhibitor)
    {
        m_pAttempt = pAttempt;
        m_pInhibitor = pInhibitor;
    }
    // At start, before the Welcome page: offers to finish an update cut
    // short. 0 when the user took it up and the Update page is shown.
    int OfferResume();
    void begin_attempt();
    void end_attempt();
    void note_error(const char* text);
    void after_page_move();
    // Main thread only: holds the inhibitor while work runs, else lets go.
    void keep_awake(bool on);
    static gboolean OnQuitAfterWriteCB(gpointer data);
    void quit_now();

    lm_attempt* m_pAttempt = nullptr;
    lm_sleep_inhibitor* m_pInhibitor = nullptr;
    // Main thread only: failed tries of the stage in a row; the second
    // leaves the Update page idle instead of trying once more.
    int m_nStageFailures = 0;
    // Main thread only: the Warning page's check while it runs (timer 200 is
    // off meanwhile), and 1 while its result waits for OnSetBtnCB, which
    // re-arms the timer once the result is shown.
    lm_warning_check* m_pCheck;
    int m_nCheckShown;

    // Screen readers and the keyboard (ui_a11y.cpp). Main thread only:
    // the page keep_default_button last ran on; on a new page the default
    // button takes the focus.
    void expose_accessibility();
    GtkWidget* default_button() const;
    void keep_default_button();
    void present_page();
    // Has a screen reader speak `text` now (a warning, a status).
    void announce(const char* text);
    static void OnSetFocus(GtkWindow* window, GtkWidget* widget, gpointer data);
    static void OnActiveChanged(GObject* window, GParamSpec* pspec, gpointer data);
    int m_nFocusPage = 0;
    // Main thread only: what a screen reader follows (ui_a11y.cpp).
    GtkWidget* m_pReaderAt = nullptr;

    // The reader the update follows (ui_poll.cpp). Main thread only: the
    // readers in update mode the last Warning-page check saw, and where the
    // one it found is plugged in; leaving the Warning page forward makes it
    // the reader that every later look accepts.
    void follow_checked_reader();
    void show_reader_elsewhere(bool elsewhere);
    int m_nReaders = 0;
    std::string m_checkPort;
    std::string m_checkSerial;
    // On the Update page: readers attached other than the one followed,
    // as the last look that missed it found them.
    int m_nOtherReaders = 0;
    // 1 while the Update page asks for the reader to be plugged back in
    // where it was, because only another reader is attached.
    int m_nElsewhereShown = 0;

    // An image file the user brought instead of a download (ui_file.cpp):
    // the Warning page checks only the reader, the Download page names the
    // file and moves on without downloading; from the Update page on it is
    // an update like any other. The bytes stay for the wizard's life, each
    // "下一步" on the Download page takes a fresh copy as the image.
    enum { LM_FILE_DAMAGED = -3, LM_FILE_WRONG_READER = -4 };
    void use_image_file(const std::string& path, char* data, size_t len);
    bool image_from_file() const { return !m_imagePath.empty(); }
    void show_image_file();
    int take_image_file();
    std::string m_imagePath;
    char* m_pFileData = nullptr;
    int m_nFileLen = 0;
    std::string m_fileSha256;
    GtkWidget* m_lblWarningList = nullptr;
};

#endif
