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
  storm KIND      send, as fast as the client takes it, until "storm off": "offer" (IAC WILL 99
                  again and again), "flip" (WONT, WILL, DONT, DO on BINARY in a loop), "modem"
                  (NOTIFY-MODEMSTATE with CTS toggling), "line" (NOTIFY-LINESTATE, every error)
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


STORMS = {
    "offer": bytes([IAC, WILL, 99]),
    "flip": bytes([IAC, WONT, 0, IAC, WILL, 0, IAC, DONT, 0, IAC, DO, 0]),
    "modem": subnegotiation(107, b"\x11") + subnegotiation(107, b"\x01"),
    "line": subnegotiation(106, b"\x1e"),
    "off": b"",
}


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
        self.out = bytearray()
        self.storm = b""
        sock.setblocking(False)

    def send(self, data):
        # Everything goes out through one queue, without blocking, so that a storm or a client
        # that stopped reading never stops the server from taking orders.
        self.out += data
        self.flush()

    def flush(self):
        for _ in range(16):  # then back to the other orders and the client's bytes
            if not self.out:
                if not self.storm:
                    return
                self.out = bytearray(self.storm * (65536 // len(self.storm)))
            try:
                sent = self.sock.send(self.out)
            except BlockingIOError:
                return
            except OSError:
                self.out.clear()
                return
            del self.out[:sent]

    def wants_write(self):
        return bool(self.out or self.storm)

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
    parser.add_argument("--host", default="127.0.0.1",
                        help="where to listen: 127.0.0.1, or a test's own network namespace")
    args = parser.parse_args()

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    # A small window, so that a paused reader holds the client back soon.
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8192)
    listener.bind((args.host, args.port))
    listener.listen(4)
    selector = selectors.DefaultSelector()
    selector.register(listener, selectors.EVENT_READ, "listener")
    selector.register(sys.stdin, selectors.EVENT_READ, "stdin")
    say("LISTENING", listener.getsockname()[1])

    overrides, muted = {}, set()
    client = None
    pending = b""
    reading = True

    def watch():
        """Registers the client for what it needs now: reading unless paused, writing while
        something waits to go out."""
        events = (selectors.EVENT_READ if reading else 0) | (
            selectors.EVENT_WRITE if client.wants_write() else 0)
        try:
            selector.unregister(client.sock)
        except KeyError:
            pass
        if events:
            selector.register(client.sock, events, "client")

    def drop(how):
        nonlocal client
        if client is None:
            return
        try:
            selector.unregister(client.sock)
        except KeyError:
            pass  # paused and idle
        if how == "reset":
            client.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        client.sock.close()
        client = None
        say("DISCONNECTED")

    def order(words):
        nonlocal reading
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
            reading = False
        elif what == "resume":
            reading = True
        elif what == "storm":
            client.storm = STORMS[words[1]]
            client.flush()
        elif what == "count":
            return "COUNT %d" % client.received
        elif what in ("close", "reset"):
            drop(what)
        else:
            return "UNKNOWN " + what
        return "OK"

    while True:
        for key, mask in selector.select():
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
                reading = True
                watch()
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
                        if client is not None:
                            watch()
            elif key.data == "leaving":
                try:
                    gone = not key.fileobj.recv(4096)
                except ConnectionError:
                    gone = True
                if gone:
                    selector.unregister(key.fileobj)
                    key.fileobj.close()
            elif client is not None:
                if mask & selectors.EVENT_WRITE:
                    client.flush()
                if mask & selectors.EVENT_READ:
                    try:
                        data = client.sock.recv(4096)
                    except BlockingIOError:
                        data = None
                    except ConnectionError:
                        data = b""
                    if data:
                        client.feed(data)
                    elif data is not None:
                        drop("close")
                        continue
                watch()


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        pass
