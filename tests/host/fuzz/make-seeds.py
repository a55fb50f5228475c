#!/usr/bin/env python3
# Writes the fuzz targets' seed corpora (corpus/<target>/) from the tests' own files: the damaged
# configuration corpus, the example kit's command file and the text literals of the unit tables.
# Every seed starts with the code-page byte the targets read: '0' is 1252, '1' is 932; texts with
# bytes above 0x7F are written for both pages. Run it again after the tables change; names of
# targets as arguments rebuild only their corpora.
import hashlib
import os
import re
import shutil
import struct
import sys

here = os.path.dirname(os.path.abspath(__file__))
top = os.path.normpath(os.path.join(here, "..", "..", ".."))
units = os.path.join(top, "tests", "unit")
corpus = os.path.join(here, "corpus")

LITERAL = re.compile(r'"((?:[^"\\\n]|\\.)*)"')


def c_string(body):
    """The bytes of one C string literal's body."""
    out = bytearray()
    i = 0
    while i < len(body):
        c = body[i]
        if c != "\\":
            out += c.encode("latin-1", "replace")
            i += 1
            continue
        n = body[i + 1]
        if n == "x":
            j = i + 2
            while j < len(body) and body[j] in "0123456789abcdefABCDEF":
                j += 1
            out.append(int(body[i + 2:j], 16) & 0xFF)
            i = j
            continue
        out += {"n": b"\n", "r": b"\r", "t": b"\t", "0": b"\0", "\\": b"\\", '"': b'"', "'": b"'"}.get(n, n.encode())
        i += 2
    return bytes(out)


def literals(*files):
    found = []
    for name in files:
        path = os.path.join(units, name)
        if not os.path.exists(path):
            path = os.path.join(units, "kefwk", name)
        with open(path, encoding="latin-1") as f:
            for body in LITERAL.findall(f.read()):
                try:
                    found.append(c_string(body))
                except (ValueError, IndexError):
                    pass
    return found


def write(target, seeds):
    if len(sys.argv) > 1 and target not in sys.argv[1:]:
        return
    folder = os.path.join(corpus, target)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    written = set()
    for seed in seeds:
        pages = b"01" if any(b >= 0x80 for b in seed) else b"0"
        for page in pages:
            data = bytes([page]) + seed
            name = hashlib.sha1(data).hexdigest()[:16]
            if name in written:
                continue
            written.add(name)
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
    print(f"{target}: {len(written)} seeds")


def main():
    # Command lines: the scanner's table and the command file's commands.
    lines = [s for s in literals("TokenScannerTest.cpp") if s]
    with open(os.path.join(top, "examples", "kit", "Setup", "CustCmds.ini"), "rb") as f:
        kit = f.read()
    lines += [line.split(b"=", 1)[1].strip() for line in kit.splitlines() if line.startswith(b"Commands_")]
    lines += [b"4711 1|C:\\Kit|C:\\Temp|C:\\Program Files\\App|", b"0 0|C:\\\x95\x5c\\\x83\x7c|C:\\T|C:\\I|"]
    write("tokenscanner", lines)

    # Configuration files in all three forms.
    ini_dir = os.path.join(units, "kefwk", "ini-corpus")
    inis = [kit]
    for name in sorted(os.listdir(ini_dir)):
        if name.endswith(".ini"):
            with open(os.path.join(ini_dir, name), "rb") as f:
                inis.append(f.read())
    inis += [s for s in literals("IniObjTest.cpp") if b"[" in s and b"=" in s]
    write("inifile", inis)

    # Compressed texts: the encoded form's text part, and the codec's table.
    texts = []
    for data in inis:
        if data.startswith(b"QuelvaranBinaryText"):
            texts.append(data[len(b"QuelvaranBinaryText"):].strip())
    texts += [s for s in literals("CompressorTest.cpp") if s]
    write("compressedtext", texts)

    # XML attribute lists and elements of the stream tables.
    xml = [s for s in literals("XmlStreamTest.cpp") if b"<" in s]
    xml += [b"<E s='a&amp;b' i='-3' u='7' d='0.5' b='true' l='-9223372036854775808' m='18446744073709551615'>"
            b"<S>x&lt;y</S>\r\n<T>t</T>\r\n<I>1</I>\r\n<U>2</U>\r\n<D>1e+300</D>\r\n<B>false</B>\r\n"
            b"<L>5</L>\r\n<M>6</M>\r\n</E>"]
    write("xmlattributes", xml)

    # Paths: the path table's texts, alone and in pairs.
    paths = [s for s in literals("PathTest.cpp") if b"\\" in s or b":" in s]
    paths += [a + b"\t" + b for a, b in zip(paths, paths[1:])]
    write("path", paths)

    # Formats and message templates, after a number and a selector byte.
    formats = [s for s in literals("NumberFormatTest.cpp", "FormatTest.cpp") if b"%" in s]
    messages = [s for s in literals("StringTest.cpp", "ErrorsTest.cpp") if re.search(rb"%[0-9]", s)]
    numbers = [struct.pack("<d", 2.5), struct.pack("<q", -42), struct.pack("<Q", 255)]
    seeds = []
    for i, text in enumerate(formats + messages):
        seeds.append(numbers[i % 3] + bytes([i % 256]) + text + (b"\targ" if i % 2 else b""))
    write("formatting", seeds)

    # Command files as the checker reads them: the plain configuration files above, the three
    # encodings the reader tells by their byte-order marks, and names with a NUL inside.
    kits = [d for d in inis if not d.startswith(b"Quelvaran")]
    body = "[CustomCommands]\r\nCommands_0=cmd /c exit 0\r\n[Strings]\r\nWaitingMsg=x\r\n"
    kits += [b"\xff\xfe" + body.encode("utf-16-le"), b"\xef\xbb\xbf" + body.encode("utf-8"),
             body.replace("\r\n", "\r").encode(),
             b"[CustomCommands]\r\nCommands_0=x\r\n[Str\0ings]\r\nWaitingMsg=x\r\n[str\0ings]\r\nk\0=1\r\nK\0=2\r\n"]
    write("commandfile", kits)

    # Commands' output, after the three limit bytes (head, tail, line): the output table's texts,
    # and lines with CR, CR LF, NUL bytes and double-byte characters whose trail bytes are '\' and '|'.
    outputs = [s for s in literals("CommandOutputTest.cpp") if s]
    outputs += [b"a\nb\r\nc\rd", b"one\r\ntwo\0three\x1b[m\tx\n", b"\x95\x5c\x83\x7c|\r\n" * 20, b"x" * 300 + b"\n" * 5]
    write("commandoutput", [bytes([20, 12, 8]) + o for o in outputs])


if __name__ == "__main__":
    main()
