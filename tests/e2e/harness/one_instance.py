#!/usr/bin/env python3
"""One wizard per user session: a second launch while the first runs says
so in one dialog, exits 0 and never opens the reader; the lock goes with
the first process, whether it quits or is killed.

  one_instance.py --updater U --reader R --netns-run N --driver D --work-root W

Each updater runs under its own emulated reader, so an open in a reader's
log is an open by that updater. All share one XDG_RUNTIME_DIR, as the
processes of one user's session do. Needs root (namespaces) and DISPLAY."""
import argparse
import fcntl
import glob
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import texts as T  # noqa: E402
from image import build_image  # noqa: E402
from logs import ReaderLog, Transcript  # noqa: E402
from run import skip_reason, start_updater  # noqa: E402

SKIPPED = 77

FIRST = """
expect-page Welcome
click 下一步
expect-page Warning
within 60 expect-sensitive 下一步
signal running
within 120 wait-signal second-done
click 取消
dialog %s -> ok
within 30 expect-exit
""" % T.QUIT_QUESTION

SECOND = """
within 30 dialog %s -> none
screenshot already-running
dialog %s -> ok
within 10 expect-exit
""" % (T.ALREADY_RUNNING, T.ALREADY_RUNNING)

KILLED = """
expect-page Welcome
signal running
within 300 expect-exit
"""


class Check:
    def __init__(self):
        self.problems = []

    def expect(self, condition, message):
        if not condition:
            self.problems.append(message)
        return condition


class Session:
    """Updaters of one user's session: work/NAME per run, one runtime folder."""

    def __init__(self, cfg):
        self.cfg = cfg
        self.runtime = os.path.join(cfg["work"], "runtime")
        os.makedirs(self.runtime, mode=0o700)

    def start(self, name, script, env_extra=None):
        work = os.path.join(self.cfg["work"], name)
        for sub in ("shots", "signals", "frames"):
            os.makedirs(os.path.join(work, sub))
        with open(os.path.join(work, "script.txt"), "w", encoding="utf-8") as f:
            f.write(script)
        env = dict({"XDG_RUNTIME_DIR": self.runtime}, **(env_extra or {}))
        proc = start_updater(work, self.cfg["tools"], env_extra=env)
        return work, proc

    def lock_state(self):
        """'held', 'free', or 'none' when no lock file was made."""
        paths = glob.glob(os.path.join(self.runtime, "*.lock"))
        if len(paths) != 1:
            return "none"
        fd = os.open(paths[0], os.O_RDONLY | os.O_CLOEXEC)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return "free"
        except BlockingIOError:
            return "held"
        finally:
            os.close(fd)


def wait_for_signal(work, proc, name, timeout=90):
    path = os.path.join(work, "signals", name)
    deadline = time.monotonic() + timeout
    while not os.path.exists(path):
        if proc.poll() is not None or time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def finish(proc, timeout=60):
    try:
        return proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        return None


def opens(work):
    return [line for line in ReaderLog(os.path.join(work, "reader.log")).lines
            if line.startswith("open ")]


def second_launch_leaves_the_first_alone(session, c):
    first, first_proc = session.start("first", FIRST)
    if not c.expect(wait_for_signal(first, first_proc, "running"),
                    "the first wizard never saw its reader"):
        finish(first_proc, 5)
        return
    state = session.lock_state()
    c.expect(state == "held", "the running wizard's lock is %s, expected held" % state)
    c.expect(opens(first), "the emulated reader logged no open by the first wizard")

    second, second_proc = session.start("second", SECOND)
    status = finish(second_proc)
    t = Transcript(os.path.join(second, "driver.log"))
    c.expect(status == 0, "second launch: exit status %r, expected 0" % status)
    c.expect(t.complete() and not t.failures(), "second launch: the script did not complete")
    seen = [(d["type"], d["buttons"], d["title"], d["text"]) for d in t.dialogs()]
    c.expect(seen == [("info", "ok", T.TITLE, T.ALREADY_RUNNING)],
             "second launch: dialogs %r" % seen)
    c.expect(not t.pages(), "second launch showed wizard pages %s" % t.pages())
    c.expect(not opens(second), "second launch opened the reader: %s" % opens(second))

    with open(os.path.join(first, "signals", "second-done"), "w"):
        pass
    status = finish(first_proc)
    t = Transcript(os.path.join(first, "driver.log"))
    c.expect(status == 0 and t.complete(), "the first wizard did not quit cleanly (%r)" % status)
    state = session.lock_state()
    c.expect(state == "free", "the lock is %s after the wizard quit, expected free" % state)


