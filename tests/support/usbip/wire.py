"""The USB/IP messages that flow once a device is attached to vhci-hcd:
CMD_SUBMIT / RET_SUBMIT and CMD_UNLINK / RET_UNLINK. Every header is 48
bytes, big-endian."""
import struct

CMD_SUBMIT = 1
CMD_UNLINK = 2
RET_SUBMIT = 3
RET_UNLINK = 4
DIR_OUT = 0
DIR_IN = 1
HEADER_BYTES = 48

EPIPE = 32       # a stalled endpoint
ECONNRESET = 104  # an unlinked URB

_BASE = struct.Struct(">IIIII")              # command, seqnum, devid, direction, ep
_SUBMIT = struct.Struct(">IiiiI8s")          # flags, length, start_frame, packets, interval, setup
_UNLINK = struct.Struct(">I")                # seqnum of the URB to unlink


class Command:
    """One message from the host: a URB submitted or an unlink request."""

    def __init__(self, header):
        self.command, self.seqnum, self.devid, self.direction, self.ep = _BASE.unpack_from(header)
        self.length = 0
        self.setup = b""
        self.unlink_seqnum = 0
        self.data = b""
        if self.command == CMD_SUBMIT:
            _, self.length, _, self.packets, _, self.setup = _SUBMIT.unpack_from(header, 20)
        elif self.command == CMD_UNLINK:
            (self.unlink_seqnum,) = _UNLINK.unpack_from(header, 20)
        else:
            raise ValueError("unexpected USB/IP command %d" % self.command)

    def out_bytes(self):
        """How many data bytes follow the header."""
        if self.command == CMD_SUBMIT and self.direction == DIR_OUT:
            return max(self.length, 0)
        return 0


def ret_submit(seqnum, status, actual_length, data=b""):
    """status is 0 or a negative errno."""
    head = _BASE.pack(RET_SUBMIT, seqnum, 0, 0, 0)
    body = struct.pack(">iiiii8x", status, actual_length, 0, 0, 0)
    return head + body + data


def ret_unlink(seqnum, status):
    head = _BASE.pack(RET_UNLINK, seqnum, 0, 0, 0)
    return head + struct.pack(">i24x", status)


def read_exact(sock, n):
    """n bytes from the socket, or None when it closed first."""
    chunks = []
    while n > 0:
        part = sock.recv(min(n, 1 << 20))
        if not part:
            return None
        chunks.append(part)
        n -= len(part)
    return b"".join(chunks)


def read_command(sock):
    """The next command with its OUT data, or None when the host closed."""
    header = read_exact(sock, HEADER_BYTES)
    if header is None:
        return None
    cmd = Command(header)
    n = cmd.out_bytes()
    if n:
        cmd.data = read_exact(sock, n)
        if cmd.data is None:
            return None
    return cmd
