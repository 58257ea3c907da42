#!/usr/bin/env python3
"""Packs the skin folder into the archive embedded in uninstall.exe (entries deflated, fixed
time stamps so the build is reproducible). Usage: make_skin_zip.py <skin dir> <output zip>"""
import os
import sys
import zipfile

skin_dir, output = sys.argv[1], sys.argv[2]
names = ["main.xml", "img/close.png", "img/close_hot.png", "img/close_push.png", "img/logo4.png"]
with zipfile.ZipFile(output + ".tmp", "w") as archive:
    for name in names:
        info = zipfile.ZipInfo(name, date_time=(2023, 1, 1, 0, 0, 0))
        info.compress_type = zipfile.ZIP_DEFLATED
        with open(os.path.join(skin_dir, name), "rb") as f:
            archive.writestr(info, f.read(), compresslevel=9)
os.replace(output + ".tmp", output)
