"""The benchmark's own Wine prefix (build/bench-wine): the tool's data folder there is the bench's
alone, so a test run elsewhere cannot reset it under a measurement, and its wineserver serves only the
bench's processes. Made once like the project prefix: wineboot, the test CA in the Root store, the
agent's folder."""
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests"))
import wine_prefix  # noqa: E402

PREFIX = ROOT / "build" / "bench-wine"
READY = PREFIX / ".vondrel-ready"
DRIVE_C = PREFIX / "drive_c"
NORVANE = DRIVE_C / "ProgramData" / "Norvane"
DATA = NORVANE / "Vondrel"
CA_DER = ROOT / "tests" / "pki" / "ca.der"
AGENT_KEY = r"HKLM\SOFTWARE\Kelmar Group\KVR\Shared Components\Framework"
AGENT_GUID = "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}"


def wine_env():
    return wine_prefix.wine_env(PREFIX)


def winpath(path):
    """A Unix path as the prefix shows it: C: inside drive_c, Z: elsewhere."""
    return wine_prefix.winpath(path, DRIVE_C)


def wine(*args, check=True):
    result = subprocess.run(["wine", *map(str, args)], env=wine_env(), stdin=subprocess.DEVNULL,
                            capture_output=True)
    if check and result.returncode != 0:
        raise RuntimeError("wine %s failed (%d): %s" % (args[0], result.returncode, result.stderr.decode(errors="replace")))
    return result


def ensure_prefix(build):
    if not READY.exists():
        print("making the benchmark's Wine prefix %s (once, about 15 s)" % PREFIX, flush=True)
        subprocess.run(["rm", "-rf", str(PREFIX)], check=True)
        quiet(["wineboot", "-i"])
        quiet(["wineserver", "-w"])
        wine(Path(build) / "tools" / "vondrel_install_ca.exe", winpath(CA_DER))
        wine("reg", "add", AGENT_KEY, "/v", "AgentGUID", "/t", "REG_SZ", "/d", AGENT_GUID, "/f", "/reg:32")
        NORVANE.mkdir(parents=True, exist_ok=True)
        READY.touch()
    server_up()


def server_up():
    """A persistent wineserver and one warm-up process, so that every measured start is a warm one."""
    quiet(["wineserver", "-p"])
    quiet(["wine", "cmd", "/c", "exit"])


def server_down():
    quiet(["wineserver", "-k"])


def quiet(command):
    """Wine's helper processes and a persistent wineserver outlive the command and would hold a
    caller's pipes open, so these commands get none."""
    subprocess.run(command, env=wine_env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
