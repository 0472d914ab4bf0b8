#!/usr/bin/env python3
"""Prints a PE file's version and language as Windows Installer's File table
wants them: "1.2.3.4<TAB>1033", or nothing when the file has no version
resource. Usage: peversion.py FILE"""
import struct
import sys

data = open(sys.argv[1], 'rb').read()
key = data.find('VS_VERSION_INFO'.encode('utf-16-le'))
at = data.find(struct.pack('<I', 0xFEEF04BD), key) if key >= 0 else -1  # VS_FIXEDFILEINFO's signature
if at < 0:
    sys.exit(0)
ms, ls = struct.unpack_from('<II', data, at + 8)
version = '%d.%d.%d.%d' % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
language = 0
name = 'Translation'.encode('utf-16-le') + b'\0\0'
t = data.find(name, at)
if t >= 0:
    value = (t + len(name) + 3) & ~3  # the value follows, aligned to 32 bits
    language = struct.unpack_from('<H', data, value)[0]
print('%s\t%d' % (version, language))
