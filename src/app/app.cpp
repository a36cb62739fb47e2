// The application object: creates, wires and releases the three long-lived
// objects, and runs the GTK main loop.
#include "app/app.h"

#include <gtk/gtk.h>
#include <stdlib.h>

#include "sys/sleep_inhibitor.h"
#include "net/download.h"
#include "state/attempt.h"
#include "state/state_dir.h"
#include "ui/i18n.h"
#include "ui/ui.h"
#include "usb/update.h"

lm_app::lm_app()
    : m_pUI(nullptr), m_pDownload(nullptr), m_pUpdate(nullptr), m_pAttempt(nullptr),
      m_pInhibitor(nullptr)
{
    m_pUI = new lm_ui();
    m_pDownload = new lm_download();
    m_pUpdate = new lm_update();
    m_pAttempt = new lm_attempt(lm_state_dir_open());
    m_pInhibitor = new lm_sleep_inhibitor(_("墨川电子书升级软件"),
                                          _("正在更新电子书固件，请勿休眠或关机"));
}

lm_app::~lm_app()
{
    // No destructor here uses another of the three objects, so this order
    // holds whatever state the wizard ended in.
    if (m_pUI != nullptr) {
        delete m_pUI;
        m_pUI = nullptr;
    }
    if (m_pUpdate != nullptr) {
        delete m_pUpdate;
        m_pUpdate = nullptr;
    }
    if (m_pDownload != nullptr) {
        delete m_pDownload;
        m_pDownload = nullptr;
    }
    free(m_pImageData);
    // The wizard is gone: nothing reports to these any more.
    delete m_pAttempt;
    m_pAttempt = nullptr;
    delete m_pInhibitor;
    m_pInhibitor = nullptr;
}

int lm_app::init()
{
    m_pDownload->set_data(m_pUpdate);
    m_pUI->set_data(m_pUpdate, m_pDownload);
    m_pUI->set_state(m_pAttempt, m_pInhibitor);
    m_pUI->create_dlg();
    if (!m_imagePath.empty()) {
        m_pUI->use_image_file(m_imagePath, m_pImageData, m_nImageLen);
        m_pImageData = nullptr;
    }
    // An update cut short is offered before anything else.
    if (m_pUI->OfferResume() != 0)
        m_pUI->show_first_dlg();
    return 0;
}

int lm_app::run()
{
    gtk_main();
    return 0;
}

int lm_app::uninit()
{
    // An attempt still open when the loop ended is recorded now.
    m_pUI->end_attempt();
    return 0;
}
