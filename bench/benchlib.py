"""What the component benchmarks share: the project prefix's Wine environment and Windows paths, from
the helper the tests use too."""
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
