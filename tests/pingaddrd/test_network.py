"""pingaddrd against the real ping of iputils, between two network namespaces."""

import fcntl
import os
import re
import signal
import socket
import struct
import threading
import time
import unittest

import kelsys
import pingaddrdsys as pa
from pingaddrdsys import startup_lines

GOT = "/tmp/got"
RECORD = "echo $NEW_IPADDR >> " + GOT


def recorded():
    with open(GOT) as f:
        return f.read().split()


class Network(unittest.TestCase):
    appliance_if = "eth0"

    def setUp(self):
        self.net = pa.Network(self.appliance_if)
        self.procs = []
        if os.path.exists(GOT):
            os.unlink(GOT)

    def tearDown(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
                p.wait()
        self.net.close()

    def start(self, *args, **kw):
        p = pa.start(*args, **kw)
        self.procs.append(p)
        pa.wait_started(kw.get("stderr_path", pa.STDERR))
        return p

    def request(self, address, *options):
        self.net.neighbour(address)
        self.net.ping(address, *options)


class DirectChange(Network):
    def test_change_keeps_listening_until_the_timeout(self):
        p = self.start("-c", "-t", "3")
        self.request("192.0.2.50")
        self.assertTrue(kelsys.wait_for(lambda: self.net.addresses() == ["192.0.2.50"]))
        # The new address answers now, and a request for it changes nothing.
        self.assertTrue(self.net.ping("192.0.2.50"))
        self.assertIsNone(p.poll())
        self.assertEqual(pa.finish(p), 0)
        self.assertEqual(pa.stderr_text(), startup_lines(3, change="eth0") +
                         b"Changing IP address on interface eth0 to 192.0.2.50.\nTimed out.\n")

    def test_shipped_options_take_only_the_sized_ping_within_a_window(self):
        with open(os.path.join(kelsys.SOURCE, "pingaddrd", "pingaddrd.default")) as f:
            options = re.search(r'^PINGADDRD_OPTS="(.*)"$', f.read(), re.M).group(1).split()
        self.assertIn("-t", options)
        size = options[options.index("-l") + 1]
        p = self.start(*options)
        self.request("192.0.2.50")                   # an ordinary ping
        self.request("192.0.2.60", "-s", size)       # the installer's
        self.assertTrue(kelsys.wait_for(lambda: self.net.addresses() == ["192.0.2.60"]))
        # A machine that still has the old address at our hardware address
        # pings it: that must not move the box back.
        self.request(pa.APPLIANCE_IP)
        self.request("192.0.2.70", "-s", size)       # a correction, read after it
        self.assertTrue(kelsys.wait_for(lambda: self.net.addresses() == ["192.0.2.70"]))
        self.assertEqual(pa.stderr_text().count(b"Changing IP address"), 2)
        self.assertIsNone(p.poll())

    def test_command_gets_the_address_and_leaves_the_interface(self):
        command = "env > /tmp/env; ls -l /proc/$$/fd > /tmp/fds"
        p = self.start("-i", "eth0", "-e", command)
        self.request("198.51.100.7")
        self.assertEqual(pa.finish(p), 0)
        with open("/tmp/fds") as f:
            self.assertNotIn("socket:", f.read())   # the packet socket stays ours
        with open("/tmp/env") as f:
            env = dict(line.split("=", 1) for line in f.read().splitlines() if "=" in line)
        self.assertEqual((env["NEW_IPADDR"], env["NEW_IP_ANET"], env["IFNAME"]),
                         ("198.51.100.7", "198", "eth0"))
        self.assertEqual(self.net.addresses(), [pa.APPLIANCE_IP])
        self.assertEqual(pa.stderr_text(), startup_lines(command=command, on="eth0") +
                         command.encode() + b" exit with 0.\n")

    def test_only_the_payload_size_asked_for_counts(self):
        p = self.start("-l", "56", "-e", RECORD)
        self.request("192.0.2.64", "-s", "64")
        self.request("192.0.2.56", "-s", "56")
        self.assertEqual(pa.finish(p), 0)
        # The daemon ends on the first request that counts.
        self.assertEqual(recorded(), ["192.0.2.56"])
        self.assertTrue(pa.stderr_text().startswith(startup_lines(payload=56, command=RECORD)))

    def test_requests_not_for_a_new_address_at_our_hardware_address_are_ignored(self):
        p = self.start("-c", "-e", RECORD)
        self.assertTrue(self.net.ping(pa.APPLIANCE_IP))                  # current address
        self.net.ping("192.0.2.255", "-b")                              # broadcast
        self.net.neighbour("192.0.2.77", "02:00:00:00:00:77")           # another host's
        self.net.ping("192.0.2.77")
        self.net.neighbour("192.0.2.78")                                # not ICMP
        with pa.in_namespace("installer"):
            udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        udp.sendto(b"x" * 56, ("192.0.2.78", 9))
        udp.close()
        link = pa.installer_link()                                      # no host's address
        for nowhere in ("0.0.0.0", "127.0.0.9", "224.0.0.1", "255.255.255.255"):
            link.send(pa.frame(self.net.mac, self.net.installer_mac, pa.INSTALLER_IP, nowhere))
        # From our own address: the appliance's own traffic, not an installer.
        link.send(pa.frame(self.net.mac, self.net.installer_mac, pa.APPLIANCE_IP, "192.0.2.60"))
        link.close()
        self.request("192.0.2.50")
        self.assertEqual(pa.finish(p), 0)
        self.assertEqual(recorded(), ["192.0.2.50"])
        self.assertEqual(pa.stderr_text().count(b"Changing IP address"), 1)

    def test_only_echo_requests_count_wherever_the_header_puts_them(self):
        p = self.start("-l", "56", "-e", RECORD)
        # A timestamp request whose 4 bytes of IPv4 options read 8, 0: at
        # the offset of a header without options they look like an echo
        # request's type and code; its size is the one asked for once the
        # options are counted as payload.
        self.net.neighbour("192.0.2.13")
        link = pa.installer_link()
        link.send(pa.frame(self.net.mac, self.net.installer_mac, pa.INSTALLER_IP, "192.0.2.13",
                           icmp_type=13, payload=52, options=b"\x08\x00\x00\x00"))
        link.close()
        # A real echo request of 56 payload bytes with 40 bytes of options.
        self.request("192.0.2.50", "-R", "-s", "56")
        self.assertEqual(pa.finish(p), 0)
        self.assertEqual(recorded(), ["192.0.2.50"])

    def test_frames_from_before_the_filter_never_count(self):
        # Other IPv4 traffic at our hardware address while the daemon starts:
        # a frame that slipped in unfiltered would be taken for a request.
        self.net.neighbour("192.0.2.78")
        with pa.in_namespace("installer"):
            udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        stop = threading.Event()

        def flood():
            while not stop.is_set():
                for _ in range(50):
                    udp.sendto(b"x" * 56, ("192.0.2.78", 9))
                time.sleep(0.0005)

        flooder = threading.Thread(target=flood)
        flooder.start()
        try:
            for _ in range(5):
                p = self.start("-e", RECORD)
                # The flood may crowd out a request: ask until one gets through.
                self.net.neighbour("192.0.2.50")
                for _attempt in range(50):
                    if p.poll() is not None:
                        break
                    self.net.ping("192.0.2.50")
                self.assertEqual(pa.finish(p), 0)
        finally:
            stop.set()
            flooder.join()
            udp.close()
        self.assertEqual(recorded(), ["192.0.2.50"] * 5)

    def test_bare_packets_of_a_point_to_point_link_are_not_read_as_frames(self):
        # A tunnel hands the packet socket IPv4 packets without an Ethernet
        # header.  Read at Ethernet offsets, this UDP packet to port 1 looks
        # like an echo request for 198.51.100.99: payload bytes 2-5 fall on
        # the destination, 6-7 on the ICMP type and code.
        with pa.in_namespace("appliance"):
            tun = os.open("/dev/net/tun", os.O_RDWR)
        self.addCleanup(os.close, tun)
        tunsetiff, iff_tun, iff_no_pi = 0x400454ca, 0x0001, 0x1000
        fcntl.ioctl(tun, tunsetiff, struct.pack("16sH", b"tun0", iff_tun | iff_no_pi))
        pa.sh("ip", "-n", "appliance", "link", "set", "tun0", "up")
        payload = b"\0\0" + socket.inet_aton("198.51.100.99") + b"\x08\x00" + bytes(48)
        udp = struct.pack("!HHHH", 40000, 1, 8 + len(payload), 0) + payload
        ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, 17, 0,
                         socket.inet_aton("192.0.2.99"), socket.inet_aton(pa.APPLIANCE_IP))
        ip = ip[:10] + struct.pack("!H", pa.checksum(ip)) + ip[12:]
        p = self.start("-e", RECORD)
        for _ in range(5):
            os.write(tun, ip + udp)
        self.request("192.0.2.50")
        self.assertEqual(pa.finish(p), 0)
        self.assertEqual(recorded(), ["192.0.2.50"])

    def test_interface_option_limits_capture_and_names_the_changed_link(self):
        pa.sh("ip", "link", "add", "veth-b", "type", "veth", "peer", "name", "inst1")
        pa.sh("ip", "link", "set", "veth-b", "netns", "appliance", "name", "lan1")
        pa.sh("ip", "link", "set", "inst1", "netns", "installer")
        pa.sh("ip", "-n", "appliance", "link", "set", "lan1", "up")
        pa.sh("ip", "-n", "installer", "link", "set", "inst1", "up")
        pa.sh("ip", "-n", "installer", "addr", "add", "198.51.100.2/24", "dev", "inst1")
        lan1_mac = self.net.link_mac("appliance", "lan1")
        for wanted in ("198.51.100.9", "198.51.100.10"):
            pa.sh("ip", "-n", "installer", "neigh", "replace", wanted, "lladdr", lan1_mac,
                  "dev", "inst1", "nud", "permanent")

        # Without -i a request on any link changes eth0.
        p = self.start("-c", "-e", RECORD)
        self.net.ping("198.51.100.9", "-I", "inst1")
        self.assertEqual(pa.finish(p), 0)
        self.assertEqual(self.net.addresses(), ["198.51.100.9"])
        self.assertEqual(self.net.addresses("lan1"), [])

        # With -i lan1 only lan1's requests count, and lan1 is changed.
        p = self.start("-c", "-i", "lan1", "-e", RECORD)
        self.request("192.0.2.50")
        self.net.ping("198.51.100.10", "-I", "inst1")
        self.assertEqual(pa.finish(p), 0)
        self.assertEqual(recorded(), ["198.51.100.9", "198.51.100.10"])
        self.assertEqual(self.net.addresses("lan1"), ["198.51.100.10"])

    def test_ten_interface_addresses_fill_the_local_address_list(self):
        # lo and eth0's own make two; eight more fill the ten records.
        for n in range(11, 19):
            pa.sh("ip", "-n", "appliance", "addr", "add", "192.0.2.%d/24" % n, "dev", "eth0")
        p = self.start("-e", RECORD)
        self.request("192.0.2.18")   # the tenth: still found local
        self.request("192.0.2.50")
        self.assertEqual(pa.finish(p), 0)
        self.assertEqual(recorded(), ["192.0.2.50"])
        too_small = (b"ifreqs too small to determine if address is local, "
                     b"assuming it's not local!\n")
        # Neither the destination nor the source was found among the ten.
        self.assertEqual(pa.stderr_text(), startup_lines(command=RECORD) + too_small * 2 +
                         RECORD.encode() + b" exit with 0.\n")


