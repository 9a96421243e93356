#!/usr/bin/python3
"""pyserial's Telnet com-port server (its PortManager) for one serial device, on 127.0.0.1 only.

pyserial's example server binds every address and stops serving on a pty, whose modem ioctls
fail with ENOTTY and which refuses 7 data bits or parity with EINVAL. This one binds 127.0.0.1
and gives PortManager a serial port that behaves like a device without modem lines: RTS and DTR
changes are taken silently, every line reads off, and a setting the device refuses raises the
ValueError that PortManager treats as a refused setting (it then answers the old value).

Usage: pyserial_server.py [--port N] DEVICE
Prints "LISTENING <port>" once it accepts connections; serves one client at a time.
"""

import argparse
import errno
import socket
import sys
import termios
import threading

import serial
import serial.rfc2217

NO_LINES = (errno.ENOTTY, errno.EINVAL)


class LinelessSerial(serial.Serial):
    def _update_rts_state(self):
        try:
            super()._update_rts_state()
        except OSError as e:
            if e.errno not in NO_LINES:
                raise

    def _update_dtr_state(self):
        try:
            super()._update_dtr_state()
        except OSError as e:
            if e.errno not in NO_LINES:
                raise

    def _line(self, name):
        try:
            return getattr(super(), name)
        except OSError as e:
            if e.errno in NO_LINES:
                return False
            raise

    cts = property(lambda self: self._line("cts"))
    dsr = property(lambda self: self._line("dsr"))
    ri = property(lambda self: self._line("ri"))
    cd = property(lambda self: self._line("cd"))

    def _reconfigure_port(self, force_update=False):
        try:
            super()._reconfigure_port(force_update)
        except termios.error as e:
            raise ValueError("device refused the settings: {}".format(e))


class Connection:
    """The socket side PortManager writes to; one lock keeps data and commands whole."""

    def __init__(self, sock):
        self.sock = sock
        self.lock = threading.Lock()

    def write(self, data):
        with self.lock:
            self.sock.sendall(data)


def serve(port, client):
    client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    connection = Connection(client)
    manager = serial.rfc2217.PortManager(port, connection)
    alive = threading.Event()
    alive.set()
    stopped = threading.Event()

    def device_to_network():
        while alive.is_set():
            try:
                data = port.read(port.in_waiting or 1)
                if data:
                    connection.write(b"".join(manager.escape(data)))
            except (OSError, serial.SerialException) as e:
                print("device:", e, file=sys.stderr, flush=True)
                break
        alive.clear()

    def watch_lines():
        # As pyserial's own server does: the lines looked at once a second.
        while not stopped.wait(1.0):
            try:
                manager.check_modem_lines()
            except OSError:
                break

    reader = threading.Thread(target=device_to_network, daemon=True)
    watcher = threading.Thread(target=watch_lines, daemon=True)
    reader.start()
    watcher.start()
    try:
        while alive.is_set():
            data = client.recv(4096)
            if not data:
                break
            port.write(b"".join(manager.filter(data)))
    except OSError as e:
        print("network:", e, file=sys.stderr, flush=True)
    finally:
        alive.clear()
        stopped.set()
        reader.join()
        watcher.join()
        client.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0, help="TCP port (0: any free one)")
    parser.add_argument("device")
    args = parser.parse_args()

    port = LinelessSerial(None, timeout=0.2)
    port.port = args.device
    port.open()
    settings = port.get_settings()

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(1)
    print("LISTENING {}".format(listener.getsockname()[1]), flush=True)
    while True:
        client, _ = listener.accept()
        try:
            serve(port, client)
        finally:
            # The next client finds the port as this one found it.
            port.apply_settings(settings)


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(0)
