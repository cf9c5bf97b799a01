#!/usr/bin/env python3
"""checksum.py EXE: prints the checksum that EXE's optional header should
hold, computed the plain way (every 16-bit word but the field's own, folded
at each step, plus the length), as eight hexadecimal digits."""
import struct
import sys

data = bytearray(open(sys.argv[1], "rb").read())
length = len(data)
field = struct.unpack_from("<I", data, 0x3C)[0] + 24 + 64
data[field:field + 4] = b"\0\0\0\0"
if len(data) % 2:
    data.append(0)
total = 0
for (word,) in struct.iter_unpack("<H", data):
    total += word
    total = (total & 0xFFFF) + (total >> 16)
print("%08x" % (total + length))
