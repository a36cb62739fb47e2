// The wizard's texts go through gettext in the domain "lumora-updater".
// The Simplified Chinese texts are the message ids: without a catalogue
// for the user's language they are shown as they are.
#ifndef LUMORA_UI_I18N_H
#define LUMORA_UI_I18N_H

#include <libintl.h>

#include <string>

#define LM_TEXT_DOMAIN "lumora-updater"
#define _(text) dgettext(LM_TEXT_DOMAIN, text)
// Marks a text for the catalogue where it is defined; _() translates it
// where it is shown. No parentheses: it also initialises char arrays.
#define N_(text) text

// Takes the locale from the environment and binds the domain to the
// catalogues in `folder`, by default those beside the program (share/locale
// under its prefix).
void lm_i18n_init(const char* folder = nullptr);

// The language of the catalogue that translates the wizard's texts ("en",
// "zh_TW"), or "" when there is none and the message ids show.
std::string lm_catalogue_language();

#endif
