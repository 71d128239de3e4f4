"""The panel's skin pictures: each device drawn from a few plain shapes into an RGBA PNG.

  gen_skin.py [FOLDER]        write the pictures (default: panel/qml/skin1)
  gen_skin.py --check FOLDER  exit 1 when a committed picture's pixels differ from the drawing
"""
import struct
import sys
import zlib
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
W, H = 240, 180


class Canvas:
    def __init__(self, w=W, h=H):
        self.w, self.h = w, h
        self.px = [[(0, 0, 0, 0)] * w for _ in range(h)]

    def put(self, x, y, c):
        if 0 <= x < self.w and 0 <= y < self.h:
            self.px[y][x] = c

    def rect(self, x0, y0, x1, y1, top, bottom=None):
        """A box filled with a vertical gradient from top to bottom."""
        bottom = bottom or top
        for y in range(y0, y1):
            t = (y - y0) / max(1, y1 - y0 - 1)
            c = tuple(round(a + (b - a) * t) for a, b in zip(top, bottom))
            for x in range(x0, x1):
                self.put(x, y, c)

    def ellipse(self, cx, cy, rx, ry, top, bottom=None, hole=0.0):
        """A filled ellipse (a ring when hole > 0: the inner fraction is left alone)."""
        bottom = bottom or top
        for y in range(cy - ry, cy + ry + 1):
            t = (y - cy + ry) / max(1, 2 * ry)
            c = tuple(round(a + (b - a) * t) for a, b in zip(top, bottom))
            for x in range(cx - rx, cx + rx + 1):
                d = ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2
                if hole * hole <= d <= 1.0:
                    self.put(x, y, c)

    def png(self):
        raw = b"".join(b"\0" + b"".join(bytes(p) for p in row) for row in self.px)
        def chunk(kind, data):
            return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
        header = struct.pack(">IIBBBBB", self.w, self.h, 8, 6, 0, 0, 0)
        return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + \
            chunk(b"IEND", b"")


DARK, GREY, LIGHT = (40, 42, 48, 255), (92, 96, 106, 255), (170, 176, 188, 255)
ACCENT, GLOW = (230, 90, 40, 255), (255, 170, 60, 255)
TEAL, BLUE = (40, 190, 190, 255), (60, 120, 230, 255)


def headset():
    c = Canvas()
    c.ellipse(120, 95, 80, 75, LIGHT, GREY, hole=0.86)
    c.rect(30, 90, 240, 180, (0, 0, 0, 0))
    c.ellipse(46, 112, 26, 40, GREY, DARK)
    c.ellipse(194, 112, 26, 40, GREY, DARK)
    c.ellipse(46, 112, 12, 22, ACCENT, GLOW)
    c.ellipse(194, 112, 12, 22, ACCENT, GLOW)
    c.rect(30, 146, 40, 168, DARK)
    c.ellipse(60, 168, 22, 6, GREY)
    return c


def mouse(glow=ACCENT):
    c = Canvas()
    c.ellipse(120, 92, 52, 80, LIGHT, DARK)
    c.rect(118, 14, 122, 70, DARK)
    c.ellipse(120, 46, 5, 12, glow, GLOW)
    c.rect(70, 70, 170, 73, DARK)
    c.ellipse(120, 150, 30, 8, glow)
    return c


def keyboard():
    c = Canvas()
    c.rect(8, 50, 232, 140, GREY, DARK)
    for row in range(4):
        for col in range(12):
            x, y = 16 + col * 18, 58 + row * 20
            c.rect(x, y, x + 14, y + 15, LIGHT, GREY)
    c.rect(70, 118, 170, 133, LIGHT, GREY)
    c.rect(8, 140, 232, 144, BLUE, TEAL)
    return c


def mousepad():
    c = Canvas()
    c.rect(14, 34, 226, 150, DARK, (24, 26, 30, 255))
    c.rect(14, 34, 226, 38, TEAL)
    c.rect(14, 146, 226, 150, BLUE)
    c.rect(14, 34, 18, 150, TEAL, BLUE)
    c.rect(222, 34, 226, 150, TEAL, BLUE)
    c.ellipse(120, 92, 30, 30, GREY, DARK, hole=0.7)
    return c


def accessory():
    c = Canvas()
    c.rect(96, 20, 144, 160, LIGHT, GREY)
    c.ellipse(120, 20, 24, 10, LIGHT)
    c.rect(104, 40, 136, 150, BLUE, TEAL)
    c.ellipse(120, 160, 40, 10, DARK)
    return c


def gun():
    c = Canvas()
    c.rect(30, 70, 200, 92, GREY, DARK)
    c.rect(200, 74, 226, 84, DARK)
    c.rect(60, 92, 92, 150, GREY, DARK)
    c.rect(100, 92, 112, 116, DARK)
    c.ellipse(130, 60, 14, 8, ACCENT)
    return c


def index():
    c = Canvas(480, 120)
    c.rect(0, 0, 480, 120, (36, 38, 44, 255), (22, 23, 27, 255))
    for i in range(6):
        c.ellipse(60 + i * 72, 60, 26, 26, ACCENT if i % 2 else TEAL, GLOW if i % 2 else BLUE, hole=0.75)
    return c


PICTURES = {
    "headset.png": headset, "mouse.png": mouse, "mouse3336.png": lambda: mouse(TEAL),
    "keyboard.png": keyboard, "mousepad.png": mousepad, "accessory.png": accessory,
    "gun.png": gun, "index.png": index,
}


def pixels(png):
    """The raw scanlines of one of our own PNGs (one IDAT chunk)."""
    at = png.index(b"IDAT")
    length = struct.unpack(">I", png[at - 4:at])[0]
    return zlib.decompress(png[at + 4:at + 4 + length])


def main(argv):
    if len(argv) >= 2 and argv[0] == "--check":
        folder, bad = Path(argv[1]), 0
        for name, draw in PICTURES.items():
            path = folder / name
            if not path.exists() or pixels(path.read_bytes()) != pixels(draw().png()):
                print("%s differs from the drawing" % path)
                bad = 1
        return bad
    folder = Path(argv[0]) if argv else ROOT / "panel/qml/skin1"
    folder.mkdir(parents=True, exist_ok=True)
    for name, draw in PICTURES.items():
        (folder / name).write_bytes(draw().png())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
