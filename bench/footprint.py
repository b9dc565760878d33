#!/usr/bin/env python3
"""What Ondira costs while it sits in the tray, for one build beside another.

Run it inside the private desktop session (an Xvfb display, a session bus and
a sound server), for example:

    tests/support/test-session build/bench-session \\
        python3 bench/footprint.py --before /work/main/build --after build

Each run starts Ondira with a home of its own and measures:
  - launch -> hotkeys armed (the log line printed once the hotkeys listen);
  - idle memory of Ondira and every process it started, once the tree has
    gone quiet after launch: each process's private pages plus the pages they
    share counted once, with the PSS and RSS sums beside it;
  - idle CPU of that tree over a window (utime+stime from /proc/<pid>/stat,
    per cent of one core) and its wake-ups per second (context switches of
    every thread);
  - key-down -> indicator visible: the XTest press of the primary hotkey (Right
    Ctrl) to the first grab of the screen whose pixels differ;
  - memory again a few seconds after that (silent) take ended.
Runs of the two builds alternate, so a busy machine slows both alike. Each
figure is printed as median and max. With --road, each build's own
bench_dictation_road adds key-up -> text in a focused field (5 s and 30 s takes).
--breakdown prints where each process's memory goes (PSS by mapping).
--threads prints the idle wake-ups of each thread (process/thread name, threads
of one name summed), to find what still wakes up when nothing happens.
"""

import argparse
import collections
import json
import ctypes
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ARMED = re.compile(rb"Hotkey & Audio initialized")
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


# ---------------------------------------------------------------- processes

def descendants(root):
    children = collections.defaultdict(list)
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            children[int(fields[1])].append(int(entry))
        except OSError:
            continue
    tree, todo = [], [root]
    while todo:
        pid = todo.pop()
        tree.append(pid)
        todo.extend(children.get(pid, []))
    return tree


def process_name(pid):
    try:
        with open(f"/proc/{pid}/comm") as f:
            return f.read().strip()
    except OSError:
        return "?"


def rollup(pid):
    values = {}
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            for line in f:
                parts = line.split()
                if len(parts) >= 2 and parts[0] in ("Rss:", "Pss:", "Pss_Anon:", "Pss_File:"):
                    values[parts[0][:-1]] = int(parts[1])
    except OSError:
        pass
    return values


def smaps(pid):
    """kB of each smaps field by mapping name (anonymous mappings grouped)."""
    fields = collections.defaultdict(collections.Counter)
    name = None
    try:
        with open(f"/proc/{pid}/smaps") as f:
            for line in f:
                head = line.split(None, 6)
                if re.match(r"^[0-9a-f]+-[0-9a-f]+$", head[0]):
                    name = head[5].strip() if len(head) > 5 else "[anon]"
                elif head[0].endswith(":") and len(head) >= 3 and head[2] == "kB":
                    fields[head[0][:-1]][name] += int(head[1])
    except OSError:
        pass
    return fields


def mapping_pages(pid):
    """Private kB, and shared kB by mapping name, of one process."""
    fields = smaps(pid)
    private = sum(fields["Private_Clean"].values()) + sum(fields["Private_Dirty"].values())
    return private, fields["Shared_Clean"] + fields["Shared_Dirty"]


def memory(root):
    """Memory of the tree in MiB: its own pages, with a page the processes
    share counted once (each one's private pages, plus the shared pages of
    each mapping at the most any of them holds); the PSS and RSS sums; and
    the PSS of each process. Unlike PSS, the first figure does not drop when
    other programs on the machine happen to map the same libraries."""
    pss = rss = private = 0
    shared = collections.Counter()
    each = []
    for pid in descendants(root):
        v = rollup(pid)
        pss += v.get("Pss", 0)
        rss += v.get("Rss", 0)
        own, common = mapping_pages(pid)
        private += own
        for name, kib in common.items():
            shared[name] = max(shared[name], kib)
        each.append((process_name(pid), v.get("Pss", 0) / 1024))
    return (private + sum(shared.values())) / 1024, pss / 1024, rss / 1024, each


