"""What the component benchmarks share: the project prefix's Wine environment and Windows paths, from
the helper the tests use too."""
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))
import wine_prefix  # noqa: E402


def wine_env():
    return wine_prefix.wine_env(ROOT / "build" / "wine")


def winpath(path):
    """A Unix path as Wine's Z: drive shows it."""
    return wine_prefix.z_path(path)


def warm_up():
    """A persistent wineserver and one warm-up process, so that every measured start is a warm one.
    Both outlive the command and would hold a caller's pipes open (a captured output would never
    end), so they get none."""
    for command in (["wineserver", "-p"], ["wine", "cmd", "/c", "exit"]):
        subprocess.run(command, env=wine_env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
