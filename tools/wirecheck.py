#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Records the loopback traffic of a chat, a file transfer and a voice call between two real
voice-cli users through a real voice-server, and looks for their clear content in it.

    sudo tools/wirecheck.py [--bin build/bin]

It runs the session twice: once against a server started with --no-tls (the control run: the
markers must be found there, or the check proves nothing) and once with TLS. In both it looks
for the chat text, the uploaded file's content and the voice call's Opus packets (as read from
the control run's clear datagrams: the tone device makes the same packets every run). It
captures with a raw packet socket on the loopback device, which needs root (CAP_NET_RAW).
Exit status 0 when the control run shows everything and the TLS run nothing.
"""

import argparse
import json
import os
import re
import select
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

ETH_P_ALL = 0x0003


class Capture:
    """Every IPv4 TCP and UDP payload on lo to or from one port, in arrival order."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
        self.sock.bind(("lo", 0))
        self.port = None
        self.tcp = bytearray()  # all TCP payloads concatenated (both directions)
        self.udp = []  # each UDP payload
        self.running = True
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while self.running:
            ready, _, _ = select.select([self.sock], [], [], 0.1)
            if not ready:
                continue
            packet, address = self.sock.recvfrom(65536)
            if address[2] == socket.PACKET_OUTGOING:
                continue  # lo shows each packet twice: sent and received
            self.take(packet[14:])  # after the Ethernet header

    def take(self, ip):
        if len(ip) < 20 or ip[0] >> 4 != 4:
            return
        header = (ip[0] & 0x0F) * 4
        total = struct.unpack("!H", ip[2:4])[0]
        protocol = ip[9]
        body = ip[header:total]
        if protocol == 6 and len(body) >= 20:
            source, target = struct.unpack("!HH", body[:4])
            if self.port in (source, target):
                self.tcp += body[(body[12] >> 4) * 4:]
        elif protocol == 17 and len(body) >= 8:
            source, target = struct.unpack("!HH", body[:4])
            if self.port in (source, target):
                self.udp.append(bytes(body[8:]))

    def stop(self):
        self.running = False
        self.thread.join()
        self.sock.close()


class Cli:
    """A voice-cli on pipes: JSON commands in, JSON lines out."""

    def __init__(self, binary, workdir, env):
        self.process = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        cwd=workdir, env=env, text=True, bufsize=1)
        self.lines = []
        self.thread = threading.Thread(target=self.read, daemon=True)
        self.thread.start()

    def read(self):
        for line in self.process.stdout:
            try:
                self.lines.append(json.loads(line))
            except ValueError:
                pass

    def send(self, *command):
        self.process.stdin.write(json.dumps(list(command)) + "\n")
        self.process.stdin.flush()

    def wait(self, predicate, timeout=15):
        end = time.time() + timeout
        seen = 0
        while time.time() < end:
            while seen < len(self.lines):
                line = self.lines[seen]
                seen += 1
                if predicate(line):
                    return line
            time.sleep(0.05)
        raise RuntimeError("voice-cli: timed out; last lines: %s" % self.lines[-5:])

    def event(self, name, timeout=15, **fields):
        def matches(line):
            if line.get("event") != name:
                return False
            return all(line.get(k) == v for k, v in fields.items())
        return self.wait(matches, timeout)

    def quit(self):
        try:
            self.send("quit")
            self.process.wait(5)
        except Exception:
            self.process.kill()


