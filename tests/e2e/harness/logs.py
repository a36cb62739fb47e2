"""Reading what a run left behind: the driver's transcript, the emulated
reader's log and saved frames, and the local server's log."""
import os
import re

FRAME_RE = re.compile(r"frame (\d+) addr=0x([0-9a-fA-F]+) len=(\d+) payload=(\d+) "
                      r"sum=0x([0-9a-fA-F]+) ok=([01])")
MOVE_RE = re.compile(r"\b(leave|return) devnum=(\d+)")
DIALOG_RE = re.compile(r"dialog type=(\S+) buttons=(\S+) title=(.*?) text=(.*)$")


def unescape(text):
    out, i = [], 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            out.append("\n" if text[i + 1] == "n" else text[i + 1])
            i += 2
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


def read_lines(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read().splitlines()


class Transcript:
    """Events of the driver: (seconds, verb, rest of the line)."""

    def __init__(self, path):
        self.lines = read_lines(path)
        self.events = []
        for line in self.lines:
            parts = line.strip().split(" ", 2)
            if len(parts) >= 2:
                self.events.append((float(parts[0]), parts[1], parts[2] if len(parts) > 2 else ""))

    def of(self, verb):
        return [rest for _, v, rest in self.events if v == verb]

    def pages(self):
        return self.of("page")

    def dialogs(self):
        out = []
        for rest in self.of("dialog"):
            m = DIALOG_RE.match("dialog " + rest)
            if m:
                out.append({"type": m.group(1), "buttons": m.group(2),
                            "title": unescape(m.group(3)), "text": unescape(m.group(4))})
        return out

    def failures(self):
        return [line for line in self.lines if " FAIL " in line]

    def complete(self):
        return any(v == "script" and r == "complete" for _, v, r in self.events)

    def after(self, verb, rest):
        """The events after the first (verb, rest)."""
        for i, (_, v, r) in enumerate(self.events):
            if v == verb and r == rest:
                return self.events[i + 1:]
        return []

    def time_of(self, verb, prefix=""):
        for t, v, r in self.events:
            if v == verb and r.startswith(prefix):
                return t
        return None


class ReaderLog:
    def __init__(self, path):
        self.lines = read_lines(path)

    def frames(self):
        out = []
        for line in self.lines:
            m = FRAME_RE.search(line)
            if m:
                out.append({"n": int(m.group(1)), "addr": int(m.group(2), 16),
                            "len": int(m.group(3)), "payload": int(m.group(4)),
                            "sum": int(m.group(5), 16), "ok": m.group(6) == "1"})
        return out

    def events(self):
        """'frame', 'frame-bad', ('leave', devnum), ('return', devnum) in log order."""
        out = []
        for line in self.lines:
            m = FRAME_RE.search(line)
            if m:
                out.append(("frame" if m.group(6) == "1" else "frame-bad", int(m.group(1))))
                continue
            m = MOVE_RE.search(line)
            if m:
                out.append((m.group(1), int(m.group(2))))
        return out


def saved_frames(frames_dir):
    if not os.path.isdir(frames_dir):
        return []
    names = sorted(n for n in os.listdir(frames_dir) if re.fullmatch(r"frame-\d+\.bin", n))
    out = []
    for name in names:
        with open(os.path.join(frames_dir, name), "rb") as f:
            out.append(f.read())
    return out


def png_size(path):
    """(width, height) of a PNG file, or None when it is not one."""
    try:
        with open(path, "rb") as f:
            head = f.read(24)
    except OSError:
        return None
    if len(head) < 24 or head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big")
