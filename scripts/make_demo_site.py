#!/usr/bin/python3
"""Makes a small demo web site and a Config.txt that points the window at a server.

usage: make_demo_site.py SITE_DIR HOST PORT USER PASSWORD
"""
import os
import struct
import sys
import zlib

PAGE = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>{title}</title></head>
<body style="font-family: sans-serif">
<h1>{title}</h1>
<p><img src="logo.gif" alt="logo"> {text}</p>
<p><a href="index.html">Home</a> | <a href="about.html">About</a> | <a href="links.htm">Links</a></p>
</body></html>
"""


def gif(width, height):
    """An uncompressed-looking GIF: a two-colour stripe pattern, LZW with clear codes."""
    pixels = [((x // 4 + y // 4) % 2) for y in range(height) for x in range(width)]
    # Minimum code size 2: codes 0..3 colours, 4 clear, 5 end. Emit a clear code every
    # few pixels so the code width never grows past 3 bits.
    bits, nbits, out = 0, 0, bytearray()

    def put(code):
        nonlocal bits, nbits
        bits |= code << nbits
        nbits += 3
        while nbits >= 8:
            out.append(bits & 0xFF)
            bits >>= 8
            nbits -= 8

    for i, p in enumerate(pixels):
        if i % 2 == 0:
            put(4)
        put(p)
    put(5)
    if nbits:
        out.append(bits & 0xFF)
    blocks = bytearray()
    for i in range(0, len(out), 255):
        chunk = out[i:i + 255]
        blocks += bytes([len(chunk)]) + chunk
    return (b"GIF89a" + struct.pack("<HHBBB", width, height, 0x81, 0, 0)
            + bytes([0x10, 0x40, 0x90, 0xF0, 0xC0, 0x20, 0, 0, 0, 0, 0, 0])
            + b"\x2c" + struct.pack("<HHHHB", 0, 0, width, height, 0)
            + b"\x02" + bytes(blocks) + b"\x00\x3b")


def bmp(width, height):
    row = bytearray()
    rows = []
    for y in range(height):
        row = bytearray()
        for x in range(width):
            row += bytes([(x * 255) // width, (y * 255) // height, 160])
        row += b"\0" * ((4 - len(row) % 4) % 4)
        rows.append(bytes(row))
    data = b"".join(rows)
    header = struct.pack("<2sIHHI", b"BM", 54 + len(data), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    return header + info + data


def field(text):
    raw = text.encode("utf-8")[:99]
    return raw + b"\0" * (100 - len(raw))


def main():
    site, host, port, user, password = sys.argv[1:6]
    os.makedirs(os.path.join(site, "images"), exist_ok=True)
    pages = {
        "index.html": ("My Home Page", "Welcome to my little corner of the web."),
        "about.html": ("About Me", "I publish this site with KestrelFTP."),
        "links.htm": ("Links", "Some places I like to visit."),
    }
    for name, (title, text) in pages.items():
        with open(os.path.join(site, name), "w") as f:
            f.write(PAGE.format(title=title, text=text))
    with open(os.path.join(site, "logo.gif"), "wb") as f:
        f.write(gif(32, 16))
    with open(os.path.join(site, "banner.bmp"), "wb") as f:
        f.write(bmp(64, 16))
    with open(os.path.join(site, "images", "holiday.gif"), "wb") as f:
        f.write(gif(48, 32))
    mask = "*.htm;*.html;*.jpg;*.gif;*.bmp"
    record = field(password) + field(user) + field(host) + field(port) + field(mask) + b"\0"
    assert len(record) == 501
    config = os.path.join(site, "Config.txt")
    fd = os.open(config, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "wb") as f:
        f.write(record)


if __name__ == "__main__":
    main()