class VanishedInterface(Network):
    def test_direct_change_of_an_interface_gone_since_the_start_ends_with_status_1(self):
        p = self.start("-c")
        pa.sh("ip", "-n", "appliance", "link", "set", "eth0", "down")
        pa.sh("ip", "-n", "appliance", "link", "set", "eth0", "name", "lan0")
        pa.sh("ip", "-n", "appliance", "link", "set", "lan0", "up")
        self.request("192.0.2.50")
        self.assertEqual(pa.finish(p), 1)
        self.assertEqual(pa.stderr_text(), startup_lines(change="eth0") +
                         b"Changing IP address on interface eth0 to 192.0.2.50.\n"
                         b"Cannot change the address of eth0: No such device.\n")


class LongInterfaceName(Network):
    appliance_if = "abcdefghijklmno"  # as long as a name can be

    def test_a_longer_name_is_cut_to_the_interface(self):
        # The kernel ends a name it is handed at 15 characters by itself, so
        # only what the program says and passes on shows the cut.
        p = self.start("-c", "-i", "abcdefghijklmnopqrst", "-e", "echo $IFNAME > " + GOT)
        self.request("192.0.2.50")
        self.assertEqual(pa.finish(p), 0)
        self.assertEqual(recorded(), ["abcdefghijklmno"])
        self.assertEqual(self.net.addresses(), ["192.0.2.50"])
        self.assertIn(b"Changing IP address on interface abcdefghijklmno to 192.0.2.50.\n",
                      pa.stderr_text())


