"""Writes files of the sizes around the digests' block boundaries and, beside them, what coreutils
md5sum and sha256sum say about each: expected.txt holds "name md5 sha256" per line."""
import os
import random
import subprocess
import sys

SIZES = [0, 1, 55, 56, 63, 64, 4095, 4096, 4097, 1024 * 1024 + 1]


def digest(tool, path):
    out = subprocess.run([tool, "--binary", path], check=True, capture_output=True, text=True).stdout
    return out.split()[0]


def main(folder):
    os.makedirs(folder, exist_ok=True)
    rng = random.Random(20261210)
    lines = []
    for size in SIZES:
        name = f"size_{size}.bin"
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            f.write(bytes(rng.getrandbits(8) for _ in range(size)))
        lines.append(f"{name} {digest('md5sum', path)} {digest('sha256sum', path)}\n")
    with open(os.path.join(folder, "expected.txt"), "w", newline="\n") as f:
        f.writelines(lines)


if __name__ == "__main__":
    main(sys.argv[1])
