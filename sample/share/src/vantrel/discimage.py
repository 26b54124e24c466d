"""The sample's disc image: mastering it and reading files from it.

Layout: 2048-byte sectors.  The first sector holds the magic, a little-endian
u32 format version, a u32 length and that many bytes of JSON, the table of
contents: {"files": [{"name", "offset", "size"}, ...]}.  Each file starts on
a sector boundary.  Mastering is deterministic: the same image, byte for
byte, on every machine.
"""

import hashlib
import json
import os
import struct

MAGIC = b"ORVLDISC"
FORMAT = 1
SECTOR = 2048
IMAGE_NAME = "orvandel.img"

PROGRAM = "ORVL.BIN"
PROGRAM_BLOCKS = 128
PROGRAM_BLOCK_SIZE = 1024
MOVIE_SIZE = 30 * 1024 * 1024

# Sixteen colours for the game to draw with.
_PALETTE = bytes([
    12, 20, 34,    26, 42, 66,    44, 70, 104,   70, 110, 150,
    245, 178, 42,  230, 120, 40,  200, 70, 50,   150, 40, 70,
    60, 140, 90,   100, 180, 110, 160, 210, 130, 220, 230, 170,
    240, 240, 230, 180, 180, 190, 110, 110, 130, 60, 60, 80,
])

_SYSTEM_CNF = (b"TITLE = Orvandel\n"
               b"ID = ORVL-00001\n"
               b"BOOT = ORVL.BIN\n")


class DiscError(Exception):
    pass


def _contents():
    """The files of the disc, in the order they are laid out."""
    return [
        ("SYSTEM.CNF", _SYSTEM_CNF),
        (PROGRAM, hashlib.shake_256(b"orvandel program").digest(
            PROGRAM_BLOCKS * PROGRAM_BLOCK_SIZE)),
        ("DATA/PALETTE.BIN", _PALETTE),
        # Stands in for the video streams that make up most of a real disc.
        ("MOVIES/INTRO.STR", hashlib.shake_256(b"orvandel movie").digest(MOVIE_SIZE)),
    ]


def _padding(size):
    return b"\0" * (-size % SECTOR)


def master(path):
    """Write the disc image to `path`; return its SHA-256 as hex."""
    files = _contents()
    toc, offset = [], SECTOR
    for name, data in files:
        toc.append({"name": name, "offset": offset, "size": len(data)})
        offset += len(data) + len(_padding(len(data)))
    toc_bytes = json.dumps({"files": toc}, sort_keys=True).encode("ascii")
    header = MAGIC + struct.pack("<II", FORMAT, len(toc_bytes)) + toc_bytes
    if len(header) > SECTOR:
        raise DiscError("the table of contents does not fit its sector")

    digest = hashlib.sha256()
    tmp = path + ".part"
    with open(tmp, "wb") as out:
        for chunk in [header + _padding(len(header))] + [
                part for _, data in files for part in (data, _padding(len(data)))]:
            out.write(chunk)
            digest.update(chunk)
    os.replace(tmp, path)
    return digest.hexdigest()


def read_toc(path):
    """The table of contents of the image at `path`, as a name -> (offset, size) dict."""
    with open(path, "rb") as f:
        sector = f.read(SECTOR)
        size = os.fstat(f.fileno()).st_size
    if len(sector) < SECTOR or not sector.startswith(MAGIC):
        raise DiscError("it is not an Orvandel disc image")
    version, length = struct.unpack_from("<II", sector, len(MAGIC))
    if version != FORMAT:
        raise DiscError("its format %d is not known" % version)
    start = len(MAGIC) + 8
    try:
        toc = json.loads(sector[start:start + length].decode("ascii"))
        entries = {e["name"]: (int(e["offset"]), int(e["size"])) for e in toc["files"]}
    except (ValueError, KeyError, TypeError) as e:
        raise DiscError("its table of contents is damaged (%s)" % e)
    for name, (offset, length) in entries.items():
        if offset < SECTOR or offset + length > size:
            raise DiscError("the file %s lies outside the image" % name)
    return entries


def read_file(path, name, toc=None):
    """The bytes of the file `name` on the image at `path`."""
    toc = toc if toc is not None else read_toc(path)
    if name not in toc:
        raise DiscError("the file %s is not on it" % name)
    offset, size = toc[name]
    with open(path, "rb") as f:
        f.seek(offset)
        return f.read(size)
