#!/usr/bin/env python3
"""What a blind user hears from Orca (orca_session.py) through the keyboard's
whole update: each page's texts in order and once, its focused button with its
role; each dialog by the wizard's title; the download's status, then its end.

  spoken.py TOOLS... [--language LANG --locale-dir DIR]   (TOOLS as scenarios.py)"""
import os
import re
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import scenarios as S  # noqa: E402
import texts as T  # noqa: E402
from orca_session import spoken_lines  # noqa: E402

ROLE = " push button"
# Each page's focused button and its texts in the order shown.
PAGES = {
    "welcome": ["下一步", "Version: 2.0.1 build 0205", "向导将会通过互联网下载最新的升级软件。", "点击：“下一步”继续"],
    "warning": ["下一步", "在更新之前，请确认\n\n    1.您的电脑已连接互联网。\n    2.您的电子书与电脑已连接。\n"
                "    3.您的电子书正处于更新模式下。（请先按下重置键，然后同时按下开机\n"
                "按键及菜单按键直到电子书的屏幕上显示更新界面。）"],
    "download": ["下载", "状态:"],
    "update": ["更新", T.UPDATE_HINT, "警告：请确保在更新期间您的电子书设备保持与电脑连接。"],
    "finish": ["完成", "点击重置键并重新启动您的电子书。\n轻松享受墨川电子书的阅读乐趣！\n\n\n"
               "向导已成功安装墨川电子书软件升级软件。\n点击“完成”退出向导。"],
}
# The keyboard walk's steps that name a button or a text.
STEP = re.compile(r"^((?:within \d+ )?(?:expect-focus|expect-sensitive|dialog) )(.*?)( -> none)?$")


def squeeze(text):
    return re.sub(r"\s+", "", text)


def translated_walk(t, dialogs, walk):
    """The keyboard walk of scenarios.py with the texts in the run's language."""
    lines = []
    for line in S.keyboard_script(dialogs, walk).split("\n"):
        m = STEP.match(line)
        if m and not line.startswith("within 60 dialog "):
            line = m.group(1) + t(m.group(2)) + (m.group(3) or "")
        elif line.startswith("within 60 expect-label-match "):
            line = "within 60 expect-label-match " + T.download_status_pattern(t)
        lines.append(line)
    return "\n".join(lines)


def segments(work):
    """name -> what Orca said from the mark before up to this mark."""
    said = spoken_lines(os.path.join(work, "orca-debug.log"))
    out, start = {}, 0
    for line in S.read_lines(os.path.join(work, "marks.txt")):
        name, count = line.split()
        out[name] = said[start:int(count)]
        start = int(count)
    out["end"] = said[start:]
    return out


def check_page(o, t, page, said):
    button, *texts = [t(x) for x in PAGES[page]]
    joined = squeeze(" ".join(said))
    if not o.expect(re.search(".*".join(re.escape(squeeze(x)) for x in texts), joined),
                    "%s: the page's texts were not all spoken in order: %s" % (page, said)):
        return
    for text in texts:
        o.expect(joined.count(squeeze(text)) == 1, "%s: %r spoken %d times: %s" %
                 (page, text, joined.count(squeeze(text)), said))
    o.expect(squeeze(button + ROLE) in joined, "%s: %r never spoken: %s" % (page, button + ROLE, said))


def spoken_full_update(ctx):
    t = ctx.texts()
    image = S.build_image(64, {0: 60000, 5: 9000})
    ctx.serve(image)
    n = len(image.stages())
    dialogs = [("stage%d" % i, S.first_line(T.stage_first_done(t, 1) if i == 1 else
                                            T.stage_done(t, i))) for i in range(1, n)]
    script = translated_walk(t, dialogs, lambda name: "signal mark-%s\nwithin 60 wait-signal marked-%s\n"
                             % (name, name))
    o = ctx.run(script, server_opts=S.TRICKLE, orca=True, env_extra=ctx.language_env())
    S.check_clean_end(o, t=t)
    S.check_pages(o, ["Welcome", "Warning", "Download", "Update", "Finish"])
    said = segments(o.work)
    with open(os.path.join(o.work, "spoken.txt"), "w", encoding="utf-8") as f:
        for name, lines in said.items():
            f.write("== %s\n%s\n" % (name, "\n".join(lines)))
    # Each page is marked once shown and the keys before it were spoken; the
    # Warning page once the quit question asked there is open.
    for page in PAGES:
        check_page(o, t, page, said.get("quit" if page == "warning" else page, []))
    title = squeeze(t(T.TITLE))
    for name, text in [("quit", t(T.QUIT_QUESTION))] + dialogs:
        joined = squeeze(" ".join(said.get(name, [])))
        o.expect(title + "alert" in joined or "alert" + title in joined,
                 "%s: the dialog was not announced by the wizard's title: %s" % (name, said.get(name)))
        o.expect(squeeze(text) in joined, "%s: its text was not spoken: %s" % (name, said.get(name)))
    # The download, from "下载" to the Update page that its end brings.
    download = said.get("update", [])
    any_percent = T.download_status_pattern(t)[1:-1].replace("([1-9][0-9]?)", r"\d+")
    status = [i for i, x in enumerate(download) if re.search(any_percent, x)]
    o.expect(1 <= len(status) <= 20, "the download's status was spoken %d times: %s" %
             (len(status), download))
    hint = [i for i, x in enumerate(download) if squeeze(t(T.UPDATE_HINT)) in squeeze(x)]
    o.expect(status and hint and hint[0] > status[-1],
             "the download's end was not spoken after its status: %s" % download)
    # What Orca said reached the synthesizer (speech-dispatcher's file).
    synthesized = squeeze(" ".join(S.read_lines(os.path.join(o.work, "speechd-said.txt"))))
    o.expect(all(squeeze(t(p[0]) + ROLE) in synthesized for p in PAGES.values()),
             "speech-dispatcher was not given the buttons: %s" % synthesized[:300])
    return o


def orca_version():
    try:
        out = S.subprocess.run(["orca", "--version"], capture_output=True, text=True).stdout
    except OSError:
        return ""
    return out.strip().split(".")[0]


if __name__ == "__main__":
    # What Orca says, and when, was measured with Debian 12's Orca 43; a
    # later Orca words and times things its own way.
    if orca_version() != "43":
        print("skipped: these expectations are Orca 43's; found Orca %r" % orca_version())
        sys.exit(S.SKIPPED)
    S.SCENARIOS["spoken_full_update"] = spoken_full_update
    sys.argv.append("spoken_full_update")
    sys.exit(S.main())
