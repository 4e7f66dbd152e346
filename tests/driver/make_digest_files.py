"""Writes files of the sizes around the digests' block boundaries and, beside them, what coreutils
md5sum and sha256sum say about each: expected.txt holds "name md5 sha256" per line. The folder edges/
holds more of them, around the padding's one- and two-block edges and the tool's 256 KiB reads."""
import os
import random
import subprocess
import sys

SIZES = [0, 1, 55, 56, 63, 64, 4095, 4096, 4097, 1024 * 1024 + 1]
READ = 256 * 1024
EDGE_SIZES = [57, 65, 111, 112, 119, 120, 127, 128, 129, 183, 184, 191, 192, 193,
              READ - 1, READ, READ + 1, 3 * READ + 119]


def digest(tool, path):
    out = subprocess.run([tool, "--binary", path], check=True, capture_output=True, text=True).stdout
    return out.split()[0]


def write_files(folder, sizes, rng):
    os.makedirs(folder, exist_ok=True)
    lines = []
    for size in sizes:
        name = f"size_{size}.bin"
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            f.write(bytes(rng.getrandbits(8) for _ in range(size)))
        lines.append(f"{name} {digest('md5sum', path)} {digest('sha256sum', path)}\n")
    with open(os.path.join(folder, "expected.txt"), "w", newline="\n") as f:
        f.writelines(lines)


def main(folder):
    rng = random.Random(20261210)
    write_files(folder, SIZES, rng)
    write_files(os.path.join(folder, "edges"), EDGE_SIZES, rng)


if __name__ == "__main__":
    main(sys.argv[1])
