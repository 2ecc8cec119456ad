"""Makes a rebuilt-like pair from a real executable for the decoder's test under Wine.

    make_pair.py EXE OUTDIR ZARVO_DELTA

old.bin is the executable; new.bin is it with bytes inserted and removed and a pointer in
every 64 bytes of its second half moved, as a relink moves them; pair.zd is the delta between
them made by the host tool.
"""
import pathlib
import subprocess
import sys


def main():
    exe, outdir, tool = sys.argv[1:4]
    out = pathlib.Path(outdir)
    out.mkdir(parents=True, exist_ok=True)
    old = pathlib.Path(exe).read_bytes()
    new = bytearray(old)
    for i in range(len(new) // 2, len(new) - 8, 64):
        new[i] = (new[i] + 0x40) & 0xFF
    third = len(new) // 3
    new[third:third] = bytes(range(200))
    del new[2 * third:2 * third + 150]
    (out / "old.bin").write_bytes(old)
    (out / "new.bin").write_bytes(bytes(new))
    subprocess.run([tool, "encode", str(out / "old.bin"), str(out / "new.bin"),
                    str(out / "pair.zd")], check=True, timeout=120)


if __name__ == "__main__":
    main()
