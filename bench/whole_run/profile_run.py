"""Where a run's time goes, seen from outside the process: `perf record -a` at a low rate during one
measured run, its samples kept for the processes of the bench's prefix only (found by their
WINEPREFIX while the run lasts), the tool's own samples named through the exe's symbol table (the
exe loads at its preferred base under Wine); and the Win32 calls the exe makes per item, counted with
WINEDEBUG=+relay on two small stores of the same shape."""
import bisect
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
from collections import Counter
from pathlib import Path

import prefix

RATE = 99  # samples per second and CPU: next to nothing for the run, enough over minutes
IMAGE_BASE, IMAGE_END = 0x140000000, 0x150000000

_GROUPS = [  # first match wins; a symbol that matches none belongs with the one before it
    ("SQLite", re.compile(r"^sqlite3")),
    ("minizip and its PKWARE encryption", re.compile(r"^(zip|unz|Write_|crypthead|init_keys|update_keys|decrypt_byte|"
                                                     r"call_z|fill_win32|fill_fopen)")),
    ("zlib (deflate, inflate, CRC-32)", re.compile(r"^(deflate|inflate|crc32|get_crc_table|adler32|_tr_|longest_match|"
                                                  r"fill_window|compress_block|send_tree|build_tree|zcalloc|zcfree)")),
    ("MD5 and SHA-256", re.compile(r"^vondrel::(CMD5|SHA256)::")),
    ("the tool's own code, C++ runtime", re.compile(r"^(vondrel::|std::|__|operator|wmain|main)")),
]
OWN_CODE = [name for name, _ in _GROUPS]
KERNEL = "Linux kernel (system calls, page cache, directory lookups)"
WINE_UNIX = "Wine's Unix side (ntdll.so, libc)"
WINE_DLLS = "Wine's Windows DLLs (kernelbase, ntdll, msvcrt, ...)"
SERVER = "wineserver (the requests of the file API)"
OTHERS = "agent.exe and Wine's helper processes"


def available():
    return shutil.which("perf") is not None and shutil.which("x86_64-w64-mingw32-nm") is not None


class SymbolTable:
    """The exe's text symbols with the group each falls into."""

    def __init__(self, exe):
        out = subprocess.run(["x86_64-w64-mingw32-nm", "-C", "--defined-only", "-n", str(exe)], capture_output=True,
                             text=True, check=True).stdout
        self.addresses, self.groups, self.names = [], [], []
        group = OWN_CODE[-1]
        for line in out.splitlines():
            fields = line.split(" ", 2)
            if len(fields) < 3 or fields[1] not in "tT" or fields[2].startswith("."):
                continue
            group = next((g for g, pattern in _GROUPS if pattern.match(fields[2])), group)
            self.addresses.append(int(fields[0], 16))
            self.groups.append(group)
            self.names.append(fields[2])

    def _index(self, address):
        return bisect.bisect_right(self.addresses, address) - 1

    def group(self, address):
        i = self._index(address)
        return self.groups[i] if i >= 0 else OWN_CODE[-1]

    def name(self, address):
        i = self._index(address)
        return self.names[i] if i >= 0 else "?"


class Profile:
    def __init__(self, wall, cpu):
        self.wall = wall
        self.cpu = cpu  # seconds by where

    def tool_cpu(self):
        return sum(v for k, v in self.cpu.items() if k not in (SERVER, OTHERS))

    def waiting(self):
        return max(0.0, self.wall - self.tool_cpu() - self.cpu.get(SERVER, 0.0))

    def markdown(self):
        lines = ["Processor time of one run of case (b) (%.1f s), from perf samples at %d per second and CPU:" %
                 (self.wall, RATE), "",
                 "| where | CPU s | share of the run |", "|---|---:|---:|"]
        rows = [(k, self.cpu.get(k, 0.0)) for k in OWN_CODE + [WINE_DLLS, WINE_UNIX, KERNEL]]
        rows += [("= Vondrel.exe in all", self.tool_cpu()), (SERVER, self.cpu.get(SERVER, 0.0)),
                 (OTHERS, self.cpu.get(OTHERS, 0.0)),
                 ("neither Vondrel.exe nor its wineserver on a CPU (waiting: replies, disk, other load)", self.waiting())]
        for name, value in rows:
            lines.append("| %s | %.1f | %.0f %% |" % (name, value, 100 * value / self.wall))
        return lines


