#!/bin/sh
# Draws the application icon, 512-memloupe_app_icon.png: a magnifier over a
# heap of cost bars in the colours of the cost bars of the views. Run it by hand
# after changing the picture and commit the PNG; the build only reads the PNG.
set -eu
cd "$(dirname "$0")"
convert -size 512x512 xc:none \
    -fill '#2b3a4a' -draw "roundrectangle 24,24 488,488 72,72" \
    -fill '#4caf50' -draw "roundrectangle 72,372 440,420 10,10" \
    -fill '#9ccc3c' -draw "roundrectangle 72,312 392,360 10,10" \
    -fill '#f2c230' -draw "roundrectangle 72,252 330,300 10,10" \
    -fill '#f28c28' -draw "roundrectangle 72,192 262,240 10,10" \
    -fill '#e53935' -draw "roundrectangle 72,132 196,180 10,10" \
    -stroke '#e8eef4' -strokewidth 30 -fill 'rgba(200,225,255,0.28)' -draw "circle 300,220 300,340" \
    -stroke '#e8eef4' -strokewidth 46 -draw "line 390,310 452,372" \
    -stroke none -fill '#e8eef4' -draw "circle 452,372 452,395" \
    -strip 512-memloupe_app_icon.png
