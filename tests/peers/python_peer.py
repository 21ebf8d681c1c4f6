#!/usr/bin/python3
"""An independent qur-wtalkie client on Python's ssl module alone.

usage: python_peer.py ISSUER_PEM invite ADDRESS PORT IDENTIFIER
       python_peer.py ISSUER_PEM listen

invite: dials the device, checks that it holds the key of IDENTIFIER,
        invites it and sends one Data frame once accepted.
listen: waits on a loopback port to be invited, verifies the dialler's
        certificate against the public issuer (ISSUER_PEM), checks that its
        Hello carries the key it proved, accepts, and ends after one Data frame.

Prints one line per step: "listening PORT ID", "ready ID", "proven ID",
"hello ID NAME", "accepted", "declined", "data TEXT", "error WHY".
"""

import hashlib
import os
import socket
import ssl
import struct
import subprocess
import sys
import tempfile

HELLO, INVITE, ACCEPT, DECLINE, DATA, PING, PONG, BYE = 1, 2, 3, 4, 7, 8, 9, 10
ED25519_KEY_PREFIX = bytes.fromhex("302a300506032b6570032100")


def say(line):
    print(line, flush=True)


def identifier(certificate_der):
    """The first 16 bytes of SHA-256 of the certificate's raw Ed25519 key."""
    at = certificate_der.find(ED25519_KEY_PREFIX)
    if at < 0:
        return None
    raw = certificate_der[at + len(ED25519_KEY_PREFIX):at + len(ED25519_KEY_PREFIX) + 32]
    return hashlib.sha256(raw).digest()[:16]


def make_key(folder):
    key, cert = os.path.join(folder, "key.pem"), os.path.join(folder, "cert.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ed25519", "-nodes", "-keyout", key,
                    "-out", cert, "-subj", "/CN=python peer", "-days", "2"],
                   check=True, capture_output=True)
    with open(cert) as f:
        own = identifier(ssl.PEM_cert_to_DER_cert(f.read()))
    return key, cert, own


def tls13(context):
    context.minimum_version = context.maximum_version = ssl.TLSVersion.TLSv1_3
    return context


class Link:
    """Length-prefixed frames over a TLS socket."""

    def __init__(self, tls):
        self.tls, self.buffer = tls, b""

    def send(self, kind, payload=b""):
        self.tls.sendall(struct.pack(">IB", len(payload) + 1, kind) + payload)

    def hello(self, own, port, name=b"python peer"):
        self.send(HELLO, b"QURW" + struct.pack(">H", 2) + own + struct.pack(">H", port)
                  + bytes([len(name)]) + name)

    def frame(self):
        while True:
            if len(self.buffer) >= 5:
                length, kind = struct.unpack(">IB", self.buffer[:5])
                if len(self.buffer) >= 4 + length:
                    payload = self.buffer[5:4 + length]
                    self.buffer = self.buffer[4 + length:]
                    return kind, payload
            chunk = self.tls.recv(65536)
            if not chunk:
                return None, b""
            self.buffer += chunk

    def until(self, *kinds):
        """The next frame of the kinds, answering Pings meanwhile."""
        while True:
            kind, payload = self.frame()
            if kind is None or kind in kinds:
                return kind, payload
            if kind == PING:
                self.send(PONG)


def read_hello(link, proven):
    kind, payload = link.until(HELLO)
    if kind != HELLO or payload[:4] != b"QURW":
        return "no hello"
    claimed, name = payload[6:22], payload[25:25 + payload[24]]
    if claimed != proven:
        return "the hello names another key than the one proven"
    say("hello %s %s" % (claimed.hex(), name.decode()))
    return None


def invite(key, cert, own, address, port, expected):
    context = tls13(ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT))
    context.load_cert_chain(cert, key)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    tls = context.wrap_socket(socket.create_connection((address, port), timeout=10))
    proven = identifier(tls.getpeercert(binary_form=True))
    if proven != bytes.fromhex(expected):
        return "the device holds another key than the one advertised"
    say("proven " + proven.hex())
    link = Link(tls)
    link.hello(own, 0)
    problem = read_hello(link, proven)
    if problem:
        return problem
    link.send(INVITE)
    kind, _ = link.until(ACCEPT, DECLINE)
    if kind != ACCEPT:
        say("declined")
        return None
    say("accepted")
    link.send(DATA, b"hello from python")
    link.until(DATA, BYE)
    link.send(BYE)
    tls.close()
    return None


def listen(key, cert, own, issuer):
    server = socket.create_server(("127.0.0.1", 0))
    port = server.getsockname()[1]
    say("listening %d %s" % (port, own.hex()))
    context = tls13(ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER))
    context.load_cert_chain(cert, key)
    context.verify_mode = ssl.CERT_REQUIRED
    with open(issuer) as f:
        context.load_verify_locations(cadata=f.read())
    connection, _ = server.accept()
    connection.settimeout(10)
    tls = context.wrap_socket(connection, server_side=True)
    proven = identifier(tls.getpeercert(binary_form=True))
    say("proven " + proven.hex())
    link = Link(tls)
    link.hello(own, port)
    problem = read_hello(link, proven)
    if problem:
        return problem
    kind, _ = link.until(INVITE)
    if kind != INVITE:
        return "no invitation"
    link.send(ACCEPT)
    say("accepted")
    kind, payload = link.until(DATA)
    if kind != DATA:
        return "no data"
    say("data " + payload.decode(errors="replace"))
    link.send(BYE)
    tls.close()
    return None


def main():
    issuer, mode = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as folder:
        key, cert, own = make_key(folder)
        try:
            if mode == "invite":
                problem = invite(key, cert, own, sys.argv[3], int(sys.argv[4]), sys.argv[5])
            else:
                problem = listen(key, cert, own, issuer)
        except (OSError, ssl.SSLError) as e:
            problem = str(e)
    if problem:
        say("error " + problem)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
