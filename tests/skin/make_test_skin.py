#!/usr/bin/python3
"""Writes the test skin: PNG images of the skin's sizes in flat, distinct
colours (the progress fill coded by column), and two resource scripts that
carry them with a copy of dialog template 102:

  test_skin.rc     every image and icon 153
  partial_skin.rc  the dialog and only 171, 174, 175, 176, 177, 179 and 187

usage: make_test_skin.py OUTPUT_FOLDER
"""
import os
import sys

from PIL import Image

BACKGROUND = (10, 20, 30, 255)
COLOURS = {
    171: (200, 0, 0, 255),    # message bar
    172: (0, 200, 0, 255),    # action bar
    184: (0, 250, 0, 255),    # action bar, hover
    176: (0, 0, 200, 255),    # success bar
    173: (100, 100, 100, 255),  # progress track
    175: (255, 0, 255, 255),  # progress cap
    177: (0, 0, 100, 255),    # minimise
    183: (0, 0, 150, 255),    # minimise, hover
    179: (100, 0, 100, 255),  # close
    180: (150, 0, 150, 255),  # close, hover
    186: (255, 255, 0, 255),  # arrow
}
SIZES = {171: (313, 40), 172: (313, 40), 184: (313, 40), 176: (313, 40), 173: (313, 40), 175: (21, 40),
         177: (36, 40), 183: (36, 40), 179: (48, 40), 180: (48, 40), 186: (24, 25)}
SPINNER = [187, 188, 189, 190, 191, 192, 7, 194, 195, 196, 197, 198]
PARTIAL = [171, 174, 175, 176, 177, 179, 187]


def spinner_colour(i):
    return (i * 20, 255 - i * 20, 128, 255)


def fill_image():
    # Column x: red = x mod 256, green = 50 or 150 (x >= 256), blue 77.
    img = Image.new("RGBA", (313, 40))
    for x in range(313):
        for y in range(40):
            img.putpixel((x, y), (x % 256, 150 if x >= 256 else 50, 77, 255))
    return img


def spinner_image(i):
    # Transparent left half, so the cap under it stays visible there.
    img = Image.new("RGBA", (32, 40), (0, 0, 0, 0))
    for x in range(16, 32):
        for y in range(40):
            img.putpixel((x, y), spinner_colour(i))
    return img


def background_image():
    img = Image.new("RGBA", (390, 220), BACKGROUND)
    # A fully transparent corner, to see per-pixel alpha survive.
    for x in range(10):
        for y in range(10):
            img.putpixel((x, y), (0, 0, 0, 0))
    return img


DIALOG = """
102 DIALOGEX 0, 0, 207, 94
STYLE DS_SETFONT | DS_FIXEDSYS | WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU
EXSTYLE WS_EX_APPWINDOW
CAPTION L"Orvex\\x52a9\\x624b\\x5b89\\x88c5\\x5668"
FONT 9, "MS Shell Dlg", 0, 0, 0x1
BEGIN
    PUSHBUTTON "", 1003, 19, 31, 168, 37
    DEFPUSHBUTTON "OK", IDOK, 14, 3, 42, 25
    PUSHBUTTON "-", 1005, 171, 0, 9, 12
    PUSHBUTTON "X", 1006, 192, 0, 9, 12
END
"""


def write_rc(path, names, icon=None):
    with open(path, "w", encoding="utf-8") as rc:
        rc.write("#include <windows.h>\n")
        if icon:
            rc.write('153 ICON "%s"\n' % icon)
        rc.write(DIALOG)
        for rid, name in names:
            rc.write('%d PNG "%s"\n' % (rid, name.replace("\\", "/")))


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    images = {1003: background_image(), 174: fill_image()}
    for rid, colour in COLOURS.items():
        images[rid] = Image.new("RGBA", SIZES[rid], colour)
    for i, rid in enumerate(SPINNER):
        images[rid] = spinner_image(i)
    names = []
    for rid, img in sorted(images.items()):
        name = os.path.join(out, "skin_%d.png" % rid)
        img.save(name)
        names.append((rid, name))
    icon = os.path.join(out, "test_icon.ico")
    Image.new("RGBA", (32, 32), (0, 128, 255, 255)).save(icon, sizes=[(32, 32)])
    write_rc(os.path.join(out, "test_skin.rc"), names, icon)
    write_rc(os.path.join(out, "partial_skin.rc"), [n for n in names if n[0] in PARTIAL])


if __name__ == "__main__":
    main()
