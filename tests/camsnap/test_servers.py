"""camsnap as the CGI of two real web servers, lighttpd (mod_cgi) and busybox
httpd, on 127.0.0.1, fetched by real HTTP clients (curl and http.client)."""

import http.client
import os
import subprocess
import threading
import unittest

import camsnapsys as cs
import kelsys

ROOM = {"type": 1, "port": 3, "status": 1, "value": 0x0123, "fahrenheit": True,
        "description": "Room"}
ROOM_RECORD = bytes([1, 3, 1, 1, 0x01, 0x23, 3, 1]) + b"F" + bytes([3, 4]) + b"Room"
WWW = "/tmp/www"
LIGHTTPD_PORT, BUSYBOX_PORT = 8080, 8081

LIGHTTPD_CONF = """
server.document-root = "%(www)s"
server.bind = "127.0.0.1"
server.port = %(port)d
server.modules = ("mod_cgi")
server.errorlog = "/tmp/lighttpd-error.log"
cgi.assign = ("/camsnap" => "")
""" % {"www": WWW, "port": LIGHTTPD_PORT}


def fetch_http_client(port, query):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    conn.request("GET", "/cgi-bin/camsnap?" + query)
    resp = conn.getresponse()
    body = resp.read()
    headers = {k: v for k, v in resp.getheaders()}
    conn.close()
    return resp.status, headers, body


def fetch_curl(port, query):
    proc = subprocess.run(["curl", "-sS", "-D", "-", "--max-time", "60",
                           "http://127.0.0.1:%d/cgi-bin/camsnap?%s" % (port, query)],
                          capture_output=True, timeout=90, check=True)
    head, _, body = proc.stdout.partition(b"\r\n\r\n")
    lines = head.decode().split("\r\n")
    status = int(lines[0].split()[1])
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(": ")
        headers[name] = value
    return status, headers, body


def header(headers, name):
    for k, v in headers.items():
        if k.lower() == name.lower():
            return v
    return None


class Servers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cs.frametool("create")
        frames = {0: cs.frame_file("s0", cs.halves(1, 0)), 1: cs.frame_file("s1", cs.halves(0, 1)),
                  2: cs.frame_file("s2", cs.uniform(1, 2, 120)),
                  3: cs.frame_file("s3", cs.uniform(0, 3, 200))}
        cls.producer = cs.Producer(frames)
        cls.keld = kelsys.KeldSim({"sensors": [ROOM]})
        os.makedirs(WWW + "/cgi-bin", exist_ok=True)
        os.symlink(kelsys.binary("camsnap"), WWW + "/cgi-bin/camsnap")
        with open("/tmp/lighttpd.conf", "w") as f:
            f.write(LIGHTTPD_CONF)
        cls.servers = [
            subprocess.Popen(["lighttpd", "-D", "-f", "/tmp/lighttpd.conf"]),
            subprocess.Popen(["busybox", "httpd", "-f", "-p", "127.0.0.1:%d" % BUSYBOX_PORT,
                              "-h", WWW]),
        ]
        for port in (LIGHTTPD_PORT, BUSYBOX_PORT):
            assert kelsys.wait_for(lambda: cls.answers(port), timeout=20), "server %d" % port

    @staticmethod
    def answers(port):
        try:
            fetch_http_client(port, "data=2")
            return True
        except OSError:
            return False

    @classmethod
    def tearDownClass(cls):
        for s in cls.servers:
            s.terminate()
            s.wait(timeout=10)
        cls.keld.stop()
        cls.producer.stop()

    def each_server_and_client(self):
        for server, port in (("lighttpd", LIGHTTPD_PORT), ("busybox httpd", BUSYBOX_PORT)):
            for client, fetch in (("curl", fetch_curl), ("http.client", fetch_http_client)):
                yield server, client, port, fetch

    def test_pictures_arrive_whole_and_decode(self):
        cases = [("channel=0", (640, 480)), ("channel=1&mode=2", (160, 120)),
                 ("channel=0&mode=3", (80, 60)), ("channel=4&mode=1", (320, 240))]
        for server, client, port, fetch in self.each_server_and_client():
            for query, size in cases:
                with self.subTest(server=server, client=client, query=query):
                    status, headers, body = fetch(port, query)
                    self.assertEqual(status, 200)
                    self.assertEqual(header(headers, "Content-Type"), "image/jpeg")
                    self.assertEqual(int(header(headers, "Content-Length")), len(body))
                    self.assertEqual(header(headers, "Sensors-Data"), str(len(body)))
                    self.assertEqual(header(headers, "Pragma"), "no-cache")
                    w, h, _, err = cs.djpeg(body)
                    self.assertEqual((w, h), size)
                    self.assertEqual(err, "")

    def test_record_and_status_bin(self):
        for server, client, port, fetch in self.each_server_and_client():
            with self.subTest(server=server, client=client):
                status, headers, body = fetch(port, "channel=2&mode=1&data=1")
                self.assertEqual(status, 200)
                offset = int(header(headers, "Sensors-Data"))
                self.assertEqual(body[offset:], ROOM_RECORD)
                self.assertEqual(cs.djpeg(body[:offset])[:2], (320, 240))
                status, headers, body = fetch(port, "data=2")
                self.assertEqual(status, 200)
                self.assertEqual(header(headers, "Content-Disposition"),
                                 'attachment; filename="status.bin"')
                self.assertEqual(header(headers, "Content-Type"), "application/octet-stream")
                self.assertEqual(body, ROOM_RECORD)

    def test_error_page_carries_a_failure_status(self):
        for server, client, port, fetch in self.each_server_and_client():
            with self.subTest(server=server, client=client):
                status, headers, body = fetch(port, "channel=-1")
                self.assertEqual(status, 503)
                self.assertEqual(header(headers, "Retry-After"), "1")
                self.assertTrue(header(headers, "Content-Type").startswith("text/html"))
                self.assertEqual(body, b"semaphore error!\r\n")

    def test_four_clients_at_once(self):
        for server, port in (("lighttpd", LIGHTTPD_PORT), ("busybox httpd", BUSYBOX_PORT)):
            results = [None] * 8
            def client(c):
                for i in (c, c + 4):
                    results[i] = fetch_http_client(port, "channel=%d&mode=1" % c)
            threads = [threading.Thread(target=client, args=(c,)) for c in range(4)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            for i, (status, headers, body) in enumerate(results):
                with self.subTest(server=server, request=i):
                    self.assertEqual(status, 200)
                    self.assertEqual(header(headers, "Content-Type"), "image/jpeg")
                    self.assertEqual(cs.djpeg(body)[:2], (320, 240))


if __name__ == "__main__":
    kelsys.main()
