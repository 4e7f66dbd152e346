#!/usr/bin/python3
"""Lists a catalogue of 10,000 items (one file row and one version row each), written here with
Python's sqlite3 module, through the store: OpenBackup + GetItems + FreeItems in catalogue_bench.exe
under Wine, five times, median. As the peer, Python's sqlite3 runs the same statements (schema
check, item query, and one grouped query per child table: files, registry, custom streams and
versions for all the items' GUID texts at once) and builds the same records, five times, median;
for comparison also with four queries per item, as the store listed before. Prints both figures and their ratio, and for comparison the
store's figure with the listing inside one read transaction (the store itself runs every statement
on its own, so each takes and drops the file's lock, which is costly under Wine).

    bench/catalogue/bench_catalogue.py [build dir]   (default: $VONDREL_BUILD or build/; needs target catalogue_bench)
"""
import json
import os
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
import uuid
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench"))
from benchlib import wine_env, winpath  # noqa: E402
BUILD = Path(sys.argv[1] if len(sys.argv) > 1 else os.environ.get("VONDREL_BUILD", ROOT / "build")).resolve()
TOOL = BUILD / "tools" / "catalogue_bench.exe"
ITEMS, RUNS = 10000, 5

SCHEMA = [
    "CREATE TABLE BackupItems(guid, creationTime, detectType, detectionName, reScannable, virusType, submitted, "
    "additionalInfo);",
    "CREATE TABLE BackupVersions(guid, itemid, scanner, major, minor, creationdate, additional);",
    "CREATE TABLE BackupAttrs(guid, attribute, value);",
    "CREATE TABLE BackupFiles(guid, itemIndex, bupOrSql, originalPath, backupFilename, size, createTime, "
    "modifyTime, accessTime, actorProcessName, isCreated, FileAttribute);",
    "CREATE TABLE BackupCustomStream(guid STRING, data BINARY, name TEXT);",
    "CREATE TABLE BackupRegistry(guid, keyRoot, keyName, valueName, valueType, keyIs64Bit, wasAdded, "
    "registryValue);",
    "CREATE INDEX BackupFiles_idx on BackupFiles (guid, itemIndex );",
    "CREATE INDEX BackupRegistry_idx on BackupRegistry (guid);",
    "CREATE INDEX BackupVersions_idx on BackupVersions (guid,itemid,scanner);",
]
ITEM_QUERY = ("SELECT guid, creationTime, detectType, detectionName, reScannable, virusType, submitted, "
              "additionalInfo FROM BackupItems;")
FILE_QUERY = ("SELECT guid, itemIndex, bupOrSql, originalPath, backupFilename, size, createTime, modifyTime, "
              "accessTime, actorProcessName, isCreated, FileAttribute FROM BackupFiles WHERE guid=?;")
REGISTRY_QUERY = ("SELECT guid, keyRoot, keyName, valueName, valueType, keyIs64Bit, wasAdded, registryValue "
                  "FROM BackupRegistry WHERE guid=?;")
STREAM_QUERY = "SELECT name FROM BackupCustomStream WHERE guid=?;"
VERSION_QUERY = "SELECT guid, itemid, scanner, major, minor, creationdate, additional FROM BackupVersions WHERE guid=?;"


def make_catalogue(folder):
    db = sqlite3.connect(folder / "Quarantine.db")
    for statement in SCHEMA:
        db.execute(statement)
    for i in range(ITEMS):
        guid = str(uuid.UUID(int=(i + 1) * 0x9E3779B97F4A7C15_F39CC0605CEDC835 % (1 << 128)))
        db.execute("INSERT INTO BackupItems VALUES (?, ?, 3, ?, 1, 2, 0, ?)",
                   (guid, "2024-03-%02d 10:%02d:%02d" % (i % 28 + 1, i % 60, i % 60), "Trojan.Bench.%d" % i,
                    b"\x01\x02\x03\x04"))
        db.execute("INSERT INTO BackupFiles VALUES (?, 0, 1, ?, ?, ?, ?, ?, ?, ?, 0, 32)",
                   (guid, "C:\\Users\\u\\Downloads\\sample%05d.exe" % i, "C:\\Quarantine\\quarantine\\%s.zip" % guid,
                    1000 + i, 132000000000000000 + i, 132000000000000001 + i, 132000000000000002 + i,
                    "C:\\Windows\\explorer.exe"))
        db.execute("INSERT INTO BackupVersions VALUES (?, 1, 0, 2, 15, 637600000000000000, 'engine 2.15')", (guid,))
    db.commit()
    db.close()


def text_or_none(value, limit=259):
    return value if isinstance(value, str) and 1 <= len(value) <= limit else None


def number(value):
    return value if isinstance(value, int) else 0


