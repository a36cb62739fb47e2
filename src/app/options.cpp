#include "app/options.h"

#include <gtk/gtk.h>

#include <cstdio>

#include "ui/i18n.h"

int lm_parse_options(int* argc, char*** argv, lm_options* out)
{
    gchar* image = nullptr;
    gchar** files = nullptr;
    gboolean version = FALSE;
    // The desktop entry passes a file as a plain argument ("Open with").
    GOptionEntry entries[] = {
        {"image", 0, 0, G_OPTION_ARG_FILENAME, &image,
         N_("写入更新文件（FILE），不从服务器下载"), N_("FILE")},
        {"version", 0, 0, G_OPTION_ARG_NONE, &version, N_("显示版本并退出"), nullptr},
        {G_OPTION_REMAINING, 0, 0, G_OPTION_ARG_FILENAME_ARRAY, &files, nullptr, nullptr},
        {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
    };
    GOptionContext* context = g_option_context_new(_("[FILE]"));
    g_option_context_set_summary(context, _("更新墨川电子书的固件。"));
    g_option_context_add_main_entries(context, entries, LM_TEXT_DOMAIN);
    g_option_context_add_group(context, gtk_get_option_group(FALSE));
    GError* error = nullptr;
    int rc = 0;
    const char* name = g_get_prgname() ? g_get_prgname() : "lumora-updater";
    if (!g_option_context_parse(context, argc, argv, &error)) {
        fprintf(stderr, "%s: %s\n", name, error->message);
        rc = 1;
    } else if ((image && files) || (files && files[0] && files[1])) {
        fprintf(stderr, "%s: %s\n", name, _("一次只能写入一个更新文件"));
        rc = 1;
    }
    if (rc != 0)
        fprintf(stderr, _("运行“%s --help”查看全部命令行选项。\n"),
                name);
    if (rc == 0) {
        out->version = version != FALSE;
        if (image)
            out->image = image;
        else if (files && files[0])
            out->image = files[0];
    }
    g_clear_error(&error);
    g_free(image);
    g_strfreev(files);
    g_option_context_free(context);
    return rc;
}
