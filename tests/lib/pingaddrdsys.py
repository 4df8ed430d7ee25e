"""A two-host network for pingaddrd's system tests and benchmarks.

Inside the sandbox, which is already a network namespace of its own, this
makes an "appliance" and an "installer" namespace joined by a veth pair: the
appliance's end is eth0 (192.0.2.1/24), the installer's inst0 (192.0.2.2/24,
with a route to 198.51.100.0/24 too).  The installer reaches a wanted address
the way a person on site does, with a static neighbour entry for it at eth0's
hardware address and the real ping of iputils.
"""

import ctypes
import os
import socket
import struct
import subprocess

import kelsys

APPLIANCE_IP = "192.0.2.1"
INSTALLER_IP = "192.0.2.2"
CLONE_NEWNET = 0x40000000
STDERR = "/tmp/pingaddrd.err"
STARTED = b"Listening for echo requests on "

_libc = ctypes.CDLL(None, use_errno=True)


def sh(*argv, check=True):
    return subprocess.run([str(a) for a in argv], check=check, capture_output=True)


def _private_run():
    # ip netns keeps its namespaces under /run/netns; a tmpfs of our own
    # there keeps the machine's /run out of it (our mount namespace is private).
    if not os.path.exists("/run/.pingaddrd-test"):
        sh("mount", "-t", "tmpfs", "-o", "mode=0755", "pingaddrd-run", "/run")
        open("/run/.pingaddrd-test", "w").close()


class Network:
    """The two namespaces and their link; removed again on exit."""

    def __init__(self, appliance_if="eth0"):
        _private_run()
        self.ifname = appliance_if
        for ns in ("appliance", "installer"):
            sh("ip", "netns", "del", ns, check=False)
            sh("ip", "netns", "add", ns)
            sh("ip", "-n", ns, "link", "set", "lo", "up")
        sh("ip", "link", "add", "veth-a", "type", "veth", "peer", "name", "inst0")
        sh("ip", "link", "set", "veth-a", "netns", "appliance")
        sh("ip", "link", "set", "inst0", "netns", "installer")
        sh("ip", "-n", "appliance", "link", "set", "veth-a", "name", appliance_if)
        sh("ip", "-n", "appliance", "addr", "add", APPLIANCE_IP + "/24", "dev", appliance_if)
        sh("ip", "-n", "appliance", "link", "set", appliance_if, "up")
        sh("ip", "-n", "installer", "addr", "add", INSTALLER_IP + "/24", "dev", "inst0")
        sh("ip", "-n", "installer", "link", "set", "inst0", "up")
        sh("ip", "-n", "installer", "route", "add", "198.51.100.0/24", "dev", "inst0")
        self.mac = self.link_mac("appliance", appliance_if)
        self.installer_mac = self.link_mac("installer", "inst0")

    def link_mac(self, ns, ifname):
        out = sh("ip", "-n", ns, "-o", "link", "show", ifname).stdout.decode()
        return out.split("link/ether ")[1].split()[0]

    def neighbour(self, address, mac=None):
        """Point address at eth0's hardware address (or at mac) for the installer."""
        sh("ip", "-n", "installer", "neigh", "replace", address, "lladdr", mac or self.mac,
           "dev", "inst0", "nud", "permanent")

    def ping(self, address, *options):
        """One echo request from the installer; whether it was answered."""
        return sh("nsenter", "--net=/run/netns/installer", "ping", "-n", "-c", "1", "-W", "0.3",
                  *options, address, check=False).returncode == 0

    def addresses(self, ifname=None):
        out = sh("ip", "-n", "appliance", "-4", "-o", "addr", "show", ifname or self.ifname)
        return [w.split("/")[0] for w in out.stdout.decode().split() if "/" in w]

    def close(self):
        for ns in ("appliance", "installer"):
            sh("ip", "netns", "del", ns, check=False)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class in_namespace:
    """with in_namespace("installer"): sockets made here belong to it."""

    def __init__(self, name):
        self.name = name

    def _enter(self, fd):
        if _libc.setns(fd, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "setns")

    def __enter__(self):
        self.home = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        fd = os.open("/run/netns/" + self.name, os.O_RDONLY)
        try:
            self._enter(fd)
        finally:
            os.close(fd)
        return self

    def __exit__(self, *exc):
        self._enter(self.home)
        os.close(self.home)


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def frame(dst_mac, src_mac, src_ip, dst_ip, protocol=1, icmp_type=8, payload=56, options=b""):
    """An Ethernet frame of an IPv4 packet: an ICMP echo request by default;
    options (a multiple of 4 bytes) go into the IPv4 header."""
    if protocol == 1:
        body = struct.pack("!BBHHH", icmp_type, 0, 0, 0x1234, 1) + bytes(payload)
        body = body[:2] + struct.pack("!H", checksum(body)) + body[4:]
    else:
        body = struct.pack("!HHHH", 40000, 9, 8 + payload, 0) + bytes(payload)
    header = struct.pack("!BBHHHBBH4s4s", 0x45 + len(options) // 4, 0,
                         20 + len(options) + len(body), 0, 0, 64, protocol, 0,
                         socket.inet_aton(src_ip), socket.inet_aton(dst_ip)) + options
    header = header[:10] + struct.pack("!H", checksum(header)) + header[12:]
    macs = bytes.fromhex(dst_mac.replace(":", "")) + bytes.fromhex(src_mac.replace(":", ""))
    return macs + b"\x08\x00" + header + body


