"""Writes a catalogue's BackupFiles table the way the anti-malware product fills it, with the odd
values a file entry has to cope with: files.db in the given folder."""
import os
import sqlite3
import sys

GUID = "6a2f0c3e-5d41-4b7a-9e08-1c2d3e4f5a6b"

# guid, itemIndex, bupOrSql, originalPath, backupFilename, size, createTime, modifyTime, accessTime,
# actorProcessName, isCreated, FileAttribute
ROWS = [
    (GUID, 0, 1, "C:\\Users\\a\\Docs\\report.doc", "C:\\Quarantine\\quarantine\\x.zip", 3,
     132537600000000000, -1, 0, "C:\\Windows\\System32\\cmd.exe", 0, 32),
    (GUID, 1, 1, "D:\\x/y\\z.bin", "C:\\Quarantine\\quarantine\\x.zip", 0,
     9223372036854775807, -9223372036854775808, 42, None, 0, 32),
    (GUID, 2, 1, None, "C:\\Quarantine\\quarantine\\x.zip", 0,
     "123", 1.5, None, "\\\\server\\share\\tool.exe", 0, 32),
    (GUID, 3, 2, "C:\\Temp\\caf\u00e9.txt", "C:\\Quarantine\\b.bup", 14,
     1, 2, 3, "", 0, 32),
    (GUID, 4, 1, "plain.txt", "C:\\Quarantine\\quarantine\\x.zip", 1,
     5, 6, 7, "C:/already/forward.exe", 0, 32),
]


def main(folder):
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "files.db")
    if os.path.exists(path):
        os.remove(path)
    db = sqlite3.connect(path)
    db.execute("CREATE TABLE BackupFiles(guid, itemIndex, bupOrSql, originalPath, backupFilename, size, "
               "createTime, modifyTime, accessTime, actorProcessName, isCreated, FileAttribute);")
    db.executemany("INSERT INTO BackupFiles VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", ROWS)
    db.commit()
    db.close()


if __name__ == "__main__":
    main(sys.argv[1])
