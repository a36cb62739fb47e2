#!/usr/bin/env python3
"""The device side against the real Linux USB stack, run inside the guest
by tests/kernel/run: the kernel's hub driver, sysfs, usbfs with its memory
cap and URB handling are real; only the reader is emulated (over USB/IP).

  guest_tests.py --list
  guest_tests.py --build DIR --results DIR [TEST...]

Each test leaves TEST.log and TEST.status ("passed" or "failed") in the
results folder, and has a time limit of its own."""
import argparse
import os
import signal
import sys
import traceback

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from guest_harness import READER, SRC, Context, Failed, set_usbfs_cap  # noqa: E402

KIB = 1024
MIB = 1024 * KIB
FLASH_ADDRESS = 0x40000
FAULT_BLOCK = 4 * MIB          # 256 URBs of 16 KiB
WINDOW = 64                    # URBs the updater keeps in flight
FAULT_AT = 3


def file_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def check_frame(ctx, reader, n, size, sent_path):
    # The reader logs a frame once its file is saved; the write may return
    # before the reader has got that far.
    reader.wait_for(r"\bframe %d " % n)
    frames = [f for f in reader.frames() if f["n"] == n]
    if not ctx.expect(frames, "the reader recorded no frame %d" % n):
        return
    f = frames[0]
    ctx.expect(f["ok"], "frame %d arrived damaged" % n)
    ctx.expect(f["addr"] == FLASH_ADDRESS and f["payload"] == size and f["len"] == size + 10,
               "frame %d: %r, expected %d payload bytes at 0x%x" % (n, f, size, FLASH_ADDRESS))
    ctx.expect(reader.saved_frame(n) == file_bytes(sent_path),
               "frame %d differs from the block written" % n)


def check_enumerated_again(ctx, reader, returns):
    """The reader came back under a new device number, and the updater finds it there."""
    reader.wait_for(r"\breturn devnum=", returns)
    numbers = reader.devnums()
    ctx.expect(len(set(numbers)) == len(numbers), "a device number came back: %s" % numbers)
    found = ctx.probe("discover")
    ctx.expect(found.get("connect") == "0" and found.get("dev") == str(numbers[-1]),
               "the updater did not find the reader again at device %d" % numbers[-1])


def check_failed_cleanly(ctx, result):
    ctx.expect(result.get("rc") == "-1", "the write did not fail: %s" % result)
    ctx.expect(result.get("usb_fds") == "0", "the node was left open: %s" % result)


# ---- the tests ----

def discovery(ctx):
    """The kernel's own sysfs entries lead the updater to the node, and the
    product string comes through a real control transfer."""
    reader = ctx.reader()
    found = ctx.probe("discover")
    bus_dev = reader.grep(r"attach devnum=(\d+) bus=(\d+)")[0].split()
    ctx.expect(found.get("connect") == "0" and found.get("root") == "/dev/bus/usb",
               "the updater did not find the reader: %s" % found)
    ctx.expect("devnum=%s" % found.get("dev") in bus_dev and "bus=%s" % found.get("bus") in bus_dev,
               "the updater found another node than the kernel's: %s, %s" % (found, bus_dev))
    ctx.expect(found.get("variant") == "64" and found.get("usb_fds") == "0",
               "variant of the 64 reader: %s" % found)
    ctx.expect(reader.grep("string-request"), "the product string was not asked of the device")
    reader.stop()
    ctx.reader("--product", "ORVEX LUMORA32 UPDate")
    found = ctx.probe("discover")
    ctx.expect(found.get("variant") == "32", "variant of the 32 reader: %s" % found)


