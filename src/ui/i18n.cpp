#include "ui/i18n.h"

#include <limits.h>
#include <locale.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// share/locale under the program's own prefix, found from where the
// program lies: the installed tree and the build tree alike. The folder
// compiled in serves when the program's path cannot be read.
std::string catalogue_folder()
{
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0)
        return LUMORA_LOCALEDIR;
    self[n] = '\0';
    char* slash = strrchr(self, '/');
    if (!slash)
        return LUMORA_LOCALEDIR;
    slash[1] = '\0';
    std::string folder = std::string(self) + LUMORA_LOCALE_FROM_BINDIR;
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return LUMORA_LOCALEDIR;
    return folder;
}

} // namespace

void lm_i18n_init(const char* folder)
{
    setlocale(LC_ALL, "");
    bindtextdomain(LM_TEXT_DOMAIN, folder ? folder : catalogue_folder().c_str());
    bind_textdomain_codeset(LM_TEXT_DOMAIN, "UTF-8");
    textdomain(LM_TEXT_DOMAIN);
}

std::string lm_catalogue_language()
{
    // The empty id is the catalogue's header; with no catalogue it stays "".
    const char* header = dgettext(LM_TEXT_DOMAIN, "");
    const char* field = strstr(header, "Language: ");
    if (!field)
        return "";
    field += strlen("Language: ");
    return std::string(field, strcspn(field, "\n"));
}
