#!/usr/bin/env python3
"""Pads a PE file with zeros to a multiple of 8 bytes and rewrites its checksum.

An Authenticode signer pads the file to 8 bytes before it appends the signature, and removing
the signature keeps that padding; a program that is already padded therefore comes back as
exactly these bytes once its signature is removed, so a signed release compares with a rebuild.
Usage: pe-align.py <file>"""
import struct
import sys

ALIGNMENT = 8
PE_OFFSET_FIELD = 0x3C
CHECKSUM_IN_PE = 24 + 64  # after the signature and file header, in the optional header


def pe_checksum(data, checksum_offset):
    """The image checksum: 16-bit one's-complement sum of the file (checksum field as zero) plus
    its length."""
    total = 0
    for (word,) in struct.iter_unpack("<H", data + b"\0" * (len(data) % 2)):
        total += word
    for (word,) in struct.iter_unpack("<H", data[checksum_offset:checksum_offset + 4]):
        total -= word
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def main(path):
    with open(path, "rb") as f:
        data = bytearray(f.read())
    if data[:2] != b"MZ":
        sys.exit(f"pe-align: {path} is not a PE file")
    (pe,) = struct.unpack_from("<I", data, PE_OFFSET_FIELD)
    if data[pe:pe + 4] != b"PE\0\0":
        sys.exit(f"pe-align: {path} has no PE header")
    data += b"\0" * (-len(data) % ALIGNMENT)
    checksum_offset = pe + CHECKSUM_IN_PE
    struct.pack_into("<I", data, checksum_offset, pe_checksum(bytes(data), checksum_offset))
    with open(path, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
