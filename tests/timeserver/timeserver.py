#!/usr/bin/env python3
"""Loopback TIME (RFC 868) and NTP (RFC 5905) servers for the Orvalen tests.

    timeserver.py --control 127.0.0.1:3737 --pidfile PATH [--lifetime SECONDS]

Needs root. Runs until its lifetime (default 1800 s) ends, SIGTERM, SIGINT or QUIT;
PATH holds the pid while the control socket listens. Control lines, each one
answered by "OK", "OK <n>" or "ERR <reason>": SET <ip> <behaviour> [args] sets
up 127.x.x.x and resets its count, COUNT <ip> gives the connections accepted or
datagrams received since, CLEAR forgets all, QUIT exits. An address serves TIME
on TCP port 37 or NTP on UDP port 123, never both; serve() and ntp_reply() play
exact <shift>, now <shift>, delay <delay> <shift>, refuse, silent, close, short,
split <pause>, long; ntp-exact <shift>, ntp-silent, ntp-rate, ntp-origin,
ntp-leap, ntp-stratum0, ntp-short (times in ms; served clock = UTC + shift).
"""

import argparse, contextlib, ipaddress, os, pathlib, select, signal, socket, struct, threading, time

POLL, LINGER, HOLD, MAX_LINE = 0.1, 2.0, 600.0, 1024  # seconds, and bytes in a control line
SHIFT, WAIT = (-2**48, 2**48), (0, 600_000)  # ranges of arguments
ARGS = dict.fromkeys("refuse silent close short long ntp-silent ntp-rate ntp-origin ntp-leap "
                     "ntp-stratum0 ntp-short".split(), [])
ARGS.update(exact=[SHIFT], now=[SHIFT], delay=[WAIT, SHIFT], split=[WAIT], **{"ntp-exact": [SHIFT]})
# NTP behaviour -> first byte (leap indicator, version 4, mode 4), stratum, reference id
NTP_HEAD = {"ntp-rate": (0xE4, 0, b"RATE"), "ntp-leap": (0xE4, 1, b"LOCL"),
            "ntp-stratum0": (0x24, 0, b"XXXX")}
stop = threading.Event()


def stamp(unix_ns):
    """The NTP timestamp of a time; its upper half is the TIME reply."""
    return (unix_ns // 10**9 + 2208988800) % 2**32 << 32 | (unix_ns % 10**9 << 32) // 10**9


def hold(conn, seconds):
    """Drops input until the client closes; raises OSError if it has not in time."""
    end = time.monotonic() + seconds
    while conn.settimeout(max(0.001, end - time.monotonic())) or conn.recv(4096):
        pass


def serve(conn, name, args):
    """Plays one TIME behaviour on an accepted connection, in its own thread,
    which the daemon's exit ends whatever it waits for."""
    with conn, contextlib.suppress(OSError):
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        shift = (args[-1] if name in ("exact", "now", "delay") else 0) * 1_000_000
        time.sleep(args[0] / 1000 if name == "delay" else 0)
        at = time.time_ns() + shift  # the served clock
        if name == "exact":
            at = at // 10**9 * 10**9 + 10**9
            while (left := at - time.time_ns() - shift) > 0:
                time.sleep(left / 1e9)
        reply = struct.pack(">I", stamp(at) >> 32)
        conn.sendall({"silent": b"", "close": b"", "short": reply[:2], "split": reply[:2],
                      "long": reply + b"\xde\xad\xbe\xef"}.get(name, reply))
        if name == "split":
            time.sleep(args[0] / 1000)
            conn.sendall(reply[2:])
        if name == "silent":
            hold(conn, HOLD)
        # FIN, then a short wait for the client's, so that unread input causes no reset
        conn.shutdown(socket.SHUT_WR)
        hold(conn, LINGER)


def ntp_reply(name, args, request, received_ns):
    """The datagram one NTP behaviour sends back, or None."""
    if name == "ntp-silent" or len(request) < 48:
        return None
    shift = (args[0] if args else 0) * 1_000_000
    head, stratum, code = NTP_HEAD.get(name, (0x24, 1, b"LOCL"))
    origin = struct.unpack(">Q", request[40:48])[0] + (name == "ntp-origin")
    receive = stamp(received_ns + shift)
    reply = struct.pack(">BBBbII4sQQQQ", head, stratum, request[2], -20, 0, 0, code,
                        receive, origin % 2**64, receive, stamp(time.time_ns() + shift))
    return reply[:47] if name == "ntp-short" else reply


class Server:
    """One configured address: its behaviour, its count and its listener."""

    def __init__(self, name, args, sock=None):
        self.name, self.args, self.sock, self.count = name, args, sock, 0

    def drain(self):
        """Counts and serves, as set now, what is queued on the listener."""
        with contextlib.suppress(OSError, RuntimeError):  # empty, or out of fds or threads
            for _ in range(1000 if self.sock else 0):
                if self.name.startswith("ntp-"):
                    request, peer = self.sock.recvfrom(4096)
                    self.count += 1
                    reply = ntp_reply(self.name, self.args, request, time.time_ns())
                    if reply:
                        self.sock.sendto(reply, peer)
                else:
                    conn = self.sock.accept()[0]
                    self.count += 1
                    threading.Thread(target=serve, args=(conn, self.name, self.args),
                                     daemon=True).start()


def loopback(text):
    if not ipaddress.IPv4Address(text).is_loopback:
        raise ValueError("not a 127.x.x.x address: " + text)
    return str(ipaddress.IPv4Address(text))


def configure(servers, ip, words):
    name, ntp = words[0].lower(), words[0].lower().startswith("ntp-")
    args, ranges = [int(w, 16 if "x" in w.lower() else 10) for w in words[1:]], ARGS.get(name)
    if ranges is None or len(args) != len(ranges) or any(
            not lo <= a <= hi for a, (lo, hi) in zip(args, ranges)):
        raise ValueError("bad behaviour or arguments: " + " ".join(words)[:60])
    new, old = Server(name, args), servers.get(ip) or Server("refuse", [])
    if old.sock and old.name.startswith("ntp-") == ntp and name != "refuse":
        new.sock = old.sock
    elif name != "refuse":  # bound before the old listener closes, which a failure keeps
        new.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM if ntp else socket.SOCK_STREAM)
        try:  # served connections in TIME_WAIT must not keep a new TIME listener out
            new.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, not ntp)
            new.sock.bind((ip, 123 if ntp else 37))
            if not ntp:
                new.sock.listen(128)
        except OSError as e:
            new.sock.close()
            raise ValueError("cannot listen on %s: %s" % (ip, e.strerror))
        new.sock.setblocking(False)
    # A connect or datagram that completed before this command is answered, and counted, by the
    # setting it reached: closing the listener would reset connections waiting in its accept
    # queue, and a later accept would serve and count them under the new setting.
    old.drain()
    if old.sock not in (None, new.sock):
        old.sock.close()
    servers[ip] = new


