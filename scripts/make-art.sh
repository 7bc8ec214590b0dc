#!/usr/bin/env bash
# Draws the program's icon (res/StickMedic.ico, 32x32 and 16x16) and the
# maker's logo for the bottom band (res/logo.bmp, 86x27, 8 bits per pixel, on
# the band's colour). The results are committed; run again to redraw them.
set -euo pipefail
cd "$(dirname "$0")/../res"
band='rgb(222,239,255)'
convert -size 86x27 "xc:$band" \
  -fill 'rgb(30,90,170)' -draw 'roundrectangle 3,4 22,22 4,4' \
  -fill "$band" -draw 'rectangle 8,9 17,17' \
  -fill 'rgb(30,90,170)' -draw 'rectangle 11,12 14,14' \
  -font DejaVu-Sans-Bold -pointsize 13 -fill 'rgb(30,90,170)' -annotate +26+18 'Quorvel' \
  -colors 64 -type Palette -compress None BMP3:logo.bmp
convert -size 64x64 xc:none \
  -fill 'rgb(30,90,170)' -draw 'roundrectangle 4,2 60,62 10,10' \
  -fill 'rgb(255,255,255)' -draw 'rectangle 22,2 42,16' \
  -fill 'rgb(240,60,40)' -draw 'rectangle 26,28 38,50' -draw 'rectangle 21,33 43,45' \
  -define icon:auto-resize=32,16 StickMedic.ico
