"""The Wine environment the tests and benchmarks run Windows programs in: a prefix with the settings of
scripts/wine.env (which scripts/lib.sh exports as well), and paths as a prefix shows them."""
import os
from pathlib import Path

WINE_SETTINGS_FILE = Path(__file__).resolve().parents[1] / "scripts" / "wine.env"


def _read_settings():
    values = {}
    for line in WINE_SETTINGS_FILE.read_text().splitlines():
        line = line.strip()
        if line and not line.startswith("#"):
            name, _, value = line.partition("=")
            values[name] = value.strip('"')
    return values


WINE_SETTINGS = _read_settings()


def wine_env(prefix, base=None):
    """The environment (this process's, or base) with the prefix and the project's Wine settings."""
    env = dict(os.environ if base is None else base)
    env.update(WINE_SETTINGS, WINEPREFIX=str(prefix))
    return env


def z_path(path):
    """A Unix path as Wine's Z: drive shows it, taken as it is written."""
    return "Z:" + str(path).replace("/", "\\")


def winpath(path, drive_c=None):
    """A Unix path as the prefix shows it: C: inside its drive_c, Z: elsewhere."""
    path = Path(path).resolve()
    if drive_c is not None:
        try:
            return "C:\\" + str(path.relative_to(drive_c)).replace("/", "\\")
        except ValueError:
            pass
    return z_path(path)
