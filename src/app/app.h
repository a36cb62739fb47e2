// The application object: owns the wizard, the network side and the device side.
#ifndef LUMORA_APP_APP_H
#define LUMORA_APP_APP_H

class lm_ui;
class lm_download;
class lm_update;
class lm_attempt;
class lm_sleep_inhibitor;

#include <cstddef>
#include <string>

class lm_app {
public:
    lm_app();
    ~lm_app();
    int init();
    int run();
    int uninit();

    lm_ui* m_pUI;
    lm_download* m_pDownload;
    lm_update* m_pUpdate;
    // What the wizard keeps between runs, and the logind inhibitor.
    lm_attempt* m_pAttempt;
    lm_sleep_inhibitor* m_pInhibitor;
    // An image file to write instead of a download, read whole (owned
    // until init hands it to the wizard); an empty path: none.
    std::string m_imagePath;
    char* m_pImageData = nullptr;
    size_t m_nImageLen = 0;
};

#endif
