#!/usr/bin/env python3
"""End-to-end scenarios: the real updater, clicked through by the GTK
driver, against the emulated reader and the local update server.

  scenarios.py TOOLS... NAME           runs one scenario, exit 0 when it passed
  scenarios.py TOOLS... demo --out DIR  the full update for tools/demo

TOOLS are --updater, --reader, --server, --netns-run, --driver, --host and
--work-root; with --usbip-reader, --reader is the USB/IP reader
(tests/support/usbip/reader.py) and the kernel's own USB stack serves it.
Needs root (namespaces) and an X display (DISPLAY)."""
import argparse
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import texts as T  # noqa: E402
from image import MANIFEST_PATH, SIX_BLOCKS, build_image, frame_sum, manifest  # noqa: E402
from logs import ReaderLog, Transcript, png_size, read_lines, saved_frames  # noqa: E402
from run import Tools, run_scenario, skip_reason  # noqa: E402

IMG64 = "/ebook/img/lumora64.bin"
IMG32 = "/ebook/img/lumora32.bin"
PICTURE = "402x128"
SKIPPED = 77  # ctest's SKIP_RETURN_CODE

# ---- script pieces ----

TO_WARNING = """
expect-page Welcome
click 下一步
expect-page Warning
"""

TO_DOWNLOAD = TO_WARNING + """
within 60 expect-sensitive 下一步
click 下一步
expect-page Download
"""

TO_UPDATE = TO_DOWNLOAD + """
click 下载
within 60 expect-page Update
"""

QUIT = """
click 取消
dialog %s -> ok
within 30 expect-exit
""" % T.QUIT_QUESTION


def answer_stage_dialogs(first, last, t=T.source):
    """t: the texts' language (T.catalogue)."""
    lines = ["within 60 dialog %s -> ok" % first_line(T.stage_first_done(t, 1))] if first == 1 else []
    for step in range(max(first, 2), last + 1):
        lines.append("within 60 dialog %s -> ok" % first_line(T.stage_done(t, step)))
    return "\n".join(lines) + "\n"


def first_line(text):
    return text.split("\n")[0]


# ---- one run and its evidence ----

class Outcome:
    def __init__(self, work, status):
        self.work = work
        self.status = status
        self.transcript = Transcript(os.path.join(work, "driver.log"))
        self.reader = ReaderLog(os.path.join(work, "reader.log"))
        self.frames = saved_frames(os.path.join(work, "frames"))
        self.server_log = read_lines(os.path.join(work, "server.log"))
        self.problems = []

    def expect(self, condition, message):
        if not condition:
            self.problems.append(message)
        return condition

    def requests(self, path):
        """Server log lines for one path, as (status, bytes)."""
        out = []
        for line in self.server_log:
            m = re.search(r"GET (\S*) -> (\d+) bytes=(\d+)", line)
            if m and m.group(1) == path:
                out.append((int(m.group(2)), int(m.group(3))))
        return out


LOCALE_OF_LANGUAGE = {"en": "en_US", "zh_TW": "zh_TW"}


