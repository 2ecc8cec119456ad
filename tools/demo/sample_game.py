#!/usr/bin/env python3
"""The demo's sample game: a few files in nested folders, the launcher and a stand-in client.

    sample_game.py GAME_DIR LAUNCHER_EXE CLIENT_EXE [--change-one]

Writes GAME_DIR from scratch (the same bytes every time), or with --change-one rewrites only
config/version.txt with the next build number, so that a republish changes exactly one file.
"""
import os
import random
import shutil
import sys

CHANGED = "config/version.txt"


def write(game, path, data):
    full = os.path.join(game, *path.split("/"))
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with open(full, "wb") as f:
        f.write(data)


def build_number(game):
    try:
        with open(os.path.join(game, *CHANGED.split("/"))) as f:
            return int(f.read().split()[-1])
    except (OSError, ValueError, IndexError):
        return 0


def main(argv):
    if len(argv) not in (4, 5) or (len(argv) == 5 and argv[4] != "--change-one"):
        print(__doc__, file=sys.stderr)
        return 2
    game, launcher, client = argv[1:4]
    if len(argv) == 5:
        build = build_number(game) + 1
        write(game, CHANGED, f"Zarvo Vestra demo build {build}\n".encode())
        print(f"sample_game: {CHANGED} now says build {build}")
        return 0

    if os.path.exists(game):
        shutil.rmtree(game)
    rnd = random.Random(2024)
    with open(launcher, "rb") as f:
        write(game, "Zarvo Vestra.exe", f.read())
    with open(client, "rb") as f:
        write(game, "rovezuzav.exe", f.read())
    write(game, CHANGED, b"Zarvo Vestra demo build 1\n")
    write(game, "config/servers.cfg", b"eu = game-eu.example:7000\nam = game-am.example:7000\n")
    write(game, "data/maps/zona1.map", rnd.randbytes(300_000))
    write(game, "data/maps/zona2.map", rnd.randbytes(180_000))
    write(game, "data/pak0.pak", rnd.randbytes(4 * 1024 * 1024))
    write(game, "data/textures/árbol.dds", rnd.randbytes(65_536))
    write(game, "música/créditos.txt", "Música: el equipo de Zarvo Vestra\n".encode())
    count = sum(len(names) for _, _, names in os.walk(game))
    print(f"sample_game: {count} files in {game}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
