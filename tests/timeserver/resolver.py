"""A DNS server that knows two names: it answers every other question with
"no such name" (NXDOMAIN), as a network does for a name that does not exist.
The test run points its own resolv.conf here, so that an unknown name fails
at once and the same way on every machine.

no-address.test exists without an address: it is answered "no error" with no
records (NODATA), which WinSock reports as WSANO_DATA (11004), not as
WSAHOST_NOT_FOUND (11001). dual.test has an IPv6 address, ::1, and an IPv4
address, 127.0.0.126.

    nxdomain.py ADDRESS LIFETIME_SECONDS
"""
import socket
import sys
import time

NXDOMAIN = 3
NOERROR = 0
NO_ADDRESS_NAME = b"\x0ano-address\x04test\x00"  # no-address.test, as the question spells it
DUAL_NAME = b"\x04dual\x04test\x00"
TYPE_A, TYPE_AAAA = 1, 28
DUAL_ADDRESSES = {TYPE_A: socket.inet_pton(socket.AF_INET, "127.0.0.126"),
                  TYPE_AAAA: socket.inet_pton(socket.AF_INET6, "::1")}


def question_end(query):
    """Offset just past the first question, or None when it is malformed."""
    at = 12
    while at < len(query):
        length = query[at]
        if length == 0:
            return at + 5 if at + 5 <= len(query) else None  # root, type, class
        if length & 0xC0:
            return None
        at += 1 + length
    return None


def main():
    address, lifetime = sys.argv[1], float(sys.argv[2])
    server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    server.bind((address, 53))
    server.settimeout(1.0)
    deadline = time.monotonic() + lifetime
    while time.monotonic() < deadline:
        try:
            query, peer = server.recvfrom(512)
        except socket.timeout:
            continue
        end = question_end(query) if len(query) >= 12 and not query[2] & 0x80 else None
        if end is None:
            continue
        recursion_desired = query[2] & 0x01
        name, qtype = query[12:end - 4].lower(), int.from_bytes(query[end - 4:end - 2], "big")
        code = NOERROR if name in (NO_ADDRESS_NAME, DUAL_NAME) else NXDOMAIN
        answer = b""
        if name == DUAL_NAME and qtype in DUAL_ADDRESSES:
            data = DUAL_ADDRESSES[qtype]  # the name by pointer, IN, 60 s
            answer = b"\xc0\x0c" + qtype.to_bytes(2, "big") + b"\x00\x01\x00\x00\x00\x3c" + \
                len(data).to_bytes(2, "big") + data
        flags = bytes([0x80 | recursion_desired, 0x80 | code])  # a response; recursion available
        counts = b"\x00\x01" + (b"\x00\x01" if answer else b"\x00\x00") + b"\x00\x00\x00\x00"
        server.sendto(query[:2] + flags + counts + query[12:end] + answer, peer)


if __name__ == "__main__":
    main()
