"""Helpers for the system tests: the built binaries, keld-sim, and processes.

Every system test runs inside tests/sandbox/sandbox, which gives it a private
/tmp, /etc and /usr/sbin; these helpers refuse to run anywhere else so that a
test started by hand cannot touch the machine's own files.
"""

import json
import os
import signal
import socket
import struct
import subprocess
import threading
import time
import unittest

if os.environ.get("KEL_SANDBOX") != "1":
    raise SystemExit("system tests run inside tests/sandbox/sandbox (see ctest)")

BIN = os.environ["KEL_BIN"]
SOURCE = os.environ.get("KEL_SOURCE", "")
SANITIZED = os.environ.get("KEL_SANITIZE", "0") not in ("", "0", "OFF", "FALSE")
# The programs are the target's, run by an emulator (the cross build).
EMULATED = bool(os.environ.get("KEL_EMULATOR"))
STATE = "/tmp/keld-state.json"
LOG = "/tmp/keld-calls.log"
COMMUNITY_SOCKET = "/tmp/.keld-snmp"
PASSWORD_SOCKET = "/tmp/.keld"
# The line every program but keldcheck writes when its login fails.
ABSENT = "keld does not answer on %s\n" % COMMUNITY_SOCKET
REFUSED = "keld refused the login on %s\n" % COMMUNITY_SOCKET


def binary(name):
    return os.path.join(BIN, name)


def run(name, *args, input=None, env=None, timeout=30, argv0=None):
    """Run a built program; return the CompletedProcess with bytes output."""
    path = binary(name) if not os.path.isabs(name) else name
    argv = [argv0 or path] + [str(a) for a in args]
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return subprocess.run(argv, executable=path, input=input, capture_output=True,
                          env=full_env, timeout=timeout)


def proc_stat(pid):
    """The fields of /proc/PID/stat after the command name: the state first."""
    with open("/proc/%d/stat" % pid) as f:
        return f.read().rsplit(")", 1)[1].split()


def wait_for(predicate, timeout=10.0, step=0.02):
    """Poll predicate until it is true; return its last value."""
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() > end:
            return value
        time.sleep(step)


def fields(payload):
    """The fields of a message payload, in order: ints and byte strings."""
    out, at = [], 0
    while at < len(payload):
        tag = payload[at:at + 1]
        if tag == b"i":
            out.append(struct.unpack(">i", payload[at + 1:at + 5])[0])
            at += 5
        else:
            n = struct.unpack(">H", payload[at + 1:at + 3])[0]
            out.append(payload[at + 3:at + 3 + n])
            at += 3 + n
    return out


def encode(*values):
    """A message payload of int and byte-string fields, in order."""
    return b"".join(struct.pack(">bi", ord("i"), v) if isinstance(v, int)
                    else struct.pack(">bH", ord("s"), len(v)) + v for v in values)


def frame(payload):
    """A payload with the length header every message starts with."""
    return struct.pack(">I", len(payload)) + payload


def reply(result, *outputs):
    """A reply frame: the result, then int or byte-string outputs."""
    return frame(encode(result, *outputs))


def scripted_keld(test, answer):
    """A daemon on keld's socket that reads each request frame and lets
    answer(conn, payload) send the reply; it stops with the test."""
    if os.path.exists("/tmp/.keld-snmp"):
        os.unlink("/tmp/.keld-snmp")  # left by a daemon killed before
    srv = socket.socket(socket.AF_UNIX)
    srv.bind("/tmp/.keld-snmp")
    srv.listen(8)

    def serve(c):
        with c:
            while True:
                head = c.recv(4, socket.MSG_WAITALL)
                if len(head) < 4:
                    return
                answer(c, c.recv(struct.unpack(">I", head)[0], socket.MSG_WAITALL))

    def accept():
        try:
            while True:
                threading.Thread(target=serve, args=(srv.accept()[0],), daemon=True).start()
        except OSError:
            pass
    threading.Thread(target=accept, daemon=True).start()

    def stop():
        srv.shutdown(socket.SHUT_RDWR)
        srv.close()
        os.unlink("/tmp/.keld-snmp")
    test.addCleanup(stop)


class KeldSim:
    """A running keld-sim with its state file and call log in /tmp."""

    def __init__(self, state=None, log=True, extra_args=()):
        with open(STATE, "w") as f:
            json.dump(state if state is not None else {}, f)
        if os.path.exists(LOG):
            os.unlink(LOG)
        argv = [binary("keld-sim"), "--state", STATE]
        if log:
            argv += ["--log", LOG]
        argv += list(extra_args)
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        line = self.proc.stdout.readline()
        if line != b"ready\n":
            self.proc.kill()
            raise RuntimeError("keld-sim did not start: %r %r" % (line, self.proc.stderr.read()))

    def entries(self):
        """Every line of the call log, parsed."""
        if not os.path.exists(LOG):
            return []
        with open(LOG) as f:
            return [json.loads(line) for line in f if line.strip()]

    def calls(self, name=None):
        """The calls served, in order, as (call, args, result) tuples."""
        out = []
        for e in self.entries():
            if "call" in e and (name is None or e["call"] == name):
                out.append((e["call"], e["args"], e["result"]))
        return out

    def call_names(self):
        return [c[0] for c in self.calls()]

    def state(self):
        with open(STATE) as f:
            return json.load(f)

    def reload(self, state):
        """Write a new state file and make keld-sim read it (SIGHUP)."""
        with open(STATE + ".new", "w") as f:
            json.dump(state, f)
        os.rename(STATE + ".new", STATE)
        marker = len(self.entries())
        self.proc.send_signal(signal.SIGHUP)
        # keld-sim reads the file in its main loop; a noop on a fresh
        # connection after the signal is served from the new state.
        time.sleep(0.2)
        return marker

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()
        return self.proc.returncode

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def main():
    unittest.main(verbosity=2)
