#!/usr/bin/env python3
"""Holds a tty open with INPCK and PARMRK (which turn the cp210x driver's event mode on), sends
the adapter each command given (words joined by ':', e.g. error:parity, send:0xec), and prints
what the line discipline passed up (hex) and the change of the kernel's counters (TIOCGICOUNT)
as JSON; "counters": null where the driver keeps none (pl2303).
    tty_errors.py TTY ADAPTER SOCKET COMMAND..."""
import fcntl, json, os, struct, subprocess, sys, termios, time

tty, adapter, socket, commands = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
FIELDS = ("cts", "dsr", "rng", "dcd", "rx", "tx", "frame", "overrun", "parity", "brk", "buf_overrun")
TIOCGICOUNT = 0x545D

fd = os.open(tty, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
saved = termios.tcgetattr(fd)
iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(fd)
cc[termios.VMIN], cc[termios.VTIME] = 0, 0
cflag = (cflag & ~termios.CSIZE) | termios.CS8 | termios.CREAD | termios.CLOCAL
termios.tcsetattr(fd, termios.TCSANOW,
                  [termios.INPCK | termios.PARMRK, 0, cflag, 0, ispeed, ospeed, cc])

def icount():
    try:
        return dict(zip(FIELDS, struct.unpack("20i", fcntl.ioctl(fd, TIOCGICOUNT, bytes(80)))))
    except OSError:
        return None

# The open's own line reports (cdc_acm's DSR and DCD) settle before the first count.
time.sleep(0.5)
termios.tcflush(fd, termios.TCIFLUSH)  # what an earlier user left unread is not ours
before = icount()
for command in commands:
    subprocess.run([adapter, "--ask", socket] + command.split(":"), check=True,
                   stdout=subprocess.DEVNULL)
data = b""
deadline = time.monotonic() + 2
while time.monotonic() < deadline:
    time.sleep(0.1)
    try:
        data += os.read(fd, 4096)
    except BlockingIOError:
        pass
after = icount()
# The tty keeps its termios after the close: later openers start from the driver's own.
termios.tcsetattr(fd, termios.TCSANOW, saved)
counts = {k: after[k] - before[k] for k in FIELDS} if before and after else {"counters": None}
print(json.dumps({"bytes": data.hex(), **counts}))