def flash_window(ctx):
    """With usbfs_memory_mb lowered to 2, the updater's window writes 1 KiB,
    1 MiB and 24 MiB, while a client that submits a whole 24 MiB frame at
    once is refused by the same kernel."""
    ctx.expect(set_usbfs_cap(2) == 2, "usbfs_memory_mb could not be lowered")
    reader = ctx.reader()
    sizes = [1 * KIB, 1 * MIB, 24 * MIB]
    returns = 0
    for n, size in enumerate(sizes, start=1):
        sent = os.path.join(ctx.scratch, "sent-%d.bin" % n)
        result = ctx.probe("write", size, n, sent)
        ctx.expect(result.get("rc") == "0" and result.get("usb_fds") == "0",
                   "the write of %d bytes failed: %s" % (size, result))
        check_frame(ctx, reader, n, size, sent)
        returns += 1
        reader.wait_for(r"\breturn devnum=", returns)
        if n == 1:
            whole = ctx.probe("whole", 24 * MIB)
            ctx.expect(whole.get("rc") == "-1" and whole.get("errno") == "12",
                       "the whole frame at once was not refused for lack of usbfs memory: %s" % whole)
            reader.wait_for("drained")
            returns += 1
            reader.wait_for(r"\breturn devnum=", returns)
    lines = reader.lines()
    after_frames = [l for prev, l in zip(lines, lines[1:]) if " frame " in prev and "leave" in l]
    most = max(int(l.split("max-inflight=")[1].split()[0]) for l in after_frames)
    ctx.expect(most <= WINDOW, "the updater had %d URBs in flight" % most)
    numbers = reader.devnums()
    ctx.expect(numbers == sorted(numbers) and len(set(numbers)) == len(numbers),
               "the reader did not come back under new device numbers: %s" % numbers)


def flash_window_i386(ctx):
    """The same writes by the i386 build's writer: a 32-bit program on this
    64-bit kernel, whose URBs go through usbfs's compat layer."""
    ctx.probe_program = os.path.join(ctx.results, "kernel_probe_i386")
    flash_window(ctx)


def fault_stall(ctx):
    """A stalled endpoint fails the write at once; the updater leaves no URB
    and no open node behind, and finds the reader after it restarts."""
    reader = ctx.reader("--fault", "stall", "--fault-at", FAULT_AT)
    check_failed_cleanly(ctx, ctx.probe("write", FAULT_BLOCK, 1, os.path.join(ctx.scratch, "sent")))
    ctx.expect(reader.grep("urb-stalled"), "the reader did not stall")
    reader.wait_for("drained")
    check_enumerated_again(ctx, reader, 1)
    ctx.expect(not reader.frames(), "a frame was completed")


def fault_leave(ctx):
    """The reader leaves the bus in the middle of a frame: the write fails,
    the node is closed, and the reader is found again when it comes back."""
    reader = ctx.reader("--fault", "leave", "--fault-at", FAULT_AT)
    check_failed_cleanly(ctx, ctx.probe("write", FAULT_BLOCK, 1, os.path.join(ctx.scratch, "sent")))
    ctx.expect(reader.grep("leaving mid-frame"), "the reader did not leave mid-frame")
    check_enumerated_again(ctx, reader, 1)


