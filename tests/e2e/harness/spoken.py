#!/usr/bin/env python3
"""What a blind user hears: the keyboard's whole update with Debian's Orca
listening (orca_session.py), in the language asked for. On every page Orca
must speak each text of the page, in order and once, and the focused button
with its role; each dialog by the wizard's title; the download's status as it
changes, at a listener's pace, and its end.

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
# Each page's texts in the order shown.
PAGE_TEXTS = {
    "welcome": ["Version: 2.0.1 build 0205", "向导将会通过互联网下载最新的升级软件。", "点击：“下一步”继续"],
    "warning": ["在更新之前，请确认\n\n    1.您的电脑已连接互联网。\n    2.您的电子书与电脑已连接。\n"
                "    3.您的电子书正处于更新模式下。（请先按下重置键，然后同时按下开机\n"
                "按键及菜单按键直到电子书的屏幕上显示更新界面。）"],
    "download": ["状态:"],
    "update": [T.UPDATE_HINT, "警告：请确保在更新期间您的电子书设备保持与电脑连接。"],
    "finish": ["点击重置键并重新启动您的电子书。\n轻松享受墨川电子书的阅读乐趣！\n\n\n"
               "向导已成功安装墨川电子书软件升级软件。\n点击“完成”退出向导。"],
}
BUTTON = {"welcome": "下一步", "warning": "下一步", "download": "下载", "update": "更新",
          "finish": "完成"}
# The keyboard walk's steps that name a button or a text, and its status pattern.
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


def in_order(said, wanted):
    """Where each wanted text starts in the utterances joined, or None for a
    text not said after the one before."""
    joined, at, places = squeeze(" ".join(said)), 0, []
    for text in wanted:
        found = joined.find(squeeze(text), at)
        if found < 0:
            return None
        places.append(found)
        at = found + len(squeeze(text))
    return places


def check_page(o, t, page, said):
    texts = [t(x) for x in PAGE_TEXTS[page]]
    button = t(BUTTON[page]) + ROLE
    joined = squeeze(" ".join(said))
    if not o.expect(in_order(said, texts) is not None,
                    "%s: the page's texts were not all spoken in order: %s" % (page, said)):
        return
    for text in texts:
        o.expect(joined.count(squeeze(text)) == 1, "%s: %r spoken %d times: %s" %
                 (page, text, joined.count(squeeze(text)), said))
    o.expect(squeeze(button) in joined, "%s: %r never spoken: %s" % (page, button, said))


def spoken_full_update(ctx):
    t = ctx.texts()
    image = S.build_image(64, {0: 60000, 5: 9000})
    ctx.serve(image)
    n = len(image.stages())
    dialogs = [("stage%d" % i, S.first_line(T.stage_first_done(t, 1) if i == 1 else
                                            T.stage_done(t, i))) for i in range(1, n)]

    def walk(name):
        return "signal mark-%s\nwithin 60 wait-signal marked-%s\n" % (name, name)
    script = translated_walk(t, dialogs, walk)
    o = ctx.run(script, server_opts=S.TRICKLE, orca=True, env_extra=ctx.language_env())
    S.check_clean_end(o, t=t)
    S.check_pages(o, ["Welcome", "Warning", "Download", "Update", "Finish"])
    said = segments(o.work)
    # The walk marks a page once it has been presented and the keys of the
    # page before have been spoken: Welcome at the start, Warning once the
    # quit question asked there is open, the others as they appear.
    check_page(o, t, "welcome", said.get("welcome", []))
    check_page(o, t, "warning", said.get("quit", []))
    for page in ("download", "update", "finish"):
        check_page(o, t, page, said.get(page, []))
    title = squeeze(t(T.TITLE))
    for name, text in [("quit", t(T.QUIT_QUESTION))] + [(d[0], d[1]) for d in dialogs]:
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
    o.expect(all(squeeze(t(b) + ROLE) in synthesized for b in BUTTON.values()),
             "speech-dispatcher was not given the buttons: %s" % synthesized[:300])
    with open(os.path.join(o.work, "spoken.txt"), "w", encoding="utf-8") as f:
        for name, lines in said.items():
            f.write("== %s\n%s\n" % (name, "\n".join(lines)))
    return o


def main():
    S.SCENARIOS["spoken_full_update"] = spoken_full_update
    sys.argv[1:] = [a for a in sys.argv[1:] if a != "spoken_full_update"] + ["spoken_full_update"]
    return S.main()


if __name__ == "__main__":
    sys.exit(main())
