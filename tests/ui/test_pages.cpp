// The wizard window and its pages: construction, the button table of each
// page, putting pages into the window, and the widget helpers.
#include <cmath>

#include "gtk_test_support.h"
#include "ui/images/images.h"

namespace {

class Pages : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_DISPLAY();
        ui.create_dlg();
    }
    void TearDown() override
    {
        if (ui.m_dlgFather != nullptr) {
            gtk_widget_destroy(ui.m_dlgFather);
        }
    }
    GtkWidget* page_root(int page) const
    {
        GtkWidget* roots[] = {nullptr, ui.m_dlgWelcome, ui.m_dlgWarning, ui.m_dlgDownload, ui.m_dlgUpdate,
                              ui.m_dlgFinish};
        return roots[page];
    }
    void show(lm_ui::DLG_TYPE page)
    {
        ASSERT_EQ(ui.show_dlg(page), 0);
        ASSERT_EQ(ui.SetBtnStatus(), 0);
    }

    ProbeUi ui;
};

TEST(PagesBeforeWindow, HelpersAreSafeWithoutWidgets)
{
    lm_ui ui;
    EXPECT_EQ(ui.m_curDlgIdx, 0);
    EXPECT_EQ(ui.SetBtnStatus(), -1);
    ui.btn_set_text("a", "b", "c");
    ui.btn_display(7);
    ui.btn_sense(7);
    ui.show_widget(nullptr, 1);
    EXPECT_EQ(ui.SetProgress(nullptr, 0.5f), -1);
    EXPECT_EQ(ui.SetProgressText(nullptr, const_cast<char*>("x")), -1);
    ui.m_pdata = static_cast<char*>(malloc(16));
    ui.release_data_buf();
    EXPECT_EQ(ui.m_pdata, nullptr);
    ui.release_data_buf(); // twice is harmless
    ui.m_pdata = static_cast<char*>(malloc(16)); // freed by the destructor
}

TEST_F(Pages, WindowIsBuiltWithThreeButtonsAndNoPageYet)
{
    GtkWidget* w = ui.m_dlgFather;
    ASSERT_TRUE(GTK_IS_DIALOG(w));
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(w)), "墨川电子书升级软件");
    EXPECT_FALSE(gtk_window_get_resizable(GTK_WINDOW(w)));
    gint width = 0, height = 0;
    gtk_widget_get_size_request(w, &width, &height);
    EXPECT_EQ(width, 610);
    EXPECT_EQ(height, 400);
    GdkPixbuf* icon = gtk_window_get_icon(GTK_WINDOW(w));
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(gdk_pixbuf_get_width(icon), 48);
    EXPECT_EQ(ui.m_dlgVbox, gtk_dialog_get_content_area(GTK_DIALOG(w)));
    EXPECT_FALSE(gtk_widget_get_visible(w));

    GtkWidget* area = gtk_widget_get_parent(ui.m_btnBack);
    ASSERT_TRUE(GTK_IS_BUTTON_BOX(area));
    EXPECT_TRUE(gtk_widget_is_ancestor(area, w));
    EXPECT_EQ(gtk_button_box_get_layout(GTK_BUTTON_BOX(area)), GTK_BUTTONBOX_END);
    GtkWidget* buttons[] = {ui.m_btnBack, ui.m_btnNext, ui.m_btnCancel};
    const char* labels[] = {"上一步", "下一步", "取消"};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(GTK_IS_BUTTON(buttons[i]));
        EXPECT_EQ(gtk_widget_get_parent(buttons[i]), area);
        EXPECT_EQ(label_of(buttons[i]), labels[i]);
        EXPECT_TRUE(gtk_widget_get_can_default(buttons[i]));
    }
    for (int page = 1; page <= 5; ++page) {
        ASSERT_NE(page_root(page), nullptr);
        EXPECT_EQ(gtk_widget_get_parent(page_root(page)), nullptr) << "page " << page;
    }
    EXPECT_EQ(ui.m_curDlgIdx, 0);
    EXPECT_EQ(ui.img_update_old, ui.img_update_con_ok);
    EXPECT_EQ(gtk_widget_get_parent(ui.img_update_con_ok), ui.alg_update_con_status);
    EXPECT_EQ(gtk_widget_get_parent(ui.img_update_con_fail), nullptr);
    EXPECT_EQ(ui.m_nupdate_old_connect, 0);
}

