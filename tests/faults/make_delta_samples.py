#!/usr/bin/env python3
"""Writes the delta fault tests' samples into OUT with the host encoder TOOL: for each pair an
old and a new version of a "rebuilt" file (the same random base, spans rewritten, bytes put in
at both ends) and the delta between them.

    make_delta_samples.py OUT TOOL
    make_delta_samples.py OUT TOOL --pair NAME OLD NEW    (NAME.zdelta from two given files)
"""
import os
import random
import subprocess
import sys


def rebuilt(size, seed):
    old = random.Random(seed).randbytes(size)
    rng = random.Random(seed + 1)
    new = bytearray(old)
    for _ in range(24):
        at = rng.randrange(size - 600)
        new[at:at + 500] = rng.randbytes(500)
    return old, rng.randbytes(700) + bytes(new) + rng.randbytes(300)


def encode(tool, out, old, new, delta):
    subprocess.run([tool, "encode", os.path.join(out, old), os.path.join(out, new),
                    os.path.join(out, delta)], check=True, timeout=240)


def main(out, tool):
    os.makedirs(out, exist_ok=True)
    # "engine" for the faults of one run; "large" for a kill while its delta is applied.
    for name, size in (("engine", (1 << 20) + 300000), ("large", 24 << 20)):
        old, new = rebuilt(size, len(name))
        for suffix, data in ((".old", old), (".new", new)):
            with open(os.path.join(out, name + suffix), "wb") as f:
                f.write(data)
        encode(tool, out, name + ".old", name + ".new", name + ".zdelta")
        if name != "engine":
            continue
        # A delta from the same old version to other bytes of the new one's length.
        other = bytearray(new)
        other[len(other) // 2] ^= 0xFF
        with open(os.path.join(out, name + ".other"), "wb") as f:
            f.write(other)
        encode(tool, out, name + ".old", name + ".other", name + ".other.zdelta")
    return 0


if __name__ == "__main__":
    if len(sys.argv) == 7 and sys.argv[3] == "--pair" and sys.argv[2]:
        os.makedirs(sys.argv[1], exist_ok=True)
        encode(sys.argv[2], sys.argv[1], os.path.abspath(sys.argv[5]), os.path.abspath(sys.argv[6]),
               sys.argv[4] + ".zdelta")
        sys.exit(0)
    if len(sys.argv) != 3 or not sys.argv[2]:
        sys.exit("usage: make_delta_samples.py OUT TOOL (the host encoder)")
    sys.exit(main(sys.argv[1], sys.argv[2]))
