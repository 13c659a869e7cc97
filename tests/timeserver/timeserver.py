"""Loopback TIME (RFC 868), NTP (RFC 5905) and DNS servers for the Orvalen tests.

    timeserver.py [LIFETIME_SECONDS]

Needs root. Each address 127.x.x.x, and ::1, plays one server, set up over 127.0.0.1:3737 with one line
per connection, answered "OK", "OK <n>" or "ERR <reason>": SET <ip> <behaviour> [args] (and
reset its count), COUNT <ip> (connections accepted or datagrams received since), CLEAR. TIME
on TCP port 37: exact <shift>, now <shift>, delay <ms> <shift>, refuse, silent, close; NTP on
UDP port 123: ntp-exact <shift>, ntp-silent, ntp-rate, ntp-nts-forged (an NTS reply with the
request's identifier and an authenticator that does not verify) (shift: how far the served
clock is ahead of UTC, in ms); on TCP port 4460: ke-relay <n> (each connection relayed to port
4460 of 127.0.0.n, so that a key exchange can be counted), ke-drip (a TLS record begun and never
ended, one byte a second; COUNT: connections still open), ke-full (a listener whose queue is full:
connection attempts go unanswered). 127.0.0.53 is the run's resolver:
every name is answered "no such name" (NXDOMAIN), so that an unknown name fails at once and the
same way on every machine, but these: no-address.test exists without an address (NODATA, which
WinSock reports as WSANO_DATA, 11004), dual.test has ::1, then 127.0.0.126, pair.test ::1, then
127.0.0.139, 127.0.0.137 and 127.0.0.138, LONG has 127.0.0.131,
and slow.test is never answered. Ends with its lifetime (1800 s by default), SIGTERM or SIGINT.
"""

import contextlib, select, signal, socket, struct, sys, threading, time

POLL, LINGER, HOLD = 0.1, 2.0, 600.0  # seconds
ARGS = {"exact": 1, "now": 1, "delay": 2, "refuse": 0, "silent": 0, "close": 0,
        "ntp-exact": 1, "ntp-silent": 0, "ntp-rate": 0, "ntp-nts-forged": 0, "ke-relay": 1, "ke-drip": 0,
        "ke-full": 0}  # argument counts
stop = threading.Event()
LONG = "n" * 63 + "." + "t" * 63 + ".test"  # longer than a list entry: an NTS server's NTP name
A = lambda *ips: b"".join(socket.inet_pton(socket.AF_INET, ip) for ip in ips)
NAMES = {b"\x0ano-address\x04test\x00": {},  # by type: A 1, AAAA 28; the addresses in a row
         b"".join(bytes([len(label)]) + label.encode() for label in LONG.split(".")) + b"\0":
             {1: A("127.0.0.131")},
         b"\x04dual\x04test\x00": {1: A("127.0.0.126"), 28: socket.inet_pton(socket.AF_INET6, "::1")},
         b"\x04pair\x04test\x00": {1: A("127.0.0.139", "127.0.0.137", "127.0.0.138"), 28: socket.inet_pton(socket.AF_INET6, "::1")}}


