#!/usr/bin/env python3
"""Writes the example workspace in examples/demo: a template image and a
small source tree with a nested directory, a short file and a dot file."""
import os

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "demo")


def filler(seed, n):
    return bytes(((seed * 7 + i) % 251) + 1 for i in range(n))


def source(size, label, seed):
    data = bytearray(filler(seed, max(size, 160)))
    data[0:64] = (b"source header, not packed " + b"." * 64)[:64]
    data[64:96] = (label.encode() + b" lead block" + b" " * 32)[:32]
    text = label.encode() + b"\0"
    data[96:96 + len(text)] = text
    data[128:160] = b"-" * 32
    return bytes(data[:size])


def write(rel, data):
    path = os.path.join(HERE, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data)


template = bytearray(b"STOWPAK DEMO TEMPLATE\n" + bytes(1024 - 22))
for i in range(22, 1024):
    template[i] = (i * 13) % 256
write("HXQT.GBA", bytes(template))
write("root/title.bin", source(20160, "TITLE", 1))
write("root/stages/stage1.bin", source(24576, "STAGE 1", 2))
write("root/stages/stage2.bin", source(30000, "STAGE 2", 3))
write("root/stages/bonus/secret.bin", source(20160, "SECRET", 4))
write("root/short.bin", source(100, "SHORT", 5))
write("root/.notes", b"Files whose names begin with a dot are never packed.\n")
