"""One attachment of the reader: serves the URBs that the kernel sends over
the USB/IP socket until the reader has a reason to leave the bus, and
injects the configured fault."""
import collections
import select
import time

import descriptors as D
import wire

IDLE_AFTER_ABORT_S = 1.0


class Faults:
    """What goes wrong, and where: `at` is the 1-based bulk URB of frame
    `frame` (counted over the reader's life) at which the fault strikes."""

    def __init__(self, mode=None, at=1, frame=1, give_up_s=10.0):
        self.mode = mode
        self.at = at
        self.frame = frame
        self.give_up_s = give_up_s
        self.done = False


class Session:
    """Returns from run() with the reason to leave: "frame" (a complete
    frame: the reader restarts), "drained" (an aborted transfer has been
    wound down), "fault-leave" (leaving mid-frame on purpose), "give-up"
    (a request never answered) or "closed" (the kernel dropped the link)."""

    def __init__(self, sock, reader):
        self.sock = sock
        self.r = reader
        self.pending = collections.deque()   # bulk URBs: [command, due time, short]
        self.muted = {}                      # seqnum -> time a held control request arrived
        self.configured = False
        self.stalled = False
        self.aborting = False
        self.last_traffic = time.monotonic()
        self.next_due = 0.0
        self.leave_at = None

    # ---- the loop ----

    def run(self):
        try:
            return self._serve()
        except OSError:
            return "closed"

    def _serve(self):
        while True:
            now = time.monotonic()
            reason = self._reason_to_leave(now)
            if reason:
                return reason
            readable, _, _ = select.select([self.sock], [], [], self._wait(now))
            if readable:
                if not self._read_available():
                    return "closed"
            self._complete_due(time.monotonic())

    def _wait(self, now):
        deadlines = [now + 0.25]
        if self.pending:
            deadlines.append(self.pending[0][1])
        if self.leave_at is not None:
            deadlines.append(self.leave_at)
        return max(min(deadlines) - now, 0.0)

    def _read_available(self):
        """Reads every command already waiting, so that the URBs the host has
        in flight are all seen before any is answered."""
        while True:
            cmd = wire.read_command(self.sock)
            if cmd is None:
                return False
            self.last_traffic = time.monotonic()
            self._handle(cmd)
            readable, _, _ = select.select([self.sock], [], [], 0)
            if not readable:
                return True

    def _reason_to_leave(self, now):
        if self.r.leave_now:
            return "fault-leave"
        if self.leave_at is not None and now >= self.leave_at:
            return "frame"
        for since in self.muted.values():
            if now - since > self.r.faults.give_up_s:
                self.r.log("string-still-pending")
                return "give-up"
        if self.aborting and not self.pending and not self.muted and \
                now - self.last_traffic > IDLE_AFTER_ABORT_S:
            self.r.abort_frame()
            self.r.log("drained")
            return "drained"
        return None

    # ---- commands ----

    def _handle(self, cmd):
        if cmd.command == wire.CMD_UNLINK:
            self._unlink(cmd)
        elif cmd.ep == 0:
            self._control(cmd)
        elif cmd.ep == D.BULK_OUT and cmd.direction == wire.DIR_OUT:
            self._bulk(cmd)
        else:
            self._send(wire.ret_submit(cmd.seqnum, -wire.EPIPE, 0))

    def _unlink(self, cmd):
        self.aborting = True
        target = cmd.unlink_seqnum
        for i, entry in enumerate(self.pending):
            if entry[0].seqnum == target:
                del self.pending[i]
                self.r.unlinked += 1
                self._send(wire.ret_unlink(cmd.seqnum, -wire.ECONNRESET))
                return
        if target in self.muted:
            del self.muted[target]
            self.r.log("string-unlinked")
            self._send(wire.ret_unlink(cmd.seqnum, -wire.ECONNRESET))
            return
        self._send(wire.ret_unlink(cmd.seqnum, 0))  # already answered

    def _control(self, cmd):
        setup = D.Setup(cmd.setup)
        if self.configured and setup.is_product_string():
            self.r.log("string-request")
            if self.r.faults.mode == "mute-string":
                self.muted[cmd.seqnum] = time.monotonic()
                return
        if setup.request == D.SET_CONFIGURATION:
            self.configured = True
        reply = D.answer(setup, self.r.product)
        if reply == D.STALL:
            self._send(wire.ret_submit(cmd.seqnum, -wire.EPIPE, 0))
        else:
            self._send(wire.ret_submit(cmd.seqnum, 0, len(reply), reply))

    def _bulk(self, cmd):
        if self.stalled:
            self._send(wire.ret_submit(cmd.seqnum, -wire.EPIPE, 0))
            return
        self.r.bulk_urbs += 1
        f = self.r.faults
        striking = (f.mode in ("stall", "leave", "short") and not f.done and
                    self.r.frames_seen + 1 == f.frame and self.r.urbs_in_frame + 1 == f.at)
        self.r.urbs_in_frame += 1
        if striking:
            f.done = True
            self.aborting = True
            if f.mode == "stall":
                self.stalled = True
                self.r.log("urb-stalled n=%d" % self.r.urbs_in_frame)
                self._send(wire.ret_submit(cmd.seqnum, -wire.EPIPE, 0))
                return
            if f.mode == "leave":
                self.r.log("leaving mid-frame at urb %d" % self.r.urbs_in_frame)
                self.r.leave_now = True
                return
        now = time.monotonic()
        due = now
        if self.r.rate:
            self.next_due = max(self.next_due, now) + len(cmd.data) / self.r.rate
            due = self.next_due
        self.pending.append([cmd, due, striking and f.mode == "short"])
        self.r.note_in_flight(len(self.pending))

    def _complete_due(self, now):
        while self.pending and self.pending[0][1] <= now and not self.r.leave_now:
            cmd, _, short = self.pending.popleft()
            actual = len(cmd.data) // 2 if short else len(cmd.data)
            if short:
                self.r.log("urb-short actual=%d of %d" % (actual, len(cmd.data)))
            self._send(wire.ret_submit(cmd.seqnum, 0, actual))
            if self.r.accept(cmd.data[:actual]) and self.r.reconnect != "none":
                self.leave_at = time.monotonic() + self.r.leave_delay_s

    def _send(self, data):
        self.sock.sendall(data)
