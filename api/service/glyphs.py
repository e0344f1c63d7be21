"""Glyph ranges for the map's text: signed distance fields of the Liberation fonts in the
PBF layout the map library reads (a `glyphs` message holding one `fontstack` of `glyph`s).

The parameters are the map library's own (24 px, 3 px border, radius 8, cutoff 0.25): its
shader takes the edge of a letter at 192 of 255. `python3 api/service/glyphs.py` writes every range
the fonts cover into build/glyphs once; the host serves from there, draws a range that is
missing on first request, and answers an empty PBF for a range the font has no glyphs in.

    python3 api/service/glyphs.py [--out build/glyphs]
"""
from __future__ import annotations

import argparse
import os
import sys
import threading
from functools import lru_cache
from pathlib import Path

import numpy as np

FONT_DIR = Path(os.environ.get("GLYPH_FONT_DIR", "/usr/share/fonts/truetype/liberation"))
FONTS = {
    "Liberation Sans Regular": "LiberationSans-Regular.ttf",
    "Liberation Sans Bold": "LiberationSans-Bold.ttf",
    "Liberation Sans Italic": "LiberationSans-Italic.ttf",
}
OUT_DIR = Path(os.environ.get("GLYPH_DIR") or Path(__file__).resolve().parents[2] / "build" / "glyphs")

SIZE = 24
BORDER = 3
RADIUS = 8
CUTOFF = 0.25
# The map library places a glyph's bitmap `top` pixels above a line 27 px under the
# text's top; its own locally drawn glyphs use the same offset.
TOP_OFFSET = 27
# Drawn four times larger, then averaged down: a sharper edge than a 24 px bitmap gives.
SCALE = 4


# --- protobuf, by hand: varints, length-delimited fields, zigzag for the signed ones --------------

def _varint(value: int) -> bytes:
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        if value:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def _key(field: int, wire: int) -> bytes:
    return _varint(field << 3 | wire)


def _uint(field: int, value: int) -> bytes:
    return _key(field, 0) + _varint(value)


def _sint(field: int, value: int) -> bytes:
    return _key(field, 0) + _varint((value << 1) ^ (value >> 63) if value < 0 else value << 1)


def _bytes(field: int, value: bytes) -> bytes:
    return _key(field, 2) + _varint(len(value)) + value


def encode_glyph(code: int, bitmap: bytes, width: int, height: int, left: int, top: int, advance: int) -> bytes:
    body = _uint(1, code)
    if bitmap:
        body += _bytes(2, bitmap)
    return body + _uint(3, width) + _uint(4, height) + _sint(5, left) + _sint(6, top) + _uint(7, advance)


def encode_range(fontstack: str, start: int, glyphs: list[bytes]) -> bytes:
    stack = _bytes(1, fontstack.encode()) + _bytes(2, f"{start}-{start + 255}".encode())
    stack += b"".join(_bytes(3, g) for g in glyphs)
    return _bytes(1, stack)


# --- drawing -------------------------------------------------------------------------------------

@lru_cache(maxsize=None)
def _faces(fontstack: str):
    from PIL import ImageFont

    path = FONT_DIR / FONTS[fontstack]
    return ImageFont.truetype(str(path), SIZE), ImageFont.truetype(str(path), SIZE * SCALE)


@lru_cache(maxsize=None)
def _covered(fontstack: str) -> frozenset[int]:
    """Code points the font has a glyph for (its cmap)."""
    return frozenset(_cmap(FONT_DIR / FONTS[fontstack]))


def _cmap(path: Path) -> set[int]:
    """Code points of a TrueType font's Unicode cmap (formats 4 and 12)."""
    import struct

    data = path.read_bytes()
    tables = {data[12 + 16 * i:16 + 16 * i]: struct.unpack(">I", data[20 + 16 * i:24 + 16 * i])[0]
              for i in range(struct.unpack(">H", data[4:6])[0])}
    cmap = tables[b"cmap"]
    codes: set[int] = set()
    for i in range(struct.unpack(">H", data[cmap + 2:cmap + 4])[0]):
        platform, encoding, offset = struct.unpack(">HHI", data[cmap + 4 + 8 * i:cmap + 12 + 8 * i])
        sub = cmap + offset
        fmt = struct.unpack(">H", data[sub:sub + 2])[0]
        if fmt == 4 and (platform, encoding) in ((3, 1), (0, 3)):
            segs = struct.unpack(">H", data[sub + 6:sub + 8])[0] // 2
            ends = struct.unpack(f">{segs}H", data[sub + 14:sub + 14 + 2 * segs])
            starts = struct.unpack(f">{segs}H", data[sub + 16 + 2 * segs:sub + 16 + 4 * segs])
            for a, b in zip(starts, ends, strict=False):
                if a != 0xFFFF:
                    codes.update(range(a, b + 1))
        elif fmt == 12:
            groups = struct.unpack(">I", data[sub + 12:sub + 16])[0]
            for g in range(groups):
                a, b, _ = struct.unpack(">III", data[sub + 16 + 12 * g:sub + 28 + 12 * g])
                codes.update(range(a, b + 1))
    return codes


