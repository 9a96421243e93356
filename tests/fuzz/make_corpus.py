#!/usr/bin/env python3
"""Writes the fuzzer's seeds into the directory given: what a server says, well and badly."""

import sys
from pathlib import Path

IAC, SB, SE, NOP, GA = 255, 250, 240, 241, 249
WILL, WONT, DO, DONT = 251, 252, 253, 254
BINARY, SGA, COM_PORT = 0, 3, 44


def neg(verb, option):
    return bytes([IAC, verb, option])


def escaped(value):
    return bytes(value).replace(b"\xff", b"\xff\xff")


def answer(command, value):
    """The server's answer to one of our commands (its code is ours plus 100)."""
    return bytes([IAC, SB, COM_PORT, 100 + command]) + escaped(value) + bytes([IAC, SE])


HANDSHAKE = neg(DO, BINARY) + neg(WILL, BINARY) + neg(DO, SGA) + neg(WILL, SGA) + neg(DO, COM_PORT)

# One value per command we send: baud, data size, parity, stop size, control, the two
# notifications, flow suspend and resume, the two masks, purge.
COMMAND_VALUES = {
    1: [0, 0, 0x25, 0x80], 2: [8], 3: [1], 4: [1], 5: [1], 6: [0x10], 7: [0xB0],
    8: [], 9: [], 10: [0x1E], 11: [0xFF], 12: [3],
}

SEEDS = {
    "handshake": HANDSHAKE,
    "handshake_refused": neg(DONT, BINARY) + neg(WONT, SGA) + neg(DONT, COM_PORT),
    "notifications": b"ab" + answer(6, [0x10]) + b"cd" + answer(7, [0xB0]) + answer(6, [0x0E]),
    "iac_in_data": b"x\xff\xffy\xff\xff\xff\xffz",
    "iac_in_value": answer(1, [0, 0xFF, 0xFF, 0]) + answer(11, [0xFF]),
    "cut_negotiation": HANDSHAKE + b"data" + bytes([IAC, DO]),
    "cut_subnegotiation": bytes([IAC, SB, COM_PORT, 101, 0, 0]),
    "cut_after_sub_iac": bytes([IAC, SB, COM_PORT, 106, 0x10, IAC]),
    "overlong_sub": bytes([IAC, SB, COM_PORT, 107]) + bytes(range(100)) + bytes([IAC, SE])
    + answer(7, [0x80]),
    "missing_se": bytes([IAC, SB, COM_PORT, 106, 0x02, IAC, WILL, 1]) + b"tail",
    "other_commands": bytes([IAC, NOP, IAC, GA, IAC, SE, IAC, 242]) + b"ok"
    + bytes([IAC, SB, 24, 1, IAC, SE, IAC, SB, IAC, SE]) + answer(2, [7]),
    "offer_storm": b"".join(neg(verb, o) for o in range(256) for verb in (WILL, DO)),
    "flip_loop": b"".join(neg(v, o) for _ in range(8) for o in (BINARY, SGA, COM_PORT, 1, 24)
                          for v in (WONT, WILL, DONT, DO)),
}
for command, value in COMMAND_VALUES.items():
    SEEDS[f"answer_{command:02d}"] = HANDSHAKE + answer(command, value)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_corpus.py DIRECTORY")
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    for name, data in SEEDS.items():
        (out / name).write_bytes(data)


if __name__ == "__main__":
    main()
