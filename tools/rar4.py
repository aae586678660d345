"""Writes RAR 1.5-4.x archives of stored members, block by block, with their header and data
CRCs, for test fixtures and the carving corpus (Debian has no writer of this format). The
archives list and extract with bsdtar (libarchive)."""

import struct
import zlib


def block(kind, flags, body, data=b""):
    """A block: CRC16 (low half of the CRC32 of the rest of the header), type, flags, size,
    body; blocks with data carry its size first in the body (flag 0x8000)."""
    header = struct.pack("<BHH", kind, flags, 7 + len(body)) + body
    return struct.pack("<H", zlib.crc32(header) & 0xFFFF) + header + data


MARKER = b"Rar!\x1a\x07\x00"


def main_header(flags=0):
    return block(0x73, flags, bytes(6))


def stored_file(name, content, large=False, dos_time=0x52C63000):
    """A file block of a stored member (method 0x30); `large` writes the 64-bit size form."""
    flags = 0x8000 | (0x0100 if large else 0)
    body = struct.pack("<IIBIIBBHI", len(content), len(content), 2, zlib.crc32(content), dos_time, 29,
                       0x30, len(name), 0x20)
    if large:
        body += struct.pack("<II", 0, 0)
    return block(0x74, flags, body + name, content)


def sub_block(name, content):
    """A new-style sub-block (0x7A) such as an archive comment "CMT", stored."""
    body = struct.pack("<IIBIIBBHI", len(content), len(content), 2, zlib.crc32(content), 0, 29, 0x30,
                       len(name), 0)
    return block(0x7A, 0x8000, body + name, content)


def end_block(data_crc=None):
    """End of archive: 7 bytes, or 11 with the archive's data CRC (flag 0x0002)."""
    if data_crc is None:
        return block(0x7B, 0x4000, b"")
    return block(0x7B, 0x4002, struct.pack("<I", data_crc))


def archive(members, comment=None, large=False, data_crc=False):
    out = MARKER + main_header()
    for name, content in members:
        out += stored_file(name, content, large=large)
    if comment is not None:
        out += sub_block(b"CMT", comment)
    return out + end_block(zlib.crc32(out) if data_crc else None)