def signed_distance_field(inside: np.ndarray, scale: int) -> np.ndarray:
    """Bytes of the field for a mask `scale` times larger than the bitmap: 255 deep inside,
    192 on the edge, falling by 255/RADIUS per pixel outside."""
    from scipy.ndimage import distance_transform_edt

    # Distance from each pixel's centre to the edge, in bitmap pixels; negative inside.
    outside = distance_transform_edt(~inside) - 0.5
    within = distance_transform_edt(inside) - 0.5
    distance = np.where(inside, -within, outside) / scale
    h, w = inside.shape[0] // scale, inside.shape[1] // scale
    distance = distance.reshape(h, scale, w, scale).mean(axis=(1, 3))
    return np.clip(np.round(255 - 255 * (distance / RADIUS + CUTOFF)), 0, 255).astype(np.uint8)


def draw_glyph(fontstack: str, code: int) -> bytes:
    from PIL import Image, ImageDraw

    small, large = _faces(fontstack)
    char = chr(code)
    advance = max(0, round(small.getlength(char)))
    left, top, right, bottom = small.getbbox(char, anchor="ls")
    width, height = right - left, bottom - top
    if width <= 0 or height <= 0:
        return encode_glyph(code, b"", 0, 0, 0, 0, advance)
    w, h = (width + 2 * BORDER) * SCALE, (height + 2 * BORDER) * SCALE
    canvas = Image.new("L", (w, h), 0)
    ImageDraw.Draw(canvas).text(((BORDER - left) * SCALE, (BORDER - top) * SCALE), char, font=large, fill=255,
                                anchor="ls")
    field = signed_distance_field(np.asarray(canvas) >= 128, SCALE)
    return encode_glyph(code, field.tobytes(), width, height, left, -top - TOP_OFFSET, advance)


def draw_range(fontstack: str, start: int) -> bytes:
    """The PBF of code points start..start+255; without glyphs in the font it holds none."""
    covered = _covered(fontstack)
    glyphs = [draw_glyph(fontstack, code) for code in range(start, start + 256) if code in covered]
    return encode_range(fontstack, start, glyphs)


def ranges_of(fontstack: str) -> list[int]:
    return sorted({code // 256 * 256 for code in _covered(fontstack) if code <= 0xFFFF})


# --- serving -------------------------------------------------------------------------------------

_lock = threading.Lock()


def parse_range(text: str) -> int | None:
    """The first code point of a range named "start-end" (256 code points from a multiple of 256)."""
    first, _, last = text.partition("-")
    if not (first.isdigit() and last.isdigit()):
        return None
    start, end = int(first), int(last)
    if start % 256 or end != start + 255 or end > 0xFFFF:
        return None
    return start


def glyph_range(fontstacks: str, start: int) -> bytes:
    """The range for a comma-separated font stack: the first font of ours in it (the map library
    asks for the stack as the style names it). Read from OUT_DIR, else drawn now and kept."""
    fontstack = next((f.strip() for f in fontstacks.split(",") if f.strip() in FONTS), None)
    if fontstack is None:
        raise KeyError(fontstacks)
    path = OUT_DIR / fontstack / f"{start}-{start + 255}.pbf"
    try:
        return path.read_bytes()
    except FileNotFoundError:
        pass
    with _lock:
        if path.is_file():
            return path.read_bytes()
        data = draw_range(fontstack, start)
        try:
            path.parent.mkdir(parents=True, exist_ok=True)
            tmp = path.with_suffix(f".{os.getpid()}.tmp")
            tmp.write_bytes(data)
            tmp.replace(path)
        except OSError:
            pass  # a read-only install still answers, drawing again next time
        return data


def generate(out: Path) -> int:
    """Writes every range each font covers; a range already written stays. Returns how many were written."""
    written = 0
    for fontstack in FONTS:
        folder = out / fontstack
        folder.mkdir(parents=True, exist_ok=True)
        for start in ranges_of(fontstack):
            path = folder / f"{start}-{start + 255}.pbf"
            if path.is_file():
                continue
            tmp = path.with_suffix(".tmp")
            tmp.write_bytes(draw_range(fontstack, start))
            tmp.replace(path)
            written += 1
    return written


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Writes the map's glyph ranges from the Liberation fonts.")
    parser.add_argument("--out", type=Path, default=OUT_DIR)
    args = parser.parse_args(argv)
    written = generate(args.out)
    print(f"glyphs: {written} range(s) written to {args.out}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
