#!/bin/bash
# Benchmark, not a test: the window and parvolo-check against a hostile com-port server
# (tests/remote/scripted_server.py on 127.0.0.1) that floods them once the port is open. Prints
# one table: memory (RSS), time to end, the checker's result, and for the offer storm the
# system calls that send against those that receive. A process past 3 GB is killed (">3 GB").
#   bench/remote_storm.sh [--bin-dir DIR] [--only N[,N...]]
# DIR is a build directory (the default: build) or a flat directory holding parvolo-check and
# window_on_port. Scenarios: 1 offer storm, server not reading, window; 2 the same, checker;
# 3 flip loop, not reading, checker; 4 modem-state flood, window and checker; 5 line-state
# flood, checker; 6 scenario 2 under strace.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin_dir=$root/build only=1,2,3,4,5,6
while (($#)); do
    case $1 in
        --bin-dir) bin_dir=$2; shift 2 ;;
        --only) only=$2; shift 2 ;;
        -h | --help) sed -n '2,10s/^# \{0,1\}//p' "$0"; exit 0 ;;
        *) echo "remote_storm.sh: unknown option $1" >&2; exit 64 ;;
    esac
done
checker=$bin_dir/tools/check/parvolo-check window=$bin_dir/tests/window/window_on_port
[[ -x $bin_dir/parvolo-check ]] && checker=$bin_dir/parvolo-check window=$bin_dir/window_on_port
for program in "$checker" "$window" "$(command -v strace)"; do
    [[ -x $program ]] || { echo "remote_storm.sh: no ${program:-strace}" >&2; exit 1; }
done

work=$(mktemp -d /tmp/remote_storm.XXXXXX) helper=""
cleanup() {
    [[ -n $helper ]] && kill -TERM "$helper" 2>/dev/null && sleep 0.5
    # Each process the helper starts leads a group of its own, listed here as it starts: killed
    # even if the helper could not clean up itself.
    while read -r group; do kill -KILL -- "-$group" 2>/dev/null || true; done <"$work/groups"
    rm -rf "$work"
}
touch "$work/groups"
trap cleanup EXIT
trap 'exit 130' INT TERM

# In the background, so that a signal to this script is handled at once.
python3 - "$checker" "$window" "$root/tests/remote/scripted_server.py" "$work" "$only" <<'EOF' &
import contextlib, json, os, signal, subprocess, sys, threading, time
from subprocess import DEVNULL, PIPE

checker, window, server, work, only = sys.argv[1:6]
only = {int(n) for n in only.split(",")}
CAP_KB = 3 * 1024 * 1024
CODES = {0: "pass", 1: "mismatch", 2: "no-answer", 3: "cannot-open", 4: "settings-not-applied",
         5: "line-lost", 6: "report-not-written", 64: "usage"}
TRACED = "sendto,recvfrom,send,recv,sendmsg,write,read"
started = []
signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))

def start(argv, **kw):
    p = subprocess.Popen(argv, start_new_session=True, **kw)
    started.append(p)
    with open(f"{work}/groups", "a") as f:
        f.write(f"{p.pid}\n")
    return p

def tree(pid):
    pids = [pid]
    for p in pids:
        try:
            for task in os.listdir(f"/proc/{p}/task"):
                with open(f"/proc/{p}/task/{task}/children") as f:
                    pids += map(int, f.read().split())
        except OSError:
            pass
    return pids

def rss(pid):  # kB, of the largest process in the tree: strace's child, say
    best = 0
    for p in tree(pid):
        try:
            with open(f"/proc/{p}/status") as f:
                best = max([best] + [int(l.split()[1]) for l in f if l.startswith("VmRSS:")])
        except OSError:
            pass
    return best

def kill(pid, sig=signal.SIGKILL):
    with contextlib.suppress(ProcessLookupError):
        os.kill(pid, sig)

def reap(p):  # (exit code, rusage) once p has ended, else None
    pid, status, usage = os.wait4(p.pid, os.WNOHANG)
    if pid:
        p.returncode = os.waitstatus_to_exitcode(status)
        return p.returncode, usage

def stop(p):  # its whole group; never one reaped already, whose id may be reused
    if p.returncode is None:
        kill(-p.pid)
        p.wait()

