#!/usr/bin/env python3
"""Loopback TIME (RFC 868) and NTP (RFC 5905) servers for the Orvalen tests.

One daemon plays many time servers, one per loopback address 127.0.0.N,
each with its own behaviour: a TIME server on TCP port 37 or an NTP server
on UDP port 123, never both, so the other port of the address is closed.
Behaviours are set at run time over a line-based control connection. Needs
root (ports 37 and 123).

Usage:
    timeserver.py --control 127.0.0.1:3737 --pidfile PATH [--lifetime SECONDS]

The pid is written to PATH once the control socket listens, and removed on
exit. The daemon exits after --lifetime seconds (default 1800), on SIGTERM
or SIGINT, or on the QUIT command.

Control commands (one per line; each gets one reply line, "OK", "OK <n>"
or "ERR <reason>"):
    SET <ip> <behaviour> [args...]   configure 127.x.x.x, resets its count
    COUNT <ip>                       -> "OK <n>": connections accepted (TIME)
                                        or datagrams received (NTP) since SET
    CLEAR                            stop listening everywhere, forget all
    QUIT                             reply OK, then exit

Behaviours (times in milliseconds; the served clock is real UTC + shift):
    exact <shift>           wait until the served clock reaches the next whole
                            second, send that second, close
    now <shift>             send the current served second at once, close
    delay <delay> <shift>   like now, but wait <delay> after accepting
    refuse                  nothing listens: connections are refused, and
                            NTP requests get ICMP port unreachable
    silent                  accept, never send, hold until the client closes
    close                   accept and close without sending
    short                   send the first 2 bytes of a valid reply, close
    split <pause>           send 2 bytes, pause, send the other 2, close
    long                    send a valid reply plus DE AD BE EF in one send

NTP behaviours (the served clock as above; every datagram is counted, those
shorter than 48 bytes get no answer):
    ntp-exact <shift>       a stratum 1 reply, leap 0, version 4, mode 4, its
                            receive and transmit stamps read from the served
                            clock when the request came and the reply leaves
    ntp-silent              never answer
    ntp-rate                kiss-o'-death: stratum 0, code RATE, leap 3
    ntp-origin              as exact 0, but the originate stamp is the
                            request's transmit stamp plus one
    ntp-leap                as exact 0, with leap indicator 3
    ntp-stratum0            as exact 0, with stratum 0 and the code XXXX
    ntp-short               the first 47 bytes of an exact 0 reply

On the wire: (unix seconds + 2208988800) mod 2**32, big-endian; NTP stamps
carry those seconds and a 32-bit binary fraction of a second.
"""

import argparse
import ipaddress
import os
import select
import signal
import socket
import struct
import sys
import threading
import time

TIME_PORT = 37
NTP_PORT = 123
NTP_SIZE = 48                      # bytes of a packet without extensions
NTP_PRECISION = -20                # log2 seconds: about a microsecond
EPOCH_DELTA = 2208988800          # seconds from 1900-01-01 to 1970-01-01
EXTRA_BYTES = b"\xde\xad\xbe\xef"  # trailing garbage for "long"
POLL = 0.1                         # seconds between stop-flag checks
MAX_LINE = 1024
MAX_WAIT_MS = 600_000              # upper bound for delay/pause arguments
LINGER = 2.0                       # seconds to wait for the client's FIN

stop = threading.Event()


def wire_seconds(unix_seconds):
    return (unix_seconds + EPOCH_DELTA) % 2**32


def served_ms(shift_ms):
    return time.time_ns() // 1_000_000 + shift_ms


def packed(value):
    return struct.pack(">I", value)


