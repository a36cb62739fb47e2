// An update from an image file the user already has, for when the update
// server cannot be reached: the same pages and checks as for a download.
#include <stdlib.h>
#include <string.h>

#include "net/download.h"
#include "state/attempt.h"
#include "state/sha256.h"
#include "ui/i18n.h"
#include "ui/ui.h"
#include "usb/image.h"
#include "usb/update.h"

namespace {

const char kWarningListForFile[] =
    N_("在更新之前，请确认\n\n"
       "    1.您的电子书与电脑已连接。\n"
       "    2.您的电子书正处于更新模式下。（请先按下重置键，然后同时按下开机\n"
       "按键及菜单按键直到电子书的屏幕上显示更新界面。）\n\n"
       "更新文件已在电脑上，无需连接互联网。");
// TRANSLATORS: the file's path, its size in bytes, and its SHA-256 in hex.
const char kFileFormat[] = N_("更新文件：%s\n大小：%s 字节\nSHA-256：%s");

}  // namespace

// Main thread, before the first page: the file has been read whole.
void lm_ui::use_image_file(const std::string& path, char* data, size_t len)
{
    free(m_pFileData);
    m_imagePath = path;
    m_pFileData = data;
    m_nFileLen = static_cast<int>(len);
    m_fileSha256 = lm_sha256_hex(data, len);
    if (m_lblWarningList && GTK_IS_LABEL(m_lblWarningList))
        gtk_label_set_text(GTK_LABEL(m_lblWarningList), _(kWarningListForFile));
    show_image_file();
}

// The Download page names the file, so that its sum can be compared with
// a published one before anything is written.
void lm_ui::show_image_file()
{
    if (!image_from_file())
        return;
    gchar* shown = g_filename_display_name(m_imagePath.c_str());
    gchar* size = g_strdup_printf("%d", m_nFileLen);
    gchar* text = g_strdup_printf(_(kFileFormat), shown, size, m_fileSha256.c_str());
    SetProgressText(m_lblDownload, text);
    g_free(text);
    g_free(size);
    g_free(shown);
}

// On the worker, where a download would run: the file becomes the image
// for the attached reader's variant once it passes the checks a
// downloaded image passes before its first write. 0, LM_FILE_DAMAGED, or
// LM_FILE_WRONG_READER (no reader, or one of another variant than the
// history knows the image for).
int lm_ui::take_image_file()
{
    if (!m_pUpdate || !m_pDownload || !m_pFileData)
        return LM_FILE_WRONG_READER;
    int variant = m_pUpdate->get_device_connect_status() == 0 ? m_pUpdate->get_lumora_buffer_size() : -1;
    if (variant != 64 && variant != 32)
        return LM_FILE_WRONG_READER;
    m_pDownload->m_dev_ver = variant;
    int known = m_pAttempt ? m_pAttempt->known_variant(m_fileSha256) : -1;
    if (known > 0 && known != variant)
        return LM_FILE_WRONG_READER;
    lm_stage_plan plan;
    if (lm_read_stage_plan(m_pFileData, m_nFileLen, variant, &plan) != 0 || plan.stagenum == 0)
        return LM_FILE_DAMAGED;
    char* copy = static_cast<char*>(malloc(m_nFileLen > 0 ? m_nFileLen : 1));
    if (!copy)
        return LM_FILE_DAMAGED;
    memcpy(copy, m_pFileData, m_nFileLen);
    free(m_pdata);
    m_pdata = copy;
    return 0;
}