def installer_link():
    """A packet socket on the installer's end, for frames made by hand."""
    with in_namespace("installer"):
        s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
        s.bind(("inst0", 0))
    return s


def start(*args, foreground=True, stderr_path=STDERR, stdout=subprocess.DEVNULL):
    """Start pingaddrd in the appliance namespace, its stderr in a file."""
    argv = ["nsenter", "--net=/run/netns/appliance", kelsys.binary("pingaddrd")]
    argv += (["-n"] if foreground else []) + [str(a) for a in args]
    with open(stderr_path, "wb") as err:
        return subprocess.Popen(argv, stdout=stdout, stderr=err)


def stderr_text(path=STDERR):
    with open(path, "rb") as f:
        return f.read()


def wait_started(path=STDERR, timeout=20):
    """Wait for the start-up lines: from then on the socket and filter are in place."""
    if not kelsys.wait_for(lambda: STARTED in stderr_text(path) and
                           stderr_text(path).endswith(b"\n"), timeout=timeout):
        raise AssertionError("pingaddrd did not start: %r" % stderr_text(path))


def finish(proc, timeout=20):
    try:
        return proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        raise


def startup_lines(timeout=None, payload=None, change=None, command=None, on="every interface"):
    """The start-up lines: change is the interface -c changes, or "keld" with -s."""
    lines = []
    if timeout is not None:
        lines.append("Timeout in %d s." % timeout)
    if payload is not None:
        lines.append("Expecting echo request payload %d bytes." % payload)
    if change == "keld":
        lines.append("On echo request arrival, have keld change the address.")
    elif change:
        lines.append("On echo request arrival, change the address of %s." % change)
    if command is not None:
        lines.append("On echo request arrival, execute %s." % command)
    lines.append("Listening for echo requests on %s." % on)
    return ("\n".join(lines) + "\n").encode()


def pids_of(name):
    """The processes of the sandbox running the program name."""
    pids = []
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/comm" % entry) as f:
                if entry.isdigit() and f.read().strip() == name:
                    pids.append(int(entry))
        except OSError:
            pass
    return pids


def wait_gone(pid, timeout=20):
    return kelsys.wait_for(lambda: not os.path.exists("/proc/%d" % pid), timeout=timeout)


def cpu_seconds(pid):
    """CPU time the process has used so far, user and system, in seconds."""
    with open("/proc/%d/schedstat" % pid) as f:
        return int(f.read().split()[0]) / 1e9
