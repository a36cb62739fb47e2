"""What the guest tests stand on: the USB/IP reader as a child process, the
kernel probe, the usbfs memory cap, and the evidence each test leaves in the
results folder."""
import os
import re
import signal
import subprocess
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.dirname(os.path.dirname(HERE))
READER = os.path.join(SRC, "tests", "support", "usbip", "reader.py")
USBFS_CAP = "/sys/module/usbcore/parameters/usbfs_memory_mb"
READY_S = 60


class Failed(Exception):
    pass


class ReaderProcess:
    """The emulated reader, attached through vhci-hcd while it runs."""

    def __init__(self, ctx, name, options):
        self.ctx = ctx
        self.log_path = os.path.join(ctx.scratch, name + ".log")
        self.frames_dir = os.path.join(ctx.scratch, name + "-frames")
        os.makedirs(self.frames_dir, exist_ok=True)
        ready = os.path.join(ctx.scratch, name + ".ready")
        cmd = ["python3", READER, "--log", self.log_path, "--frames-dir", self.frames_dir,
               "--ready", ready, *options]
        ctx.note("reader: " + " ".join(options))
        self.proc = subprocess.Popen(cmd, stdout=ctx.out, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + READY_S
        while not os.path.exists(ready):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise Failed("the reader was not enumerated by the kernel")
            time.sleep(0.05)

    def lines(self):
        if not os.path.exists(self.log_path):
            return []
        with open(self.log_path) as f:
            return f.read().splitlines()

    def grep(self, pattern):
        return [line for line in self.lines() if re.search(pattern, line)]

    def wait_for(self, pattern, count=1, timeout=60):
        """Waits until `count` log lines match; returns them."""
        deadline = time.monotonic() + timeout
        while True:
            found = self.grep(pattern)
            if len(found) >= count:
                return found
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise Failed("the reader never logged %r (%d of %d)" % (pattern, len(found), count))
            time.sleep(0.05)

    def devnums(self):
        """Device numbers under which the kernel enumerated the reader, in order."""
        return [int(m.group(1)) for m in
                (re.search(r"(?:attach|return) devnum=(\d+)", l) for l in self.lines()) if m]

    def frames(self):
        out = []
        for line in self.grep(r"\bframe \d+ "):
            m = re.search(r"frame (\d+) addr=0x([0-9a-f]+) len=(\d+) payload=(\d+) sum=0x([0-9a-f]+) ok=([01])", line)
            out.append({"n": int(m.group(1)), "addr": int(m.group(2), 16), "len": int(m.group(3)),
                        "payload": int(m.group(4)), "ok": m.group(6) == "1"})
        return out

    def saved_frame(self, n):
        with open(os.path.join(self.frames_dir, "frame-%02d.bin" % n), "rb") as f:
            return f.read()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Context:
    """One test's run: its log in the results folder, its scratch folder,
    the readers it started (stopped at the end) and its failed checks."""

    def __init__(self, name, build, results):
        self.name = name
        self.build = build
        self.results = results
        self.scratch = os.path.join("/tmp", "guest-" + name)
        self.probe_program = os.path.join(build, "tests", "kernel", "kernel_probe")
        os.makedirs(self.scratch, exist_ok=True)
        self.out = open(os.path.join(results, name + ".log"), "w", buffering=1)
        self.problems = []
        self.readers = []
        self.start = time.monotonic()

    def note(self, text):
        self.out.write("[%6.1fs] %s\n" % (time.monotonic() - self.start, text))

    def expect(self, condition, message):
        if not condition:
            self.problems.append(message)
            self.note("FAILED CHECK: " + message)
        return condition

    def reader(self, *options):
        r = ReaderProcess(self, "reader-%d" % len(self.readers), [str(o) for o in options])
        self.readers.append(r)
        return r

    def probe(self, *args, timeout=120):
        """Runs the kernel probe; its key=value words as a dict."""
        cmd = [self.probe_program, *map(str, args)]
        try:
            done = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Failed("probe %s did not return within %d s" % (" ".join(map(str, args)), timeout))
        self.note("probe %s -> %s%s" % (" ".join(map(str, args)), done.stdout.strip(),
                                         (" / " + done.stderr.strip()) if done.stderr.strip() else ""))
        words = {}
        for word in done.stdout.split():
            if "=" in word:
                key, value = word.split("=", 1)
                words[key] = value
        return words

    def run_logged(self, cmd, timeout):
        """Runs a command with its output in this test's log; its exit status."""
        self.note("running " + " ".join(cmd))
        try:
            return subprocess.run(cmd, stdout=self.out, stderr=subprocess.STDOUT,
                                  timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            raise Failed("%s did not end within %d s" % (os.path.basename(cmd[0]), timeout))

    def finish(self):
        for r in self.readers:
            r.stop()
            self.note("---- %s ----" % os.path.basename(r.log_path))
            for line in r.lines()[-40:]:
                self.out.write("  " + line + "\n")
        self.out.close()


def set_usbfs_cap(mb):
    with open(USBFS_CAP, "w") as f:
        f.write(str(mb))
    with open(USBFS_CAP) as f:
        return int(f.read())