def size(kb):
    return f"{kb / 1048576:.2f} GB" if kb >= 1048576 else f"{kb / 1024:.0f} MB"

class Server:
    """Gives the orders once the client's open is complete: at the purge that ends it, or at the
    window's OPEN. The checker runs its 50 blocks in a few milliseconds, so it is stopped from
    the purge until the server has taken the orders: else the storm may come after its run."""

    def __init__(self, orders, hold=lambda: []):
        self.orders, self.hold, self.held, self.at = orders, hold, [], None
        self.lock, self.fired = threading.Lock(), threading.Event()
        self.p = start([sys.executable, server, "--mode", "answer"], stdin=PIPE, stdout=PIPE,
                       stderr=DEVNULL, text=True, bufsize=1)
        self.url = "rfc2217://127.0.0.1:" + self.p.stdout.readline().split()[1]
        threading.Thread(target=self.read, daemon=True).start()

    def read(self):
        answered = 0
        for line in self.p.stdout:
            if line.startswith("GOT 12 "):
                self.fire()
            elif line.startswith("OK") and self.fired.is_set():
                answered += 1
                for pid in self.held if answered == len(self.orders) else []:
                    kill(pid, signal.SIGCONT)

    def fire(self):
        with self.lock:
            if not self.fired.is_set():
                self.held = self.hold()
                for pid in self.held:
                    kill(pid, signal.SIGSTOP)
                self.p.stdin.write("".join(o + "\n" for o in self.orders))
                self.p.stdin.flush()
                self.at = time.monotonic()
                self.fired.set()

def window_run(orders, marks, seconds=20):
    srv = Server(orders)
    ports = f"{work}/ports"
    os.makedirs(f"{work}/runtime", mode=0o700, exist_ok=True)
    os.makedirs(ports, exist_ok=True)
    if os.path.lexists(f"{ports}/COM1"):
        os.remove(f"{ports}/COM1")
    os.symlink(srv.url, f"{ports}/COM1")
    env = dict(os.environ, PARVOLO_PORT_DIR=ports, QT_QPA_PLATFORM="offscreen",
               XDG_RUNTIME_DIR=f"{work}/runtime")
    w = start([window], env=env, stdin=DEVNULL, stdout=PIPE, stderr=DEVNULL, text=True)
    messages = []

    def listen():
        for line in w.stdout:
            if line.startswith("OPEN "):
                srv.fire()
            elif line.startswith("MESSAGE "):
                messages.append(line[8:].strip())
    threading.Thread(target=listen, daemon=True).start()
    if not srv.fired.wait(10):
        stop(w), stop(srv.p)
        return dict(result="not open: " + "; ".join(messages), memory="-", end="-")
    samples, peak, over = [], 0, False
    while len(samples) <= seconds and not reap(w):  # a sample a second, the cap every 0.1 s
        kb = rss(w.pid)
        peak, over = max(peak, kb), kb > CAP_KB
        if over:
            break
        if time.monotonic() - srv.at >= len(samples):
            samples.append(kb)
        time.sleep(0.1)
    if over:
        end = "SIGKILL at >3 GB"
    elif w.returncode is not None:
        end = f"ended by itself (exit {w.returncode})"
    else:
        kill(w.pid, signal.SIGTERM)
        t0 = time.monotonic()
        while not reap(w) and time.monotonic() - t0 < 10:
            time.sleep(0.01)
        end = (f"ends {time.monotonic() - t0:.2f} s after SIGTERM" if w.returncode is not None
               else ">10 s after SIGTERM: SIGKILL")
    stop(w), stop(srv.p)
    mark = lambda i: size(samples[i]) if i < len(samples) else ">3 GB" if over else "ended"
    memory = ", ".join([f"{i and f'{i} s' or 'start'} {mark(i)}" for i in marks] +
                       ["max " + (">3 GB" if over else size(peak))])
    return dict(result="; ".join(messages) or "open, no message box", memory=memory, end=end)