def command(line, servers):
    """Runs one control line and returns the reply line."""
    verb, *words = line.split() or ["?"]
    try:
        if verb.upper() == "SET" and len(words) > 1:
            configure(servers, loopback(words[0]), words[1:])
        elif verb.upper() == "COUNT" and len(words) == 1:
            server = servers.get(loopback(words[0]))
            if not server:
                raise ValueError("not configured: " + words[0])
            server.drain()  # a client's connect completes before it is accepted
            return "OK %d" % server.count
        elif verb.upper() == "CLEAR" and not words:
            for ip in list(servers):
                configure(servers, ip, ["refuse"])
            servers.clear()
        elif verb.upper() == "QUIT" and not words:
            stop.set()
        else:
            raise ValueError("usage: SET <ip> <behaviour> [args] | COUNT <ip> | CLEAR | QUIT")
        return "OK"
    except ValueError as e:
        return "ERR %s" % e


def session(conn, sessions, servers):
    """Answers the whole lines a control client has sent; closes on EOF, QUIT or a long line."""
    data = b""
    with contextlib.suppress(OSError):
        data = conn.recv(4096)
        *lines, sessions[conn] = (sessions[conn] + data).split(b"\n")
        replies = [command(raw.decode("ascii", "replace"), servers) for raw in lines]
        if len(sessions[conn]) > MAX_LINE:
            replies, data = replies + ["ERR line too long"], b""
        conn.sendall("".join(r + "\n" for r in replies).encode("ascii", "replace"))
    if not data or stop.is_set():
        del sessions[conn]
        conn.close()


def hostport(text):
    host, _, port = text.rpartition(":")
    if not 0 < int(port) < 65536:
        raise ValueError(port)
    return loopback(host), int(port)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--control", required=True, type=hostport, metavar="HOST:PORT")
    parser.add_argument("--pidfile", required=True, type=pathlib.Path, metavar="PATH")
    parser.add_argument("--lifetime", type=float, default=1800.0, metavar="SECONDS")
    opts = parser.parse_args()
    if not opts.lifetime > 0:
        parser.error("--lifetime must be positive")
    deadline = time.monotonic() + opts.lifetime
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    socket.setdefaulttimeout(POLL)  # a control client that does not read holds up nothing
    control = socket.create_server(opts.control, backlog=16)
    opts.pidfile.write_text("%d\n" % os.getpid())
    # One thread owns the control connections and every listener: a command acts before its reply
    sessions, servers = {}, {}
    try:
        while not stop.is_set() and time.monotonic() < deadline:
            listeners = {s.sock: s for s in servers.values() if s.sock}
            for sock in select.select([control, *sessions, *listeners], [], [], POLL)[0]:
                if sock is control:
                    with contextlib.suppress(OSError):
                        sessions[control.accept()[0]] = b""
                elif sock in sessions:
                    session(sock, sessions, servers)
                    break  # its commands may have closed listeners still in this round
                else:
                    listeners[sock].drain()
    finally:
        with contextlib.suppress(OSError):
            if opts.pidfile.read_text().strip() == str(os.getpid()):
                opts.pidfile.unlink()


if __name__ == "__main__":
    main()