TEST_F(Pages, EachPageHoldsItsPicturesAndTexts)
{
    struct Expect {
        int page, images;
        const char* text;
    } expects[] = {
        {1, 2, "Version: 2.0.1 build 0205"},
        {2, 3, "    2.您的电子书与电脑已连接。"},
        {3, 1, "状态:"},
        {4, 3, "警告：请确保在更新期间您的电子书设备保持与电脑连接。"},
        {5, 2, "点击“完成”退出向导。"},
    };
    for (const Expect& e : expects) {
        int images = count_children_of_type(page_root(e.page), GTK_TYPE_IMAGE);
        if (e.page == 4) {
            images += ui.img_update_con_fail != nullptr ? 1 : 0;
        }
        EXPECT_EQ(images, e.images) << "page " << e.page;
        EXPECT_NE(label_texts(page_root(e.page)).find(e.text), std::string::npos) << "page " << e.page;
    }
    EXPECT_EQ(gtk_label_get_text(GTK_LABEL(ui.m_lblWarning)), std::string());
    EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(ui.m_lblUpdate)), "点击“更新”开始更新。");
    EXPECT_TRUE(GTK_IS_PROGRESS_BAR(ui.m_prgDownload));
    EXPECT_TRUE(GTK_IS_PROGRESS_BAR(ui.m_prgUpdate));
}

TEST_F(Pages, ButtonTableOfEveryPage)
{
    struct Row {
        lm_ui::DLG_TYPE page;
        int busy; // m_downloading or m_updating
        int visible, sensitive;
        const char *back, *next, *cancel;
    } rows[] = {
        {lm_ui::DLGWELCOME, 0, 3, 3, "", "下一步", "取消"},
        {lm_ui::DLGWARN, 0, 7, 5, "上一步", "下一步", "取消"},
        {lm_ui::DLGDOWNLOAD, 0, 7, 7, "上一步", "下载", "取消"},
        {lm_ui::DLGDOWNLOAD, 1, 7, 1, "上一步", "下载", "取消"},
        {lm_ui::DLGUPDATE, 0, 3, 3, "上一步", "更新", "取消"},
        {lm_ui::DLGUPDATE, 1, 3, 0, "上一步", "更新", "取消"},
        {lm_ui::DLGFINISH, 0, 1, 1, "", "", "完成"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "page " << r.page << " busy " << r.busy);
        ui.m_downloading = r.page == lm_ui::DLGDOWNLOAD ? r.busy : 0;
        ui.m_updating = r.page == lm_ui::DLGUPDATE ? r.busy : 0;
        show(r.page);
        EXPECT_EQ(ui.m_curDlgIdx, r.page);
        EXPECT_EQ(visible_mask(ui), r.visible);
        EXPECT_EQ(sensitive_mask(ui), r.sensitive);
        EXPECT_EQ(label_of(ui.m_btnBack), r.back);
        EXPECT_EQ(label_of(ui.m_btnNext), r.next);
        EXPECT_EQ(label_of(ui.m_btnCancel), r.cancel);
        EXPECT_TRUE(gtk_widget_get_visible(ui.m_dlgFather));
    }
}

TEST_F(Pages, ShowDlgSwapsOnePageAtATimeAndRefusesNoPage)
{
    show(lm_ui::DLGWELCOME);
    for (int page : {2, 3, 4, 5, 3, 1, 1}) {
        ASSERT_EQ(ui.show_dlg(lm_ui::DLG_TYPE(page)), 0);
        for (int other = 1; other <= 5; ++other) {
            GtkWidget* parent = gtk_widget_get_parent(page_root(other));
            EXPECT_EQ(parent, other == page ? ui.m_dlgVbox : nullptr) << page << "/" << other;
        }
        EXPECT_EQ(ui.m_oldWidget, page_root(page));
    }
    ASSERT_EQ(ui.SetBtnStatus(), 0);
    int sensitive = sensitive_mask(ui), visible = visible_mask(ui);
    for (int bad : {0, 6}) {
        EXPECT_EQ(ui.show_dlg(lm_ui::DLG_TYPE(bad)), -1);
        EXPECT_EQ(ui.m_curDlgIdx, lm_ui::DLGWELCOME);
        EXPECT_EQ(ui.m_oldWidget, ui.m_dlgWelcome);
        EXPECT_EQ(gtk_widget_get_parent(ui.m_dlgWelcome), ui.m_dlgVbox);
    }
    ui.m_curDlgIdx = lm_ui::DLG_TYPE(0);
    EXPECT_EQ(ui.SetBtnStatus(), -1);
    EXPECT_EQ(sensitive_mask(ui), sensitive);
    EXPECT_EQ(visible_mask(ui), visible);
}

