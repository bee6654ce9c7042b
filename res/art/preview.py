#!/usr/bin/python3
"""Composes the installer window from the skin images, the way the window
draws itself, to judge the pictures together.

    preview.py [--res RES_DIR] [--out FOLDER] [--zoom N]

Writes state-0.png ... state-5.png (each on a desktop-like backdrop, with
the window's constant alpha of 235), hover.png (bar and both buttons under
the pointer) and spinner.png (the twelve frames in their order).
"""

import argparse
import os
import sys

from PIL import Image, ImageDraw, ImageFont

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import draw_skin  # noqa: E402

FONT_PX = 14
TEXT_DY = 7  # the bar text's layout origin below the bar's top
BACKDROP_MARGIN = 24


def load(res_dir, rid):
    name = draw_skin.TABLE[rid][0]
    return Image.open(os.path.join(res_dir, "skin", name)).convert("RGBA")


def draw_text(frame, text, bar_at, bar_w):
    """White 14-pixel text centred on the bar by its ink width; the layout
    origin is padded by a sixth of the em as the window's text engine does."""
    font = ImageFont.truetype(draw_skin.FONT_PATH, FONT_PX, layout_engine=ImageFont.Layout.BASIC)
    left, _, right, _ = font.getbbox(text, anchor="ls")
    ink = right - left
    x = bar_at[0] + (bar_w - ink) * 0.5
    ascent, _ = font.getmetrics()
    layer = Image.new("RGBA", frame.size, (0, 0, 0, 0))
    ImageDraw.Draw(layer).text((x + FONT_PX / 6.0 - left, bar_at[1] + TEXT_DY + ascent), text, font=font,
                               fill=(255, 255, 255, 255), anchor="ls")
    frame.alpha_composite(layer)


def compose(res_dir, state, text=None, fraction=0.0, hover=(False, False, False), spinner=187):
    hover_min, hover_close, hover_bar = hover
    bg = load(res_dir, 1003)
    frame = Image.new("RGBA", bg.size, (0, 0, 0, 0))
    frame.alpha_composite(bg)
    frame.alpha_composite(load(res_dir, 183 if hover_min else 177), draw_skin.MIN_AT)
    frame.alpha_composite(load(res_dir, 180 if hover_close else 179), draw_skin.CLOSE_AT)
    bar_at = draw_skin.BAR_AT
    bar_w = draw_skin.BAR[0]
    if state == 0:
        frame.alpha_composite(load(res_dir, 171), bar_at)
        draw_text(frame, text, bar_at, bar_w)
    elif state in (1, 2):
        frame.alpha_composite(load(res_dir, 184 if hover_bar else 172), bar_at)
        draw_text(frame, "点击下载" if state == 1 else "点击安装", bar_at, bar_w)
    elif state == 3:
        frame.alpha_composite(load(res_dir, 172), bar_at)
        draw_text(frame, "正在安装...", bar_at, bar_w)
    elif state == 4:
        frame.alpha_composite(load(res_dir, 176), bar_at)
        draw_text(frame, "安装成功，请重启设备", bar_at, bar_w)
        frame.alpha_composite(load(res_dir, 186), draw_skin.ARROW_AT)
    elif state == 5:
        frame.alpha_composite(load(res_dir, 173), bar_at)
        fill = load(res_dir, 174)
        w, h = fill.size
        width = int(w * fraction)
        if width > 0:
            part = fill.crop((int(w * (1 - fraction)), 0, int(w * (1 - fraction)) + width, h))
            frame.alpha_composite(part, bar_at)
        frame.alpha_composite(load(res_dir, 175), bar_at)
        draw_text(frame, text, bar_at, bar_w)
        frame.alpha_composite(load(res_dir, spinner), bar_at)
    return frame


def on_backdrop(frame, zoom):
    """The frame with the window's constant alpha, over a desktop-like backdrop."""
    w, h = frame.size
    m = BACKDROP_MARGIN
    size = (w + 2 * m, h + 2 * m)
    backdrop = draw_skin.vgradient(size, [(0.0, (58, 92, 128)), (1.0, (24, 40, 62))])
    faded = frame.copy()
    faded.putalpha(faded.getchannel("A").point(lambda a: a * 235 // 255))
    backdrop.alpha_composite(faded, (m, m))
    if zoom > 1:
        backdrop = backdrop.resize((size[0] * zoom, size[1] * zoom), Image.NEAREST)
    return backdrop


def main():
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--res", default=here)
    parser.add_argument("--out", default=os.path.join(here, "art", "preview"))
    parser.add_argument("--zoom", type=int, default=1)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    states = [
        compose(args.res, 0, "请将设备连接至电脑"),
        compose(args.res, 1),
        compose(args.res, 2),
        compose(args.res, 3),
        compose(args.res, 4),
        compose(args.res, 5, "正在下载 1.2 MB / 2.5 MB", 0.48, spinner=191),
    ]
    for n, frame in enumerate(states):
        on_backdrop(frame, args.zoom).save(os.path.join(args.out, "state-%d.png" % n))
    hover = compose(args.res, 2, hover=(True, True, True))
    on_backdrop(hover, args.zoom).save(os.path.join(args.out, "hover.png"))
    # Progress at a few fractions, one under the other (bar area only).
    strip = Image.new("RGBA", (draw_skin.BAR[0] + 20, 6 * 46), (250, 251, 253, 255))
    for n, f in enumerate((0.0, 0.03, 0.1, 0.5, 0.9, 1.0)):
        frame = compose(args.res, 5, "%d%%" % int(f * 100), f, spinner=draw_skin.SPINNER_IDS[n * 2])
        x, y = draw_skin.BAR_AT
        strip.alpha_composite(frame.crop((x - 10, y - 3, x + draw_skin.BAR[0] + 10, y + 43)), (0, n * 46))
    strip.save(os.path.join(args.out, "progress.png"))
    frames = Image.new("RGBA", (12 * 36, 44), (255, 255, 255, 255))
    for n, rid in enumerate(draw_skin.SPINNER_IDS):
        frames.alpha_composite(load(args.res, rid), (n * 36 + 2, 2))
    frames.resize((frames.width * 3, frames.height * 3), Image.NEAREST).save(os.path.join(args.out, "spinner.png"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
