// The scenario script reader: a mistyped script must stop the run with the
// line named, never drive the wizard with a step it did not mean.
#include <gtest/gtest.h>

#include "script.h"

using e2e::parse_script;
using e2e::step;
using e2e::step_kind;

TEST(DriverScript, ReadsStepsWithTheirTimeOutsAndTexts)
{
    const char* text =
        "# a comment\n"
        "\n"
        "click 下一步\n"
        "timeout 45\n"
        "expect-label \"\"\n"
        "within 150 dialog 第1步更新失败 -> ok\n"
        "dialog a -> b -> cancel\n"
        "expect-label-match ^状态: [0-9]+% 已下载$\n"
        "steady-label 3 警告：line\\none\n"
        "picture-change 402x128\n"
        "terminate 0\n"
        "expect-exit\n";
    std::vector<step> steps;
    std::string error;
    ASSERT_TRUE(parse_script(text, &steps, &error)) << error;
    ASSERT_EQ(steps.size(), 9u);

    EXPECT_EQ(steps[0].kind, step_kind::click);
    EXPECT_EQ(steps[0].text, "下一步");
    EXPECT_EQ(steps[0].timeout, 30);
    EXPECT_EQ(steps[0].line, 3);

    EXPECT_EQ(steps[1].kind, step_kind::expect_label);
    EXPECT_EQ(steps[1].text, "");
    EXPECT_EQ(steps[1].timeout, 45);

    EXPECT_EQ(steps[2].kind, step_kind::dialog);
    EXPECT_EQ(steps[2].text, "第1步更新失败");
    EXPECT_EQ(steps[2].reply, "ok");
    EXPECT_EQ(steps[2].timeout, 150);
    EXPECT_EQ(steps[3].text, "a -> b");  // the last arrow separates the answer
    EXPECT_EQ(steps[3].reply, "cancel");
    EXPECT_EQ(steps[3].timeout, 45);

    EXPECT_EQ(steps[4].text, "^状态: [0-9]+% 已下载$");
    EXPECT_EQ(steps[5].kind, step_kind::steady_label);
    EXPECT_EQ(steps[5].seconds, 3);
    EXPECT_EQ(steps[5].text, "警告：line\none");
    EXPECT_EQ(steps[6].width, 402);
    EXPECT_EQ(steps[6].height, 128);
    EXPECT_EQ(steps[7].kind, step_kind::terminate);
    EXPECT_EQ(steps[8].kind, step_kind::expect_exit);
}

TEST(DriverScript, RefusesMistakesNamingTheLine)
{
    const char* bad[][2] = {
        {"click OK\nclik 下一步\n", "line 2"},
        {"dialog 已损坏\n", "line 1"},
        {"dialog 已损坏 -> yes\n", "line 1"},
        {"\npicture-change 402\n", "line 2"},
        {"sleep soon\n", "line 1"},
        {"within x click OK\n", "line 1"},
        {"click\n", "line 1"},
        {"timeout -3\n", "line 1"},
    };
    for (const auto& c : bad) {
        std::vector<step> steps;
        std::string error;
        EXPECT_FALSE(parse_script(c[0], &steps, &error)) << c[0];
        EXPECT_NE(error.find(c[1]), std::string::npos) << c[0] << " gave: " << error;
    }
}