def thread_label(pid, tid):
    try:
        with open(f"/proc/{pid}/task/{tid}/comm") as f:
            return f"{process_name(pid)}/{f.read().strip()}"
    except OSError:
        return f"{process_name(pid)}/?"


def cpu_sample(root, labels=None):
    """CPU ticks and context switches of each thread of the tree, by thread id
    (a thread that ends between two samples must not count as negative).
    `labels`, when given, collects each thread's process/thread name."""
    sample = {}
    for pid in descendants(root):
        try:
            tasks = os.listdir(f"/proc/{pid}/task")
        except OSError:
            continue
        for task in tasks:
            try:
                with open(f"/proc/{pid}/task/{task}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                switches = 0
                with open(f"/proc/{pid}/task/{task}/status") as f:
                    for line in f:
                        if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                            switches += int(line.split()[1])
                sample[int(task)] = (int(fields[11]) + int(fields[12]), switches)  # utime + stime
                if labels is not None:
                    labels[int(task)] = thread_label(pid, task)
            except OSError:
                continue
    return sample


def cpu_delta(before, after):
    """Ticks and switches between two samples; threads born meanwhile count from zero."""
    ticks = switches = 0
    for tid, (t, s) in after.items():
        t0, s0 = before.get(tid, (0, 0))
        ticks += t - t0
        switches += s - s0
    return ticks, switches


def per_thread(before, after, labels, elapsed):
    """Wake-ups per second and CPU per cent by process/thread name."""
    rows = collections.defaultdict(lambda: [0.0, 0.0])
    for tid, (t, s) in after.items():
        t0, s0 = before.get(tid, (0, 0))
        row = rows[labels.get(tid, "?")]
        row[0] += (s - s0) / elapsed
        row[1] += (t - t0) / CLOCK_TICKS / elapsed * 100
    return dict(rows)


def breakdown(pid, top=14):
    """PSS by mapping name, in MiB."""
    pss = collections.Counter()
    for name, kib in smaps(pid)["Pss"].items():
        pss[os.path.basename(name) if name.startswith("/") else name] += kib
    return [(n, v / 1024) for n, v in pss.most_common(top)]


# ---------------------------------------------------------------- screen and keys

class XImage(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                ("format", ctypes.c_int), ("data", ctypes.c_void_p), ("byte_order", ctypes.c_int),
                ("bitmap_unit", ctypes.c_int), ("bitmap_bit_order", ctypes.c_int), ("bitmap_pad", ctypes.c_int),
                ("depth", ctypes.c_int), ("bytes_per_line", ctypes.c_int), ("bits_per_pixel", ctypes.c_int)]


class Screen:
    ZPixmap = 2
    XK_Control_R = 0xFFE4

    def __init__(self):
        self.x = ctypes.CDLL("libX11.so.6")
        self.xtst = ctypes.CDLL("libXtst.so.6")
        self.libc = ctypes.CDLL("libc.so.6")
        self.x.XOpenDisplay.restype = ctypes.c_void_p
        self.x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.x.XDefaultRootWindow.restype = ctypes.c_ulong
        self.x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        self.x.XGetImage.restype = ctypes.POINTER(XImage)
        self.x.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int, ctypes.c_uint,
                                     ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
        self.x.XGetSubImage.restype = ctypes.POINTER(XImage)
        self.x.XGetSubImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int, ctypes.c_uint,
                                        ctypes.c_uint, ctypes.c_ulong, ctypes.c_int, ctypes.POINTER(XImage),
                                        ctypes.c_int, ctypes.c_int]
        self.x.XKeysymToKeycode.restype = ctypes.c_ubyte
        self.x.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        self.x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        self.x.XDisplayWidth.argtypes = [ctypes.c_void_p, ctypes.c_int]
        self.x.XDisplayHeight.argtypes = [ctypes.c_void_p, ctypes.c_int]
        self.xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
        self.libc.memcmp.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]
        self.display = self.x.XOpenDisplay(None)
        if not self.display:
            raise SystemExit("no X display: run this inside tests/support/test-session")
        self.root = self.x.XDefaultRootWindow(self.display)
        self.width = self.x.XDisplayWidth(self.display, 0)
        self.height = self.x.XDisplayHeight(self.display, 0)
        self.key = self.x.XKeysymToKeycode(self.display, self.XK_Control_R)
        self.current = self.grab()
        self.shm = self.shared_image()

    def shared_image(self):
        """An image in shared memory, so a grab is a copy inside the server
        (a few ms) rather than 4 MB through the socket (tens of ms)."""
        ext = ctypes.CDLL("libXext.so.6")
        ext.XShmCreateImage.restype = ctypes.POINTER(XImage)
        ext.XShmCreateImage.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_void_p,
                                        ctypes.c_void_p, ctypes.c_uint, ctypes.c_uint]
        ext.XShmAttach.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
        ext.XShmGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(XImage), ctypes.c_int,
                                     ctypes.c_int, ctypes.c_ulong]
        self.x.XDefaultVisual.restype = ctypes.c_void_p
        self.x.XDefaultVisual.argtypes = [ctypes.c_void_p, ctypes.c_int]
        self.x.XDefaultDepth.argtypes = [ctypes.c_void_p, ctypes.c_int]
        self.libc.shmat.restype = ctypes.c_void_p
        self.libc.shmat.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
        info = (ctypes.c_ulong * 4)()  # XShmSegmentInfo: shmseg, shmid, shmaddr, readOnly
        image = ext.XShmCreateImage(self.display, self.x.XDefaultVisual(self.display, 0),
                                    self.x.XDefaultDepth(self.display, 0), self.ZPixmap, None, info,
                                    self.width, self.height)
        if not image:
            return None
        size = image.contents.bytes_per_line * image.contents.height
        shmid = self.libc.shmget(0, size, 0o1600)  # IPC_PRIVATE, IPC_CREAT | 0600
        address = self.libc.shmat(shmid, None, 0)
        ctypes.cast(ctypes.addressof(info) + ctypes.sizeof(ctypes.c_ulong), ctypes.POINTER(ctypes.c_int))[0] = shmid
        info[2] = address
        info[3] = 0
        image.contents.data = address
        if not ext.XShmAttach(self.display, info):
            return None
        self.x.XSync(self.display, 0)
        self.libc.shmctl(shmid, 0, None)  # IPC_RMID: gone once both sides detach
        self._info, self._ext = info, ext
        self.current = image
        return image

    def grab(self):
        return self.x.XGetImage(self.display, self.root, 0, 0, self.width, self.height, ~0 & 0xFFFFFFFF, self.ZPixmap)

    def refresh(self):
        if self.shm:
            self._ext.XShmGetImage(self.display, self.root, self.shm, 0, 0, 0xFFFFFFFF)
            return
        self.x.XGetSubImage(self.display, self.root, 0, 0, self.width, self.height, ~0 & 0xFFFFFFFF, self.ZPixmap,
                            self.current, 0, 0)

    def differs(self, image):
        size = self.current.contents.bytes_per_line * self.height
        return self.libc.memcmp(self.current.contents.data, image.contents.data, size) != 0

    def settled(self, quiet=1.0, limit=40.0):
        """A reference frame once the screen has not changed for `quiet` seconds."""
        reference = self.grab()
        since = time.monotonic()
        deadline = since + limit
        while time.monotonic() < deadline:
            time.sleep(0.05)
            self.refresh()
            if self.differs(reference):
                reference = self.grab()
                since = time.monotonic()
            elif time.monotonic() - since >= quiet:
                return reference
        return None

    def press(self, down):
        self.xtst.XTestFakeKeyEvent(self.display, self.key, 1 if down else 0, 0)
        self.x.XSync(self.display, 0)

    def key_down_to_change(self, reference, limit=10.0):
        """Seconds from the key press to the end of the first grab that differs,
        and the mean time one grab took (the resolution)."""
        pressed = time.monotonic()
        self.press(True)
        grabs = 0
        while time.monotonic() - pressed < limit:
            self.refresh()
            grabs += 1
            if self.differs(reference):
                now = time.monotonic()
                return now - pressed, (now - pressed) / grabs
        return None, None