class Profiler:
    """perf over one run; start() before the process, finish() after it."""

    def __init__(self, build_dir):
        self.symbols = SymbolTable(Path(build_dir) / "Vondrel.exe")

    def start(self):
        data = Path(tempfile.mkdtemp(prefix="vondrel-perf-")) / "perf.data"
        perf = subprocess.Popen(["perf", "record", "-a", "-F", str(RATE), "-o", str(data)], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(1.0)  # perf is recording once its start-up is over
        watcher = _PrefixProcesses().start()
        return perf, data, watcher

    def finish(self, recording, wall):
        perf, data, watcher = recording
        pids = watcher.stop()
        perf.send_signal(signal.SIGINT)
        perf.wait(60)
        try:
            return Profile(wall, self._cpu(data, pids))
        finally:
            shutil.rmtree(data.parent, ignore_errors=True)

    def _cpu(self, data, pids):
        # perf's own process names: a Wine process is named after its exe only once it has started.
        script = subprocess.run(["perf", "script", "-i", str(data), "-F", "comm,pid,ip,dso"], capture_output=True,
                                text=True).stdout
        samples = Counter()
        for line in script.splitlines():
            match = _SAMPLE.match(line)
            if not match or int(match.group(2)) not in pids:
                continue
            samples[self._where(match.group(1).strip(), int(match.group(3), 16), match.group(4))] += 1
        return {k: v / RATE for k, v in samples.items()}

    def _where(self, comm, ip, dso):
        if comm.startswith("wineserver"):
            return SERVER
        if comm != "Vondrel.exe":
            return OTHERS
        if "kernel.kallsyms" in dso:
            return KERNEL
        if IMAGE_BASE <= ip < IMAGE_END:
            return self.symbols.group(ip)
        if ".dll" in dso.lower():
            return WINE_DLLS
        return WINE_UNIX


_SAMPLE = re.compile(r"^\s*(.+?)\s+(\d+)\s+([0-9a-f]+)\s*(.*)$")


class _PrefixProcesses:
    """The pids (and names) of every process of the bench's prefix while a run lasts, its wineserver
    included, read from /proc every few tens of milliseconds."""

    def __init__(self):
        self.found = {}
        self._seen = set()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._loop, daemon=True)
        self._marker = ("WINEPREFIX=%s" % prefix.PREFIX).encode()

    def start(self):
        self._scan()
        self._thread.start()
        return self

    def stop(self):
        self._stop.set()
        self._thread.join()
        return self.found

    def _loop(self):
        while not self._stop.wait(0.03):
            self._scan()

    def _scan(self):
        for entry in os.listdir("/proc"):
            if not entry.isdigit() or entry in self._seen:
                continue
            self._seen.add(entry)
            try:
                environ = Path("/proc", entry, "environ").read_bytes()
                comm = Path("/proc", entry, "comm").read_text().strip()
            except OSError:
                continue
            if self._marker + b"\0" in environ + b"\0" and (comm != "python3"):
                self.found[int(entry)] = comm


def win32_calls_per_item(symbols, small, large, run_tool):
    """Calls from the exe into Wine's DLLs per item, by call and calling function: the difference of two
    relay-traced runs on stores of `small` and `large` items ((count, Windows path) each), divided by the
    difference of their sizes. run_tool(win_store, trace_file) runs the tool once with WINEDEBUG=+relay
    and its trace going to trace_file."""
    counts = []
    with tempfile.TemporaryDirectory(prefix="vondrel-relay-") as work:
        for _, win_store in (small, large):
            trace = Path(work, "relay.txt")
            run_tool(win_store, trace)
            counts.append(_relay_counts(trace, symbols))
            trace.unlink()
    items = large[0] - small[0]
    per_item = {k: (counts[1][k] - counts[0][k]) / items for k in set(counts[0]) | set(counts[1])}
    return {k: v for k, v in per_item.items() if v > 0}


_CALL = re.compile(rb"^[0-9a-f]+:Call ([A-Za-z0-9_]+\.[A-Za-z0-9_]+)\(.*\) ret=(14[0-9a-f]{7})$")


def _relay_counts(trace, symbols):
    counts = Counter()
    with open(trace, "rb") as f:
        for line in f:
            if b":Call " not in line:
                continue
            m = _CALL.match(line.rstrip())
            if m:
                counts[(m.group(1).decode(), symbols.name(int(m.group(2), 16)))] += 1
    return counts


def calls_markdown(per_item, limit=14):
    """The most frequent calls per item with the functions that make most of them."""
    by_call, callers = Counter(), {}
    for (call, caller), n in per_item.items():
        by_call[call] += n
        callers.setdefault(call, Counter())[caller] += n
    crt = sum(n for call, n in by_call.items() if call.startswith("msvcrt."))
    lines = ["| Win32 call from Vondrel.exe | calls per item | mostly from |", "|---|---:|---|"]
    for call, n in [(c, n) for c, n in by_call.most_common() if not c.startswith("msvcrt.")][:limit]:
        top = ", ".join("%s %.0f" % (short(name), k) for name, k in callers[call].most_common(2) if k >= 0.5)
        lines.append("| %s | %.0f | %s |" % (call, n, top))
    lines.append("| msvcrt.* (memcpy, malloc, free, wcslen, ...) | %.0f | |" % crt)
    return lines


def short(name):
    """A demangled name without its parameter list and anonymous namespace."""
    return name.replace("(anonymous namespace)::", "").replace("vondrel::", "").split("(")[0]