def fault_short(ctx):
    """A URB that completes short ends the stream: nothing more is submitted,
    what is in flight is discarded, and the write fails."""
    reader = ctx.reader("--fault", "short", "--fault-at", FAULT_AT)
    check_failed_cleanly(ctx, ctx.probe("write", FAULT_BLOCK, 1, os.path.join(ctx.scratch, "sent")))
    ctx.expect(reader.grep("urb-short"), "the reader did not complete a URB short")
    reader.wait_for("drained")
    check_enumerated_again(ctx, reader, 1)
    leave = reader.grep(r"leave devnum=.*bulk-urbs=(\d+)")[0]
    urbs = int(leave.split("bulk-urbs=")[1].split()[0])
    ctx.expect(urbs <= WINDOW + FAULT_AT,
               "the stream went on after the short URB: %d URBs of %d reached the reader" %
               (urbs, FAULT_BLOCK // (16 * KIB)))


def fault_mute_string(ctx):
    """A reader that never answers the product-string request: the variant
    read gives up on its own (the kernel unlinks the request, ETIMEDOUT),
    long before the reader would leave the bus, and the reader counts as
    not identified (-1), not as variant 32."""
    reader = ctx.reader("--fault", "mute-string", "--give-up", "10")
    found = ctx.probe("discover", timeout=60)
    ctx.expect(found.get("variant") == "-1" and found.get("usb_fds") == "0",
               "variant with an unanswered string request: %s" % found)
    ctx.expect(reader.grep("string-unlinked"), "the string request was never withdrawn")
    ctx.expect(not reader.grep("string-still-pending"),
               "the request was still pending when the reader gave up")
    check_enumerated_again(ctx, reader, 1)


def fault_stay_away(ctx):
    """The reader leaves after a frame and never comes back: the connection
    test keeps failing and a write fails without a node."""
    reader = ctx.reader("--reconnect", "stay-away")
    result = ctx.probe("write", 1 * KIB, 1, os.path.join(ctx.scratch, "sent"))
    ctx.expect(result.get("rc") == "0", "the first write failed: %s" % result)
    reader.wait_for("staying away")
    away = ctx.probe("away", 3)
    ctx.expect(away.get("seen") == "0" and away.get("write_rc") == "-1",
               "a reader that never came back was seen: %s" % away)


def slow_reader(ctx):
    """A reader that takes the frame at a bus-like 2 MB/s under the lowered
    cap: the write completes, with exactly the window's 64 URBs pending in
    the kernel at the most."""
    ctx.expect(set_usbfs_cap(2) == 2, "usbfs_memory_mb could not be lowered")
    reader = ctx.reader("--rate", "2")
    sent = os.path.join(ctx.scratch, "sent")
    result = ctx.probe("write", FAULT_BLOCK, 1, sent)
    ctx.expect(result.get("rc") == "0", "the slow write failed: %s" % result)
    check_frame(ctx, reader, 1, FAULT_BLOCK, sent)
    leave = reader.wait_for(r"leave devnum=.*max-inflight=")[0]
    most = int(leave.split("max-inflight=")[1].split()[0])
    ctx.expect(most == WINDOW, "%d URBs were in flight at the most, expected %d" % (most, WINDOW))


def wizard(ctx):
    """The real updater under Xvfb, clicked through a six-stage update by the
    end-to-end driver, with the reader re-enumerated by the kernel after each
    stage; the end-to-end harness checks pages, dialogs, frames and renumbering."""
    b = ctx.build
    result = ctx.run_logged([
        "xvfb-run", "-a", "-s", "-screen 0 1024x768x24",
        "python3", os.path.join(SRC, "tests", "e2e", "harness", "scenarios.py"),
        "--updater", os.path.join(b, "src", "app", "lumora-updater"),
        "--reader", READER, "--usbip-reader",
        "--server", os.path.join(b, "tests", "support", "server", "lumora-fake-server"),
        "--netns-run", os.path.join(SRC, "tests", "support", "server", "netns-run"),
        "--driver", os.path.join(b, "tests", "e2e", "liblumora-e2e-driver.so"),
        "--host", server_host(b), "--work-root", ctx.results, "full_update"], timeout=400)
    ctx.expect(result == 0, "the six-stage update did not pass (status %s)" % result)


def server_host(build):
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith("LUMORA_SERVER_HOST:"):
                return line.split("=", 1)[1].strip()
    raise Failed("no LUMORA_SERVER_HOST in the build's cache")


TESTS = {f.__name__: (f, limit) for f, limit in (
    (discovery, 120), (flash_window, 300), (fault_stall, 120), (fault_leave, 120),
    (fault_short, 120), (fault_mute_string, 120), (fault_stay_away, 120),
    (slow_reader, 120), (wizard, 420), (flash_window_i386, 300))}
# Run only when tests/kernel/run is given the i386 writer.
NEEDS_I386_WRITER = {"flash_window_i386"}


# ---- running them ----

def run_one(name, build, results):
    function, limit = TESTS[name]
    ctx = Context(name, build, results)

    def out_of_time(signum, frame):
        raise Failed("the test did not end within %d s" % limit)

    signal.signal(signal.SIGALRM, out_of_time)
    signal.alarm(limit)
    try:
        set_usbfs_cap(16)
        function(ctx)
    except Failed as e:
        ctx.problems.append(str(e))
        ctx.note("FAILED: %s" % e)
    except Exception:
        ctx.problems.append("error")
        ctx.note(traceback.format_exc())
    finally:
        signal.alarm(0)
        ctx.finish()
    verdict = "failed" if ctx.problems else "passed"
    with open(os.path.join(results, name + ".status"), "w") as f:
        f.write(verdict + "\n")
    print("guest test %s: %s" % (name, verdict), flush=True)
    return not ctx.problems


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--list", action="store_true")
    p.add_argument("--build")
    p.add_argument("--results")
    p.add_argument("tests", nargs="*")
    a = p.parse_args()
    if a.list:
        print("\n".join(n for n in TESTS if n not in NEEDS_I386_WRITER))
        return 0
    ok = True
    for name in a.tests or list(TESTS):
        ok = run_one(name, a.build, a.results) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