# ---------------------------------------------------------------- one run

def fresh_env(home):
    env = dict(os.environ)
    env.update(HOME=home, XDG_CONFIG_HOME=f"{home}/.config", XDG_DATA_HOME=f"{home}/.local/share",
               XDG_CACHE_HOME=f"{home}/.cache")
    return env


def wait_quiet(pid, quiet_pct=2.0, window=1.0, limit=60.0):
    """Waits until the tree used under `quiet_pct` of a core for one window."""
    deadline = time.monotonic() + limit
    before = cpu_sample(pid)
    while time.monotonic() < deadline:
        time.sleep(window)
        after = cpu_sample(pid)
        if cpu_delta(before, after)[0] / CLOCK_TICKS / window * 100 < quiet_pct:
            return True
        before = after
    return False


def one_run(binary, args, screen, workdir):
    home = tempfile.mkdtemp(prefix="home-", dir=workdir)
    os.makedirs(f"{home}/.config", exist_ok=True)
    result = {}
    started = time.monotonic()
    proc = subprocess.Popen([binary], env=fresh_env(home), stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    armed = threading.Event()
    log = []

    def read():
        for line in proc.stdout:
            log.append(line)
            if not armed.is_set() and ARMED.search(line):
                result["launch_ms"] = (time.monotonic() - started) * 1000
                armed.set()

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    try:
        if not armed.wait(30):
            raise RuntimeError(f"{binary} did not arm its hotkeys:\n" + b"".join(log).decode(errors="replace"))
        time.sleep(args.settle)
        wait_quiet(proc.pid)
        tree, pss, rss, each = memory(proc.pid)
        result.update(tree_mib=tree, pss_mib=pss, rss_mib=rss, processes=each)
        if args.breakdown:
            result["breakdown"] = [(process_name(p), p, breakdown(p)) for p in descendants(proc.pid)]
        labels = {}
        before = cpu_sample(proc.pid, labels)
        t0 = time.monotonic()
        time.sleep(args.idle_seconds)
        after = cpu_sample(proc.pid, labels)
        ticks, switches = cpu_delta(before, after)
        elapsed = time.monotonic() - t0
        if args.threads:
            result["threads"] = per_thread(before, after, labels, elapsed)
        result["idle_cpu_pct"] = ticks / CLOCK_TICKS / elapsed * 100
        result["wakeups_per_s"] = switches / elapsed
        reference = screen.settled()
        if reference is None:
            print(f"  {binary}: the screen never settled; no key-down figure", flush=True)
        else:
            latency, resolution = screen.key_down_to_change(reference)
            if latency is None:
                print(f"  {binary}: nothing changed on screen after the key press", flush=True)
            else:
                result["indicator_ms"] = latency * 1000
                result["grab_ms"] = resolution * 1000
        time.sleep(1.0)
        screen.press(False)
        time.sleep(args.after_take)
        wait_quiet(proc.pid)
        result["tree_after_take_mib"] = memory(proc.pid)[0]
    finally:
        screen.press(False)
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(15)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        # The single-instance name must be free before the next launch.
        time.sleep(0.5)
    return result


# ---------------------------------------------------------------- key-up -> text

def road(build, runs):
    """Key-up -> text from the build's own dictation road benchmark."""
    program = os.path.join(build, "bench", "bench_dictation_road")
    if not os.path.exists(program):
        return {}
    out = subprocess.run([program, "--benchmark_filter=BM_KeyUpToTextInField", "--benchmark_format=json"],
                         capture_output=True, text=True)
    figures = {}
    try:
        for b in json.loads(out.stdout)["benchmarks"]:
            seconds = b["name"].split("/")[1]
            if "median_ms" in b:
                figures[f"keyup_text_{seconds}s_ms"] = (b["median_ms"], b["max_ms"])
    except (ValueError, KeyError, IndexError):
        sys.stderr.write(out.stderr[-2000:])
    return figures


# ---------------------------------------------------------------- report

ROWS = [
    ("launch_ms", "launch -> hotkeys armed (ms)", 250),
    ("tree_mib", "idle memory, tree, shared once (MiB)", 200),
    ("pss_mib", "  idle PSS sum of the tree (MiB)", None),
    ("rss_mib", "  idle RSS sum of the tree (MiB)", None),
    ("idle_cpu_pct", "idle CPU (% of one core)", 0.1),
    ("wakeups_per_s", "idle wake-ups (context switches/s)", 1),
    ("indicator_ms", "key-down -> indicator on screen (ms)", 50),
    ("grab_ms", "  (one screen grab took, ms)", None),
    ("tree_after_take_mib", "memory after one take, shared once (MiB)", None),
]


def summary(values):
    if not values:
        return f"{'-':>14s} {'-':>8s}"
    return f"{statistics.median(values):14.1f} {max(values):8.1f}"


def print_threads(builds, results):
    """Median and max over the runs of each thread's wake-ups/s (a thread
    missing from a run counts as 0 there)."""
    names = sorted({n for label, _ in builds for r in results[label] for n in r.get("threads", {})})
    print()
    print(f"{'thread (process/thread)':40s}" + "".join(f"{label + ' wake/s':>16s}{'max':>9s}" for label, _ in builds))
    rows = []
    for name in names:
        cells = []
        for label, _ in builds:
            values = [r.get("threads", {}).get(name, (0.0, 0.0))[0] for r in results[label]]
            cells.append(values)
        rows.append((max(statistics.median(v) for v in cells), name, cells))
    for _, name, cells in sorted(rows, reverse=True):
        print(f"{name[:40]:40s}" + "".join(" " + summary(v) for v in cells))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--before", help="build directory of the previous build (holds Ondira.bundle)")
    parser.add_argument("--after", required=True, help="build directory of this build")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--idle-seconds", type=float, default=60.0, help="idle CPU window (default 60 s)")
    parser.add_argument("--settle", type=float, default=5.0, help="seconds after arming before the quiet wait")
    parser.add_argument("--after-take", type=float, default=5.0)
    parser.add_argument("--breakdown", action="store_true", help="print PSS by mapping of each process (first run)")
    parser.add_argument("--road", action="store_true", help="also key-up -> text from each build's dictation road")
    parser.add_argument("--threads", action="store_true", help="print idle wake-ups/s of each thread (median of runs)")
    args = parser.parse_args()

    builds = [("before", args.before), ("after", args.after)] if args.before else [("after", args.after)]
    screen = Screen()
    workdir = tempfile.mkdtemp(prefix="ondira-footprint-")
    results = {label: [] for label, _ in builds}
    for run in range(args.runs):
        for label, build in builds:
            binary = os.path.join(build, "Ondira.bundle", "Ondira")
            r = one_run(binary, args, screen, workdir)
            results[label].append(r)
            print(f"run {run + 1} {label}: " + ", ".join(
                f"{k}={v:.1f}" for k, v in r.items() if isinstance(v, float)), flush=True)
            if args.breakdown and run == 0:
                for name, pid, rows in r.get("breakdown", []):
                    print(f"  {label} {name} ({pid}):")
                    for mapping, mib in rows:
                        print(f"    {mib:7.1f} MiB  {mapping}")
                print(f"  {label} processes: " + ", ".join(f"{n} {m:.1f}" for n, m in r["processes"]), flush=True)

    extra = {label: road(build, args.runs) if args.road else {} for label, build in builds}
    header = f"{'figure':40s}" + "".join(f"{label + ' median':>16s}{'max':>9s}" for label, _ in builds) + "   goal"
    print()
    print(header)
    for key, title, goal in ROWS:
        line = f"{title:40s}"
        for label, _ in builds:
            line += " " + summary([r[key] for r in results[label] if key in r])
        print(line + (f"   <= {goal}" if goal is not None else ""))
    for key, goal in (("keyup_text_5s_ms", 50), ("keyup_text_30s_ms", 60)):
        line = f"{'key-up -> text, ' + key.split('_')[2] + ' takes (ms)':40s}"
        for label, _ in builds:
            m = extra[label].get(key)
            line += " " + summary([m[0]] if m else [])[:-9] + (f" {m[1]:8.1f}" if m else f" {'-':>8s}")
        if args.road:
            print(line + f"   <= {goal}")
    if args.threads:
        print_threads(builds, results)
    print(f"\n{args.runs} runs of each build, idle window {args.idle_seconds:.0f} s")


if __name__ == "__main__":
    main()
