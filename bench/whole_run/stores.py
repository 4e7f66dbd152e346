"""The benchmark's quarantine stores, written by the same independent writers as the end-to-end tests
(Python's sqlite3 for the catalogue, Info-ZIP `zip -P` for every item's backup): one file per item,
each named uniquely, since the tool writes every file at the top of its work folder."""
import random
import shutil
import sys
import time
import uuid
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path[:0] = [str(ROOT / "tests" / "e2e"), str(ROOT / "tests")]

from sample_store import QFile, QItem, make_store  # noqa: E402


@dataclass(frozen=True)
class Case:
    key: str
    items: int
    file_size: int

    @property
    def title(self):
        return "(%s) %d items x %s" % (self.key, self.items, size_text(self.file_size))

    @property
    def total_bytes(self):
        return self.items * self.file_size


CASES = [Case("a", 200, 256 * 1024), Case("b", 5000, 2 * 1024), Case("c", 20, 2560 * 1024)]


def size_text(size):
    if size % (1 << 20) == 0:
        return "%d MiB" % (size >> 20)
    if size >= 1 << 20:
        return "%.1f MiB" % (size / (1 << 20))
    return "%d KiB" % (size >> 10)


_WORDS = [b"quarantine", b"detection", b"sample", b"kernel32", b"GetProcAddress", b"payload", b"section", b".text"]


def file_content(rng, size):
    """Half random bytes, half repetitive text, so that deflate has work on both kinds (an executable
    has some of each); every file differs."""
    random_part = rng.randbytes(size // 2)
    text = bytearray()
    while len(text) < size - len(random_part):
        text += b" ".join(rng.choice(_WORDS) for _ in range(8)) + b" %08x\n" % rng.randrange(1 << 32)
    return random_part + bytes(text[:size - len(random_part)])


def case_items(case, seed=7):
    rng = random.Random("%s-%d" % (case.key, seed))
    items = []
    for i in range(case.items):
        original = "C:\\Users\\bench\\Downloads\\sample%05d.exe" % i
        items.append(QItem(guid=uuid.UUID(int=rng.getrandbits(128), version=4), detection="Trojan.Bench.%d" % i,
                           files=[QFile(original, file_content(rng, case.file_size))]))
    return items


def write_case_store(case, unix_folder, win_folder):
    """Writes the store of a case; returns its items (with their contents, for the checks)."""
    items = case_items(case)
    make_store(unix_folder, win_folder, items)
    return items


_STAMP = "bench-store.txt"
_GENERATOR = "1"  # raise when case_items or the writers change, so that kept stores are written anew


def ensure_case_store(case, unix_folder, win_folder):
    """Writes the case's store unless the same one is already there (its writers are deterministic);
    returns the seconds the writing took, 0 when the store was kept."""
    unix_folder = Path(unix_folder)
    stamp = "%s %s %d %d %s\n" % (_GENERATOR, case.key, case.items, case.file_size, win_folder)
    marker = unix_folder / _STAMP
    if marker.exists() and marker.read_text() == stamp:
        return 0
    if unix_folder.exists():
        shutil.rmtree(unix_folder)
    start = time.perf_counter()
    write_case_store(case, unix_folder, win_folder)
    marker.write_text(stamp)
    return time.perf_counter() - start
