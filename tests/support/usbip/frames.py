"""The flash write frame as the reader parses it from the bulk stream:
address and length (little-endian 32-bit, the length counting the whole
frame), the payload, and the 16-bit sum of the payload bytes. The sum is
kept as the bytes arrive, so a large frame costs nothing extra at its end."""
import struct

HEADER = 8
TRAILER = 2


class Frame:
    def __init__(self, addr, length, payload, checksum, payload_sum):
        self.addr = addr
        self.length = length
        self.payload = payload
        self.checksum = checksum
        self.payload_sum = payload_sum

    def ok(self):
        return self.length == len(self.payload) + HEADER + TRAILER and \
            self.checksum == self.payload_sum


class FrameParser:
    """Collects bulk bytes; feed() returns the frames completed by them."""

    def __init__(self):
        self.reset()

    def reset(self):
        self.head = bytearray()
        self.body = bytearray()
        self.sum = 0

    def received(self):
        return len(self.head) + len(self.body)

    def header(self):
        """(address, length) of the frame being received, or None."""
        if len(self.head) < HEADER:
            return None
        return struct.unpack("<II", self.head)

    def feed(self, data):
        done = []
        view = memoryview(data)
        while len(view):
            if len(self.head) < HEADER:
                take = HEADER - len(self.head)
                self.head += view[:take]
                view = view[take:]
                continue
            addr, length = self.header()
            if length < HEADER + TRAILER:
                # A length that cannot hold a frame: the rest is one damaged frame.
                done.append(Frame(addr, length, bytes(view), -1, -2))
                self.reset()
                break
            take = min(length - self.received(), len(view))
            part = view[:take]
            payload_left = max(length - TRAILER - HEADER - len(self.body), 0)
            self.sum += sum(part[:payload_left])
            self.body += part
            view = view[take:]
            if self.received() == length:
                payload = bytes(self.body[:-TRAILER])
                (checksum,) = struct.unpack("<H", self.body[-TRAILER:])
                done.append(Frame(addr, length, payload, checksum, self.sum & 0xFFFF))
                self.reset()
        return done
