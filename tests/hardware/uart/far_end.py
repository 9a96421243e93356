#!/usr/bin/env python3
"""The UART's far end for the 8250 leg: connects to QEMU's telnet socket for the guest's
/dev/ttyS1, echoes every data byte, and after echoing the text <brk> sends a break (telnet
IAC BREAK, which QEMU's 16550 raises as a break condition).
usage: far_end.py SOCKET"""
import socket
import sys
import time

IAC, BREAK, SB, SE = 255, 243, 250, 240
TRIGGER = b"<brk>"


def connect(path):
    # QEMU makes the socket when it starts; wait for it, within bounds.
    for _ in range(1200):
        try:
            s = socket.socket(socket.AF_UNIX)
            s.connect(path)
            return s
        except OSError:
            s.close()
            time.sleep(0.05)
    sys.exit(f"far_end: no socket at {path}")


def main():
    s = connect(sys.argv[1])
    state, tail = "data", b""
    while True:
        chunk = s.recv(4096)
        if not chunk:
            return
        data = bytearray()
        # QEMU's own telnet options are not data: drop them.
        for b in chunk:
            if state == "data":
                if b == IAC:
                    state = "iac"
                else:
                    data.append(b)
            elif state == "iac":
                if b == IAC:
                    data.append(b)
                    state = "data"
                elif b == SB:
                    state = "sub"
                elif 251 <= b <= 254:
                    state = "option"
                else:
                    state = "data"
            elif state == "option":
                state = "data"
            elif state == "sub":
                state = "sub-iac" if b == IAC else "sub"
            elif state == "sub-iac":
                state = "data" if b == SE else "sub"
        s.sendall(bytes(data).replace(b"\xff", b"\xff\xff"))
        seen = tail + bytes(data)
        for _ in range(seen.count(TRIGGER)):
            s.sendall(bytes([IAC, BREAK]))
        tail = seen[-(len(TRIGGER) - 1):]


main()
