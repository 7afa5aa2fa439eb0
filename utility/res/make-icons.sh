#!/bin/sh
# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# Draws Dunmark's icon 128 (a card passing through a swipe reader) with
# ImageMagick: 32 x 32 and 16 x 16 images of at most 16 colours drawn pixel
# by pixel, the Windows .ico holding both, and smooth 48, 64, 128 and 256
# pixel images of the 32 x 32 drawing for the desktop's icon theme.  Run it
# here after changing the drawing.
set -eu
# No time stamps in the files, so that drawing again changes nothing.
keep=-strip
convert $keep -size 32x32 xc:none \
  -fill '#f4f4f0' -stroke '#1f4e99' -strokewidth 1 -draw 'roundrectangle 6,1 25,20 2,2' \
  -stroke none -fill '#202020' -draw 'rectangle 7,4 24,6' \
  -fill '#1f4e99' -draw 'rectangle 9,10 18,11' -draw 'rectangle 9,13 15,14' \
  -fill '#3c4a5c' -stroke '#1c2430' -draw 'roundrectangle 1,15 30,30 3,3' \
  -stroke none -fill '#0c0f14' -draw 'rectangle 4,17 27,18' \
  -fill '#2fd04a' -draw 'circle 26,26 27,27' \
  +dither -colors 16 PNG8:icon128-32.png
convert $keep -size 16x16 xc:none \
  -fill '#f4f4f0' -stroke '#1f4e99' -strokewidth 1 -draw 'rectangle 3,0 12,10' \
  -stroke none -fill '#202020' -draw 'rectangle 4,2 11,2' \
  -fill '#1f4e99' -draw 'rectangle 5,5 9,5' \
  -fill '#3c4a5c' -stroke '#1c2430' -draw 'rectangle 0,8 15,15' \
  -stroke none -fill '#0c0f14' -draw 'rectangle 2,9 13,9' \
  -fill '#2fd04a' -draw 'rectangle 12,12 13,13' \
  +dither -colors 16 PNG8:icon128-16.png
convert icon128-32.png icon128-16.png dunmark.ico
# The same drawing on the 32-unit grid, scaled: a pixel (x, y) above is the
# unit square from (x, y) to (x+1, y+1) here, and outlines run through the
# middle of their pixels.
for size in 48 64 128 256; do
  convert $keep -size "${size}x${size}" xc:none -draw "scale $(echo "$size / 32" | bc -l),$(echo "$size / 32" | bc -l)
    fill '#f4f4f0' stroke '#1f4e99' stroke-width 1 roundrectangle 6.5,1.5 25.5,20.5 2,2
    stroke none fill '#202020' rectangle 7,4 25,7
    fill '#1f4e99' rectangle 9,10 19,12 rectangle 9,13 16,15
    fill '#3c4a5c' stroke '#1c2430' roundrectangle 1.5,15.5 30.5,30.5 3,3
    stroke none fill '#0c0f14' rectangle 4,17 28,19
    fill '#2fd04a' circle 26.5,26.5 28,26.5" \
    -depth 8 "PNG32:icon128-$size.png"
done
