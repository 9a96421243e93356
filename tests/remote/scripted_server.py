#!/usr/bin/python3
"""A scripted Telnet com-port server, on 127.0.0.1, for what the real servers do not show.

Modes:
  answer  negotiates, answers each port command with the value asked for, echoes data
  fixed   as answer, but the port cannot be changed: it answers 9600 baud, 8 data bits, no
          parity, 1 stop bit, no flow control, DTR and RTS off, whatever was asked
  silent  accepts the connection and never sends a byte
  refuse  answers WILL COM-PORT with DONT COM-PORT
  busy    says "Port already in use" and closes the connection at once

Commands on stdin, one a line, each answered "OK" (or "NOCLIENT") on stdout:
  modem HH        send NOTIFY-MODEMSTATE with the byte HH
  line HH         send NOTIFY-LINESTATE with the byte HH
  data HEX        send data bytes (IAC doubled)
  raw HEX         send bytes as they are
  answer CMD HEX  answer port command CMD (decimal, the client's code) with HEX from now on
  mute CMD        answer port command CMD no more
  echo on|off     echo data or only count it (on at the start)
  pause, resume   stop and go on reading from the client
  count           answers "COUNT <n>": the data bytes received from this client
  close           close the connection; reset: reset it
Also on stdout: "LISTENING <port>", "CONNECTED", "GOT <cmd> <hex>" for each port command
received, "DISCONNECTED".
"""

import argparse
import os
import selectors
import socket
import struct
import sys

IAC, SB, SE, WILL, WONT, DO, DONT = 255, 250, 240, 251, 252, 253, 254
COM_PORT = 44
OURS = {0, 3, COM_PORT}  # BINARY, SUPPRESS-GO-AHEAD, COM-PORT

FIXED = {1: struct.pack("!I", 9600), 2: b"\x08", 3: b"\x01", 4: b"\x01"}


def say(*words):
    print(*words, flush=True)


def escape(data):
    return data.replace(b"\xff", b"\xff\xff")


def subnegotiation(command, value):
    return bytes([IAC, SB, COM_PORT, command]) + escape(value) + bytes([IAC, SE])


def fixed_control(value):
    if value in (7, 8, 9):
        return b"\x09"  # DTR off
    if value in (10, 11, 12):
        return b"\x0c"  # RTS off
    return b"\x01"  # no flow control


