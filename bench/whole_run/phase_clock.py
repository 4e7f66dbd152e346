"""Times the phases of one tool run from the outside, finer than the log's one-second stamps: a thread
blocked on Linux inotify (through ctypes, no extra package) notes the moment each marker appears: a
log line in log.txt, and the work folder, the metadata file, the report and the archive in the upload
folder. Wine writes straight into the Linux file system, so the events arrive as the tool acts; the
observer sleeps in the kernel between them and reads only what the log gained."""
import ctypes
import os
import re
import select
import struct
import threading
import time
from pathlib import Path

IN_MODIFY = 0x002
IN_CLOSE_WRITE = 0x008
IN_CREATE = 0x100
IN_DELETE = 0x200
IN_ISDIR = 0x40000000
IN_CLOEXEC = 0o2000000
_EVENT = struct.Struct("iIII")

# Log lines that open or close a phase (the tool's own texts; a line starts with its time stamp).
STARTING = "Starting Vondrel.exe utility"
OPENED = "Successfully opened quarantine backup "
ZIPPED = "Successfully zipped folder "
UPLOADING = "Uploading file "
UPLOADED = "Successfully uploaded file "
DELETED = "Successfully deleted zip file "
STOPPING = "Stopping Vondrel.exe utility"
LOG_MARKERS = (STARTING, OPENED, ZIPPED, UPLOADING, UPLOADED, DELETED, STOPPING)
_STAMP = re.compile(r"^\d{1,2}:\d{1,2}:\d{1,2} \d{1,2}-\d{1,2}-\d{4} ")

METADATA = "quarantined_metadata.json"
REPORT = "Ostrel.xml"
WORK_PREFIX = "vdrel_"

# (name, from marker, to marker); "spawn" and "exit" are the bench's own clock readings around the
# process.
PHASES = [
    ("start", "spawn", STARTING),          # Wine starts agent and tool, the launcher and rights checks
    ("open", STARTING, OPENED),            # command line, folders, catalogue open and schema check
    ("listing", OPENED, METADATA),         # GetItems: the item query and every item's own queries
    ("restore", METADATA, REPORT),         # per item: its queries, unzip, write, digests, metadata, log
    ("report", REPORT, "archive"),         # Ostrel.xml and the first file's CRC pass
    ("pack", "archive", ZIPPED),           # AddFileToZip for every file of the work folder
    ("cleanup", ZIPPED, UPLOADING),        # the work folder removed
    ("upload", UPLOADING, UPLOADED),       # proxy choice, HEAD and PUT over TLS
    ("finish", UPLOADED, "exit"),          # sent-item cache, archive deleted, process ends
]


class _Inotify:
    def __init__(self):
        self._libc = ctypes.CDLL("libc.so.6", use_errno=True)
        self.fd = self._libc.inotify_init1(IN_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        self._paths = {}

    def watch(self, path, mask):
        wd = self._libc.inotify_add_watch(self.fd, os.fsencode(path), mask)
        if wd < 0:
            raise OSError(ctypes.get_errno(), "inotify_add_watch", str(path))
        self._paths[wd] = Path(path)
        return wd

    def events(self):
        """Every event waiting now, as (folder, name, mask)."""
        data = os.read(self.fd, 1 << 20)
        offset = 0
        while offset < len(data):
            wd, mask, _cookie, length = _EVENT.unpack_from(data, offset)
            offset += _EVENT.size
            name = data[offset:offset + length].rstrip(b"\0").decode("utf-8", "replace")
            offset += length
            folder = self._paths.get(wd)
            if folder is not None:
                yield folder, name, mask

    def close(self):
        os.close(self.fd)


class PhaseClock:
    """Marker times (time.perf_counter) of one run. The data folder and its upload folder must exist
    before start(); the log may grow from any size."""

    def __init__(self, data_folder):
        self.data = Path(data_folder)
        self.upload = self.data / "Upload"
        self.log = self.data / "log.txt"
        self.marks = {}
        self.files_restored = 0
        self._log_offset = self.log.stat().st_size if self.log.exists() else 0
        self._log_rest = b""
        self._inotify = _Inotify()
        self._stop_read, self._stop_write = os.pipe()
        self._thread = threading.Thread(target=self._loop, daemon=True)

    def start(self):
        self._inotify.watch(self.data, IN_MODIFY | IN_CLOSE_WRITE)
        self._inotify.watch(self.upload, IN_CREATE | IN_DELETE)
        self._thread.start()
        return self

    def mark(self, name):
        self.marks.setdefault(name, time.perf_counter())

    def stop(self):
        """Ends the observation after the process has ended; reads what is left of the log."""
        os.write(self._stop_write, b"x")
        self._thread.join()
        self._read_log(time.perf_counter())
        self._inotify.close()
        os.close(self._stop_read)
        os.close(self._stop_write)

    def phases(self):
        """Seconds per phase; None where a marker was not seen (for example no upload in a failed run)."""
        out = {}
        for name, begin, end in PHASES:
            if begin in self.marks and end in self.marks:
                out[name] = self.marks[end] - self.marks[begin]
            else:
                out[name] = None
        return out

    def _loop(self):
        while True:
            ready, _, _ = select.select([self._inotify.fd, self._stop_read], [], [])
            if self._stop_read in ready:
                return
            now = time.perf_counter()
            log_changed = False
            for folder, name, mask in self._inotify.events():
                if folder == self.data:
                    log_changed = log_changed or name == self.log.name
                else:
                    self._folder_event(folder, name, mask, now)
            if log_changed:
                self._read_log(now)

    def _folder_event(self, folder, name, mask, now):
        if folder == self.upload:
            self._upload_event(name, mask, now)
            return
        if not mask & IN_CREATE:
            return
        if name == METADATA:
            self.marks.setdefault(METADATA, now)
        elif name == REPORT:
            self.marks.setdefault(REPORT, now)
        else:
            self.files_restored += 1

    def _upload_event(self, name, mask, now):
        if not name.startswith(WORK_PREFIX):
            return
        created = bool(mask & IN_CREATE)
        if mask & IN_ISDIR:
            if created:
                self.marks.setdefault("work folder", now)
                self._watch_work_folder(self.upload / name, now)
            else:
                self.marks.setdefault("work folder removed", now)
        elif name.endswith(".zip"):
            self.marks.setdefault("archive" if created else "archive deleted", now)

    def _watch_work_folder(self, folder, now):
        try:
            self._inotify.watch(folder, IN_CREATE)
        except OSError:
            return  # already gone: a run that failed at once
        # What was created before the watch took hold counts from now.
        for entry in os.listdir(folder):
            self._folder_event(folder, entry, IN_CREATE, now)

    def _read_log(self, now):
        if not self.log.exists():
            return
        with open(self.log, "rb") as f:
            f.seek(self._log_offset)
            data = f.read()
        self._log_offset += len(data)
        lines = (self._log_rest + data).split(b"\r\n")
        self._log_rest = lines.pop()
        for raw in lines:
            self._log_line(raw.decode("latin-1"), now)

    def _log_line(self, line, now):
        stamp = _STAMP.match(line)
        message = line[stamp.end():] if stamp else line
        for marker in LOG_MARKERS:
            if message.startswith(marker):
                self.marks.setdefault(marker, now)
