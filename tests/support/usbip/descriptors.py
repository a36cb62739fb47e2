"""The reader's USB identity in update mode: its descriptors and its answers
to the standard control requests on endpoint 0."""
import struct

VENDOR = 0x5345
PRODUCT = 0x1234
PRODUCT_64 = "ORVEX LUMORA64 UPDate"
BULK_OUT = 0x03
MAX_PACKET = 512          # high-speed bulk
I_MANUFACTURER = 1
I_PRODUCT = 2
MANUFACTURER = "ORVEX"

GET_STATUS = 0
CLEAR_FEATURE = 1
SET_FEATURE = 3
GET_DESCRIPTOR = 6
GET_CONFIGURATION = 8
SET_CONFIGURATION = 9
SET_INTERFACE = 11
DT_DEVICE, DT_CONFIG, DT_STRING = 1, 2, 3

STALL = "stall"


def device_descriptor():
    return struct.pack("<BBHBBBBHHHBBBB", 18, DT_DEVICE, 0x0200, 0, 0, 0, 64,
                       VENDOR, PRODUCT, 0x0100, I_MANUFACTURER, I_PRODUCT, 0, 1)


def config_descriptor():
    interface = struct.pack("<BBBBBBBBB", 9, 4, 0, 0, 1, 0xFF, 0, 0, 0)
    endpoint = struct.pack("<BBBBHB", 7, 5, BULK_OUT, 0x02, MAX_PACKET, 0)
    total = 9 + len(interface) + len(endpoint)
    config = struct.pack("<BBHBBBBB", 9, DT_CONFIG, total, 1, 1, 0, 0x80, 50)
    return config + interface + endpoint


def string_descriptor(text):
    body = text.encode("utf-16-le")
    return bytes([2 + len(body), DT_STRING]) + body


class Setup:
    def __init__(self, raw):
        self.request_type, self.request, self.value, self.index, self.length = \
            struct.unpack("<BBHHH", raw)

    @property
    def descriptor_type(self):
        return self.value >> 8

    @property
    def descriptor_index(self):
        return self.value & 0xFF

    def is_product_string(self):
        return (self.request == GET_DESCRIPTOR and self.descriptor_type == DT_STRING
                and self.descriptor_index == I_PRODUCT)


def answer(setup, product):
    """The reply to one control request: the IN data (bytes, cut to wLength),
    b"" for a request without data, or STALL. The product string is given
    whatever the language id, as the reader does."""
    if setup.request == GET_DESCRIPTOR:
        kind, index = setup.descriptor_type, setup.descriptor_index
        if kind == DT_DEVICE:
            data = device_descriptor()
        elif kind == DT_CONFIG and index == 0:
            data = config_descriptor()
        elif kind == DT_STRING and index == 0:
            data = bytes([4, DT_STRING]) + struct.pack("<H", 0x0409)
        elif kind == DT_STRING and index == I_MANUFACTURER:
            data = string_descriptor(MANUFACTURER)
        elif kind == DT_STRING and index == I_PRODUCT:
            data = string_descriptor(product)
        else:
            return STALL
        return data[:setup.length]
    if setup.request == GET_STATUS:
        return b"\x00\x00"[:setup.length]
    if setup.request == GET_CONFIGURATION:
        return b"\x01"[:setup.length]
    if setup.request in (SET_CONFIGURATION, SET_INTERFACE, CLEAR_FEATURE, SET_FEATURE):
        return b""
    return STALL
