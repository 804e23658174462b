#!/usr/bin/python3
"""Draws the updater window's pictures into src/images/.

Needs the Debian packages python3-pil and fonts-noto-cjk:
    apt-get install python3-pil fonts-noto-cjk

Run from anywhere: tools/draw-images.py
The output is the same on every run (fixed seed, no timestamps).
"""

import math
import os
import random
import subprocess

from PIL import Image, ImageDraw, ImageFilter, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "..", "src", "images")

W, H = 416, 249
SS = 4  # everything is drawn at 4x and box-filtered down, for clean edges

# The labels, progress bar and exit button sit on this colour (see mainwindow.ui);
# the bottom band is drawn in it so they blend in.
BAND = (105, 213, 242)
BAND_TOP = 166


def find_cjk_font(style):
    """Path and face index of Noto Sans CJK SC in the given style."""
    path = None
    try:
        path = subprocess.run(
            ["fc-match", "-f", "%{file}", "Noto Sans CJK SC:style=" + style],
            capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        pass
    if not path or "CJK" not in path:
        path = "/usr/share/fonts/opentype/noto/NotoSansCJK-%s.ttc" % style
    for index in range(16):
        try:
            face = ImageFont.truetype(path, 10, index=index)
        except OSError:
            break
        if face.getname()[0] == "Noto Sans CJK SC":
            return path, index
    return path, 0


def font(style, px):
    path, index = find_cjk_font(style)
    return ImageFont.truetype(path, px * SS, index=index)


def mix(a, b, t):
    return tuple(int(round(a[i] + (b[i] - a[i]) * t)) for i in range(3))


def smoothstep(e0, e1, x):
    t = min(1.0, max(0.0, (x - e0) / (e1 - e0)))
    return t * t * (3 - 2 * t)


def base_colour(x, y):
    """Deep blue at the top left, lighter towards the right and the bottom."""
    deep, mid = (14, 62, 150), (36, 128, 214)
    t = 0.65 * (y / H) + 0.35 * (x / W)
    return mix(deep, mid, min(1.0, t * 1.15))


def low_poly(img):
    rng = random.Random(20240517)
    cols, rows = 10, 6
    cw, rh = W / cols, BAND_TOP / 4
    # Jittered grid, one row and column beyond the edges so no seam shows.
    # Row 4 stays straight: it is the top edge of the band.
    pts = {}
    for r in range(-1, rows + 2):
        for c in range(-1, cols + 2):
            jx = rng.uniform(-0.32, 0.32) * cw
            jy = rng.uniform(-0.32, 0.32) * rh
            pts[r, c] = (c * cw + jx, r * rh + (0 if r == 4 else jy))

    draw = ImageDraw.Draw(img)
    for r in range(-1, rows + 1):
        for c in range(-1, cols + 1):
            a, b = pts[r, c], pts[r, c + 1]
            d, e = pts[r + 1, c], pts[r + 1, c + 1]
            if (r + c) % 2:
                tris = [(a, b, e), (a, e, d)]
            else:
                tris = [(a, b, d), (b, e, d)]
            for tri in tris:
                cx = sum(p[0] for p in tri) / 3
                cy = sum(p[1] for p in tri) / 3
                shade = rng.uniform(-0.10, 0.14)
                if r >= 4:
                    # The band: the same facets, barely visible.
                    col = BAND
                    shade *= 0.35
                else:
                    col = base_colour(cx, cy)
                    # Quiet corner under the close button.
                    corner = 1 - smoothstep(20, 60, math.hypot(cx - W, cy))
                    shade *= 1 - 0.8 * corner
                # Facets catch light from the upper left, with a little noise.
                if shade > 0:
                    col = mix(col, (160, 225, 255), shade)
                else:
                    col = mix(col, (6, 30, 90), -shade)
                draw.polygon([(p[0] * SS, p[1] * SS) for p in tri], fill=col)

    # A thin light rule along the band's top edge.
    y = BAND_TOP * SS
    draw.rectangle([0, y, W * SS, y + SS - 1], fill=mix(BAND, (255, 255, 255), 0.35))


def arrow_ring(layer, cx, cy, radius, width, colour):
    d = ImageDraw.Draw(layer)
    r, w = radius * SS, width * SS
    box = [cx * SS - r, cy * SS - r, cx * SS + r, cy * SS + r]
    box = [box[0] - w / 2, box[1] - w / 2, box[2] + w / 2, box[3] + w / 2]
    for start in (200, 20):
        end = start + 128
        d.arc(box, start, end, fill=colour, width=int(w))
        # Round tail.
        t = math.radians(start)
        tx, ty = cx * SS + r * math.cos(t), cy * SS + r * math.sin(t)
        d.ellipse([tx - w / 2, ty - w / 2, tx + w / 2, ty + w / 2], fill=colour)
        # Head: its base sits on the arc end, its tip follows the circle.
        e = math.radians(end - 1)
        ex, ey = cx * SS + r * math.cos(e), cy * SS + r * math.sin(e)
        nx, ny = math.cos(e), math.sin(e)  # outward normal
        half = w * 1.25
        tip = math.radians(end + 22)
        tipx = cx * SS + r * math.cos(tip)
        tipy = cy * SS + r * math.sin(tip)
        d.polygon([(ex + nx * half, ey + ny * half),
                   (ex - nx * half, ey - ny * half),
                   (tipx, tipy)], fill=colour)


def logo(layer, cx, cy, radius):
    d = ImageDraw.Draw(layer)
    x, y, r = cx * SS, cy * SS, radius * SS
    d.ellipse([x - r, y - r, x + r, y + r], fill=(255, 255, 255, 255))
    # A "T" whose crossbar leans forward, like something in motion.
    u = r / 10.0
    blue = (22, 96, 196, 255)
    d.polygon([(x - 6.0 * u, y - 5.2 * u), (x + 6.6 * u, y - 5.2 * u),
               (x + 5.6 * u, y - 2.4 * u), (x - 7.0 * u, y - 2.4 * u)], fill=blue)
    d.polygon([(x - 1.9 * u, y - 2.4 * u), (x + 1.5 * u, y - 2.4 * u),
               (x + 0.3 * u, y + 6.2 * u), (x - 3.1 * u, y + 6.2 * u)], fill=blue)


def text_with_shadow(img, xy, txt, face, fill):
    shadow = Image.new("RGBA", img.size, (0, 0, 0, 0))
    ImageDraw.Draw(shadow).text((xy[0] * SS + SS, xy[1] * SS + 1.5 * SS), txt,
                                font=face, fill=(4, 30, 80, 110))
    shadow = shadow.filter(ImageFilter.GaussianBlur(2.5 * SS))
    img.alpha_composite(shadow)
    ImageDraw.Draw(img).text((xy[0] * SS, xy[1] * SS), txt, font=face, fill=fill)


def background():
    img = Image.new("RGB", (W * SS, H * SS))
    low_poly(img)
    img = img.convert("RGBA")

    cx, cy = 80, 88
    # Faint halo behind the emblem lifts it off the pattern.
    halo = Image.new("RGBA", img.size, (0, 0, 0, 0))
    hr = 58 * SS
    ImageDraw.Draw(halo).ellipse([cx * SS - hr, cy * SS - hr, cx * SS + hr, cy * SS + hr],
                                 fill=(150, 215, 255, 46))
    img.alpha_composite(halo.filter(ImageFilter.GaussianBlur(10 * SS)))

    emblem = Image.new("RGBA", img.size, (255, 255, 255, 0))
    arrow_ring(emblem, cx, cy, 41, 6, (255, 255, 255, 255))
    logo(emblem, cx, cy, 27)
    shadow = Image.new("RGBA", img.size, (4, 30, 80, 0))
    shadow.putalpha(emblem.getchannel("A").point(lambda a: a * 90 // 255))
    shadow = shadow.transform(shadow.size, Image.AFFINE, (1, 0, -SS, 0, 1, -2 * SS))
    img.alpha_composite(shadow.filter(ImageFilter.GaussianBlur(3 * SS)))
    img.alpha_composite(emblem)

    text_with_shadow(img, (150, 50), "正在为您更新", font("Bold", 33), (255, 255, 255, 255))
    text_with_shadow(img, (152, 98), "请耐心等待...", font("Regular", 18), (235, 245, 255, 255))

    return img.convert("RGB").resize((W, H), Image.BOX)


def cross(size, length_x, length_y, stroke, colour, field):
    """An X of the given extent, centred, over a field colour."""
    # Draw coverage only, so edge pixels keep the exact colour and just fade.
    mask = Image.new("L", (size * SS, size * SS), 0)
    d = ImageDraw.Draw(mask)
    c = size * SS / 2
    hx, hy = (length_x - stroke) * SS / 2, (length_y - stroke) * SS / 2
    rr = stroke * SS / 2
    # Round caps would poke past the extent, so the ends are pulled in by half the stroke.
    for (x0, y0, x1, y1) in ((c - hx, c - hy, c + hx, c + hy),
                             (c - hx, c + hy, c + hx, c - hy)):
        d.line([(x0, y0), (x1, y1)], fill=255, width=int(stroke * SS))
        for (x, y) in ((x0, y0), (x1, y1)):
            d.ellipse([x - rr, y - rr, x + rr, y + rr], fill=255)
    mask = mask.resize((size, size), Image.BOX)
    return Image.composite(Image.new("RGBA", (size, size), colour),
                           Image.new("RGBA", (size, size), field), mask)


def save_png(img, name):
    # Always RGBA, never palette or RGB, so Qt's border-image gets the same kind of file each time.
    img.convert("RGBA").save(os.path.join(OUT, name), "PNG", optimize=False)


def main():
    os.makedirs(OUT, exist_ok=True)
    background().save(os.path.join(OUT, "aaa.jpg"), "JPEG", quality=93,
                      subsampling=0, progressive=False, optimize=False)
    white, red, hover = (255, 255, 255, 255), (252, 5, 5, 255), (231, 30, 33, 255)
    save_png(cross(25, 11, 10, 1.4, white, (255, 255, 255, 0)), "closeBtn.png")
    save_png(cross(25, 11, 10, 1.6, white, hover), "closeBtn_hover.png")
    save_png(cross(25, 10, 10, 3.0, red, (252, 5, 5, 0)), "closeBtn2.png")


if __name__ == "__main__":
    main()
