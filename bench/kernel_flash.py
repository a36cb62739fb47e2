#!/usr/bin/env python3
"""The flash stage through a real usbfs, measured inside the QEMU guest of
tests/kernel/run (bench/run starts it with --guest-main): the updater's
write_flash against the reference client (bench/reference_client.cpp, the
same 64-URB window, a frame built beforehand), alternating, on the same
USB/IP reader, at usbfs's default memory cap. Each write is one frame; the
reader checks it and stays on the bus for the next, so that the writes of a
pair follow each other closely and many pairs fit in a run.

  kernel_flash.py --list
  kernel_flash.py --build DIR --results DIR kernel_flash

Writes kernel-flash.jsonl (one line per write: client, mib, seconds) and
kernel_flash.log / kernel_flash.status to the results folder."""
import argparse
import json
import os
import sys

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "kernel"))

from guest_harness import Context, Failed, set_usbfs_cap  # noqa: E402

MIB = 1 << 20
# A 1 MiB write takes about 0.1 s in the guest, but the emulated CPU's speed
# drifts (for stretches of tens of seconds the same write takes twice as
# long): small writes are run more often, so that the median of the pairs
# settles.
RUNS_BY_MIB = {1: 200, 16: 30}
DEFAULT_CAP_MB = 16


def measure(ctx, out):
    set_usbfs_cap(DEFAULT_CAP_MB)
    reader = ctx.reader("--reconnect", "none")
    frames = [0]

    def write(client, mib):
        if client == "updater":
            r = ctx.probe("write", mib * MIB, frames[0] + 1, os.path.join(ctx.scratch, "sent"))
        else:
            r = ctx.probe("window", mib * MIB)
        if r.get("rc") != "0":
            raise Failed("%s write of %d MiB failed: %s" % (client, mib, r))
        frames[0] += 1
        reader.wait_for(r"\bframe %d .* ok=1" % frames[0], timeout=30)
        # The reader's copy of the frame is not needed here; kept, the copies
        # of a whole run would fill the guest's memory.
        os.remove(os.path.join(reader.frames_dir, "frame-%02d.bin" % frames[0]))
        return int(r["us"]) / 1e6

    # One write of each first, not recorded: the first run of a code path in
    # the guest pays for its translation by the emulator.
    for client in ("updater", "reference"):
        write(client, 1)
    for mib, runs in sorted(RUNS_BY_MIB.items()):
        for run in range(runs):
            # Which client goes first alternates, so that neither always
            # follows the other's re-enumeration.
            order = ("updater", "reference") if run % 2 == 0 else ("reference", "updater")
            for client in order:
                seconds = write(client, mib)
                out.write(json.dumps({"client": client, "mib": mib, "seconds": seconds}) + "\n")
                out.flush()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--list", action="store_true")
    p.add_argument("--build")
    p.add_argument("--results")
    p.add_argument("names", nargs="*")
    a = p.parse_args()
    if a.list:
        print("kernel_flash")
        return 0
    ctx = Context("kernel_flash", a.build, a.results)
    try:
        with open(os.path.join(a.results, "kernel-flash.jsonl"), "w") as out:
            measure(ctx, out)
    except Failed as e:
        ctx.expect(False, str(e))
    finally:
        ctx.finish()
    with open(os.path.join(a.results, "kernel_flash.status"), "w") as f:
        f.write("failed\n" if ctx.problems else "passed\n")
    return 1 if ctx.problems else 0


if __name__ == "__main__":
    sys.exit(main())
