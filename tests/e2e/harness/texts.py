"""The wizard's own texts that the scenarios look for."""

TITLE = "墨川电子书升级软件"
QUIT_QUESTION = "您确定要退出墨川电子书升级软件吗？"
DOWNLOAD_FAILED = "对不起，下载更新文件失败，请稍候重试。"
IMAGE_DAMAGED_PART = "已损坏"
WRONG_READER = "对不起，连接的电子书与下载的更新文件不匹配，请连接原来的电子书后重试。"
STAGE_FAILED = "对不起，第%d步更新失败，请重启电子书设备并点击确定重新升级。"
STAGE_FIRST_DONE = ("第%d步更新成功，请继续,\n\n"
                    "1. 首先，请按下电子书的重置键\n"
                    "2. 请同时按下电源及菜单键，直至屏幕显示更新界面\n"
                    "   如果屏幕出现空白页面，且Lumora设备更新对话框\n"
                    "   中的红色按钮变成绿色，请跳至步骤3\n"
                    "3. 点击确定继续更新")
STAGE_DONE = ("第%d步已成功更新，请继续,\n\n"
              "1. 首先，请按下电子书的重置键\n"
              "2. 请同时按下电源及菜单键，直至屏幕显示更新界面\n"
              "3. 点击确定继续更新")
WARN_NO_READER = "警告：您的电子书设备未连接电脑"
WARN_NO_NETWORK = "警告：您到电脑未连接网络"
WARN_REFUSED = "警告：无法找到墨川电子书设备"
UPDATE_HINT = "点击“更新”开始更新。"
PRODUCT_64 = "ORVEX LUMORA64 UPDate"
PRODUCT_32 = "ORVEX LUMORA32 UPDate"
PRODUCT_REFUSED = "Kavely Tra 4303"
ALREADY_RUNNING = "墨川电子书升级软件已在运行。"
RESUME_QUESTION = ("上次的更新没有完成。点击“确定”使用已下载的更新文件继续更新，"
                   "点击“取消”重新开始。")
FILE_NOT_REGULAR = "“%s”不是普通文件，不能作为更新文件。"
WARN_TWO_READERS = "警告：请只连接一台墨川电子书设备"
PLUG_BACK = "请将正在更新的电子书插回它原来所在的USB接口。另一个USB接口上的电子书不会被写入。"
RESUME_OTHER_READER = ("注意：连接的电子书不在上次更新时所用的USB接口上，可能不是上次没有完成更新的那一台。"
                       "请只连接上次更新的电子书，并插回原来的USB接口；只有它会被写入。")

# The same texts in another language come from the built catalogue, never
# retyped here: msgid -> what the wizard shows.
FIRST_DONE_FORMAT = "第%d步更新成功，请继续,\n\n%s\n%s\n%s\n%s\n%s"
DONE_FORMAT = "第%d步已成功更新，请继续,\n\n%s\n%s\n%s"
PRESS_RESET = "1. 首先，请按下电子书的重置键"
PRESS_KEYS = "2. 请同时按下电源及菜单键，直至屏幕显示更新界面"
BLANK_PAGE = "   如果屏幕出现空白页面，且Lumora设备更新对话框"
GREEN_BUTTON = "   中的红色按钮变成绿色，请跳至步骤3"
PRESS_OK = "3. 点击确定继续更新"
DOWNLOAD_STATUS = "状态: %d%% 已下载"


def source(msgid):
    return msgid


def catalogue(language, locale_dir):
    """What the wizard shows for a message id under LANGUAGE=language: the
    translation from the compiled catalogue in locale_dir."""
    if not language:
        return source
    import gettext
    return gettext.translation("lumora-updater", locale_dir, [language]).gettext


def stage_first_done(t, step):
    return t(FIRST_DONE_FORMAT) % (step, t(PRESS_RESET), t(PRESS_KEYS), t(BLANK_PAGE),
                                   t(GREEN_BUTTON), t(PRESS_OK))


def stage_done(t, step):
    return t(DONE_FORMAT) % (step, t(PRESS_RESET), t(PRESS_KEYS), t(PRESS_OK))


def download_status_pattern(t):
    """A regular expression for the Download page's status with 1 to 99 %."""
    import re
    before, after = t(DOWNLOAD_STATUS).split("%d%%")
    return "^%s([1-9][0-9]?)%%%s$" % (re.escape(before), re.escape(after))
