#!/usr/bin/python3
# A BitTorrent tracker for tests that answers over both address families, on
# one port for HTTP and UDP:
#   dual_tracker.py ADDRESS [PORT]
# HTTP announces get the IPv4 peers as compact "peers" and the IPv6 peers as
# compact "peers6"; a UDP announce gets the peers of the family it came over
# (6-byte entries over IPv4, 18 over IPv6). A peer is known by the address
# its announce came from; an "ipv6" parameter names one more address. The
# port it serves goes to standard output as "listening PORT"; each announce
# goes to standard error as "announce http|udp v4|v6 ADDRESS PORT LEFT".
import ipaddress
import os
import random
import socket
import struct
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

INTERVAL = 60
PEER_LIFETIME = 600
lock = threading.Lock()
swarms = {}  # info hash -> {(address, port): (left, last seen)}


def plain(address):
    """The address as IPv4 when it is an IPv4-mapped IPv6 address."""
    ip = ipaddress.ip_address(address.split("%")[0])
    if ip.version == 6 and ip.ipv4_mapped:
        return ip.ipv4_mapped
    return ip


def remember(info_hash, address, port, left):
    with lock:
        swarm = swarms.setdefault(info_hash, {})
        swarm[(address, port)] = (left, time.monotonic())


def peers_of(info_hash, version, asking):
    now = time.monotonic()
    with lock:
        swarm = swarms.get(info_hash, {})
        return [(address, port) for (address, port), (_, seen) in swarm.items()
                if address.version == version and now - seen < PEER_LIFETIME and (address, port) != asking]


def compact(peers):
    return b"".join(address.packed + struct.pack(">H", port) for address, port in peers)


def bstring(data):
    return str(len(data)).encode() + b":" + data


def log(kind, address, port, left):
    family = "v4" if address.version == 4 else "v6"
    print("announce %s %s %s %d %d" % (kind, family, address, port, left), file=sys.stderr, flush=True)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, *args):
        pass

    def answer(self, body):
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query, keep_blank_values=True, encoding="latin-1")
        hashes = [h.encode("latin-1") for h in query.get("info_hash", [])]
        if url.path == "/scrape":
            files = b""
            for info_hash in hashes:
                with lock:
                    swarm = dict(swarms.get(info_hash, {}))
                seeders = sum(1 for left, _ in swarm.values() if left == 0)
                files += bstring(info_hash) + b"d8:completei%de10:incompletei%dee" % (seeders, len(swarm) - seeders)
            self.answer(b"d5:filesd" + files + b"ee")
            return
        if url.path != "/announce" or len(hashes) != 1 or len(hashes[0]) != 20:
            self.answer(b"d14:failure reason11:bad requeste")
            return
        info_hash = hashes[0]
        try:
            port = int(query["port"][0])
            left = int(query.get("left", ["0"])[0])
        except (KeyError, ValueError):
            self.answer(b"d14:failure reason8:bad porte")
            return
        address = plain(self.client_address[0])
        log("http", address, port, left)
        stopped = query.get("event", [""])[0] == "stopped"
        announced = [address]
        for text in query.get("ipv6", []):
            try:
                announced.append(plain(text))
            except ValueError:
                pass
        for each in announced:
            if stopped:
                with lock:
                    swarms.get(info_hash, {}).pop((each, port), None)
            else:
                remember(info_hash, each, port, left)
        v4 = peers_of(info_hash, 4, (address, port))
        v6 = peers_of(info_hash, 6, (address, port))
        body = b"d8:intervali%de5:peers%s6:peers6%se" % (INTERVAL, bstring(compact(v4)), bstring(compact(v6)))
        self.answer(body)


class DualStackServer(ThreadingHTTPServer):
    address_family = socket.AF_INET6
    daemon_threads = True

    def server_bind(self):
        self.socket.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        super().server_bind()


def serve_udp(sock):
    connections = set()
    while True:
        data, sender = sock.recvfrom(2048)
        if len(data) < 16:
            continue
        action, transaction = struct.unpack(">I4s", data[8:16])
        if len(data) == 16 and struct.unpack(">Q", data[:8])[0] == 0x41727101980 and action == 0:
            connection = random.getrandbits(64)
            connections.add(connection)
            sock.sendto(struct.pack(">I4sQ", 0, transaction, connection), sender)
            continue
        if len(data) < 98 or action != 1 or struct.unpack(">Q", data[:8])[0] not in connections:
            continue
        info_hash = data[16:36]
        left = struct.unpack(">Q", data[64:72])[0]
        port = struct.unpack(">H", data[96:98])[0]
        address = plain(sender[0])
        log("udp", address, port, left)
        remember(info_hash, address, port, left)
        peers = peers_of(info_hash, address.version, (address, port))
        sock.sendto(struct.pack(">I4sIII", 1, transaction, INTERVAL, 0, len(peers)) + compact(peers), sender)


def main():
    address = sys.argv[1]
    port = int(sys.argv[2]) if len(sys.argv) > 2 else 0
    http = DualStackServer((address, port), Handler)
    port = http.server_address[1]
    udp = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    udp.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
    udp.bind((address, port))
    threading.Thread(target=serve_udp, args=(udp,), daemon=True).start()
    print("listening %d" % port, flush=True)
    try:
        http.serve_forever()
    except KeyboardInterrupt:
        pass
    os._exit(0)


if __name__ == "__main__":
    main()