def session(binaries, clear):
    """One chat, upload, download and voice call; returns (capture, markers, work dir)."""
    work = tempfile.mkdtemp(prefix="wirecheck-")
    data = os.path.join(work, "data")
    server = subprocess.Popen(
        [os.path.join(binaries, "voice-server"), "--listen", "127.0.0.1", "--port", "0",
         "--data", data] + (["--no-tls"] if clear else []),
        stdout=subprocess.PIPE, stderr=open(os.path.join(work, "server.log"), "w"), text=True)
    words = server.stdout.readline().split()
    if len(words) != 3 or words[0] != "listening":
        raise RuntimeError("voice-server did not start")
    port = int(words[2])
    capture = Capture()
    capture.port = port
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    if clear:
        env["VOICESDK_PLAIN"] = "1"
    stamp = "%d" % time.time_ns()
    chat = "wirecheck chat marker %s: the password is swordfish" % stamp
    content = ("wirecheck file marker %s\n" % stamp) * 2000
    outbox = os.path.join(work, "outbox")
    inbox = os.path.join(work, "inbox")
    os.makedirs(outbox)
    os.makedirs(inbox)
    with open(os.path.join(outbox, "notes.txt"), "w") as f:
        f.write(content)
    users = []
    try:
        for name in ("alice", "bob"):
            home = os.path.join(work, name)
            os.makedirs(home)
            user = Cli(os.path.join(binaries, "voice-cli"), home, env)
            users.append(user)
            user.send("connect", "127.0.0.1", port, name, "mossel")
            user.event("onConnectStatusChangeEvent", 20, newStatus=4)
        alice, bob = users
        alice.send("sendchannel", chat)
        bob.event("onTextMessageEvent", message=chat)
        alice.send("upload", 1, "", "/notes.txt", outbox)
        alice.event("onFileTransferStatusEvent", 30, status=2065)
        bob.send("download", 1, "", "/notes.txt", inbox)
        bob.event("onFileTransferStatusEvent", 30, status=2065)
        with open(os.path.join(inbox, "notes.txt")) as f:
            if f.read() != content:
                raise RuntimeError("the download differs from the upload")
        # Voice: a tone from alice, every frame sent, heard by bob over datagrams.
        bob.send("opendevice", "playback", "virtual", "discard")
        alice.send("setconfig", "vad", "false")
        alice.send("opendevice", "capture", "virtual", "tone")
        bob.event("onTalkStatusChangeEvent", 20, status=1)
        time.sleep(3)
    finally:
        for user in users:
            user.quit()
        server.terminate()
        server.wait(5)
        time.sleep(0.2)
        capture.stop()
    return capture, {"chat": chat.encode(), "file": content.encode()[:64]}, work


def opus_packets(datagrams):
    """The Opus payloads of clear datagrams (client to server: version, kind, token, frame)."""
    packets = set()
    for d in datagrams:
        if len(d) > 2 + 16 + 9 and d[0] == 1 and d[1] == 1:
            packets.add(d[2 + 16 + 9:])
        elif len(d) > 2 + 9 and d[0] == 1 and d[1] == 1:
            packets.add(d[2 + 9:])  # server to client
    return {p for p in packets if len(p) >= 12}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", default=os.path.join(os.path.dirname(__file__), "..", "build",
                                                      "bin"))
    binaries = os.path.abspath(parser.parse_args().bin)
    if os.geteuid() != 0:
        sys.exit("wirecheck: capturing on lo needs root (a raw packet socket)")

    results = {}
    for clear in (True, False):
        capture, markers, work = session(binaries, clear)
        results[clear] = (capture, markers)
        print("%s: %d bytes of TCP, %d datagrams captured (%s)"
              % ("clear" if clear else "TLS", len(capture.tcp), len(capture.udp), work))
    clear_capture, clear_markers = results[True]
    tls_capture, tls_markers = results[False]
    opus = opus_packets(clear_capture.udp)
    udp_clear = b"\0".join(clear_capture.udp)
    udp_tls = b"\0".join(tls_capture.udp)
    ok = True

    def report(what, in_clear, in_tls):
        nonlocal ok
        print("  %-34s control run: %-9s TLS run: %s"
              % (what, "found" if in_clear else "NOT FOUND", "FOUND" if in_tls else "not found"))
        ok = ok and in_clear and not in_tls

    report("chat text", clear_markers["chat"] in clear_capture.tcp,
           tls_markers["chat"] in tls_capture.tcp)
    report("file content", clear_markers["file"] in clear_capture.tcp,
           tls_markers["file"] in tls_capture.tcp)
    report("server password", b"mossel" in clear_capture.tcp, b"mossel" in tls_capture.tcp)
    report("Opus packets (%d distinct)" % len(opus), bool(opus) and all(p in udp_clear for p in opus),
           any(p in udp_tls or p in tls_capture.tcp for p in opus))
    sealed = [d for d in tls_capture.udp if d[:1] == b"\x02"]
    print("  TLS run datagrams in the sealed format: %d of %d" % (len(sealed), len(tls_capture.udp)))
    ok = ok and len(tls_capture.udp) > 0 and len(sealed) == len(tls_capture.udp)
    print("wirecheck: %s" % ("no clear text over TLS" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
