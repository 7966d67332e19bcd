#!/usr/bin/env python3
"""A game folder as the game client sees it, read without any of the launcher's code.

    game-folder-view.py view FOLDER PASSWORD [EXCLUDED...]
        One line per item, sorted:
            file PATH MODE SHA256      a regular file outside any pack (MODE in octal)
            entry PATH SHA256          an entry of a folder's pack, PATH = the folder / the entry
            folder PATH                an empty folder
            other PATH                 anything else (a link, a device)
            damaged PATH REASON        a pack that cannot be read whole
        A folder's pack is the file FOLDER/NAME/NAME.QPAK. Entry names are code page 949, as the
        game reads them; the entries are decrypted with PASSWORD and their CRC checked. EXCLUDED
        names below FOLDER ("version.ini", "update") are left out.

    game-folder-view.py locate PACK NAME PASSWORD
        "OFFSET LENGTH": where the stored bytes of entry NAME lie in PACK.
"""

import hashlib
import os
import stat
import struct
import sys
import zipfile


def open_pack(path):
    return zipfile.ZipFile(path, metadata_encoding="cp949")


def pack_lines(path, relative_folder, password):
    prefix = relative_folder + "/"
    try:
        with open_pack(path) as pack:
            lines = []
            for info in pack.infolist():
                data = pack.read(info, pwd=password)
                lines.append(f"entry {prefix}{info.filename} {hashlib.sha256(data).hexdigest()}")
            return lines
    except Exception as error:  # any fault of the pack is a difference to show, not a crash
        return [f"damaged {relative_folder}/{os.path.basename(path)} {type(error).__name__}: {error}"]


def view(folder, password, excluded):
    lines = []
    folder = os.path.abspath(folder)
    for current, folders, files in os.walk(folder):
        relative_current = os.path.relpath(current, folder)
        relative_current = "" if relative_current == "." else relative_current
        if relative_current == "":
            folders[:] = [name for name in folders if name not in excluded]
            files = [name for name in files if name not in excluded]
        if not folders and not files and relative_current:
            lines.append(f"folder {relative_current}")
        for name in folders:
            path = os.path.join(current, name)
            if os.path.islink(path):
                lines.append(f"other {os.path.join(relative_current, name)}")
        for name in files:
            path = os.path.join(current, name)
            relative = os.path.join(relative_current, name)
            info = os.lstat(path)
            if not stat.S_ISREG(info.st_mode):
                lines.append(f"other {relative}")
            elif relative_current and name == os.path.basename(current) + ".QPAK":
                lines.extend(pack_lines(path, relative_current, password))
            else:
                with open(path, "rb") as f:
                    digest = hashlib.sha256(f.read()).hexdigest()
                lines.append(f"file {relative} {stat.S_IMODE(info.st_mode):04o} {digest}")
    return sorted(lines)


def locate(pack_path, name, password):
    with open_pack(pack_path) as pack:
        info = pack.getinfo(name)
    with open(pack_path, "rb") as f:
        f.seek(info.header_offset)
        header = f.read(30)
    name_length, extra_length = struct.unpack("<HH", header[26:30])
    return info.header_offset + 30 + name_length + extra_length, info.compress_size


def main(arguments):
    if len(arguments) >= 3 and arguments[0] == "view":
        for line in view(arguments[1], arguments[2].encode(), set(arguments[3:])):
            print(line)
        return 0
    if len(arguments) == 4 and arguments[0] == "locate":
        offset, length = locate(arguments[1], arguments[2], arguments[3].encode())
        print(offset, length)
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
