#!/usr/bin/env python3
"""Builds manifest_fuzz's binary seed corpus from the readable manifests in corpus/manifest.

Each seed is a decrypted payload as the reader sees it: manifest_len (u32 little-endian),
the manifest's bytes, then 256 bytes of tensor data (0, 1, ..., 255) for the entries to
address. tests/format/manifest_fuzz_replay_test.cc builds the same payloads.

Usage: make_manifest_seeds.py <dir of *.json> <output dir>
"""
import pathlib
import struct
import sys

TENSOR_DATA = bytes(range(256))


def main() -> int:
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    source, output = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    output.mkdir(parents=True, exist_ok=True)
    for path in sorted(source.glob("*.json")):
        manifest = path.read_bytes()
        payload = struct.pack("<I", len(manifest)) + manifest + TENSOR_DATA
        (output / (path.stem + ".bin")).write_bytes(payload)
    return 0


if __name__ == "__main__":
    sys.exit(main())