def compiled_locale(folder, language):
    """Compiles the UTF-8 locale for language into folder; returns its name."""
    name = LOCALE_OF_LANGUAGE.get(language, language) + ".UTF-8"
    os.makedirs(folder, exist_ok=True)
    # localedef exits 1 on mere warnings; the folder it leaves is what counts.
    out = subprocess.run(["localedef", "--no-archive", "-c", "-i", name.split(".")[0], "-f", "UTF-8",
                          os.path.join(folder, name)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if not os.path.isfile(os.path.join(folder, name, "LC_MESSAGES", "SYS_LC_MESSAGES")):
        raise RuntimeError("localedef cannot compile %s (package locales):\n%s" % (name, out.stdout))
    return name


class Context:
    def __init__(self, tools, work, language=None, locale_dir=None):
        self.tools = tools
        self.language = language
        self.locale_dir = locale_dir
        self.work = work
        self.root = os.path.join(work, "root")
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(self.root)

    def serve(self, image64, image32=None, manifest_text=None):
        """Puts the manifest (both variants, 32 first) and the images on the
        local server."""
        host = self.tools.host
        if manifest_text is None:
            manifest_text = manifest([(32, host, IMG32), (64, host, IMG64)])
        self._put(MANIFEST_PATH, manifest_text)
        self._put(IMG64, image64.data)
        if image32 is not None:
            self._put(IMG32, image32.data)

    def _put(self, path, data):
        full = os.path.join(self.root, path.lstrip("/"))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)

    def texts(self):
        """msgid -> the text the wizard shows in this run's language."""
        return T.catalogue(self.language, self.locale_dir)

    def language_env(self):
        if not self.language:
            return None
        # glibc 2.39 and later ignore LANGUAGE under C.UTF-8 as under C: the
        # run needs a real locale, compiled into its own folder.
        locales = os.path.join(self.work, "locale")
        return {"LANGUAGE": self.language, "LANG": compiled_locale(locales, self.language), "LOCPATH": locales}

    def run(self, script, timeout=600, **options):
        status = run_scenario(self.tools, self.work, script, timeout=timeout, **options)
        return Outcome(self.work, status)


# ---- checks shared by the scenarios ----

def check_clean_end(o, status=0, t=T.source):
    o.expect(o.status == status, "exit status %r, expected %d" % (o.status, status))
    o.expect(not o.transcript.failures(), "the driver failed a step")
    o.expect(o.transcript.complete(), "the script did not complete")
    for d in o.transcript.dialogs():
        o.expect(d["title"] == t(T.TITLE), "dialog title %r" % d["title"])


def check_dialogs(o, expected):
    """expected: (message type, buttons, exact text) for each dialog, in order."""
    seen = [(d["type"], d["buttons"], d["text"]) for d in o.transcript.dialogs()]
    if o.expect(len(seen) == len(expected), "%d dialogs, expected %d" % (len(seen), len(expected))):
        for i, (got, want) in enumerate(zip(seen, expected)):
            o.expect(got == want, "dialog %d is %r, expected %r" % (i + 1, got, want))


def check_pages(o, expected):
    o.expect(o.transcript.pages() == expected,
             "pages %s, expected %s" % (o.transcript.pages(), expected))


def check_frames(o, stages):
    """The reader received exactly these blocks, in this order, each as one
    valid frame with the right address, length and checksum."""
    frames = o.reader.frames()
    o.expect(all(f["ok"] for f in frames), "a frame arrived damaged (ok=0)")
    good = [f for f in frames if f["ok"]]
    if not o.expect(len(good) == len(stages), "%d frames written, expected %d" %
                    (len(good), len(stages))):
        return
    for f, (step, addr, payload) in zip(good, stages):
        where = "frame for step %d" % step
        o.expect(f["addr"] == addr, "%s: address 0x%x, expected 0x%x" % (where, f["addr"], addr))
        o.expect(f["payload"] == len(payload), "%s: %d payload bytes, expected %d" %
                 (where, f["payload"], len(payload)))
        o.expect(f["len"] == len(payload) + 10, "%s: length field %d, expected %d" %
                 (where, f["len"], len(payload) + 10))
        o.expect(f["sum"] == frame_sum(payload), "%s: checksum 0x%04x, expected 0x%04x" %
                 (where, f["sum"], frame_sum(payload)))
    if o.expect(len(o.frames) == len(stages), "%d saved frames, expected %d" %
                (len(o.frames), len(stages))):
        for saved, (step, _, payload) in zip(o.frames, stages):
            o.expect(saved == payload, "frame for step %d differs from the image's block" % step)


def check_reconnects_between_frames(o, renumbered=True):
    """After every frame the reader left and came back before the next
    frame was sent; renumbered: it came back under the next device number."""
    events = o.reader.events()
    frames_at = [i for i, e in enumerate(events) if e[0] == "frame"]
    for a, b in zip(frames_at, frames_at[1:]):
        between = events[a + 1:b]
        kinds = [e[0] for e in between]
        ok = "leave" in kinds and "return" in kinds[kinds.index("leave"):]
        o.expect(ok, "frame %d was sent before the reader left and came back" % events[b][1])
    if renumbered:
        # The run may end while the reader is away after the last frame.
        for left, back in leave_return_pairs(events):
            o.expect(back is None or back == left + 1,
                     "left as devnum %d, came back as %s" % (left, back))


def leave_return_pairs(events):
    """(devnum on leaving, devnum on coming back) for each departure."""
    pairs = []
    for i, e in enumerate(events):
        if e[0] != "leave":
            continue
        back = next((r[1] for r in events[i + 1:] if r[0] == "return"), None)
        pairs.append((e[1], back))
    return pairs


def check_screenshots(o, names):
    for name in names:
        path = os.path.join(o.work, "shots", name + ".png")
        size = png_size(path)
        o.expect(size is not None and size[0] >= 600 and size[1] >= 390,
                 "screenshot %s missing or too small (%r)" % (name, size))


def check_picture_toggled(o):
    """On the Update page the connection picture turned to the other one
    while the reader was away, and back."""
    after = o.transcript.after("page", "Update")
    ids = [rest.split()[-1] for _, verb, rest in after if verb == "picture" and rest.startswith(PICTURE)]
    ids = [i for i in ids if i != "none"]
    toggled = len(ids) >= 3 and ids[0] != ids[1] and ids[2] == ids[0]
    o.expect(toggled, "connection picture did not change while the reader was away: %s" % ids)


def write_summary(o, name):
    """A short transcript: pages, dialogs and frames written."""
    lines = ["lumora-updater run: %s" % name, "exit status: %s" % o.status,
             "pages: " + " -> ".join(o.transcript.pages()), "dialogs:"]
    for d in o.transcript.dialogs():
        lines.append("  [%s] %s" % (d["type"], d["text"].replace("\n", " / ")))
    lines.append("frames written to endpoint 3:")
    for f in o.reader.frames():
        lines.append("  frame %d: flash address 0x%08x, %d payload bytes, checksum 0x%04x, %s" %
                     (f["n"], f["addr"], f["payload"], f["sum"], "valid" if f["ok"] else "DAMAGED"))
    for _, verb, rest in o.transcript.events:
        if verb == "screenshot":
            lines.append("screenshot: " + rest.split()[-1])
    for line in o.transcript.failures():
        lines.append(line.strip())
    with open(os.path.join(o.work, "transcript.txt"), "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


# ---- the scenarios ----

def full_update_script(t=T.source):
    """Welcome to Finish; t: the texts' language (T.catalogue)."""
    return """
timeout 30
expect-page Welcome
screenshot 1-welcome
click {next}
expect-page Warning
within 60 expect-sensitive {next}
expect-label ""
screenshot 2-warning-all-present
click {next}
expect-page Download
screenshot 3-download-ready
click {download}
within 60 expect-label-match {status}
screenshot 4-download-progress
within 120 expect-page Update
expect-label {hint}
screenshot 5-update-ready
click {update}
within 60 picture-change 402x128
screenshot 6-update-reader-away
within 60 dialog {first} -> none
screenshot 7-stage-dialog
""".format(next=t("下一步"), download=t("下载"), status=T.download_status_pattern(t),
           hint=t(T.UPDATE_HINT), update=t("更新"),
           first=first_line(T.stage_first_done(t, 1))) + answer_stage_dialogs(1, 5, t) + """
within 150 expect-page Finish
screenshot 8-finish
click {finish}
within 10 expect-exit
""".format(finish=t("完成"))


FULL_UPDATE_SCRIPT = full_update_script()

FULL_UPDATE_SHOTS = ["1-welcome", "2-warning-all-present", "3-download-ready",
                     "4-download-progress", "5-update-ready", "6-update-reader-away",
                     "7-stage-dialog", "8-finish"]

TRICKLE = ["--fault", "trickle", "--fault-path", IMG64, "--trickle-bytes", "8192",
           "--trickle-ms", "100"]


def full_update(ctx, pace=0.0):
    """Welcome to Finish with six present blocks (in the language of
    ctx.language, when one is set, with the texts from its catalogue)."""
    t = ctx.texts()
    image = build_image(64, SIX_BLOCKS)
    ctx.serve(image, build_image(32, SIX_BLOCKS))
    script = ("pace %g\n" % pace) + full_update_script(t)
    o = ctx.run(script, server_opts=TRICKLE, env_extra=ctx.language_env())
    check_clean_end(o, t=t)
    check_pages(o, ["Welcome", "Warning", "Download", "Update", "Finish"])
    check_dialogs(o, [("info", "ok", T.stage_first_done(t, 1))] +
                  [("info", "ok", T.stage_done(t, step)) for step in range(2, 6)])
    check_frames(o, image.stages())
    check_reconnects_between_frames(o)
    check_screenshots(o, FULL_UPDATE_SHOTS)
    check_picture_toggled(o)
    o.expect(len(o.requests(IMG64)) == 1 and not o.requests(IMG32),
             "the image for variant 64 was not the one downloaded: %s" % o.server_log)
    return o


def full_update_via_proxy(ctx):
    """A whole update with tinyproxy as the only route to the server."""
    image = build_image(64, SIX_BLOCKS)
    ctx.serve(image, build_image(32, SIX_BLOCKS))
    o = ctx.run(FULL_UPDATE_SCRIPT, server_opts=TRICKLE, proxy=True)
    check_clean_end(o)
    check_pages(o, ["Welcome", "Warning", "Download", "Update", "Finish"])
    check_frames(o, image.stages())
    proxy_log = "\n".join(read_lines(os.path.join(o.work, "proxy.log")))
    for path in (MANIFEST_PATH, IMG64):
        o.expect(o.requests(path) and o.requests(path)[-1][0] == 200, "%s not served: %s" % (path, o.server_log))
        o.expect("http://%s%s" % (ctx.tools.host, path) in proxy_log,
                 "%s did not pass the proxy: %s" % (path, proxy_log[-2000:]))
    return o


def keyboard_script(dialogs, walk=lambda name: ""):
    """The full update by key presses alone: each page's default button has
    the focus and takes Enter, Tab visits the sensitive buttons in the order
    shown, Escape on the Warning page asks to quit and Escape stays.
    dialogs: (name, text) of the stage dialogs; walk(name): lines that let
    the AT-SPI observer walk the tree there."""
    stages = "".join("within 60 dialog %s -> none\n%skey Return\n" % (text, walk(name))
                     for name, text in dialogs)
    return """
timeout 30
expect-page Welcome
expect-focus 下一步
%s
key Tab
expect-focus 取消
key Tab
expect-focus 下一步
key Return
expect-page Warning
key Escape
dialog %s -> none
%s
key Escape
within 60 expect-sensitive 下一步
expect-focus 下一步
%s
key Tab
expect-focus 取消
key Tab
expect-focus 上一步
key Tab
expect-focus 下一步
key Return
expect-page Download
expect-focus 下载
%s
key Return
within 60 expect-label-match ^状态: ([1-9][0-9]?)%% 已下载$
within 120 expect-page Update
expect-focus 更新
%s
key Return
%s
within 150 expect-page Finish
expect-focus 完成
%s
key Return
within 10 expect-exit
""" % (walk("welcome"), T.QUIT_QUESTION, walk("quit"), walk("warning"), walk("download"),
       walk("update"), stages, walk("finish"))


def keyboard_full_update(ctx, blocks=SIX_BLOCKS, walk=lambda name: "", atspi=False):
    """Welcome to Finish with six blocks, by the keyboard alone."""
    image = build_image(64, blocks)
    ctx.serve(image)
    n = len(image.stages())
    dialogs = [("stage%d" % i, first_line(T.STAGE_FIRST_DONE % 1 if i == 1 else T.STAGE_DONE % i))
               for i in range(1, n)]
    o = ctx.run(keyboard_script(dialogs, walk), server_opts=TRICKLE, atspi=atspi)
    check_clean_end(o)
    check_pages(o, ["Welcome", "Warning", "Download", "Update", "Finish"])
    o.expect(not o.transcript.of("click"), "a button was clicked")
    check_dialogs(o, [("info", "ok,cancel", T.QUIT_QUESTION), ("info", "ok", T.STAGE_FIRST_DONE % 1)] +
                  [("info", "ok", T.STAGE_DONE % i) for i in range(2, n)])
    check_frames(o, image.stages())
    return o


def accessible_full_update(ctx):
    """The keyboard's update with two blocks, watched over AT-SPI: on every
    page and dialog nothing that shows something is nameless, the pictures
    carry their names, dialogs are alerts with their text; the download's
    bar announces its value and the status texts their changes."""
    def walk(name):
        return "signal walk-%s\nwithin 30 wait-signal walked-%s\n" % (name, name)
    o = keyboard_full_update(ctx, {0: 60000, 5: 9000}, walk=walk, atspi=True)
    records = [json.loads(line) for line in read_lines(os.path.join(o.work, "atspi.jsonl"))]
    walks = {r["name"]: r["windows"] for r in records if r["kind"] == "walk"}
    check_walks(o, walks, {"welcome": ["欢迎使用墨川电子书升级向导", "下一步"],
                           "warning": ["开机键", "菜单键"], "download": ["下载进度", "下载"],
                           "update": ["设备已连接", "更新进度"], "finish": ["墨川电子书升级完成", "完成"]},
                {"quit": T.QUIT_QUESTION, "stage1": T.STAGE_FIRST_DONE % 1})
    events = [r for r in records if r["kind"] == "event"]
    values = [e["value"] for e in events if e["role"] == "progress bar" and e["name"] == "下载进度"]
    shown = [v for v, _, _ in values]
    o.expect(len(set(shown)) >= 3 and shown == sorted(shown) and
             all(lo <= v <= hi for v, lo, hi in values) and any(lo < v < hi for v, lo, hi in values),
             "the download's bar did not announce a rising value: %s" % values)
    status = [(e["type"], e.get("text", e["name"])) for e in events if e["role"] == "status bar"]
    o.expect([t for _, t in status if re.match(r"^状态: \d+% 已下载$", t)],
             "no change of the download's status was announced: %s" % status[:20])
    o.expect(("object:property-change:accessible-name", "设备未连接") in
             [(e["type"], e["name"]) for e in events if e["role"] == "status bar"],
             "the reader's leaving was not announced: %s" % status[-20:])
    return o


def check_walks(o, walks, names, alerts):
    for page, windows in sorted(walks.items()):
        objects = [x for w in windows for x in [w] + w["tree"]]
        unnamed = [x for x in objects if x["role"] in ("image", "icon", "progress bar", "push button",
                                                       "label", "status bar", "alert", "dialog")
                   and not x["name"] and x.get("text", "?") != ""]
        o.expect(not unnamed, "%s: nameless objects: %s" % (page, unnamed))
        missing = [n for n in names.get(page, []) if n not in [x["name"] for x in objects]]
        o.expect(not missing, "%s: nothing named %s" % (page, missing))
        if page in alerts:
            o.expect([w for w in windows if w["role"] == "alert" and
                      alerts[page] in [x["name"] for x in w["tree"]]],
                     "%s: no alert with its text: %s" % (page, [w["role"] for w in windows]))
        else:
            o.expect([w for w in windows if w["role"] == "dialog" and w["name"] == T.TITLE],
                     "%s: the wizard window is not named" % page)
    o.expect(sorted(walks) == sorted(list(names) + list(alerts)), "walked only %s" % sorted(walks))


def reader_renumbered(ctx):
    """The reader comes back under a new device number after each stage, at
    once, before the status poll could see it away; a reader of another
    product string (variant 32) on bus 3 gets its own image."""
    sizes = {0: 20000, 5: 9000}
    image = build_image(320, sizes)
    ctx.serve(build_image(640, sizes), image)
    script = TO_UPDATE + "click 更新\n" + answer_stage_dialogs(1, 1) + """
within 150 expect-page Finish
click 完成
within 10 expect-exit
"""
    o = ctx.run(script, reader_opts=["--bus", "3", "--devnum", "7", "--reconnect", "renumber",
                                     "--return-after", "0", "--product", "ORVEX LUMORA32 UPDate"])
    check_clean_end(o)
    check_dialogs(o, [("info", "ok", T.STAGE_FIRST_DONE % 1)])
    check_frames(o, image.stages())
    check_reconnects_between_frames(o)
    pairs = leave_return_pairs(o.reader.events())
    o.expect(pairs[:2] == [(7, 8), (8, 9)],
             "the reader did not leave as 7, return as 8, leave as 8, return as 9: %s" % pairs)
    o.expect(len(o.requests(IMG32)) == 1 and not o.requests(IMG64),
             "the image for variant 32 was not the one downloaded")
    return o


def stage_failure_retried(ctx):
    """The third frame fails on the wire: the error dialog names step 3, OK
    writes step 3 again and the update completes."""
    sizes = {0: 12000, 5: 5000, 1: 30000}
    image = build_image(64, sizes)
    ctx.serve(image)
    script = TO_UPDATE + "click 更新\n" + answer_stage_dialogs(1, 2) + """
within 60 dialog 第3步更新失败 -> ok
within 150 expect-page Finish
click 完成
within 10 expect-exit
"""
    o = ctx.run(script, reader_opts=["--fail-frame", "3"])
    check_clean_end(o)
    check_dialogs(o, [("info", "ok", T.STAGE_FIRST_DONE % 1), ("info", "ok", T.STAGE_DONE % 2),
                      ("error", "ok", T.STAGE_FAILED % 3)])
    check_frames(o, image.stages())
    failed_at = [i for i, line in enumerate(o.reader.lines) if "urb-failed" in line]
    frames_at = [i for i, line in enumerate(o.reader.lines) if re.search(r"\bframe \d", line)]
    o.expect(len(failed_at) >= 1 and len(frames_at) == 3 and frames_at[1] < failed_at[0] < frames_at[2],
             "the failed attempt at step 3 is not between frames 2 and 3")
    check_pages(o, ["Welcome", "Warning", "Download", "Update", "Finish"])
    return o


def reader_never_leaves(ctx):
    """The reader stays on the bus after stage 1: after the reconnect wait the
    error dialog names step 1; its OK writes step 1 again, and while the
    worker waits for the reader once more a confirmed Cancel quits cleanly."""
    image = build_image(64, SIX_BLOCKS)
    ctx.serve(image)
    script = TO_UPDATE + """
click 更新
within 150 dialog 第1步更新失败 -> ok
screenshot writing-step-1-again
within 30 expect-sensitive 取消
click 取消
dialog %s -> ok
within 10 expect-exit
""" % T.QUIT_QUESTION
    o = ctx.run(script, reader_opts=["--reconnect", "none"])
    check_clean_end(o)
    check_dialogs(o, [("error", "ok", T.STAGE_FAILED % 1), ("info", "ok,cancel", T.QUIT_QUESTION)])
    first = image.stages()[:1]
    check_frames(o, first + first)
    o.expect(not [e for e in o.reader.events() if e[0] == "leave"], "the reader left the bus")
    return o


def reader_stays_away(ctx):
    """The reader leaves after stage 1 and never returns: after the reconnect
    wait the error dialog names step 1; its OK waits for the reader to write
    step 1 again, and meanwhile a confirmed Cancel quits cleanly."""
    image = build_image(64, SIX_BLOCKS)
    ctx.serve(image)
    script = TO_UPDATE + """
click 更新
within 150 dialog 第1步更新失败 -> ok
within 30 expect-sensitive 取消
screenshot waiting-for-reader
click 取消
dialog %s -> ok
within 10 expect-exit
""" % T.QUIT_QUESTION
    o = ctx.run(script, reader_opts=["--reconnect", "stay-away"])
    check_clean_end(o)
    check_dialogs(o, [("error", "ok", T.STAGE_FAILED % 1), ("info", "ok,cancel", T.QUIT_QUESTION)])
    check_frames(o, image.stages()[:1])
    moves = [e for e in o.reader.events() if e[0] in ("leave", "return")]
    o.expect(moves == [("leave", 2)], "the reader should have left once, for good: %s" % moves)
    return o


def stage_failed_twice(ctx):
    """Step 1 fails, and fails again on the retry: the Update page waits
    for the user, and the inhibitor, held through the first failure, is
    gone there. Step 1 is one URB: the first and the second URB fail."""
    image = build_image(64, {0: 3000, 5: 5000})
    ctx.serve(image)
    script = TO_UPDATE + """
click 更新
within 60 dialog 第1步更新失败 -> none
signal first-failure
sleep 1
dialog 第1步更新失败 -> ok
within 60 dialog 第1步更新失败 -> ok
within 30 expect-sensitive 更新
signal idle
sleep 1
""" + QUIT
    o = ctx.run(script, reader_opts=["--fail-frame", "1", "--fail-urb", "2"], logind_mock=True)
    check_clean_end(o)
    check_dialogs(o, [("error", "ok", T.STAGE_FAILED % 1)] * 2 +
                  [("info", "ok,cancel", T.QUIT_QUESTION)])
    o.expect(not o.reader.frames(), "a frame was written")
    during = held_between(o, "first-failure", "idle")
    o.expect(during[:5] == [1] * 5, "the inhibitor was let go after the first failure: %s" % during)
    after = held_between(o, "idle", None)
    o.expect(after and not any(after), "the inhibitor was held on the idle page: %s" % after)
    return o


def held_between(o, mark, end_mark):
    """The inhibitor counts logged after the driver's signal `mark` and
    before `end_mark` (None: to the end)."""
    lines = read_lines(os.path.join(o.work, "inhibitors.log"))
    start = lines.index("mark " + mark) if "mark " + mark in lines else len(lines)
    end = lines.index("mark " + end_mark) if end_mark and "mark " + end_mark in lines else len(lines)
    return [int(l.split()[1]) for l in lines[start:end] if l.startswith("held ")]


def download_failure_retried(ctx):
    """The image's body is cut short once: the error dialog, Back, Next, and
    "下载" again fetches the whole image, which is then written correctly."""
    image = build_image(64, SIX_BLOCKS)
    ctx.serve(image)
    script = TO_DOWNLOAD + """
click 下载
within 60 dialog %s -> none
signal download-failed
sleep 1
dialog %s -> ok
expect-sensitive 上一步
expect-insensitive 下载
click 上一步
expect-page Warning
within 60 expect-sensitive 下一步
click 下一步
expect-page Download
click 下载
within 60 expect-page Update
click 更新
within 60 dialog 第1步更新成功 -> none
terminate 0
""" % (T.DOWNLOAD_FAILED, T.DOWNLOAD_FAILED)
    o = ctx.run(script, server_opts=["--fault", "short-body", "--fault-path", IMG64,
                                     "--fault-once"], logind_mock=True)
    o.expect(o.status == 0, "exit status %r" % o.status)
    o.expect(not o.transcript.failures(), "the driver failed a step")
    check_dialogs(o, [("error", "ok", T.DOWNLOAD_FAILED), ("info", "ok", T.STAGE_FIRST_DONE % 1)])
    check_pages(o, ["Welcome", "Warning", "Download", "Warning", "Download", "Update"])
    got = o.requests(IMG64)
    o.expect(len(got) == 2 and got[0][1] < len(image.data) and got[1][1] >= len(image.data),
             "expected a short and then a whole image: %s" % got)
    check_frames(o, image.stages()[:1])
    held = held_between(o, "download-failed", None)
    o.expect(held[:5] == [0] * 5, "the inhibitor outlived the failed download: %s" % held[:10])
    return o


def cancel_during_download(ctx):
    """The image download hangs; a confirmed Cancel ends the program within
    10 s, without the download error dialog."""
    ctx.serve(build_image(64, SIX_BLOCKS))
    script = TO_DOWNLOAD + """
click 下载
expect-label 状态: 0%% 已下载
expect-insensitive 上一步
sleep 1
click 取消
dialog %s -> ok
within 10 expect-exit
""" % T.QUIT_QUESTION
    o = ctx.run(script, server_opts=["--fault", "stall", "--fault-path", IMG64])
    check_clean_end(o)
    check_dialogs(o, [("info", "ok,cancel", T.QUIT_QUESTION)])
    o.expect(len(o.requests(IMG64)) <= 1 and o.requests(MANIFEST_PATH),
             "unexpected requests: %s" % o.server_log)
    o.expect(not o.reader.frames(), "something was written")
    return o


def cancel_during_lookup(ctx):
    """The image server's name never resolves (the name server is silent);
    a confirmed Cancel ends the program at once, without waiting for the
    resolver."""
    host = ctx.tools.host
    ctx.serve(build_image(64, SIX_BLOCKS),
              manifest_text=manifest([(64, "never-answered.example", IMG64), (32, host, IMG32)]))
    script = TO_DOWNLOAD + """
click 下载
expect-label 状态: 0%% 已下载
sleep 1
click 取消
dialog %s -> ok
within 3 expect-exit
""" % T.QUIT_QUESTION
    o = ctx.run(script, silent_dns=True)
    check_clean_end(o)
    check_dialogs(o, [("info", "ok,cancel", T.QUIT_QUESTION)])
    o.expect(o.requests(MANIFEST_PATH) and not o.requests(IMG64), "unexpected requests: %s" % o.server_log)
    return o


def warning_page(ctx, script, netns_opts=(), reader_opts=(), cut_network=False, t=T.source):
    ctx.serve(build_image(64, SIX_BLOCKS))
    o = ctx.run(script, netns_opts=netns_opts, reader_opts=reader_opts,
                cut_network_on_signal=cut_network, env_extra=ctx.language_env())
    check_clean_end(o, t=t)
    check_dialogs(o, [("info", "ok,cancel", t(T.QUIT_QUESTION))])
    o.expect(not o.reader.frames(), "something was written")
    return o


def warning_no_network(ctx):
    """Nothing answers, neither the probes nor HTTP, and the reader is
    attached: the network's text, since the reader is looked at on every
    check; Cancel answers while a check waits."""
    script = TO_WARNING + """
within 60 steady-label 8 %s
expect-insensitive 下一步
screenshot warning-no-network
""" % T.WARN_NO_NETWORK + QUIT
    o = warning_page(ctx, script, netns_opts=["--drop-probes", "--drop-http"])
    o.expect([l for l in o.reader.lines if "string-request" in l],
             "the reader was not looked at while the network was away")
    return o


def warning_probes_dropped(ctx):
    """A firewall drops ICMP and the UDP probe but lets HTTP through: the
    TCP check to port 80 decides, and a whole update completes."""
    sizes = {0: 20000, 5: 9000}
    image = build_image(64, sizes)
    ctx.serve(image)
    script = TO_UPDATE + "click 更新\n" + answer_stage_dialogs(1, 1) + """
within 150 expect-page Finish
click 完成
within 10 expect-exit
"""
    o = ctx.run(script, netns_opts=["--drop-probes"])
    check_clean_end(o)
    check_pages(o, ["Welcome", "Warning", "Download", "Update", "Finish"])
    check_frames(o, image.stages())
    return o


def warning_live_window(ctx):
    """The window answers while a check waits: the reader holds its product
    string request until the driver has gone back with 上一步 and seen the
    Welcome page. A blocked window could not click, and the reader would give
    up on its own."""
    script = TO_WARNING + """
within 30 wait-signal string-held
click 上一步
expect-page Welcome
signal string-release
click 下一步
expect-page Warning
within 60 expect-sensitive 下一步
""" + QUIT
    o = warning_page(ctx, script, reader_opts=["--hold-string", os.path.join(ctx.work, "signals")])
    o.expect([l for l in o.reader.lines if "string-released" in l], "the held request was never released")
    o.expect(not [l for l in o.reader.lines if "string-hold-gave-up" in l],
             "the reader gave up holding: the window did not answer while the check waited")
    return o


def warning_quit_during_check(ctx):
    """Quitting never waits for a check: the reader holds its product string
    request, and the confirmed 取消 ends the program while the check still
    waits in it (the reader would give up holding only after 30 s)."""
    script = TO_WARNING + """
within 30 wait-signal string-held
""" + QUIT
    o = warning_page(ctx, script, reader_opts=["--hold-string", os.path.join(ctx.work, "signals")])
    o.expect(not [l for l in o.reader.lines if "string-hold-gave-up" in l or "string-released" in l],
             "the program waited for the check before it ended")
    return o


def warning_silent_reader(ctx):
    """A reader that never answers its product string request is not taken
    for variant 32: it is refused, and nothing is downloaded."""
    script = TO_WARNING + """
within 60 steady-label 4 %s
expect-insensitive 下一步
""" % T.WARN_REFUSED + QUIT
    o = warning_page(ctx, script, reader_opts=["--product-unanswered"])
    o.expect(not o.requests(MANIFEST_PATH), "something was downloaded for a silent reader")
    return o


def warning_network_lost(ctx):
    """The network goes away after the reader was seen: the network text."""
    script = TO_WARNING + """
within 60 expect-sensitive 下一步
expect-label ""
signal cut-network
within 60 expect-label %s
expect-insensitive 下一步
screenshot warning-network-lost
""" % T.WARN_NO_NETWORK + QUIT
    return warning_page(ctx, script, cut_network=True)


def warning_no_reader(ctx):
    script = TO_WARNING + """
within 60 steady-label 3 %s
expect-insensitive 下一步
screenshot warning-no-reader
click 上一步
expect-page Welcome
""" % T.WARN_NO_READER + QUIT
    return warning_page(ctx, script, reader_opts=["--no-reader"])


def warning_refused_model(ctx):
    script = TO_WARNING + """
within 60 steady-label 3 %s
expect-insensitive 下一步
screenshot warning-refused-model
""" % T.WARN_REFUSED + QUIT
    o = warning_page(ctx, script, reader_opts=["--product", T.PRODUCT_REFUSED])
    o.expect([l for l in o.reader.lines if "string-request" in l],
             "the reader was never asked for its product string")
    return o


def warning_all_present(ctx):
    """Server and reader ready: Next is offered; in ctx.language when set."""
    t = ctx.texts()
    script = """
expect-page Welcome
click {next}
expect-page Warning
within 60 expect-sensitive {next}
steady-label 2 ""
expect-sensitive {back}
click {next}
expect-page Download
expect-label {status}
expect-sensitive {download}
click {cancel}
dialog {quit} -> ok
within 30 expect-exit
""".format(next=t("下一步"), back=t("上一步"), status=t("状态:"), download=t("下载"),
           cancel=t("取消"), quit=t(T.QUIT_QUESTION))
    o = warning_page(ctx, script, t=t)
    o.expect(not o.requests(MANIFEST_PATH), "something was downloaded before \"下载\"")
    return o


def invalid_image(ctx):
    """A block reaches one byte past the end of the image: the damaged-image
    dialog, back to the Download page, and nothing written."""
    ctx.serve(build_image(64, SIX_BLOCKS, past_end_entry=3))
    script = TO_UPDATE + """
click 更新
within 60 dialog %s -> ok
within 30 expect-page Download
within 30 expect-sensitive 下载
""" % T.IMAGE_DAMAGED_PART + QUIT
    o = ctx.run(script)
    check_clean_end(o)
    dialogs = o.transcript.dialogs()
    o.expect(dialogs and dialogs[0]["type"] == "error" and T.IMAGE_DAMAGED_PART in dialogs[0]["text"],
             "no damaged-image error dialog: %s" % dialogs)
    check_pages(o, ["Welcome", "Warning", "Download", "Update", "Download"])
    o.expect(not o.reader.frames() and not o.frames, "a frame was written from a damaged image")
    o.expect(not [l for l in o.reader.lines if l.endswith("claim") or " claim" in l],
             "the reader was claimed for a damaged image")
    return o


def reader_swapped(ctx):
    """The image is downloaded for a reader of variant 64; before "更新" a
    reader of variant 32 takes its place. Nothing is written: the error
    dialog, and the Update page waits for "更新" again."""
    ctx.serve(build_image(64, SIX_BLOCKS), build_image(32, SIX_BLOCKS))
    script = TO_UPDATE + """
signal swap-reader
within 30 expect-insensitive 更新
within 30 expect-sensitive 更新
click 更新
within 60 dialog %s -> ok
within 30 expect-label %s
expect-sensitive 更新
expect-sensitive 取消
""" % (T.WRONG_READER, T.UPDATE_HINT) + QUIT
    o = ctx.run(script, reader_opts=["--swap-signal", os.path.join(ctx.work, "signals", "swap-reader"),
                                     "--swap-product", T.PRODUCT_32])
    check_clean_end(o)
    check_dialogs(o, [("error", "ok", T.WRONG_READER), ("info", "ok,cancel", T.QUIT_QUESTION)])
    check_pages(o, ["Welcome", "Warning", "Download", "Update"])
    o.expect([l for l in o.reader.lines if "swap product=" in l], "the reader was never swapped")
    o.expect(not o.reader.frames() and not o.frames, "a frame was written to the other reader")
    o.expect(not [l for l in o.reader.lines if l.endswith("claim") or " claim" in l],
             "the other reader was claimed")
    o.expect(len(o.requests(IMG64)) == 1 and not o.requests(IMG32),
             "the image for variant 64 was not the one downloaded: %s" % o.server_log)
    return o


def killed_after_step(ctx, step, state, head=TO_UPDATE + "click 更新\n", **options):
    """Run 1 of an update cut short: killed (SIGKILL) once step's dialog appeared."""
    o = ctx.run(head + answer_stage_dialogs(1, step - 1) + """
within 60 dialog 第%d步已成功更新 -> none
signal kill-now
within 60 wait-signal never
""" % step, kill_on_signal="kill-now", env_extra={"XDG_STATE_HOME": state}, **options)
    o.expect(o.status != 0, "the first run was not killed (status %r)" % o.status)
    return o


# ---- two readers: only the one the update began with is ever written ----

def second_reader(ctx, port, product, arrives=None, leaves=None, first_port="1-1"):
    """Options for a second reader at port, with a log and frames of its own."""
    opts = ["--port", first_port, "--second-port", port, "--second-devnum", "40",
            "--second-product", product, "--second-log", os.path.join(ctx.work, "reader2.log"),
            "--second-frames-dir", os.path.join(ctx.work, "frames2")]
    for flag, name in (("--second-attach-signal", arrives), ("--second-leave-signal", leaves)):
        if name:
            opts += [flag, os.path.join(ctx.work, "signals", name)]
    return opts


def check_second_untouched(o):
    """The second reader came and got nothing: not even an open of its node."""
    lines = read_lines(os.path.join(o.work, "reader2.log"))
    o.expect(lines and lines[0].startswith("attach"), "the second reader never came: %s" % lines[:3])
    touched = [l for l in lines if l.split()[0] in ("open", "string-request", "claim", "frame")]
    o.expect(not touched, "the second reader was used: %s" % touched[:6])
    frames = os.path.join(o.work, "frames2")
    o.expect(not os.path.isdir(frames) or not os.listdir(frames), "frames went to the second reader")


def two_readers_refused(ctx):
    """Two readers of one variant, the other one listed first: the Warning
    page says so and keeps Next insensitive until it is unplugged."""
    script = TO_WARNING + """
within 60 steady-label 3 %s
expect-insensitive 下一步
signal second-leaves
within 60 expect-sensitive 下一步
expect-label ""
""" % T.WARN_TWO_READERS + QUIT
    o = warning_page(ctx, script, reader_opts=second_reader(
        ctx, "1-1", T.PRODUCT_64, leaves="second-leaves", first_port="1-2"))
    check_second_untouched(o)
    return o


def second_reader_during_update(ctx, product, instant=False):
    """A second reader (product) is plugged in, listed before the first, as
    step 1 is written; with instant, the reader returns at once after each
    step. All six frames go to the reader the update began with."""
    image = build_image(64, SIX_BLOCKS)
    ctx.serve(image, build_image(32, SIX_BLOCKS))
    script = TO_UPDATE + "click 更新\nsignal second-arrives\n" + answer_stage_dialogs(1, 5) + """
within 150 expect-page Finish
click 完成
within 10 expect-exit
"""
    opts = second_reader(ctx, "1-1", product, arrives="second-arrives", first_port="1-2")
    o = ctx.run(script, reader_opts=opts + (["--return-after", "0"] if instant else []))
    check_clean_end(o)
    check_pages(o, ["Welcome", "Warning", "Download", "Update", "Finish"])
    check_frames(o, image.stages())
    check_second_untouched(o)
    return o


def second_reader_other_variant(ctx):
    return second_reader_during_update(ctx, T.PRODUCT_32)


def second_reader_instant_return(ctx):
    return second_reader_during_update(ctx, T.PRODUCT_64, instant=True)


def resume_at_other_port(ctx):
    """Killed after step 2 of the reader at port 1-1; the next start finds
    a reader of that variant only at port 1-2. The question says it may be
    another reader; after OK nothing can be written to it and the Update page
    asks for the reader back at its port."""
    image = build_image(64, SWEEP_BLOCKS)
    ctx.serve(image)
    state = os.path.join(ctx.work, "state")
    first = killed_after_step(ctx, 2, state)
    again = Context(ctx.tools, ctx.work + "-elsewhere")
    question = T.RESUME_QUESTION + "\n\n" + T.RESUME_OTHER_READER
    o = again.run("""
timeout 30
dialog %s -> ok
expect-page Update
within 30 expect-label %s
expect-insensitive 更新
sleep 3
""" % (T.RESUME_QUESTION, T.PLUG_BACK) + QUIT, drop_all_traffic=True,
                  env_extra={"XDG_STATE_HOME": state}, reader_opts=["--port", "1-2"])
    o.problems[:0] = first.problems
    check_clean_end(o)
    check_dialogs(o, [("info", "ok,cancel", question), ("info", "ok,cancel", T.QUIT_QUESTION)])
    o.expect(not o.reader.frames() and not [l for l in o.reader.lines if l.split()[0] == "claim"],
             "the reader at the other port was written")
    return o


# ---- an image file the user has, when the server cannot be reached ----

def image_file(ctx, data, name="lumora-fw.bin"):
    path = os.path.join(ctx.work, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def file_to_download_page(data):
    """Warning page without a network check; the Download page names the
    file by its SHA-256, and its button moves on."""
    return TO_WARNING + """
within 60 expect-sensitive 下一步
expect-label ""
click 下一步
expect-page Download
expect-label-match SHA-256：%s
expect-sensitive 下一步
click 下一步
""" % hashlib.sha256(data).hexdigest()


def image_file_update(ctx, kill_after_step=None):
    """No server and no traffic at all: a whole six-stage update from a
    file, with the file's path as the source in the history. With
    kill_after_step, run 1 is killed after that step and run 2, from no
    file, finishes the update offline from the saved image."""
    image = build_image(64, SIX_BLOCKS)
    path = image_file(ctx, image.data)
    state = os.path.join(ctx.work, "state")
    last = kill_after_step or 6
    head = file_to_download_page(image.data) + "within 60 expect-page Update\nclick 更新\n"
    if kill_after_step:
        o = killed_after_step(ctx, last, state, head, drop_all_traffic=True, updater_args=["--image", path])
    else:
        o = ctx.run(head + answer_stage_dialogs(1, 5) + "within 150 expect-page Finish\nclick 完成\n"
                    "within 10 expect-exit\n", drop_all_traffic=True, updater_args=["--image", path],
                    env_extra={"XDG_STATE_HOME": state})
    check_frames(o, image.stages()[:last])
    if kill_after_step:
        again = Context(ctx.tools, ctx.work + "-resumed")
        first, o = o, again.run("timeout 30\ndialog %s -> ok\nexpect-page Update\nclick 更新\n" % T.RESUME_QUESTION +
                                answer_stage_dialogs(last + 1, 5) + "within 150 expect-page Finish\nclick 完成\n"
                                "within 10 expect-exit\n", drop_all_traffic=True, env_extra={"XDG_STATE_HOME": state})
        o.problems[:0] = first.problems
        check_frames(o, image.stages()[last:])
    check_clean_end(o)
    o.expect(not [l for l in o.server_log if "GET" in l], "the server was asked: %s" % o.server_log)
    entries = history_entries(o, state)
    o.expect(entries and all(e["image_url"] == path for e in entries) and entries[-1]["result"] == "success",
             "history: %s" % entries)
    return o


def image_file_interrupted(ctx):
    return image_file_update(ctx, kill_after_step=2)


def image_file_refused(ctx):
    """Refused before anything is written: a damaged file and a file the
    history knows for the other variant (each with the dialog a downloaded
    image gets), a FIFO and a folder (a message, exit status 1)."""
    state = os.path.join(ctx.work, "state")
    other = build_image(32, SIX_BLOCKS)
    os.makedirs(os.path.join(state, "lumora-updater"), mode=0o700)
    with open(os.path.join(state, "lumora-updater", "history.jsonl"), "w") as f:
        f.write(json.dumps({"variant": 32, "image_sha256": hashlib.sha256(other.data).hexdigest(),
                            "result": "success"}, separators=(",", ":")) + "\n")
    fifo = os.path.join(ctx.work, "fifo.bin")
    os.mkfifo(fifo)
    runs = [(build_image(64, SIX_BLOCKS, past_end_entry=3).data, T.IMAGE_DAMAGED_PART),
            (other.data, T.WRONG_READER)]
    outcomes = []
    for data, text in runs:
        script = file_to_download_page(data) + "within 60 dialog %s -> ok\nwithin 10 expect-insensitive 下一步\n" % text
        outcomes.append(ctx.run(script + QUIT, drop_all_traffic=True, env_extra={"XDG_STATE_HOME": state},
                                updater_args=[image_file(ctx, data, "file-%d.bin" % len(outcomes))]))
        check_clean_end(outcomes[-1])
    for path in (fifo, ctx.work):
        o = ctx.run("timeout 30\ndialog %s -> ok\nwithin 10 expect-exit\n" % (T.FILE_NOT_REGULAR % path),
                    drop_all_traffic=True, updater_args=["--image", path], env_extra={"XDG_STATE_HOME": state})
        check_clean_end(o, status=1)
        outcomes.append(o)
    o = outcomes[-1]
    for each in outcomes:
        o.expect(not each.reader.frames() and not [l for l in each.reader.lines if l.split()[0] == "claim"],
                 "a refused file was written")
        if each is not o:
            o.problems += each.problems
    return o


def interrupted_update_finished(ctx):
    """Killed (SIGKILL) right after step 3's dialog appeared. The next
    launch has no network at all and the server offers another image: it
    offers the unfinished update, writes steps 4 to 6 from the saved image
    and removes it, holding the logind inhibitor meanwhile. The history holds
    the interrupted and the finished attempt."""
    image = build_image(64, SIX_BLOCKS)
    ctx.serve(image)
    state = os.path.join(ctx.work, "state")
    first = killed_after_step(ctx, 3, state)
    check_frames(first, image.stages()[:3])

    again = Context(ctx.tools, ctx.work + "-resumed")
    again.serve(build_image(64, {0: 7000, 5: 3000, 1: 5000}))
    o = again.run("""
timeout 30
dialog %s -> ok
expect-page Update
expect-label %s
expect-sensitive 更新
signal before-update
sleep 1
click 更新
within 60 dialog 第4步已成功更新 -> ok
within 60 dialog 第5步已成功更新 -> ok
within 150 expect-page Finish
signal at-finish
sleep 2
click 完成
within 10 expect-exit
""" % (T.RESUME_QUESTION, T.UPDATE_HINT), drop_all_traffic=True, logind_mock=True,
                  env_extra={"XDG_STATE_HOME": state})
    o.problems[:0] = first.problems
    check_clean_end(o)
    check_pages(o, ["Update", "Finish"])
    check_dialogs(o, [("info", "ok,cancel", T.RESUME_QUESTION), ("info", "ok", T.STAGE_DONE % 4),
                      ("info", "ok", T.STAGE_DONE % 5)])
    check_frames(o, image.stages()[3:])
    o.expect(not o.server_log or not [l for l in o.server_log if "GET" in l],
             "the update server was reached without a network: %s" % o.server_log)
    folder = os.path.join(state, "lumora-updater")
    o.expect(not os.path.exists(os.path.join(folder, "image.bin")), "the saved image was kept")
    check_history(o, folder, image)
    check_inhibitor(o)
    return o


# ---- crashes at chosen moments, and the next start ----

# Steps 1 to 4: 2 URBs, 19 URBs (a large step), 1 URB, 1 URB; URB serials
# 1-2, 3-21, 22 and 23 when nothing fails.
SWEEP_BLOCKS = {0: 20000, 5: 300000, 1: 16374, 2: 9000}
SWEEP_STEPS = 4

# name: (how run 1 dies, the step run 2 writes first; None: no resume)
CRASH_POINTS = {
    "first_urb": (("urb", 1), 1),
    "middle_of_large_step": (("urb", 12), 2),
    "last_urb_of_step": (("urb", 21), 2),
    "first_urb_after_replug": (("urb", 22), 3),
    "last_step": (("urb", 23), 4),
    "reconnect_wait": (("reconnect-wait", 1), 1),
    "download": (("download", 0), None),
}


def crash_run(ctx, image, how, state):
    """Run 1: the update, killed with SIGKILL at the chosen moment."""
    kind, n = how
    env = {"XDG_STATE_HOME": state}
    if kind == "download":
        script = TO_DOWNLOAD + """
click 下载
expect-label 状态: 0% 已下载
sleep 1
signal kill-now
within 60 wait-signal never
"""
        return ctx.run(script, kill_on_signal="kill-now", env_extra=env,
                       server_opts=["--fault", "stall", "--fault-path", IMG64])
    if kind == "reconnect-wait":
        # The reader stays away long enough for the kill to find it away.
        script = TO_UPDATE + """
click 更新
within 60 picture-change 402x128
signal kill-now
within 60 wait-signal never
"""
        return ctx.run(script, kill_on_signal="kill-now", env_extra=env,
                       reader_opts=["--return-after", "8000"])
    step = next(k for k, last in enumerate(urb_ends(image), 1) if n <= last)
    script = TO_UPDATE + "click 更新\n" + (answer_stage_dialogs(1, step - 1) if step > 1 else "") + \
        "within 120 wait-signal never\n"
    o = ctx.run(script, env_extra=env, reader_opts=["--kill-at-urb", str(n)])
    o.expect([l for l in o.reader.lines if "kill-at-urb n=%d" % n in l],
             "the reader never killed the updater at URB %d" % n)
    return o


def urb_ends(image):
    """The serial of each step's last URB when nothing fails."""
    ends, total = [], 0
    for _, _, payload in image.stages():
        total += -(-(len(payload) + 10) // 16384)
        ends.append(total)
    return ends


def resume_run(ctx, image, first_step, state):
    """Run 2, offline: the resume is offered and taken, and the update
    finishes from first_step with the saved image."""
    again = Context(ctx.tools, ctx.work + "-next")
    again.serve(build_image(64, {0: 7000, 5: 3000}))  # another image, never fetched
    script = """
timeout 30
dialog %s -> ok
expect-page Update
expect-sensitive 更新
click 更新
""" % T.RESUME_QUESTION
    if first_step < SWEEP_STEPS:
        script += answer_stage_dialogs(first_step, SWEEP_STEPS - 1)
    script += """
within 150 expect-page Finish
click 完成
within 10 expect-exit
"""
    o = again.run(script, drop_all_traffic=True, env_extra={"XDG_STATE_HOME": state})
    check_clean_end(o)
    check_pages(o, ["Update", "Finish"])
    check_frames(o, image.stages()[first_step - 1:])
    folder = os.path.join(state, "lumora-updater")
    o.expect(not os.path.exists(os.path.join(folder, "image.bin")), "the saved image was kept")
    return o


def crash_sweep(ctx, point):
    """Killed at one moment of the update; the next start offers the resume
    exactly when writing had begun, and every step from the first one the
    reader did not confirm goes to the reader again, byte for byte."""
    image = build_image(64, SWEEP_BLOCKS)
    ctx.serve(image)
    state = os.path.join(ctx.work, "state")
    how, first_step = CRASH_POINTS[point]
    first = crash_run(ctx, image, how, state)
    first.expect(first.status not in (0, None), "run 1 was not killed (status %r)" % first.status)
    if first_step is None:
        again = Context(ctx.tools, ctx.work + "-next")
        again.serve(image)
        o = again.run("timeout 30\nexpect-page Welcome\n" + QUIT, drop_all_traffic=True,
                      env_extra={"XDG_STATE_HOME": state})
        check_clean_end(o)
        check_dialogs(o, [("info", "ok,cancel", T.QUIT_QUESTION)])
        results = [e["result"] for e in history_entries(o, state)]
        o.expect(results == ["interrupted"], "history holds %s" % results)
    else:
        o = resume_run(ctx, image, first_step, state)
    o.problems[:0] = first.problems
    return o


def sent_never_confirmed(ctx):
    """The reader takes step 1's bytes and never comes back; Cancel during
    the wait, then the next start: step 1 is written again."""
    image = build_image(64, SWEEP_BLOCKS)
    ctx.serve(image)
    state = os.path.join(ctx.work, "state")
    first = ctx.run(TO_UPDATE + """
click 更新
within 60 picture-change 402x128
within 30 expect-sensitive 取消
""" + QUIT, reader_opts=["--reconnect", "stay-away"], env_extra={"XDG_STATE_HOME": state})
    check_clean_end(first)
    check_frames(first, image.stages()[:1])
    o = resume_run(ctx, image, 1, state)
    o.problems[:0] = first.problems
    got = [(e["result"], e["stages_sent"], e["stages_written"]) for e in history_entries(o, state)]
    o.expect(got == [("cancelled", [1], []), ("success", [1, 2, 3, 4], [1, 2, 3, 4])],
             "history holds %s" % got)
    return o


def history_odd_path(ctx):
    """The manifest names the image by a path with a byte that is not UTF-8:
    the image is fetched and saved, and the history still reads as UTF-8
    (jq reads it), the byte written as U+FFFD."""
    image = build_image(64, SIX_BLOCKS)
    odd = b"/ebook/img/lum\xffora.bin"
    ctx.serve(image, manifest_text=b"64\r\n" + ctx.tools.host.encode() + b"\r\n" + odd + b"\r\n")
    with open(os.path.join(ctx.root.encode(), odd.lstrip(b"/")), "wb") as f:
        f.write(image.data)
    state = os.path.join(ctx.work, "state")
    o = ctx.run(TO_UPDATE + QUIT, env_extra={"XDG_STATE_HOME": state})
    check_clean_end(o)
    history = os.path.join(state, "lumora-updater", "history.jsonl")
    # jq itself would take an invalid byte as U+FFFD: the file is decoded strictly first.
    entries = history_entries(o, state)
    o.expect(len(entries) == 1 and entries[0]["result"] == "cancelled", "history holds %s" % entries)
    jq = subprocess.run(["jq", "-r", ".image_url"], stdin=open(history, "rb"), capture_output=True)
    o.expect(jq.returncode == 0 and jq.stdout.decode("utf-8").endswith("/lum\ufffdora.bin\n"),
             "jq cannot read the history: %r %r" % (jq.stdout, jq.stderr))
    return o


def history_entries(o, state):
    """The history's entries; a line that is not valid UTF-8 JSON is a problem."""
    try:
        with open(os.path.join(state, "lumora-updater", "history.jsonl"), encoding="utf-8") as f:
            return [json.loads(line) for line in f]
    except (OSError, ValueError) as e:
        o.expect(False, "history.jsonl unreadable: %s" % e)
        return []


def check_history(o, folder, image):
    try:
        with open(os.path.join(folder, "history.jsonl"), encoding="utf-8") as f:
            entries = [json.loads(line) for line in f]
    except (OSError, ValueError) as e:
        o.expect(False, "history.jsonl unreadable: %s" % e)
        return
    got = [(e["result"], e["stages_written"]) for e in entries]
    o.expect(got == [("interrupted", [1, 2, 3]), ("success", [4, 5, 6])],
             "history holds %s" % got)
    sha = hashlib.sha256(image.data).hexdigest()
    for e in entries:
        o.expect(e["image_sha256"] == sha and e["image_url"].endswith(IMG64) and
                 e["stages_planned"] == [1, 2, 3, 4, 5, 6] and e["variant"] == 64,
                 "history entry does not name the saved image: %s" % e)


def check_inhibitor(o):
    """Held while the reader was written, none once the Finish page showed."""
    lines = read_lines(os.path.join(o.work, "inhibitors.log"))
    mark = lines.index("mark at-finish") if "mark at-finish" in lines else len(lines)
    before = [l for l in lines[:mark] if l.startswith("held ")]
    after = [l for l in lines[mark:] if l.startswith("held ")]
    waiting = held_between(o, "before-update", None)[:5]
    o.expect(waiting == [0] * 5, "the inhibitor was held before \"更新\": %s" % waiting)
    o.expect("held 1" in before, "the inhibitor was never held during the update")
    o.expect(after and after[-1] == "held 0", "the inhibitor was not released: %s" % after[-3:])


SCENARIOS = {f.__name__: f for f in (
    full_update, full_update_via_proxy, cancel_during_lookup, reader_renumbered, stage_failure_retried, reader_never_leaves, reader_stays_away,
    download_failure_retried, cancel_during_download, warning_no_network,
    warning_network_lost, warning_no_reader, warning_refused_model, warning_all_present,
    warning_probes_dropped, warning_live_window, warning_quit_during_check, warning_silent_reader,
    invalid_image, reader_swapped, interrupted_update_finished, sent_never_confirmed,
    stage_failed_twice, history_odd_path, keyboard_full_update,
    accessible_full_update, two_readers_refused, second_reader_other_variant,
    second_reader_instant_return, resume_at_other_port, image_file_update,
    image_file_interrupted, image_file_refused)}
for _point in CRASH_POINTS:
    SCENARIOS["crash_" + _point] = (lambda p: lambda ctx: crash_sweep(ctx, p))(_point)


def print_evidence(o):
    def show(title, lines, tail=None):
        print("---- %s ----" % title)
        for line in (lines if tail is None else lines[-tail:]):
            print(line)
    show("driver transcript", o.transcript.lines)
    show("reader log (last 60)", o.reader.lines, 60)
    show("server log", o.server_log)
    show("updater output (last 40)", read_lines(os.path.join(o.work, "updater.out")), 40)
    show("netns-run output (last 20)", read_lines(os.path.join(o.work, "outer.log")), 20)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    for name in ("updater", "reader", "server", "netns-run", "driver", "host", "work-root"):
        p.add_argument("--" + name, required=True)
    p.add_argument("--usbip-reader", action="store_true",
                   help="--reader is the USB/IP reader, attached to the running kernel")
    p.add_argument("scenario", choices=sorted(SCENARIOS) + ["demo"])
    p.add_argument("--out", help="demo: the folder for screenshots and transcript")
    p.add_argument("--pace", type=float, default=0.0, help="demo: seconds before each click")
    p.add_argument("--language", help="run the wizard under LANGUAGE=LANGUAGE (full_update and "
                   "warning_all_present), expecting the texts of its catalogue in --locale-dir")
    p.add_argument("--locale-dir", help="the built catalogues (share/locale of the build tree)")
    a = p.parse_args()
    reason = skip_reason()
    if reason:
        print("skipped: " + reason)
        return SKIPPED
    tools = Tools(a.updater, a.reader, a.server, a.netns_run, a.driver, a.host, a.usbip_reader)
    if a.scenario == "demo":
        ctx = Context(tools, os.path.abspath(a.out))
        o = full_update(ctx, pace=a.pace)
        name = "demo (full update)"
    else:
        name = a.scenario + ("_" + a.language if a.language else "")
        ctx = Context(tools, os.path.join(a.work_root, name), a.language, a.locale_dir)
        o = SCENARIOS[a.scenario](ctx)
    write_summary(o, name)
    if o.problems:
        print_evidence(o)
        print("---- %s FAILED ----" % name)
        for problem in o.problems:
            print("  " + problem)
        print("evidence in " + o.work)
        return 1
    print("%s passed (evidence in %s)" % (name, o.work))
    return 0


if __name__ == "__main__":
    sys.exit(main())
