"""The guest kernel's USB/IP virtual host controller (vhci-hcd), through its
sysfs files: a device is attached by handing the kernel one end of a socket,
and leaves the bus when its port is detached."""
import glob
import os
import socket
import time

VHCI = "/sys/devices/platform/vhci_hcd.0"
HIGH_SPEED = 3
PORT_FREE = 4   # VDEV_ST_NULL


def _write(name, text):
    with open(os.path.join(VHCI, name), "w") as f:
        f.write(text)


def free_high_speed_port():
    """The first free high-speed port, or None."""
    with open(os.path.join(VHCI, "status")) as f:
        for line in f.read().splitlines()[1:]:
            fields = line.split()
            if len(fields) >= 3 and fields[0] == "hs" and int(fields[2]) == PORT_FREE:
                return int(fields[1])
    return None


def port_is_free(port):
    with open(os.path.join(VHCI, "status")) as f:
        for line in f.read().splitlines()[1:]:
            fields = line.split()
            if len(fields) >= 3 and fields[0] == "hs" and int(fields[1]) == port:
                return int(fields[2]) == PORT_FREE
    return False


def attach(devid, timeout=10.0):
    """Plugs a high-speed device in: (port, our end of the socket)."""
    deadline = time.monotonic() + timeout
    port = free_high_speed_port()
    while port is None:
        if time.monotonic() > deadline:
            raise RuntimeError("no free vhci-hcd port")
        time.sleep(0.05)
        port = free_high_speed_port()
    ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        _write("attach", "%d %d %d %d" % (port, theirs.fileno(), devid, HIGH_SPEED))
    finally:
        theirs.close()  # the kernel holds its own reference now
    return port, ours


def detach(port, timeout=10.0):
    """Unplugs the device on port and waits until the port is free again."""
    try:
        _write("detach", "%d" % port)
    except OSError:
        pass  # already gone
    deadline = time.monotonic() + timeout
    while not port_is_free(port):
        if time.monotonic() > deadline:
            raise RuntimeError("vhci-hcd port %d did not become free" % port)
        time.sleep(0.02)


def find_device(vendor, product):
    """(busnum, devnum) of a configured device below vhci-hcd, or None."""
    for entry in glob.glob(os.path.join(VHCI, "usb*", "*-*")):
        if ":" in os.path.basename(entry):
            continue
        try:
            ids = [open(os.path.join(entry, n)).read().strip()
                   for n in ("idVendor", "idProduct", "bConfigurationValue", "busnum", "devnum")]
        except OSError:
            continue
        if int(ids[0], 16) == vendor and int(ids[1], 16) == product and ids[2] == "1":
            return int(ids[3]), int(ids[4])
    return None
