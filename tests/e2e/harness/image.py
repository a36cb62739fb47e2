"""Firmware test images and the version manifest the local server serves."""
import random
import struct

TABLE_OFFSET = 64
ENTRIES = 6
# Stage k writes table entry STAGE_ENTRIES[k] to FLASH_ADDRS[entry].
STAGE_ENTRIES = (0, 5, 1, 2, 3, 4)
FLASH_ADDRS = (0x0, 0x40000, 0x200000, 0x1200000, 0x3480000, 0x3400000)
MANIFEST_PATH = "/ebook/update/ovupdater0224zh.log"

# Block sizes by table entry: a few KiB to ~100 KiB, with frames that end
# exactly on a 16384-byte URB boundary (16374 + 10) and one byte past it.
SIX_BLOCKS = {0: 3 * 1024 + 5, 1: 16374, 2: 16375, 3: 100 * 1024, 4: 40 * 1024 + 3, 5: 7 * 1024}


class Image:
    def __init__(self, data, blocks):
        self.data = data
        self.blocks = blocks  # entry -> payload bytes, present entries only

    def stages(self):
        """(step, flash address, payload) of each present block, in stage order."""
        return [(k + 1, FLASH_ADDRS[e], self.blocks[e])
                for k, e in enumerate(STAGE_ENTRIES) if e in self.blocks]


def build_image(seed, sizes, past_end_entry=None):
    """An image whose present entries (size > 0) hold distinct pseudo-random
    blocks. The blocks lie in the file in reverse entry order with gaps, so
    nothing can assume that entry order is file order. With past_end_entry,
    that block is placed last and its length reaches one byte past the end."""
    rnd = random.Random(seed)
    header = b"LUMORA-E2E-IMAGE" + rnd.randbytes(TABLE_OFFSET - 16)
    body = bytearray(header + bytes(8 * ENTRIES))
    table = [(0, 0)] * ENTRIES
    blocks = {}
    order = sorted((e for e, n in sizes.items() if n > 0), reverse=True)
    if past_end_entry is not None:
        order.remove(past_end_entry)
        order.append(past_end_entry)
    for entry in order:
        body += rnd.randbytes(rnd.randrange(1, 32))  # gap
        payload = rnd.randbytes(sizes[entry])
        table[entry] = (len(body), len(payload))
        blocks[entry] = payload
        body += payload
    if past_end_entry is not None:
        offset, length = table[past_end_entry]
        table[past_end_entry] = (offset, length + 1)
    for i, (offset, length) in enumerate(table):
        struct.pack_into("<Ii", body, TABLE_OFFSET + 8 * i, offset, length)
    return Image(bytes(body), blocks)


def manifest(groups):
    """The manifest text: for each (variant, host, path) three CRLF lines."""
    lines = []
    for variant, host, path in groups:
        lines += [str(variant), host, path]
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


def frame_sum(payload):
    return sum(payload) & 0xFFFF
