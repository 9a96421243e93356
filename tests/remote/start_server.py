#!/usr/bin/python3
"""Starts a real Telnet com-port server on 127.0.0.1 for a pty made by the loopback plug.

  start_server.py ser2net  [--plug BIN] [-- PLUG OPTIONS...]
  start_server.py pyserial [--plug BIN] [-- PLUG OPTIONS...]

The plug (parvolo-loopback, from --plug or $PARVOLO_LOOPBACK_BIN) makes a pty linked as COM1
in a temporary port map directory and echoes what arrives. The server exports that pty on a
free TCP port of 127.0.0.1. Once the server listens, one line goes to stdout:

  READY url=rfc2217://127.0.0.1:PORT server_pid=N plug_pid=M pty=/dev/pts/K

Then this waits until stdin closes (or SIGTERM/SIGINT) and stops the server and the plug; the
server may have been killed meanwhile. Exit status: 0 done, 1 could not start (reason on
stderr), 2 bad arguments.
"""

import ctypes
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PR_SET_PDEATHSIG = 1
START_BOUND_S = 5.0


def die_with_parent():
    # A server outliving a crashed test would keep its port and the pty.
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    """Whether something listens on 127.0.0.1:port, looked up without connecting to it."""
    wanted = "0100007F:%04X" % port
    try:
        with open("/proc/net/tcp") as table:
            next(table)
            for row in table:
                fields = row.split()
                if fields[1] == wanted and fields[3] == "0A":
                    return True
    except OSError:
        pass
    return False


def read_line(process, bound_s):
    """The first line the process writes, or None when it exits or the bound passes."""
    deadline = time.monotonic() + bound_s
    line = b""
    fd = process.stdout.fileno()
    os.set_blocking(fd, False)
    while time.monotonic() < deadline:
        try:
            chunk = os.read(fd, 256)
        except BlockingIOError:
            chunk = None
        if chunk:
            line += chunk
            if b"\n" in line:
                return line.split(b"\n", 1)[0].decode(errors="replace")
        elif chunk == b"" or process.poll() is not None:
            return None
        else:
            time.sleep(0.01)
    return None


def start_plug(binary, work, options):
    plug = subprocess.Popen(
        [binary, "--port", "COM1", "--dir", work, "--print-ready", "--quit-after-ms", "600000"]
        + options,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=die_with_parent)
    line = read_line(plug, START_BOUND_S)
    if not line or not line.startswith("READY"):
        plug.kill()
        reason = plug.stderr.read().decode(errors="replace")
        raise RuntimeError("the plug did not get ready: " + reason)
    return plug, line.split()[2]


def start_ser2net(pty, work):
    binary = shutil.which("ser2net", path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")
    if not binary:
        raise RuntimeError("ser2net is not installed")
    for _ in range(5):
        port = free_port()
        config = os.path.join(work, "ser2net.yaml")
        with open(config, "w") as f:
            f.write("connection: &plug\n"
                    "  accepter: telnet(rfc2217),tcp,127.0.0.1,%d\n"
                    "  connector: serialdev,%s,9600n81,local\n" % (port, pty))
        log = open(os.path.join(work, "ser2net.log"), "wb")
        server = subprocess.Popen([binary, "-n", "-d", "-c", config], stdin=subprocess.DEVNULL,
                                  stdout=log, stderr=log, preexec_fn=die_with_parent)
        deadline = time.monotonic() + START_BOUND_S
        while time.monotonic() < deadline and server.poll() is None and not listening(port):
            time.sleep(0.01)
        if server.poll() is None and listening(port):
            return server, port
        # Another program took the port between the look and the start: try another.
        server.kill()
        server.wait()
    raise RuntimeError("ser2net did not listen: " + open(os.path.join(work, "ser2net.log")).read())


def start_pyserial(pty, work):
    server = subprocess.Popen(
        ["/usr/bin/python3", os.path.join(HERE, "pyserial_server.py"), "--port", "0", pty],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
        stderr=open(os.path.join(work, "pyserial.log"), "wb"), preexec_fn=die_with_parent)
    line = read_line(server, START_BOUND_S)
    if not line or not line.startswith("LISTENING"):
        server.kill()
        raise RuntimeError("the pyserial server did not listen: "
                           + open(os.path.join(work, "pyserial.log")).read())
    return server, int(line.split()[1])


def stop(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(2)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def main():
    args = sys.argv[1:]
    plug_options = []
    if "--" in args:
        plug_options = args[args.index("--") + 1:]
        args = args[:args.index("--")]
    plug_binary = os.environ.get("PARVOLO_LOOPBACK_BIN", "")
    if "--plug" in args:
        at = args.index("--plug")
        if at + 1 >= len(args):
            print(__doc__, file=sys.stderr)
            return 2
        plug_binary = args[at + 1]
        del args[at:at + 2]
    if len(args) != 1 or args[0] not in ("ser2net", "pyserial") or not plug_binary:
        print(__doc__, file=sys.stderr)
        return 2

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    with tempfile.TemporaryDirectory(prefix="parvolo-remote-") as work:
        plug = server = None
        try:
            plug, pty = start_plug(plug_binary, work, plug_options)
            start = start_ser2net if args[0] == "ser2net" else start_pyserial
            server, port = start(pty, work)
            print("READY url=rfc2217://127.0.0.1:%d server_pid=%d plug_pid=%d pty=%s"
                  % (port, server.pid, plug.pid, pty), flush=True)
            while sys.stdin.buffer.read(4096):
                pass
            return 0
        except RuntimeError as e:
            print(e, file=sys.stderr)
            return 1
        except KeyboardInterrupt:
            return 0
        finally:
            for process in (server, plug):
                if process is not None:
                    stop(process)


if __name__ == "__main__":
    sys.exit(main())
