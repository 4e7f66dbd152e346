"""The same submission done with native Linux tools, phase by phase: the catalogue listed with the
sqlite3 CLI, `unzip -P` of each item's backup (one process per backup, as each backup is its own
archive), `md5sum` and `sha256sum` over the restored files (one process each for all files), a small
report, `zip -3 -P` of the results (one process, the archive opened once), the work folder removed,
and a curl PUT of the archive with Basic authentication and the test CA to the same back end."""
import os
import shutil
import subprocess
import time
from pathlib import Path

from archive_password import ARCHIVE_PASSWORD
FILE_QUERY = "SELECT backupFilename FROM BackupFiles WHERE bupOrSql=1;"
ITEM_QUERY = "SELECT guid, creationTime, detectType, detectionName, virusType FROM BackupItems;"
PEER_PHASES = ["listing", "restore", "digests", "report", "pack", "cleanup", "upload"]


def run(command, **kwargs):
    result = subprocess.run(command, capture_output=True, stdin=kwargs.pop("stdin", subprocess.DEVNULL), **kwargs)
    if result.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (command[0], result.returncode,
                                                     (result.stderr or result.stdout).decode(errors="replace")))
    return result.stdout


class PeerPipeline:
    def __init__(self, store, win_store, scratch, url, user, password, ca):
        self.store = Path(store)
        self.win_store = win_store.rstrip("\\")
        self.scratch = Path(scratch)
        self.url = url
        self.user = user
        self.password = password
        self.ca = ca

    def unix_backup(self, win_path):
        """A backup path as the catalogue holds it (inside the store's Windows folder) on the Linux side."""
        relative = win_path[len(self.win_store):].lstrip("\\")
        return self.store.joinpath(*relative.split("\\"))

    def run_once(self, name):
        """One submission; returns (seconds per phase, archive bytes, digests {file name: (md5, sha256)})."""
        work = self.scratch / name
        archive = self.scratch / (name + ".zip")
        work.mkdir(parents=True)
        times = {}

        def phase(key, action):
            start = time.perf_counter()
            value = action()
            times[key] = time.perf_counter() - start
            return value

        backups = phase("listing", self._list)
        phase("restore", lambda: self._extract(backups, work))
        digests = phase("digests", lambda: self._digests(work))
        phase("report", lambda: self._report(work, len(digests)))
        phase("pack", lambda: self._pack(work, archive))
        size = archive.stat().st_size
        phase("cleanup", lambda: shutil.rmtree(work))
        phase("upload", lambda: self._upload(archive, name + ".zip"))
        archive.unlink()
        return times, size, digests

    def _list(self):
        database = str(self.store / "Quarantine.db")
        run(["sqlite3", "-readonly", database, ITEM_QUERY])
        return [self.unix_backup(line) for line in run(["sqlite3", "-readonly", database, FILE_QUERY]).decode().split("\n")
                if line]

    def _extract(self, backups, work):
        for backup in backups:
            run(["unzip", "-q", "-j", "-n", "-P", ARCHIVE_PASSWORD, str(backup), "-d", str(work)])

    def _digests(self, work):
        names = sorted(os.listdir(work))
        listing = "\n".join(names).encode()
        md5 = run(["xargs", "-d", "\n", "md5sum", "--"], cwd=work, input=listing, stdin=None)
        sha = run(["xargs", "-d", "\n", "sha256sum", "--"], cwd=work, input=listing, stdin=None)
        (work / "digests.txt").write_bytes(md5 + sha)
        return merge_digests(md5, sha)

    def _report(self, work, count):
        (work / "report.xml").write_text("<report><files>%d</files></report>\n" % count)

    def _pack(self, work, archive):
        names = "\n".join(sorted(os.listdir(work))).encode()
        run(["zip", "-q", "-3", "-P", ARCHIVE_PASSWORD, str(archive), "-@"], cwd=work, input=names, stdin=None)

    def _upload(self, archive, name):
        run(["curl", "-sS", "--fail", "-X", "PUT", "--data-binary", "@" + str(archive), "--cacert", str(self.ca),
             "-u", "%s:%s" % (self.user, self.password), "-H", "Content-Type: application/octet-stream",
             "%s/%s" % (self.url, name)])


def merge_digests(md5_output, sha_output):
    """{file name: (md5, sha256)} from the two tools' output lines "digest  name"."""
    def parse(output):
        return dict(reversed(line.split("  ", 1)) for line in output.decode().splitlines() if line)
    md5, sha = parse(md5_output), parse(sha_output)
    return {name: (md5[name], sha[name]) for name in md5}
