"""The test build's endpoint and upload credentials as its configuration wrote them into
build/generated/upload_settings.json, so that the tests and benchmarks check what the servers receive
against the values built into the program. Only the Test configuration writes that file.

    from upload_settings import USER, PASSWORD         # of the build the tests run against
    user, password = credentials(build_dir)            # of another build
"""
import json
import os
from pathlib import Path

_DEFAULT_BUILD = Path(__file__).resolve().parents[1] / "build"


def settings(build_dir=None):
    """{"endpoint": ..., "user": ..., "password": ...} of the build (the tests' build by default)."""
    if build_dir is None:
        build_dir = os.environ.get("VONDREL_BINARY_DIR") or os.environ.get("VONDREL_BUILD") or _DEFAULT_BUILD
    path = Path(build_dir) / "generated" / "upload_settings.json"
    if not path.exists():
        raise RuntimeError(f"{path} is missing: the tests need a build of the Test configuration "
                           "(VONDREL_CONFIG=Test, what scripts/build makes)")
    return json.loads(path.read_text())


def credentials(build_dir=None):
    values = settings(build_dir)
    return values["user"], values["password"]


def __getattr__(name):
    # USER and PASSWORD are read when first imported, so that importing credentials() alone needs no
    # build of the default folder.
    if name == "USER":
        return credentials()[0]
    if name == "PASSWORD":
        return credentials()[1]
    raise AttributeError(name)
