"""Tests for timeserver.py. Run as root: python3 -m unittest timeserver_test"""

import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

DAEMON = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                      "timeserver.py")
CONTROL = ("127.0.0.1", 3738)
EPOCH_DELTA = 2208988800
A, B, C = "127.0.0.200", "127.0.0.201", "127.0.0.202"
SPARE = "127.0.0.210"


def start_daemon(pidfile, lifetime=60):
    proc = subprocess.Popen(
        [sys.executable, DAEMON, "--control", "%s:%d" % CONTROL,
         "--pidfile", pidfile, "--lifetime", str(lifetime)],
        stderr=subprocess.PIPE)
    deadline = time.monotonic() + 5
    while not os.path.exists(pidfile):
        if proc.poll() is not None or time.monotonic() > deadline:
            stop_daemon(proc)
            raise RuntimeError("daemon did not start: %r"
                               % proc.stderr.read())
        time.sleep(0.02)
    return proc


def stop_daemon(proc):
    if proc.poll() is None:
        os.kill(proc.pid, signal.SIGTERM)
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            os.kill(proc.pid, signal.SIGKILL)
            proc.wait(5)
    proc.stderr.close()


class Control:
    def __init__(self):
        self.sock = socket.create_connection(CONTROL, timeout=5)
        self.file = self.sock.makefile("rw", newline="\n")

    def __call__(self, line):
        self.file.write(line + "\n")
        self.file.flush()
        return self.file.readline().rstrip("\n")

    def close(self):
        self.file.close()
        self.sock.close()


def fetch(ip, timeout=3.0):
    """Returns (reply bytes, time.time() when the first byte arrived)."""
    with socket.create_connection((ip, 37), timeout=timeout) as s:
        data, first = b"", None
        while len(data) < 64:
            chunk = s.recv(64)
            if not chunk:
                break
            if first is None:
                first = time.time()
            data += chunk
        return data, first


def unix_seconds(reply):
    return struct.unpack(">I", reply[:4])[0] - EPOCH_DELTA


class TimeServerTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("binding port 37 needs root")
        cls.tmp = tempfile.TemporaryDirectory()
        cls.addClassCleanup(cls.tmp.cleanup)
        cls.pidfile = os.path.join(cls.tmp.name, "timeserver.pid")
        cls.proc = start_daemon(cls.pidfile)
        cls.addClassCleanup(stop_daemon, cls.proc)
        cls.ctl = Control()
        cls.addClassCleanup(cls.ctl.close)

    def setUp(self):
        self.assertEqual(self.ctl("CLEAR"), "OK")

    def set(self, ip, *behaviour):
        self.assertEqual(self.ctl(" ".join(("SET", ip) + behaviour)), "OK")

    def assertCurrent(self, fetched, shift_s=0):
        """The reply holds the whole served second current when it left."""
        reply, arrived = fetched
        self.assertEqual(len(reply), 4)
        behind = arrived + shift_s - unix_seconds(reply)
        self.assertGreaterEqual(behind, -0.01)
        self.assertLess(behind, 1.05)

    def test_pidfile_holds_daemon_pid(self):
        with open(self.pidfile) as f:
            self.assertEqual(int(f.read()), self.proc.pid)

    def test_bad_commands_are_rejected_and_change_nothing(self):
        self.set(A, "now", "0")
        for line in ["SET 10.0.0.1 now 0", "SET 127.0.0.300 now 0",
                     "SET localhost now 0", "SET %s" % A,
                     "SET %s bogus" % A, "SET %s now" % A,
                     "SET %s now 1 2" % A, "SET %s now 1.5" % A,
                     "SET %s delay -1 0" % A, "SET %s split x" % A,
                     "SET %s era 4294967296" % A, "SET %s era -1" % A,
                     "COUNT %s" % B, "COUNT", "QUIT now", "HELLO", ""]:
            with self.subTest(line=line):
                self.assertTrue(self.ctl(line).startswith("ERR "))
        self.assertCurrent(fetch(A))
        self.assertEqual(self.ctl("count %s" % A), "OK 1")

    def test_exact_sends_the_second_just_reached(self):
        for shift_ms in (0, 1500, -2750):
            with self.subTest(shift_ms=shift_ms):
                self.set(A, "exact", str(shift_ms))
                reply, arrived = fetch(A)
                self.assertEqual(len(reply), 4)
                late_ms = (arrived * 1000 + shift_ms
                           - unix_seconds(reply) * 1000)
                self.assertGreaterEqual(late_ms, -2)
                self.assertLess(late_ms, 50)

    def test_now_and_delay(self):
        self.set(A, "now", "-3600000")
        self.assertCurrent(fetch(A), -3600)
        self.set(B, "delay", "400", "90000")
        started = time.monotonic()
        fetched = fetch(B)
        self.assertGreaterEqual(time.monotonic() - started, 0.4)
        self.assertCurrent(fetched, 90)

    def test_refuse_closes_the_listener(self):
        self.set(A, "refuse")
        self.assertRaises(ConnectionRefusedError, fetch, A)
        self.set(A, "now", "0")
        self.assertCurrent(fetch(A))
        self.set(A, "refuse")
        self.assertRaises(ConnectionRefusedError, fetch, A)
        self.set(A, "now", "0")
        self.assertEqual(self.ctl("CLEAR"), "OK")
        self.assertRaises(ConnectionRefusedError, fetch, A)
        self.assertRaises(ConnectionRefusedError, fetch, B)

    def test_malformed_replies(self):
        self.set(A, "close")
        self.assertEqual(fetch(A)[0], b"")

        self.set(A, "short")
        reply = fetch(A)[0]
        now = struct.pack(">I", (int(time.time()) + EPOCH_DELTA) % 2**32)
        self.assertEqual(reply, now[:2])

        self.set(A, "long")
        reply, arrived = fetch(A)
        self.assertEqual(len(reply), 8)
        self.assertCurrent((reply[:4], arrived))
        self.assertEqual(reply[4:], b"\xde\xad\xbe\xef")

        for value, wire in (("0", b"\0\0\0\0"), ("4294967295", b"\xff" * 4),
                            ("0x80000000", b"\x80\0\0\0")):
            with self.subTest(era=value):
                self.set(A, "era", value)
                self.assertEqual(fetch(A)[0], wire)

    def test_split_pauses_between_halves(self):
        self.set(A, "split", "300")
        with socket.create_connection((A, 37), timeout=3) as s:
            head = s.recv(64)
            arrived = time.time()
            started = time.monotonic()
            tail = s.recv(64)
            waited = time.monotonic() - started
            self.assertEqual(s.recv(64), b"")
        self.assertEqual(len(head), 2)
        self.assertEqual(len(tail), 2)
        self.assertGreater(waited, 0.25)
        self.assertCurrent((head + tail, arrived))

    def test_slow_clients_do_not_block_others(self):
        self.set(A, "silent")
        self.set(B, "delay", "1000", "0")
        self.set(C, "now", "0")
        silent = socket.create_connection((A, 37), timeout=0.5)
        replies = []
        workers = [threading.Thread(target=lambda: replies.append(fetch(B)))
                   for _ in range(3)]
        started = time.monotonic()
        for w in workers:
            w.start()
        try:
            self.assertCurrent(fetch(C))
            self.assertEqual(self.ctl("COUNT %s" % A), "OK 1")
            self.assertLess(time.monotonic() - started, 0.5)
            self.assertRaises(socket.timeout, silent.recv, 64)
        finally:
            silent.close()
            for w in workers:
                w.join(5)
        self.assertLess(time.monotonic() - started, 2)
        self.assertEqual(len(replies), 3)
        for fetched in replies:
            self.assertCurrent(fetched)

    def test_count_since_last_set(self):
        self.set(A, "now", "0")
        self.set(B, "refuse")
        for _ in range(3):
            fetch(A)
        self.assertRaises(ConnectionRefusedError, fetch, B)
        self.assertEqual(self.ctl("COUNT %s" % A), "OK 3")
        self.assertEqual(self.ctl("COUNT %s" % B), "OK 0")
        self.set(A, "close")
        self.assertEqual(self.ctl("COUNT %s" % A), "OK 0")
        fetch(A)
        self.assertEqual(self.ctl("COUNT %s" % A), "OK 1")
        # connections still waiting in the listen queue count too
        self.set(C, "silent")
        held = [socket.create_connection((C, 37)) for _ in range(2)]
        try:
            self.assertEqual(self.ctl("COUNT %s" % C), "OK 2")
        finally:
            for s in held:
                s.close()
        self.assertEqual(self.ctl("CLEAR"), "OK")
        self.assertTrue(self.ctl("COUNT %s" % A).startswith("ERR "))


class ShutdownTest(unittest.TestCase):
    """Each way of stopping ends the process and frees its addresses."""

    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest("binding port 37 needs root")
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.pidfile = os.path.join(tmp.name, "timeserver.pid")

    def run_until_stopped(self, lifetime, stop):
        proc = start_daemon(self.pidfile, lifetime)
        try:
            ctl = Control()
            try:
                self.assertEqual(ctl("SET %s now 0" % SPARE), "OK")
                self.assertEqual(len(fetch(SPARE)[0]), 4)
                stop(proc, ctl)
            finally:
                ctl.close()
            self.assertEqual(proc.wait(5), 0)
        finally:
            stop_daemon(proc)
        self.assertFalse(os.path.exists(self.pidfile))
        self.assertRaises(ConnectionRefusedError, fetch, SPARE)

    def test_quit(self):
        self.run_until_stopped(60, lambda proc, ctl:
                               self.assertEqual(ctl("QUIT"), "OK"))

    def test_sigterm(self):
        self.run_until_stopped(60, lambda proc, ctl:
                               os.kill(proc.pid, signal.SIGTERM))

    def test_lifetime(self):
        started = time.monotonic()
        self.run_until_stopped(1, lambda proc, ctl: None)
        self.assertLess(time.monotonic() - started, 4)


if __name__ == "__main__":
    unittest.main()
