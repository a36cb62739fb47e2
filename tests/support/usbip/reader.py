#!/usr/bin/env python3
"""The e-book reader in update mode, emulated at the USB level for a real
Linux kernel: it attaches itself to vhci-hcd (USB/IP) and is enumerated by
the kernel's hub driver like a device on a cable. It checks and records every
flash frame it receives on bulk endpoint 3, and after each complete frame it
leaves the bus and comes back under a new device number, as the reader
restarts. Needs root, and the vhci-hcd module loaded.

  reader.py --log FILE [--frames-dir DIR] [--ready FILE] [--product TEXT]
            [--reconnect renumber|none|stay-away] [--rate MBPS]
            [--fault stall|leave|short|mute-string] [--fault-at N] [--fault-frame K]
            [--give-up SECONDS]

Faults: "stall" answers bulk URB N of frame K, and every later one until the
reader restarts, with a stall; "leave" leaves the bus when URB N arrives;
"short" completes URB N with half its bytes; "mute-string" never answers the
product-string request once configured (until it leaves after --give-up
seconds). After an aborted transfer (a fault, or URBs unlinked by the host)
the reader waits until no URB is left and the host has gone quiet, then
restarts. --rate paces the bulk completions like a bus of that speed.
Runs until SIGTERM or SIGINT. The log lines match those of the umockdev
reader (tests/support/reader), so the same checks read both."""
import argparse
import os
import signal
import sys
import threading
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import descriptors as D  # noqa: E402
import vhci  # noqa: E402
from frames import FrameParser  # noqa: E402
from session import Faults, Session  # noqa: E402

ENUMERATION_S = 30.0


class Reader:
    def __init__(self, args):
        self.product = args.product
        self.reconnect = args.reconnect
        self.rate = args.rate * 1e6 if args.rate else 0.0
        self.faults = Faults(args.fault, args.fault_at, args.fault_frame, args.give_up)
        self.leave_delay_s = 0.2
        self.return_delay_s = 0.5
        self.frames_dir = args.frames_dir
        self.log_file = open(args.log, "a", buffering=1)
        self.parser = FrameParser()
        self.frames_seen = 0
        self.urbs_in_frame = 0
        self.bulk_urbs = 0
        self.unlinked = 0
        self.max_in_flight = 0
        self.leave_now = False
        self.port = None
        self.lock = threading.Lock()

    def log(self, text):
        with self.lock:
            self.log_file.write("%.3f %s\n" % (time.monotonic(), text))

    def note_in_flight(self, n):
        self.max_in_flight = max(self.max_in_flight, n)

    def accept(self, data):
        """Feeds bulk bytes to the frame parser; True when a frame ended."""
        ended = False
        for frame in self.parser.feed(data):
            self.frames_seen += 1
            self.urbs_in_frame = 0
            ended = True
            # Saved before it is logged: whoever waits for the log line reads
            # the whole frame, not one still being written.
            if self.frames_dir:
                path = os.path.join(self.frames_dir, "frame-%02d.bin" % self.frames_seen)
                with open(path, "wb") as f:
                    f.write(frame.payload)
            self.log("frame %d addr=0x%08x len=%u payload=%u sum=0x%04x ok=%d" %
                     (self.frames_seen, frame.addr, frame.length, len(frame.payload),
                      frame.checksum & 0xFFFF, 1 if frame.ok() else 0))
        return ended

    def abort_frame(self):
        """Drops a partly received frame: the restarted reader waits for a new one."""
        if self.parser.received():
            head = self.parser.header() or (0, 0)
            self.log("abort addr=0x%08x len=%u received=%d" % (head[0], head[1],
                                                               self.parser.received()))
        self.parser.reset()
        self.urbs_in_frame = 0

    # ---- life on the bus ----

    def plug_in(self, first, attach_count):
        port, sock = vhci.attach(devid=(1 << 16) | (attach_count + 2))
        self.port = port
        self.max_in_flight = 0
        self.bulk_urbs = 0
        self.unlinked = 0
        session = Session(sock, self)
        result = {}
        thread = threading.Thread(target=lambda: result.update(reason=session.run()), daemon=True)
        thread.start()
        found = None
        deadline = time.monotonic() + ENUMERATION_S
        while found is None and thread.is_alive() and time.monotonic() < deadline:
            found = vhci.find_device(D.VENDOR, D.PRODUCT)
            time.sleep(0.02)
        if found is None:
            raise RuntimeError("the kernel did not enumerate the reader")
        self.log("%s devnum=%d bus=%d" % ("attach" if first else "return", found[1], found[0]))
        return port, sock, thread, result, found[1]

    def unplug(self, port, sock, devnum):
        vhci.detach(port)
        self.port = None
        sock.close()
        self.leave_now = False
        self.log("leave devnum=%d bulk-urbs=%d max-inflight=%d unlinked=%d" %
                 (devnum, self.bulk_urbs, self.max_in_flight, self.unlinked))

    def live(self, ready_path):
        attach_count = 0
        while True:
            port, sock, thread, result, devnum = self.plug_in(attach_count == 0, attach_count)
            if attach_count == 0 and ready_path:
                open(ready_path, "w").close()
            attach_count += 1
            try:
                thread.join()
            finally:
                self.unplug(port, sock, devnum)
            reason = result.get("reason", "closed")
            if reason in ("fault-leave", "give-up", "closed"):
                self.abort_frame()
            if reason == "frame" and self.reconnect == "stay-away":
                self.log("staying away")
                while True:
                    time.sleep(3600)
            time.sleep(self.return_delay_s)


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--log", required=True)
    p.add_argument("--frames-dir")
    p.add_argument("--ready")
    p.add_argument("--product", default=D.PRODUCT_64)
    p.add_argument("--reconnect", choices=("renumber", "none", "stay-away"), default="renumber")
    p.add_argument("--rate", type=float, default=0.0, help="bulk completion rate in MB/s")
    p.add_argument("--fault", choices=("stall", "leave", "short", "mute-string"))
    p.add_argument("--fault-at", type=int, default=1)
    p.add_argument("--fault-frame", type=int, default=1)
    p.add_argument("--give-up", type=float, default=10.0)
    return p.parse_args()


def main():
    args = parse_args()
    reader = Reader(args)

    def stop(signum, frame):
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    try:
        reader.live(args.ready)
    finally:
        # Leave the bus on the way out, so that the next reader finds a free port.
        if reader.port is not None:
            vhci.detach(reader.port)
        reader.log_file.close()
        # The session thread may still be winding down: no interpreter clean-up.
        os._exit(0)


if __name__ == "__main__":
    sys.exit(main())
