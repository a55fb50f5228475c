#!/usr/bin/env python3
# Writes the damaged-configuration corpus next to this script. The compressed parts come from
# Python's zlib module, that is the distribution's zlib, never from the product.
# Run it again only to add files; the test's table names the outcome of each.
import os
import struct
import zlib

here = os.path.dirname(os.path.abspath(__file__))
plain = b"[Main]\r\nFlag = True\r\nName = corpus\r\n"
stream = zlib.compress(plain, 9)


def printable(data):
    out = bytearray()
    for i in range(0, len(data), 3):
        group = data[i:i + 3]
        top = 0
        for k, b in enumerate(group):
            top |= (b >> 6) << (4 - 2 * k)
        out.append(0x30 + top)
        out.extend(0x30 + (b & 0x3F) for b in group)
    return bytes(out)


def compressed_text(body, claimed=None, magic=0x5A434D50):
    return struct.pack("<II", magic, len(plain) if claimed is None else claimed) + body


def binary(offset=36, reserved=0, claimed=None, body=stream, filler=b"\xAA" * 4):
    header = b"QuelvaranBinary" + b"\x01\x02\x03\x04\x05"
    header += struct.pack("<III", offset, reserved, len(plain) if claimed is None else claimed)
    return header + filler + body


encoded_good = printable(compressed_text(stream))
files = {
    # Binary form
    "bin-good.ini": binary(),
    "bin-20-bytes.ini": binary()[:20],
    "bin-31-bytes.ini": binary()[:31],
    "bin-offset-past-end.ini": binary(offset=100000),
    "bin-offset-huge.ini": binary(offset=0xFFFFFFFF),
    "bin-reserved-set.ini": binary(reserved=1),
    "bin-length-too-large.ini": binary(claimed=len(plain) + 10),
    "bin-length-too-small.ini": binary(claimed=len(plain) - 10),
    "bin-length-4g.ini": binary(claimed=0xFFFFFFFF),
    "bin-stream-truncated.ini": binary(body=stream[:len(stream) // 2]),
    "bin-stream-garbage.ini": binary(body=bytes(range(7, 250, 3))),
    "bin-no-stream.ini": binary(body=b""),
    "bin-nul-in-text.ini": binary(body=zlib.compress(b"[Main]\0Flag = True\0Name = corpus\0", 9),
                                  claimed=len(b"[Main]\0Flag = True\0Name = corpus\0")),
    # Encoded text form
    "txt-good.ini": b"QuelvaranBinaryText" + encoded_good,
    "txt-magic-only-plus-one.ini": b"QuelvaranBinaryText0",
    "txt-five-chars.ini": b"QuelvaranBinaryText" + encoded_good[:5],
    "txt-header-only.ini": b"QuelvaranBinaryText" + encoded_good[:10],
    "txt-truncated.ini": b"QuelvaranBinaryText" + encoded_good[:len(encoded_good) - 7],
    "txt-wrong-magic.ini": b"QuelvaranBinaryText" + printable(compressed_text(stream, magic=0x12345678)),
    "txt-garbage.ini": b"QuelvaranBinaryText" + encoded_good[:12] + b"~~~~}}}}||||" * 8,
    "txt-nul-inside.ini": b"QuelvaranBinaryText" + encoded_good[:20] + b"\0" + encoded_good[21:],
    "txt-line-breaks.ini": b"QuelvaranBinaryText" + encoded_good[:30] + b"\r\n" + encoded_good[30:],
    "txt-length-huge.ini": b"QuelvaranBinaryText" + printable(compressed_text(stream, claimed=0x7FFFFFFF)),
    # Plain text that only looks like the others, or is hostile in other ways
    "plain-19-bytes.ini": b"QuelvaranBinaryText"[:19],
    "plain-near-magic.ini": b"QuelvaranBinar\r\n[Main]\r\nFlag = True\r\n",
    "plain-nul-bytes.ini": b"[Main]\0\0Flag = True\0Name = corpus\0",
    "plain-huge-line.ini": b"[Main]\r\nJunk = " + b"x" * 70000 + b"\r\nFlag = True\r\n",
    "plain-binary-junk.ini": bytes((i * 37 + 11) % 256 for i in range(4096)) + b"\n[Main]\nFlag = True\n",
    "plain-empty.ini": b"",
}
for name, data in files.items():
    with open(os.path.join(here, name), "wb") as f:
        f.write(data)