def peer_listing(folder):
    """Four statements per item, as the store listed before, with Python's sqlite3 module."""
    db = sqlite3.connect(folder / "Quarantine.db")
    db.execute("SELECT sql FROM sqlite_master WHERE type='table' AND name='BackupFiles';").fetchall()
    db.execute("SELECT sql FROM sqlite_master WHERE type='table' AND name='BackupItems';").fetchall()
    items = []
    for row in db.execute(ITEM_QUERY).fetchall():
        guid = row[0].lower()
        item = {"guid": uuid.UUID(guid), "detectType": number(row[2]), "detectionName": text_or_none(row[3]),
                "virusType": number(row[5]), "additionalInfo": row[7] if isinstance(row[7], bytes) else None,
                "entries": []}
        files = db.execute(FILE_QUERY, (guid,)).fetchall()
        item["backupPath"] = text_or_none(files[0][4]) if files else None
        for f in files:
            item["entries"].append((1, f[3], [number(f[i]) for i in (5, 6, 7, 8, 10, 11)], text_or_none(f[9])))
        for r in db.execute(REGISTRY_QUERY, (guid,)).fetchall():
            item["entries"].append((2, r[2] + "\\" + r[3]))
        for s in db.execute(STREAM_QUERY, (guid,)).fetchall():
            item["entries"].append((7, s[0]))
        version = db.execute(VERSION_QUERY, (guid,)).fetchall()
        item["version"] = [number(version[0][i]) for i in (1, 3, 4, 5)] + [version[0][6]]
        items.append(item)
    db.close()
    return len(items)


def grouped(query):
    """The query of one item's rows for all the items at once, as the store runs it."""
    columns, rest = query.split(" FROM ", 1)
    table = rest.split(" WHERE ")[0]
    return "%s, k.key FROM json_each(?) AS k CROSS JOIN %s ON %s.guid = k.value;" % (columns, table, table)


def rows_by_key(db, query, keys):
    found = {}
    for row in db.execute(grouped(query), (json.dumps(keys),)).fetchall():
        found.setdefault(row[-1], []).append(row)
    return found


def peer_listing_grouped(folder):
    """The store's statements and records with Python's sqlite3 module: five statements in all."""
    db = sqlite3.connect(folder / "Quarantine.db")
    db.execute("SELECT sql FROM sqlite_master WHERE type='table' AND name='BackupFiles';").fetchall()
    db.execute("SELECT sql FROM sqlite_master WHERE type='table' AND name='BackupItems';").fetchall()
    rows = db.execute(ITEM_QUERY).fetchall()
    keys = list(dict.fromkeys(row[0].lower() for row in rows))
    place = {guid: i for i, guid in enumerate(keys)}
    files, registry, streams, versions = (rows_by_key(db, q, keys)
                                          for q in (FILE_QUERY, REGISTRY_QUERY, STREAM_QUERY, VERSION_QUERY))
    items = []
    for row in rows:
        guid = row[0].lower()
        key = place[guid]
        item = {"guid": uuid.UUID(guid), "detectType": number(row[2]), "detectionName": text_or_none(row[3]),
                "virusType": number(row[5]), "additionalInfo": row[7] if isinstance(row[7], bytes) else None,
                "entries": []}
        item_files = files.get(key, [])
        item["backupPath"] = text_or_none(item_files[0][4]) if item_files else None
        for f in item_files:
            item["entries"].append((1, f[3], [number(f[i]) for i in (5, 6, 7, 8, 10, 11)], text_or_none(f[9])))
        for r in registry.get(key, []):
            item["entries"].append((2, r[2] + "\\" + r[3]))
        for st in streams.get(key, []):
            item["entries"].append((7, st[0]))
        version = versions[key]
        item["version"] = [number(version[0][i]) for i in (1, 3, 4, 5)] + [version[0][6]]
        items.append(item)
    db.close()
    return len(items)


def timed_peer(listing, folder, label):
    times = []
    for i in range(RUNS):
        start = time.perf_counter()
        count = listing(folder)
        times.append(time.perf_counter() - start)
        print("  %s: run %d items %d seconds %.6f" % (label, i + 1, count, times[-1]))
    return statistics.median(times)


def run_tool(folder, label, *mode):
    done = subprocess.run(["wine", str(TOOL), winpath(folder), str(RUNS), *mode], env=wine_env(),
                          capture_output=True, check=True, text=True)
    lines = done.stdout.splitlines()
    print("\n".join("  %s: %s" % (label, line) for line in lines if line.startswith("run")))
    return float(next(line.split()[1] for line in lines if line.startswith("median")))


def main():
    if not TOOL.exists():
        sys.exit("%s is missing: cmake --build %s --target catalogue_bench" % (TOOL, BUILD))
    with tempfile.TemporaryDirectory(prefix="vondrel-catalogue-") as tmp:
        folder = Path(tmp)
        make_catalogue(folder)
        # One open first: it brings nothing up to date (the schema is current), but warms the file cache.
        subprocess.run(["wine", str(TOOL), winpath(folder), "1"], env=wine_env(), capture_output=True, check=True)
        tool = run_tool(folder, "tool")
        snapshot = run_tool(folder, "tool, one read transaction", "snapshot")

        peer = timed_peer(peer_listing_grouped, folder, "peer")
        per_item = timed_peer(peer_listing, folder, "peer, four statements per item")

    print("catalogue of %d items, median of %d:" % (ITEMS, RUNS))
    print("  OpenBackup + GetItems + FreeItems (Wine): %8.1f ms" % (tool * 1000))
    print("  Python sqlite3, same statements:          %8.1f ms" % (peer * 1000))
    print("  Python sqlite3, four statements per item: %8.1f ms" % (per_item * 1000))
    print("  ratio tool / peer:                        %8.2f" % (tool / peer))
    print("  tool with one read transaction:           %8.1f ms  (ratio to peer %.2f)" % (snapshot * 1000,
                                                                                     snapshot / peer))


if __name__ == "__main__":
    main()