class CommandAndTimeout(Network):
    def test_the_command_outcome_gives_the_status(self):
        cases = [("exit 3", b"exit 3 exit with 3.\n", 0),
                 ("kill -TERM $$", b"kill -TERM $$ died with signal 15.\n", 1)]
        for command, line, status in cases:
            with self.subTest(command=command):
                p = self.start("-e", command)
                self.request("192.0.2.50")
                self.assertEqual(pa.finish(p), status)
                self.assertEqual(pa.stderr_text(), startup_lines(command=command) + line)

    def test_timeout_ends_the_daemon_even_started_with_the_alarm_blocked(self):
        for blocked in (False, True):
            with self.subTest(blocked=blocked):
                if blocked:
                    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGALRM})
                try:
                    p = self.start("-t", "1")
                finally:
                    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGALRM})
                self.assertEqual(pa.finish(p), 0)
                self.assertEqual(pa.stderr_text(), startup_lines(1) + b"Timed out.\n")

    def test_timeout_falling_while_the_command_runs_has_no_effect(self):
        command = "sleep 4; echo ran"
        with open("/tmp/out", "wb") as out:
            p = self.start("-t", "2", "-e", command, stdout=out)
        self.request("192.0.2.50")
        self.assertEqual(pa.finish(p), 0)
        self.assertEqual(pa.stderr_text(), startup_lines(2, command=command) +
                         command.encode() + b" exit with 0.\n")
        with open("/tmp/out") as f:
            self.assertEqual(f.read(), "ran\n")

    def test_detached_daemon_reports_on_the_original_stderr(self):
        launcher = pa.start("-c", "-t", "3", foreground=False)
        self.assertEqual(pa.finish(launcher), 0)
        pa.wait_started()
        daemons = pa.pids_of("pingaddrd")
        self.assertEqual(len(daemons), 1)
        self.assertNotEqual(daemons[0], launcher.pid)
        self.assertEqual(os.readlink("/proc/%d/cwd" % daemons[0]), "/")
        self.request("192.0.2.50")
        self.assertTrue(pa.wait_gone(daemons[0]))
        self.assertEqual(self.net.addresses(), ["192.0.2.50"])
        self.assertEqual(pa.stderr_text(), startup_lines(3, change="eth0") +
                         b"Changing IP address on interface eth0 to 192.0.2.50.\nTimed out.\n")


if __name__ == "__main__":
    kelsys.main()