def stamp(unix_ns):
    """The NTP timestamp of a time; its upper half is the TIME reply."""
    return (unix_ns // 10**9 + 2208988800) % 2**32 << 32 | (unix_ns % 10**9 << 32) // 10**9


def hold(conn, seconds):
    """Drops input until the client closes; raises OSError if it has not in time."""
    end = time.monotonic() + seconds
    while conn.settimeout(max(0.001, end - time.monotonic())) or conn.recv(4096):
        pass


def relay(conn, target):
    """Passes bytes both ways between conn and a connection to target until either side ends."""
    with conn, contextlib.suppress(OSError), socket.create_connection(target, timeout=LINGER) as far:
        ends = {conn: far, far: conn}
        while not stop.is_set():
            ready = select.select(list(ends), [], [], HOLD)[0]
            if not ready:
                return
            for sock in ready:
                data = sock.recv(65536)
                if not data:
                    return
                ends[sock].sendall(data)


def serve(conn, server):
    """Plays one TCP behaviour on an accepted connection, in a thread of its own."""
    name, args = server.name, server.args
    if name == "ke-relay":
        return relay(conn, ("127.0.0.%d" % args[0], 4460))
    if name == "ke-drip":  # sends until the client has closed: a reset, or a send after its FIN, fails
        with conn, contextlib.suppress(OSError):
            conn.sendall(b"\x16\x03\x03\x40\x00")
            for _ in range(int(HOLD)):
                if stop.wait(1.0):
                    break
                conn.sendall(b"\0")
        server.count -= 1
        return
    with conn, contextlib.suppress(OSError):
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        time.sleep(args[0] / 1000 if name == "delay" else 0)
        shift = args[-1] * 10**6 if args else 0
        at = time.time_ns() + shift  # the served clock
        if name == "exact":  # answer as the served clock's second begins
            at = at // 10**9 * 10**9 + 10**9
            while (left := at - time.time_ns() - shift) > 0:
                time.sleep(left / 1e9)
        conn.sendall(b"" if name in ("silent", "close") else struct.pack(">I", stamp(at) >> 32))
        if name == "silent":
            hold(conn, HOLD)
        # FIN, then a short wait for the client's, so that unread input causes no reset
        conn.shutdown(socket.SHUT_WR)
        hold(conn, LINGER)


def ntp_reply(name, args, request, received_ns):
    """The datagram one NTP behaviour sends back, or None."""
    if name == "ntp-silent" or len(request) < 48:
        return None
    shift = args[0] * 10**6 if args else 0
    head, stratum, code = (0xE4, 0, b"RATE") if name == "ntp-rate" else (0x24, 1, b"LOCL")
    receive, origin = stamp(received_ns + shift), struct.unpack(">Q", request[40:48])[0]
    reply = struct.pack(">BBBbII4sQQQQ", head, stratum, request[2], -20, 0, 0, code, receive,
                        origin, receive, stamp(time.time_ns() + shift))
    if name == "ntp-nts-forged":  # the identifier echoed, then 16 bytes each of nonce and tag
        reply += request[48:84] + struct.pack(">HHHH", 0x0404, 40, 16, 16) + bytes(32)
    return reply


def dns_reply(query):
    """The answer to a DNS query for one name, or None when it is not one."""
    at = 12
    while 12 <= at < len(query) and query[at] and not query[at] & 0xC0:
        at += 1 + query[at]
    end = at + 5  # past the root label, the type and the class
    if len(query) < 12 or query[2] & 0x80 or end > len(query) or query[at]:
        return None
    name, qtype = query[12:end - 4].lower(), int.from_bytes(query[end - 4:end - 2], "big")
    if name == b"\x04slow\x04test\x00":
        return None
    data, size = NAMES.get(name, {}).get(qtype, b""), 4 if qtype == 1 else 16
    # each as a pointer to the question's name, IN, 60 s
    answers = [b"\xc0\x0c" + struct.pack(">HHIH", qtype, 1, 60, size) + data[i:i + size]
               for i in range(0, len(data), size)]
    flags = bytes([0x80 | query[2] & 1, 0x80 | (0 if name in NAMES else 3)])  # recursion echoed
    return query[:2] + flags + struct.pack(">HHHH", 1, len(answers), 0, 0) + query[12:end] + b"".join(answers)


class Server:
    """One address set up: its behaviour, its count and its listener."""

    def __init__(self, name, args):
        self.name, self.args, self.sock, self.count, self.filler = name, args, None, 0, None

    def drain(self):
        """Counts and serves, as set now, what is queued on the listener."""
        with contextlib.suppress(OSError, RuntimeError):  # empty, or out of fds or threads
            for _ in range(1000 if self.sock and not self.filler else 0):
                if self.name.startswith("ntp-"):
                    request, peer = self.sock.recvfrom(4096)
                    self.count += 1
                    if reply := ntp_reply(self.name, self.args, request, time.time_ns()):
                        self.sock.sendto(reply, peer)
                else:
                    conn = self.sock.accept()[0]
                    self.count += 1
                    threading.Thread(target=serve, args=(conn, self), daemon=True).start()


def configure(servers, ip, name, args):
    if ARGS.get(name) != len(args) or not (ip.startswith("127.") or ip == "::1"):
        raise ValueError("bad address, behaviour or arguments")
    ntp = name.startswith("ntp-")
    new, old = Server(name, args), servers.get(ip) or Server("refuse", [])
    port = 123 if ntp else 4460 if name.startswith("ke-") else 37
    if old.sock and old.sock.getsockname()[1] == port and name not in ("refuse", "ke-full") and not old.filler:
        new.sock = old.sock
    elif name != "refuse":  # bound before the old listener closes, which a failure keeps
        family = socket.AF_INET6 if ":" in ip else socket.AF_INET
        new.sock = socket.socket(family, socket.SOCK_DGRAM if ntp else socket.SOCK_STREAM)
        try:  # served connections in TIME_WAIT must not keep a new TIME listener out
            new.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, not ntp)
            new.sock.bind((ip, port))
            if not ntp:
                new.sock.listen(0 if name == "ke-full" else 128)
            if name == "ke-full":  # never accepted: the queue's one place stays taken
                new.filler = socket.create_connection((ip, port), timeout=LINGER)
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
    if old.filler:
        old.filler.close()
    servers[ip] = new


def command(line, servers):
    """Runs one control line and returns the reply line."""
    verb, *words = line.split() or ["?"]
    try:
        if verb == "SET" and len(words) > 1:
            configure(servers, words[0], words[1], [int(w) for w in words[2:]])
        elif verb == "COUNT" and len(words) == 1 and words[0] in servers:
            servers[words[0]].drain()  # a client's connect completes before it is accepted
            return "OK %d" % servers[words[0]].count
        elif verb == "CLEAR" and not words:
            for ip in list(servers):
                configure(servers, ip, "refuse", [])
            servers.clear()
        else:
            raise ValueError("usage: SET <ip> <behaviour> [args] | COUNT <ip set up> | CLEAR")
        return "OK"
    except ValueError as e:
        return "ERR %s" % e


def main():
    lifetime = float(sys.argv[1]) if len(sys.argv) > 1 else 1800.0
    deadline = time.monotonic() + lifetime
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    control = socket.create_server(("127.0.0.1", 3737), backlog=16)
    dns = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    dns.bind(("127.0.0.53", 53))
    # One thread answers the control port and serves every listener: a command acts before its reply
    servers = {}
    while not stop.is_set() and time.monotonic() < deadline:
        listeners = {s.sock: s for s in servers.values() if s.sock and not s.filler}
        for sock in select.select([control, dns, *listeners], [], [], POLL)[0]:
            if sock is dns:
                with contextlib.suppress(OSError):
                    query, peer = dns.recvfrom(512)
                    if reply := dns_reply(query):
                        dns.sendto(reply, peer)
            elif sock is control:
                with contextlib.suppress(OSError), control.accept()[0] as conn, conn.makefile("rb") as lines:
                    conn.settimeout(2.0)
                    line = lines.readline(1024).decode("ascii", "replace")
                    conn.sendall((command(line, servers) + "\n").encode("ascii", "replace"))
                break  # the command may have closed listeners still in this round
            else:
                listeners[sock].drain()


if __name__ == "__main__":
    main()
