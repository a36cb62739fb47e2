// Placeholder; the worker is being written.
#include "ui/ui.h"
gpointer lm_ui::OnThreadCB(gpointer) { return nullptr; }
void lm_ui::DoThreadCB() {}
int lm_ui::WriteImage() { return -1; }
gboolean lm_ui::OnPopupTipDlgCB(gpointer) { return FALSE; }
void lm_ui::DoPopupTipDlgCB() {}
gboolean lm_ui::OnPopupTipErrDlgCB(gpointer) { return FALSE; }
void lm_ui::DoPopupTipErrDlgCB() {}
gboolean lm_ui::OnPopupBadImageDlgCB(gpointer) { return FALSE; }
void lm_ui::DoPopupBadImageDlgCB() {}
