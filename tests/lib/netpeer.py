#!/usr/bin/env python3
"""A scripted install server, written from the protocol's rules alone, for the namespace tests:
it can misbehave on purpose (bad offers, no answer to YACK, a negative size, duplicated
blocks, decoys around every reply, TERM only late or never, a session run past 65535
replies). It logs every datagram
it receives from the installer on standard output: "TIME KIND seq=N ack=N" (TIME in
seconds since start), and writes the files it serves to --serve-dir for comparison.

usage: netpeer.py --interface IF [options]   (run inside the server's network namespace)
"""
import argparse
import os
import random
import socket
import struct
import sys
import time

HEADER = struct.Struct("<6s6sHHHH")
PORT = 5000


def mac_of(interface):
    with open(f"/sys/class/net/{interface}/address") as f:
        return bytes.fromhex(f.read().strip().replace(":", ""))


class Peer:
    def __init__(self, args):
        self.args = args
        self.mac = mac_of(args.interface)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, args.interface.encode())
        self.sock.bind(("", PORT))
        self.start = time.monotonic()
        self.router = None       # the installer card we talk to
        self.sent = 0            # our running number
        self.received = 0        # requests taken
        self.last_reply = None
        self.rounds = 0          # DSCV rounds seen (copies on every card count once)
        self.yacks = 0
        self.wtrms = 0
        self.files = self.make_files()
        self.file = -1           # index of the file being sent, -1 before the first
        self.offset = None       # None: next RETR announces a file
        self.first = None        # the installer card that is offered to

    def make_files(self):
        files = []
        rng = random.Random(11)
        for spec in filter(None, self.args.files.split(",")):
            name, size = spec.split(":")
            data = rng.randbytes(int(size))
            files.append((name, data))
            if self.args.serve_dir:
                with open(os.path.join(self.args.serve_dir, name), "wb") as f:
                    f.write(data)
        return files

    def log(self, text):
        print(f"{time.monotonic() - self.start:.3f} {text}", flush=True)

    def send(self, destination, sequence, acknowledgement, payload, length=None):
        header = HEADER.pack(self.mac, destination, 0, len(payload) if length is None else length,
                             sequence & 0xFFFF, acknowledgement & 0xFFFF)
        self.sock.sendto(header + payload, ("255.255.255.255", PORT))

    def reply(self, payload):
        """A reply in the session: the next number, acknowledging what was taken."""
        self.sent += 1
        if self.args.decoys:
            self.decoys(self.sent, self.received)
        self.last_reply = (self.router, self.sent, self.received, payload)
        self.send(*self.last_reply)

    def decoys(self, sequence, acknowledgement):
        """Datagrams that carry the next reply's numbers and must not be taken for it: longer
        than a message (the header telling the 4076 bytes that fit a 4096-byte buffer, or the
        whole size), addressed to anyone or to another card."""
        junk = b"X" * 4980
        self.send(self.router, sequence, acknowledgement, junk, 4076)
        self.send(self.router, sequence, acknowledgement, junk)
        self.send(bytes(6), sequence, acknowledgement, junk[:64])
        self.send(b"\x02" + bytes(5), sequence, acknowledgement, junk[:64])

    def offer(self, source, keep):
        text = b"x" * (self.args.first_offer if self.rounds == 1 and self.args.first_offer
                       else self.args.offer)
        payload = b"OFFR\n" + text + b"\n" + (b"keep\n" if keep else b"")
        if self.rounds == 1 and self.args.bad_offers:
            self.send(bytes(6), 1, 0, payload)       # to nobody
            self.send(source, 2, 0, payload)          # sequence 2
            self.send(source, 1, 0, payload, 4)       # length disagrees with the size
            return
        self.router, self.sent, self.received = source, 0, 0
        self.send(source, 1, 0, payload)
        self.sent = 1

    def on_request(self, source, sequence, payload):
        if source != self.router:
            return
        if sequence == self.received and self.last_reply:
            self.send(*self.last_reply)               # our reply was lost: the same again
            return
        if sequence != (self.received + 1) & 0xFFFF:
            return
        self.received += 1
        if payload.startswith(b"YACK"):
            self.yacks += 1
            if self.rounds <= self.args.ignore_yack_rounds:
                self.received -= 1                     # as if it never arrived
                return
            self.reply(b"OK\n")
        elif payload.startswith(b"STRT"):
            self.reply(b"OK\n")
        elif payload.startswith(b"RETR"):
            self.retr()
        elif payload.startswith(b"WTRM"):
            self.wtrms += 1
            if self.args.term_after and self.wtrms >= self.args.term_after:
                self.reply(b"TERM\n")
            else:
                self.received -= 1                     # unanswered: it will come again
        else:
            self.reply(b"ERR\n")

    def retr(self):
        if self.offset is None:
            self.file += 1
            if self.args.negative_after is not None and self.file == self.args.negative_after:
                self.reply(b"FILE\nnegative.scr\n-1\n")
                return
            if self.args.endless:
                self.offset = 0
                self.reply(b"FILE\nendless.kpk\n99999999\n")
                return
            if self.file >= len(self.files):
                self.reply(b"NONE\n")
                return
            name, data = self.files[self.file]
            self.offset = 0
            self.reply(b"FILE\n%s\n%d\n" % (name.encode(), len(data)))
            return
        if self.args.endless:
            self.reply(b"e")
            return
        name, data = self.files[self.file]
        block = data[self.offset:self.offset + self.args.block]
        self.offset += len(block)
        if not block:
            self.offset = None
        self.reply(block)
        if block and self.args.duplicate_blocks:
            self.send(*self.last_reply)                # the same block once more

    def run(self):
        deadline = time.monotonic() + self.args.duration
        while time.monotonic() < deadline:
            self.sock.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                data, sender = self.sock.recvfrom(4096)
            except socket.timeout:
                break
            if sender[1] != PORT or len(data) < 20:
                continue
            source, destination, _, length, sequence, acknowledgement = HEADER.unpack_from(data)
            payload = data[20:20 + length]
            if source == self.mac or len(data) != 20 + length:
                continue
            kind = payload[:4].decode("latin-1")
            if not self.args.endless or kind != "RETR":
                self.log(f"{kind} seq={sequence} ack={acknowledgement} from={source.hex()}")
            if destination == bytes(6) and sequence == 1 and acknowledgement == 0:
                # The installer announces on each of its cards; one of them is offered to.
                if kind == "DSCV" and self.first in (None, source):
                    self.first = source
                    self.rounds += 1
                    self.offer(source, self.args.keep)
                continue
            if destination == self.mac:
                self.on_request(source, sequence, payload)
        self.log("done")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--interface", required=True)
    p.add_argument("--offer", type=int, default=8, help="characters on OFFR line 2")
    p.add_argument("--first-offer", type=int, default=0, help="line 2 length of the first round")
    p.add_argument("--keep", action="store_true")
    p.add_argument("--bad-offers", action="store_true", help="first round: only invalid offers")
    p.add_argument("--ignore-yack-rounds", type=int, default=0)
    p.add_argument("--files", default="", help="name:size,...")
    p.add_argument("--serve-dir", default="")
    p.add_argument("--block", type=int, default=4076)
    p.add_argument("--negative-after", type=int, default=None)
    p.add_argument("--duplicate-blocks", action="store_true")
    p.add_argument("--decoys", action="store_true", help="junk with the numbers of each reply")
    p.add_argument("--term-after", type=int, default=1, help="answer the N-th WTRM; 0 never")
    p.add_argument("--endless", action="store_true", help="one endless file of 1-byte blocks")
    p.add_argument("--duration", type=float, default=30)
    peer = Peer(p.parse_args())
    try:
        peer.run()
    except KeyboardInterrupt:
        peer.log("stopped")


if __name__ == "__main__":
    main()
