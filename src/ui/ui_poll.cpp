// Placeholder; the status poll is being written.
#include "ui/ui.h"
void lm_ui::OnTimer(u_int32_t) {}
void lm_ui::ExecuteTimerAction() {}
int lm_ui::check_connect_status() { return -1; }
gboolean lm_ui::OnSetBtnCB(gpointer) { return FALSE; }
gboolean lm_ui::OnSetProgressCB(gpointer) { return FALSE; }
void lm_ui::OnSetProgress() {}
gboolean lm_ui::OnJumpDlgCB(gpointer) { return FALSE; }