TEST_F(Pages, ButtonMasksSetVisibilityAndSensitivityIndependently)
{
    show(lm_ui::DLGWARN);
    ui.btn_display(3);
    EXPECT_EQ(visible_mask(ui), 3);
    ui.btn_sense(0);
    EXPECT_EQ(sensitive_mask(ui), 0);
    EXPECT_EQ(visible_mask(ui), 3);
    ui.btn_display(4);
    ui.btn_sense(5);
    EXPECT_EQ(visible_mask(ui), 4);
    EXPECT_EQ(sensitive_mask(ui), 5);
    ui.btn_set_text("", "x", nullptr);
    EXPECT_EQ(label_of(ui.m_btnBack), "");
    EXPECT_EQ(label_of(ui.m_btnNext), "x");
    EXPECT_EQ(label_of(ui.m_btnCancel), "");
}

TEST_F(Pages, SetProgressAcceptsOnlyFractionsOnProgressBars)
{
    GtkProgressBar* bar = GTK_PROGRESS_BAR(ui.m_prgDownload);
    EXPECT_EQ(ui.SetProgress(ui.m_prgDownload, 0.0f), 0);
    EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(bar), 0.0);
    EXPECT_EQ(ui.SetProgress(ui.m_prgDownload, 1.0f), 0);
    EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(bar), 1.0);
    EXPECT_EQ(ui.SetProgress(ui.m_prgDownload, 0.25f), 0);
    for (float bad : {-0.01f, 1.01f, std::nanf(""), INFINITY}) {
        EXPECT_EQ(ui.SetProgress(ui.m_prgDownload, bad), -1) << bad;
        EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(bar), 0.25);
    }
    EXPECT_EQ(ui.SetProgress(ui.m_lblDownload, 0.5f), -1);

    char text[] = "状态: 50% 已下载";
    EXPECT_EQ(ui.SetProgressText(ui.m_lblDownload, text), 0);
    EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(ui.m_lblDownload)), text);
    EXPECT_EQ(ui.SetProgressText(ui.m_prgDownload, text), -1);
}

TEST_F(Pages, CreatePixmapRefusesMissingData)
{
    EXPECT_EQ(ui.create_pixmap(nullptr), nullptr);
    EXPECT_EQ(ui.create_pixbuf(nullptr), nullptr);
    const guint8 empty[] = {0, 'd', 'k', 'P'};
    EXPECT_EQ(ui.create_pixmap(empty), nullptr);

    GtkWidget* image = ui.create_pixmap(lm_images::power);
    ASSERT_TRUE(GTK_IS_IMAGE(image));
#if GTK_CHECK_VERSION(3, 0, 0)
    // Scaled by GDK_SCALE=2: the twice-size drawing, shown at the same size.
    const char* scale = g_getenv("GDK_SCALE");
    if (scale != nullptr && g_str_equal(scale, "2")) {
        ASSERT_EQ(gtk_widget_get_scale_factor(image), 2);
        ASSERT_EQ(gtk_image_get_storage_type(GTK_IMAGE(image)), GTK_IMAGE_SURFACE);
        cairo_surface_t* surface = nullptr;
        g_object_get(image, "surface", &surface, nullptr);
        double sx = 0, sy = 0;
        cairo_surface_get_device_scale(surface, &sx, &sy);
        EXPECT_EQ(sx, 2.0);
        EXPECT_EQ(cairo_image_surface_get_width(surface), 378);
        EXPECT_EQ(cairo_image_surface_get_height(surface), 152);
        cairo_surface_destroy(surface);
        GtkRequisition natural = {0, 0};
        gtk_widget_show(image);
        gtk_widget_get_preferred_size(image, nullptr, &natural);
        EXPECT_EQ(natural.width, 189);
        EXPECT_EQ(natural.height, 76);
    } else
#endif
    {
        GdkPixbuf* pb = gtk_image_get_pixbuf(GTK_IMAGE(image));
        EXPECT_EQ(gdk_pixbuf_get_width(pb), 189);
        EXPECT_EQ(gdk_pixbuf_get_height(pb), 76);
    }
    g_object_ref_sink(image);
    gtk_widget_destroy(image);
    g_object_unref(image);
}

} // namespace
