#!/usr/bin/env python3
"""A scripted handshake peer on one end of the cable.

usage: handshake_peer.py <line> v2|goodbye
  v2       waits for the other end's whole block, answers with a block of version 2,
           then waits for the other end's goodbye;
  goodbye  answers with a good block, led by a sequence that sets a terminal's title,
           waits for the other end's confirming `{}`, then says goodbye at once (as a
           peer that rejected the block would).
"""
import os
import select
import sys
import time


def crc16(data):
    # Bit by bit, so the check does not share the table of the code under test.
    reg = 0xFFFF
    for b in data:
        reg ^= b << 8
        for _ in range(8):
            reg = ((reg << 1) ^ 0x1021) if reg & 0x8000 else reg << 1
            reg &= 0xFFFF
    return reg


def wire_copy(block):
    trailer = ~crc16(block) & 0xFFFF
    block += bytes([trailer >> 8, trailer & 0xFF])
    return b"\x19KESTRO\x18 v1.0 *" + block.hex().upper().encode() + b"*\r"


def read_until(fd, marker, seen, limit=60):
    deadline = time.monotonic() + limit
    while marker not in seen:
        left = deadline - time.monotonic()
        if left <= 0:
            sys.exit("peer: never saw %r in %r" % (marker, seen[-200:]))
        ready, _, _ = select.select([fd], [], [], left)
        if ready:
            try:
                chunk = os.read(fd, 4096)
            except BlockingIOError:
                continue
            if not chunk:
                sys.exit("peer: the line closed")
            seen += chunk
    return seen


def main():
    line, script = sys.argv[1], sys.argv[2]
    fd = os.open(line, os.O_RDWR | os.O_NOCTTY)
    seen = read_until(fd, b"*\r", b"")
    if script == "v2":
        os.write(fd, wire_copy(bytes([2, 0x63, 0])))
    else:
        os.write(fd, b"\x1b]0;forged\x07" + wire_copy(bytes([3, 0x63, 0])))
        seen = read_until(fd, b"{}", seen)
        os.write(fd, b"{}{|{}")
    read_until(fd, b"{|", seen)  # the other end's goodbye
    return 0


if __name__ == "__main__":
    sys.exit(main())