def lock_goes_with_a_killed_wizard(session, c):
    work, proc = session.start("killed", KILLED)
    if not c.expect(wait_for_signal(work, proc, "running"), "the wizard did not start"):
        finish(proc, 5)
        return
    state = session.lock_state()
    c.expect(state == "held", "the running wizard's lock is %s, expected held" % state)
    started = Transcript(os.path.join(work, "driver.log")).of("driver")
    pid = int(started[0].split("pid=")[1].split()[0])
    os.kill(pid, signal.SIGKILL)
    status = finish(proc)
    c.expect(status == 128 + signal.SIGKILL, "the wizard was not killed (%r)" % status)
    state = session.lock_state()
    c.expect(state == "free", "the lock is %s after SIGKILL, expected free" % state)


RESUMED = """
within 30 dialog %s -> ok
expect-page Update
signal running
within 120 wait-signal second-done
click 取消
dialog %s -> ok
within 30 expect-exit
""" % (T.RESUME_QUESTION, T.QUIT_QUESTION)


def plant_unfinished_update(folder):
    """A saved update whose step 1 is done, and one line of history."""
    image = build_image(64, {0: 3000, 5: 2000})
    os.makedirs(folder, mode=0o700)
    fields = [("variant", "64"), ("host", "h"), ("path", "/p"), ("size", str(len(image.data))),
              ("sha256", hashlib.sha256(image.data).hexdigest()), ("saved", "x"), ("started", "x"),
              ("updated", "x"), ("planned", "3"), ("done", "1"), ("sent", "0"), ("written", "0"),
              ("begun", "1"), ("logged", "1")]
    files = {"image.bin": image.data,
             "journal": ("lumora-updater journal 2\n" +
                         "".join("%s=%s\n" % kv for kv in fields)).encode(),
             "history.jsonl": b'{"result":"interrupted"}\n'}
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


def saved_update(folder):
    out = {}
    for name in ("journal", "image.bin", "history.jsonl"):
        try:
            with open(os.path.join(folder, name), "rb") as f:
                out[name] = f.read()
        except OSError:
            out[name] = None
    return out


def other_session_leaves_the_saved_update_alone(session, c):
    """The first wizard runs with XDG_RUNTIME_DIR and has taken up a saved
    update; a second, started without it (su, ssh), shares the state folder
    only: it ends at once and touches neither the update nor the history."""
    state = os.path.join(session.cfg["work"], "shared-state")
    folder = os.path.join(state, "lumora-updater")
    plant_unfinished_update(folder)
    first, first_proc = session.start("resumed", RESUMED, {"XDG_STATE_HOME": state})
    if not c.expect(wait_for_signal(first, first_proc, "running"),
                    "the first wizard did not take up the saved update"):
        finish(first_proc, 5)
        return
    before = saved_update(folder)
    c.expect(before["image.bin"] and before["journal"], "the first wizard dropped the saved update")
    second, second_proc = session.start("no-runtime", SECOND,
                                        {"XDG_STATE_HOME": state, "XDG_RUNTIME_DIR": None})
    status = finish(second_proc)
    t = Transcript(os.path.join(second, "driver.log"))
    c.expect(status == 0 and t.complete() and not t.failures(),
             "second wizard: status %r, script incomplete or failed" % status)
    seen = [d["text"] for d in t.dialogs()]
    c.expect(seen == [T.ALREADY_RUNNING], "second wizard: dialogs %r" % seen)
    c.expect(not opens(second), "second wizard opened the reader")
    c.expect(saved_update(folder) == before, "the second wizard changed the saved update")
    with open(os.path.join(first, "signals", "second-done"), "w"):
        pass
    c.expect(finish(first_proc) == 0, "the first wizard did not quit cleanly")


def inner(config_path):
    with open(config_path) as f:
        cfg = json.load(f)
    session = Session(cfg)
    c = Check()
    second_launch_leaves_the_first_alone(session, c)
    lock_goes_with_a_killed_wizard(session, c)
    other_session_leaves_the_saved_update_alone(session, c)
    for problem in c.problems:
        print("FAILED: " + problem)
    return 1 if c.problems else 0


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--inner":
        return inner(sys.argv[2])
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    for name in ("updater", "reader", "netns-run", "driver", "work-root"):
        p.add_argument("--" + name, required=True)
    a = p.parse_args()
    reason = skip_reason()
    if reason:
        print("skipped: " + reason)
        return SKIPPED
    work = os.path.join(os.path.abspath(a.work_root), "one_instance")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    tools = {"updater": a.updater, "reader": a.reader, "driver": a.driver}
    config = os.path.join(work, "inner.json")
    with open(config, "w") as f:
        json.dump({"work": work, "tools": tools}, f)
    status = subprocess.run([a.netns_run, "--", sys.executable, os.path.abspath(__file__),
                             "--inner", config]).returncode
    print("one_instance %s (evidence in %s)" % ("passed" if status == 0 else "FAILED", work))
    return status


if __name__ == "__main__":
    sys.exit(main())