def now_reply(shift_ms):
    return packed(wire_seconds(served_ms(shift_ms) // 1000))


def ntp_stamp(unix_ns):
    seconds, ns = divmod(unix_ns, 10**9)
    return wire_seconds(seconds) << 32 | (ns << 32) // 10**9


def pause(seconds):
    """Sleeps unless the daemon is stopping; returns False if it is."""
    return not stop.wait(max(0.0, seconds))


# ---------------------------------------------------------------- behaviours

def parse_int(text, lo, hi):
    try:
        base = 16 if text.lower().startswith(("0x", "+0x", "-0x")) else 10
        value = int(text, base)
    except ValueError:
        raise ValueError("not an integer: " + text)
    if not lo <= value <= hi:
        raise ValueError("out of range: " + text)
    return value


SHIFT = (-2**48, 2**48)
WAIT = (0, MAX_WAIT_MS)

# behaviour name -> ranges of its integer arguments
BEHAVIOURS = {
    "exact": [SHIFT],
    "now": [SHIFT],
    "delay": [WAIT, SHIFT],
    "refuse": [],
    "silent": [],
    "close": [],
    "short": [],
    "split": [WAIT],
    "long": [],
    "ntp-exact": [SHIFT],
    "ntp-silent": [],
    "ntp-rate": [],
    "ntp-origin": [],
    "ntp-leap": [],
    "ntp-stratum0": [],
    "ntp-short": [],
}


def is_ntp(name):
    return name.startswith("ntp-")


def parse_behaviour(words):
    if not words:
        raise ValueError("missing behaviour")
    name = words[0].lower()
    if name not in BEHAVIOURS:
        raise ValueError("unknown behaviour " + words[0])
    ranges = BEHAVIOURS[name]
    if len(words) - 1 != len(ranges):
        raise ValueError("%s takes %d argument(s)" % (name, len(ranges)))
    return name, [parse_int(w, *r) for w, r in zip(words[1:], ranges)]


def serve(conn, name, args):
    """Plays one behaviour on an accepted connection."""
    if name == "exact":
        shift = args[0]
        target = (served_ms(shift) // 1000 + 1) * 1000
        while True:
            left = target - served_ms(shift)
            if left <= 0:
                break
            if not pause(left / 1000):
                return
        conn.sendall(packed(wire_seconds(target // 1000)))
    elif name == "now":
        conn.sendall(now_reply(args[0]))
    elif name == "delay":
        if pause(args[0] / 1000):
            conn.sendall(now_reply(args[1]))
    elif name == "silent":
        hold_until_client_closes(conn, None)
    elif name == "close":
        pass
    elif name == "short":
        conn.sendall(now_reply(0)[:2])
    elif name == "split":
        reply = now_reply(0)
        conn.sendall(reply[:2])
        if pause(args[0] / 1000):
            conn.sendall(reply[2:])
    elif name == "long":
        conn.sendall(now_reply(0) + EXTRA_BYTES)


def ntp_answer(name, args, request, received_ns):
    """The datagram one NTP behaviour sends back, or None."""
    if name == "ntp-silent" or len(request) < NTP_SIZE:
        return None
    shift_ns = (args[0] if args else 0) * 1_000_000
    origin = struct.unpack(">Q", request[40:48])[0]
    head, stratum, code = 0x24, 1, b"LOCL"       # leap 0, version 4, mode 4
    if name == "ntp-origin":
        origin = (origin + 1) % 2**64              # the nearest miss
    elif name == "ntp-leap":
        head = 0xE4
    elif name == "ntp-rate":
        head, stratum, code = 0xE4, 0, b"RATE"
    elif name == "ntp-stratum0":
        stratum, code = 0, b"XXXX"
    receive = ntp_stamp(received_ns + shift_ns)
    reply = struct.pack(">BBBbII4sQQQQ", head, stratum, request[2],
                        NTP_PRECISION, 0, 0, code, receive, origin, receive,
                        ntp_stamp(time.time_ns() + shift_ns))
    return reply[:NTP_SIZE - 1] if name == "ntp-short" else reply


def hold_until_client_closes(conn, limit):
    """Reads and drops input until EOF, the daemon stops or limit passes."""
    deadline = None if limit is None else time.monotonic() + limit
    conn.settimeout(POLL)
    while not stop.is_set():
        if deadline is not None and time.monotonic() >= deadline:
            return
        try:
            if not conn.recv(4096):
                return
        except socket.timeout:
            continue
        except OSError:
            return


def handle(conn, name, args):
    try:
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        conn.settimeout(LINGER)
        serve(conn, name, args)
        # FIN after the data; wait briefly for the client's FIN so that
        # closing with unread input does not turn into a reset.
        conn.shutdown(socket.SHUT_WR)
        hold_until_client_closes(conn, LINGER)
    except OSError:
        pass
    finally:
        conn.close()


# ----------------------------------------------------------------- addresses

def bound_socket(ip, ntp):
    kind = socket.SOCK_DGRAM if ntp else socket.SOCK_STREAM
    sock = socket.socket(socket.AF_INET, kind)
    try:
        if ntp:
            sock.bind((ip, NTP_PORT))
        else:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind((ip, TIME_PORT))
            sock.listen(128)
        sock.setblocking(False)
    except OSError:
        sock.close()
        raise
    return sock


class Address:
    """One configured loopback address and its listener, if any."""

    def __init__(self, ip):
        self.ip = ip
        self.lock = threading.Lock()  # guards name, args and count
        self.name = "refuse"
        self.args = []
        self.count = 0
        self.sock = None
        self.ntp = False  # the listener is the NTP one on UDP
        self.thread = None
        self.closing = None

    def configure(self, name, args):
        """Called with the table lock held, which guards the listener."""
        if name == "refuse":
            self.stop_listening()
        elif self.sock is None or self.ntp != is_ntp(name):
            # bind the new socket first: if that fails, the old one stays
            sock = bound_socket(self.ip, is_ntp(name))
            self.stop_listening()
            self.listen(sock, is_ntp(name))
        with self.lock:
            self.name, self.args, self.count = name, args, 0

    def listen(self, sock, ntp):
        self.sock, self.ntp = sock, ntp
        self.closing = threading.Event()
        self.thread = threading.Thread(
            target=self.accept_loop, args=(sock, self.closing), daemon=True)
        self.thread.start()

    def stop_listening(self):
        if self.sock is None:
            return
        self.closing.set()
        self.thread.join(5)
        self.sock = self.thread = self.closing = None

    def accept_loop(self, sock, closing):
        try:
            while not closing.is_set() and not stop.is_set():
                ready, _, _ = select.select([sock], [], [], POLL)
                if ready and not self.take_queued(sock):
                    closing.wait(POLL)  # e.g. out of descriptors
        except (OSError, ValueError):
            pass
        finally:
            sock.close()

    def take_queued(self, sock):
        if self.ntp:
            return self.receive_queued(sock)
        return self.accept_queued(sock)

    def accept_queued(self, sock):
        """Accepts the connections the kernel has queued on the listener.

        Accepting and counting happen under one lock, so COUNT can call this
        too and then report every connection a client has completed, even
        one the accept thread has not reached yet. Returns False on errors
        other than an empty queue.
        """
        for _ in range(1000):
            with self.lock:
                try:
                    conn, _ = sock.accept()
                except BlockingIOError:
                    return True
                except OSError:
                    return False
                self.count += 1
                name, args = self.name, self.args
            threading.Thread(target=handle, args=(conn, name, args),
                             daemon=True).start()
        return True

    def receive_queued(self, sock):
        """Counts and answers the datagrams queued on the NTP socket, under
        the lock for the same reason as accept_queued."""
        for _ in range(1000):
            with self.lock:
                try:
                    request, peer = sock.recvfrom(4096)
                except BlockingIOError:
                    return True
                except ConnectionError:
                    continue  # an earlier reply's port was closed
                except OSError:
                    return False
                received_ns = time.time_ns()
                self.count += 1
                reply = ntp_answer(self.name, self.args, request, received_ns)
                if reply is not None:
                    try:
                        sock.sendto(reply, peer)
                    except OSError:
                        pass
        return True


table_lock = threading.Lock()
table = {}


def loopback(text):
    try:
        ip = ipaddress.IPv4Address(text)
    except ValueError:
        raise ValueError("bad address " + text)
    if not ip.is_loopback:
        raise ValueError("not a 127.x.x.x address: " + text)
    return str(ip)


def clear_all():
    with table_lock:
        for entry in table.values():
            entry.stop_listening()
        table.clear()


# ------------------------------------------------------------------- control

def command(line):
    """Runs one control line and returns the reply line."""
    words = line.split()
    if not words:
        return "ERR empty command"
    verb, rest = words[0].upper(), words[1:]
    try:
        if verb == "SET":
            if not rest:
                raise ValueError("usage: SET <ip> <behaviour> [args...]")
            ip = loopback(rest[0])
            name, args = parse_behaviour(rest[1:])
            with table_lock:
                entry = table.get(ip) or Address(ip)
                try:
                    entry.configure(name, args)
                except OSError as e:
                    # a failed SET leaves the previous setting in place
                    port = NTP_PORT if is_ntp(name) else TIME_PORT
                    raise ValueError("cannot listen on %s:%d: %s"
                                     % (ip, port, e.strerror or e))
                table[ip] = entry
            return "OK"
        if verb == "COUNT":
            if len(rest) != 1:
                raise ValueError("usage: COUNT <ip>")
            ip = loopback(rest[0])
            with table_lock:
                entry = table.get(ip)
                if entry is None:
                    raise ValueError("not configured: " + ip)
                if entry.sock is not None:
                    entry.take_queued(entry.sock)
                with entry.lock:
                    return "OK %d" % entry.count
        if verb in ("CLEAR", "QUIT"):
            if rest:
                raise ValueError(verb + " takes no arguments")
            if verb == "CLEAR":
                clear_all()
            else:
                stop.set()
            return "OK"
        raise ValueError("unknown command " + words[0][:40])
    except ValueError as e:
        return "ERR %s" % e


def control_session(conn):
    buf = b""
    conn.settimeout(POLL)
    try:
        while not stop.is_set():
            while b"\n" in buf:
                raw, buf = buf.split(b"\n", 1)
                line = raw.decode("ascii", "replace").strip()
                if len(raw) > MAX_LINE:
                    reply = "ERR line too long"
                else:
                    reply = command(line)
                conn.sendall((reply + "\n").encode("ascii", "replace"))
                if reply == "OK" and line.upper() == "QUIT":
                    return
            if len(buf) > MAX_LINE:
                conn.sendall(b"ERR line too long\n")
                return
            try:
                data = conn.recv(4096)
            except socket.timeout:
                continue
            if not data:
                return
            buf += data
    except OSError:
        pass
    finally:
        conn.close()


def parse_hostport(text):
    host, sep, port = text.rpartition(":")
    if not sep:
        raise argparse.ArgumentTypeError("expected HOST:PORT")
    try:
        host = loopback(host)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e))
    if not port.isdigit() or not 0 < int(port) < 65536:
        raise argparse.ArgumentTypeError("bad port " + port)
    return host, int(port)


def positive(text):
    value = float(text)
    if value <= 0:
        raise argparse.ArgumentTypeError("must be positive")
    return value


def write_pidfile(path):
    tmp = "%s.%d.tmp" % (path, os.getpid())
    with open(tmp, "w") as f:
        f.write("%d\n" % os.getpid())
    os.replace(tmp, path)


def remove_pidfile(path):
    try:
        with open(path) as f:
            mine = f.read().strip() == str(os.getpid())
        if mine:
            os.remove(path)
    except OSError:
        pass


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Loopback RFC 868 and NTP time servers driven over a "
                    "control connection.")
    parser.add_argument("--control", required=True, type=parse_hostport,
                        metavar="HOST:PORT")
    parser.add_argument("--pidfile", required=True, metavar="PATH")
    parser.add_argument("--lifetime", type=positive, default=1800.0,
                        metavar="SECONDS")
    opts = parser.parse_args(argv)

    deadline = time.monotonic() + opts.lifetime
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())

    control = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    control.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        control.bind(opts.control)
        control.listen(16)
    except OSError as e:
        print("timeserver: cannot listen on %s:%d: %s"
              % (opts.control + (e.strerror or e,)), file=sys.stderr)
        return 1
    write_pidfile(opts.pidfile)

    try:
        while not stop.is_set() and time.monotonic() < deadline:
            wait = min(POLL * 2, max(0.0, deadline - time.monotonic()))
            try:
                ready, _, _ = select.select([control], [], [], wait)
            except InterruptedError:
                continue
            if not ready:
                continue
            try:
                conn, _ = control.accept()
            except OSError:
                continue
            threading.Thread(target=control_session, args=(conn,),
                             daemon=True).start()
    finally:
        stop.set()
        control.close()
        clear_all()
        remove_pidfile(opts.pidfile)
    return 0


if __name__ == "__main__":
    sys.exit(main())
