#!/usr/bin/python3
"""Writes the catalogues of the listing's equivalence test under the given directory: "store" holds the
store tests' catalogues (make_catalogues.py), "hostile" the catalogue of every case of the hostile
corpus (with its plain companion item, as the whole-run suite writes it), each in a folder of its own. Only the catalogues matter there: legacy backup files are left as empty stand-ins,
so that no Windows helper is needed (the few cases that patch such a file keep the rows they wrote
before the patch)."""
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[3]
sys.path[:0] = [str(ROOT / "tests" / "e2e"), str(ROOT / "tests")]

from hostile.corpus import Store, cases  # noqa: E402
from sample_store import QFile, QItem  # noqa: E402


def stand_in_bup(unix_path, details, contents):
    Path(unix_path).write_bytes(b"")
    return Path(unix_path)


def main():
    out = Path(sys.argv[1])
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    subprocess.run([sys.executable, str(Path(__file__).with_name("make_catalogues.py")), str(out / "store")],
                   check=True)
    for case in cases():
        store = Store(out / "hostile" / case.name, stand_in_bup)
        try:
            case.build(store)
        except AssertionError:
            pass  # a patch of a real legacy backup found the stand-in; the rows written so far stay
        if case.companion:
            store.add(QItem(files=[QFile("C:\\Users\\u\\companion.bin", b"a plain sample beside the hostile one")]))
        store.close()


if __name__ == "__main__":
    main()
