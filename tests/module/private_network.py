"""A network namespace of the test's own, in which the module's fixed
diagnostics port is free whatever else listens on the machine."""
import contextlib
import ctypes
import fcntl
import os
import socket
import struct

CLONE_NEWNET = 0x40000000
SIOCGIFFLAGS = 0x8913
SIOCSIFFLAGS = 0x8914
IFF_UP = 0x1
# struct ifreq: the interface's name, then its flags (padded to 40 bytes)
IFREQ = "16sh22x"

libc = ctypes.CDLL(None, use_errno=True)


def check(result):
    if result != 0:
        error = ctypes.get_errno()
        raise OSError(error, os.strerror(error))


def bring_up_loopback():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        request = struct.pack(IFREQ, b"lo", 0)
        flags = struct.unpack(IFREQ, fcntl.ioctl(sock, SIOCGIFFLAGS, request))[1]
        fcntl.ioctl(sock, SIOCSIFFLAGS, struct.pack(IFREQ, b"lo", flags | IFF_UP))


@contextlib.contextmanager
def private_network():
    """Moves the calling thread into a new network namespace with only its
    loopback interface, up, for the block; sockets opened in the block stay
    in that namespace. Raises PermissionError without the privilege (root)."""
    own = os.open("/proc/self/ns/net", os.O_RDONLY)
    try:
        check(libc.unshare(CLONE_NEWNET))
        try:
            bring_up_loopback()
            yield
        finally:
            check(libc.setns(own, CLONE_NEWNET))
    finally:
        os.close(own)
