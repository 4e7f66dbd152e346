"""What the component benchmarks share: the project prefix's Wine environment and Windows paths."""
import os
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def wine_env():
    env = dict(os.environ)
    env.update(WINEPREFIX=str(ROOT / "build" / "wine"), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
               WINEARCH="win64")
    return env


def winpath(path):
    """A Unix path as Wine's Z: drive shows it."""
    return "Z:" + str(path).replace("/", "\\")