def checker_run(orders, bound=30, traced=False):
    p = None
    srv = Server(orders, hold=lambda: (tree(p.pid)[1:] or [p.pid]) if p else [])
    report = f"{work}/report-{time.monotonic_ns()}.json"
    argv = [checker, "--baud", "115200", "--blocks", "50", "--json", report, srv.url]
    if traced:
        argv = ["strace", "-f", "-c", "-o", f"{work}/strace.txt", "-e", "trace=" + TRACED] + argv
    t0, why, killed_at, peak = time.monotonic(), None, None, 0
    p = start(argv, stdin=DEVNULL, stdout=DEVNULL, stderr=DEVNULL)
    while not (done := reap(p)):
        peak = max(peak, rss(p.pid))
        if why is None and (peak > CAP_KB or time.monotonic() - t0 > bound):
            why = ">3 GB: SIGKILL" if peak > CAP_KB else f"SIGKILL after {bound} s"
            killed_at = time.monotonic()
            for q in tree(p.pid)[1:] or [p.pid]:  # strace's child first: strace then reports
                kill(q)
        elif killed_at and time.monotonic() - killed_at > 3:
            kill(p.pid)
        time.sleep(0.05)
    wall, (code, usage) = time.monotonic() - t0, done
    stop(srv.p)
    result = why or f"{CODES.get(code, code)} (exit {code})"
    if not srv.fired.is_set() or srv.at > t0 + wall:
        result += ", storm came too late"
    try:
        with open(report) as f:
            data = json.load(f)
    except (OSError, ValueError):
        data = {}
    notes = [f"{data['blocks']}/50 blocks passed"] if "blocks" in data else []
    if failure := data.get("first_failure"):
        notes.append(f"first failure {failure.get('kind')} in block {failure.get('block')}")
    peak = ">3 GB" if why and why.startswith(">3") else size(max(peak, usage.ru_maxrss))
    return dict(result=result, memory="max " + peak, end=f"{wall:.2f} s", report=data, notes=notes)

def syscalls():
    counts = {}
    with open(f"{work}/strace.txt") as f:
        for words in map(str.split, f):
            if len(words) >= 5 and words[-1] in TRACED.split(",") and words[3].isdigit():
                failed = f" ({words[4]} failed)" if len(words) == 6 else ""
                counts[words[-1]] = words[3] + failed
    return ", ".join(f"{n} {counts.get(n, '0')}" for n in ("sendto", "sendmsg", "recvfrom"))

rows = []
def row(n, what, target, r, notes=()):
    notes = "; ".join(notes) or "-"
    rows.append((str(n), what, target, r["result"], r["memory"], r["end"], notes))
    print(f"  done: {n} {what}, {target}", file=sys.stderr, flush=True)

def line_errors(r):
    return [f"{k} " + json.dumps(r["report"].get(k, "-"), separators=(",", ":"))
            for k in ("line_errors", "kernel_line_errors")]

try:
    if 1 in only:
        r = window_run(["pause", "storm offer"], [0, 10, 20])
        row(1, "offer storm, not reading", "window", r)
    if 2 in only:
        r = checker_run(["pause", "storm offer"], bound=60)
        row(2, "offer storm, not reading", "checker", r, r["notes"])
    if 3 in only:
        r = checker_run(["pause", "storm flip"])
        row(3, "flip loop, not reading", "checker", r, r["notes"])
    if 4 in only:
        row(4, "modem-state flood, reading", "window", window_run(["storm modem"], [0, 20]))
        r = checker_run(["storm modem"])
        row(4, "modem-state flood, reading", "checker", r, r["notes"])
    if 5 in only:
        r = checker_run(["storm line"])
        row(5, "line-state flood, reading", "checker", r, r["notes"] + line_errors(r))
    if 6 in only:
        r = checker_run(["pause", "storm offer"], traced=True)
        row(6, "as 2, under strace -f -c", "checker", r, r["notes"] + [syscalls()])
finally:
    for p in started:
        stop(p)
    open(f"{work}/groups", "w").close()

head = ("#", "scenario", "target", "result", "memory (RSS)", "time", "notes")
widths = [max(len(r[i]) for r in rows + [head]) for i in range(len(head))]
print(f"binaries: {checker}, {window}")
for r in [head, tuple("-" * w for w in widths)] + rows:
    print("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())
EOF
helper=$!
wait "$helper"
