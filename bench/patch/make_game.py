#!/usr/bin/env python3
"""Writes the patch benchmark's game and patch: loose files for the eleven packed folders
(packed afterwards by run.sh) and, for version 1, new copies of about PATCH_PERCENT of them
plus a few new files and a deletion list, laid out as the patch server publishes them.
The same arguments always give the same bytes.

usage: make_game.py GAME SERVER TOTAL_MB FILES PATCH_PERCENT
"""
import os
import random
import sys

FOLDERS = ["actor", "monster", "map", "resource", "sfx", "skill", "item", "etc", "interface", "wear", "minimap"]
EXTENSIONS = [".msh", ".dds", ".ogg", ".txt", ".ani", ".dat"]


def folder_of(key):
    return "map/minimap/" if key == "minimap" else key + "/"


class Content:
    """File bodies from incompressible to very repetitive, like game data."""

    def __init__(self, rng):
        self.rng = rng
        words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 10)))
                 for _ in range(3000)]
        lines = []
        for _ in range(20000):
            lines.append(" ".join(rng.choice(words) for _ in range(rng.randint(3, 12))) + f" {rng.randint(0, 99999)}\n")
        self.text = "".join(lines).encode()

    def make(self, size):
        kind = self.rng.random()
        if kind < 0.35:  # compressed media: incompressible
            return self.rng.randbytes(size)
        if kind < 0.7:  # scripts and tables
            start = self.rng.randrange(0, len(self.text) - 1)
            body = (self.text[start:] + self.text) * (size // len(self.text) + 2)
            return body[:size]
        # meshes and textures: runs of noise and structure
        out = bytearray()
        while len(out) < size:
            n = self.rng.randint(256, 4096)
            out += self.rng.randbytes(n) if self.rng.random() < 0.5 else bytes([self.rng.randrange(256)]) * n
        return bytes(out[:size])


def sizes(rng, count, total):
    # Mostly small files, some large, capped below the 10 MiB pack limit.
    raw = [rng.lognormvariate(0, 1.3) for _ in range(count)]
    scale = total / sum(raw)
    return [max(1024, min(10 * 1024 * 1024, int(r * scale))) for r in raw]


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def main():
    game, server, total_mb, files, percent = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), float(sys.argv[5])
    rng = random.Random(20261208)
    content = Content(rng)
    per_folder = max(1, files // len(FOLDERS))
    patch = {key: [] for key in FOLDERS}
    deletions = []
    patched = 0
    for key in FOLDERS:
        names = [f"{key}{i:05d}{rng.choice(EXTENSIONS)}" for i in range(per_folder)]
        for name, size in zip(names, sizes(rng, per_folder, total_mb * 1024 * 1024 // len(FOLDERS))):
            write(os.path.join(game, folder_of(key), name), content.make(size))
        chosen = rng.sample(names, max(1, int(per_folder * percent / 100)))
        for name in chosen:
            patch[key].append((name, content.make(rng.randint(2 * 1024, 512 * 1024))))
        patch[key].append((f"{key}-new.dat", content.make(64 * 1024)))
        patched += len(chosen)
        survivors = [n for n in names if n not in chosen]
        deletions.append(folder_of(key).rstrip("/").replace("/", "\\") + "\\" + survivors[0])
    write(os.path.join(game, "etc/item.edp"), content.make(200 * 1024))
    write(os.path.join(game, "etc/usercontroll.edt"), content.make(4 * 1024))

    # The minimap's files travel in the map archive, under "minimap/".
    for name, data in patch.pop("minimap"):
        patch["map"].append(("minimap/" + name, data))
    listing = ["CUR_VERSION = 1", "[VERSION = 1]"]
    for key, entries in patch.items():
        for name, data in entries:
            write(os.path.join(server, "stage", key, name), data)
        listing.append(f"{key}={key}_1.zip")
    listing.append("DELETED=deleted_1.txt")
    listing.append("[VERSION = 2]")
    write(os.path.join(server, "deleted_1.txt"), ("\r\n".join(deletions) + "\r\n").encode())
    write(os.path.join(server, "version.ini"), ("\r\n".join(listing) + "\r\n").encode())
    print(f"{per_folder * len(FOLDERS)} files, {total_mb} MB in {len(FOLDERS)} folders; "
          f"patch replaces {patched}, adds {len(FOLDERS)}, deletes {len(deletions)}")


if __name__ == "__main__":
    main()