class Client:
    def __init__(self, sock, mode, overrides, muted):
        self.sock = sock
        self.mode = mode
        self.overrides = overrides
        self.muted = muted
        self.state = "data"
        self.verb = 0
        self.sub = bytearray()
        self.agreed = set()
        self.echo = True
        self.received = 0

    def send(self, data):
        if data:
            self.sock.sendall(data)

    def negotiate(self, verb, option):
        if self.mode == "silent":
            return
        key = (verb, option)
        if key in self.agreed:
            return  # said once already: no loops
        self.agreed.add(key)
        if option == COM_PORT and verb == WILL and self.mode == "refuse":
            self.send(bytes([IAC, DONT, option]))
        elif verb in (WILL, DO):
            yes = DO if verb == WILL else WILL
            no = DONT if verb == WILL else WONT
            self.send(bytes([IAC, yes if option in OURS else no, option]))

    def command(self, sub):
        if len(sub) < 2 or sub[0] != COM_PORT:
            return
        command, value = sub[1], bytes(sub[2:])
        say("GOT", command, value.hex())
        if self.mode == "silent" or command in self.muted:
            return
        if command in self.overrides:
            answer = self.overrides[command]
        elif self.mode == "fixed" and command in FIXED:
            answer = FIXED[command]
        elif self.mode == "fixed" and command == 5:
            answer = fixed_control(value[0] if value else 0)
        else:
            answer = value
        self.send(subnegotiation(command + 100, answer))

    def feed(self, data):
        echo = bytearray()
        for byte in data:
            if self.state == "data":
                if byte == IAC:
                    self.state = "iac"
                else:
                    echo.append(byte)
            elif self.state == "iac":
                if byte == IAC:
                    echo.append(byte)
                    self.state = "data"
                elif byte in (WILL, WONT, DO, DONT):
                    self.verb = byte
                    self.state = "option"
                elif byte == SB:
                    self.sub = bytearray()
                    self.state = "sub"
                else:
                    self.state = "data"
            elif self.state == "option":
                self.negotiate(self.verb, byte)
                self.state = "data"
            elif self.state == "sub":
                if byte == IAC:
                    self.state = "subiac"
                else:
                    self.sub.append(byte)
            elif self.state == "subiac":
                if byte == SE:
                    self.command(self.sub)
                    self.state = "data"
                else:
                    self.sub.append(byte)
                    self.state = "sub"
        self.received += len(echo)
        if echo and self.echo and self.mode != "silent":
            self.send(escape(bytes(echo)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mode", choices=["answer", "fixed", "silent", "refuse", "busy"],
                        default="answer")
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    # A small window, so that a paused reader holds the client back soon.
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8192)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(4)
    selector = selectors.DefaultSelector()
    selector.register(listener, selectors.EVENT_READ, "listener")
    selector.register(sys.stdin, selectors.EVENT_READ, "stdin")
    say("LISTENING", listener.getsockname()[1])

    overrides, muted = {}, set()
    client = None
    pending = b""

    def drop(how):
        nonlocal client
        if client is None:
            return
        try:
            selector.unregister(client.sock)
        except KeyError:
            pass  # paused
        if how == "reset":
            client.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        client.sock.close()
        client = None
        say("DISCONNECTED")

    def order(words):
        what = words[0]
        if what == "answer":
            overrides[int(words[1])] = bytes.fromhex(words[2] if len(words) > 2 else "")
            return "OK"
        if what == "mute":
            muted.add(int(words[1]))
            return "OK"
        if client is None:
            return "NOCLIENT"
        if what == "modem":
            client.send(subnegotiation(107, bytes.fromhex(words[1])))
        elif what == "line":
            client.send(subnegotiation(106, bytes.fromhex(words[1])))
        elif what == "data":
            client.send(escape(bytes.fromhex("".join(words[1:]))))
        elif what == "raw":
            client.send(bytes.fromhex("".join(words[1:])))
        elif what == "echo":
            client.echo = words[1] == "on"
        elif what == "pause":
            selector.unregister(client.sock)
        elif what == "resume":
            selector.register(client.sock, selectors.EVENT_READ, "client")
        elif what == "count":
            return "COUNT %d" % client.received
        elif what in ("close", "reset"):
            drop(what)
        else:
            return "UNKNOWN " + what
        return "OK"

    while True:
        for key, _ in selector.select():
            if key.data == "listener":
                sock, _ = listener.accept()
                drop("close")
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                if args.mode == "busy":
                    # Half-closed and read to the end, so that the client sees the text and
                    # an orderly close rather than a reset.
                    sock.sendall(b"Port already in use\r\n")
                    sock.shutdown(socket.SHUT_WR)
                    selector.register(sock, selectors.EVENT_READ, "leaving")
                    say("REFUSED")
                    continue
                client = Client(sock, args.mode, overrides, muted)
                selector.register(sock, selectors.EVENT_READ, "client")
                say("CONNECTED")
            elif key.data == "stdin":
                chunk = os.read(sys.stdin.fileno(), 4096)
                if not chunk:
                    return  # the test is gone
                pending += chunk
                while b"\n" in pending:
                    line, pending = pending.split(b"\n", 1)
                    if line.split():
                        say(order(line.decode().split()))
            elif key.data == "leaving":
                try:
                    gone = not key.fileobj.recv(4096)
                except ConnectionError:
                    gone = True
                if gone:
                    selector.unregister(key.fileobj)
                    key.fileobj.close()
            elif client is not None:
                try:
                    data = client.sock.recv(4096)
                except ConnectionError:
                    data = b""
                if data:
                    client.feed(data)
                else:
                    drop("close")


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        pass
