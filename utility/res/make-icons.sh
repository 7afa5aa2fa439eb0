#!/bin/sh
# Draws Dunmark's icon 128 (a card passing through a swipe reader) with
# ImageMagick: 32 x 32 and 16 x 16 images of at most 16 colours, and the
# Windows .ico holding both.  Run it here after changing the drawing.
set -eu
convert -size 32x32 xc:none \
  -fill '#f4f4f0' -stroke '#1f4e99' -strokewidth 1 -draw 'roundrectangle 6,1 25,20 2,2' \
  -stroke none -fill '#202020' -draw 'rectangle 7,4 24,6' \
  -fill '#1f4e99' -draw 'rectangle 9,10 18,11' -draw 'rectangle 9,13 15,14' \
  -fill '#3c4a5c' -stroke '#1c2430' -draw 'roundrectangle 1,15 30,30 3,3' \
  -stroke none -fill '#0c0f14' -draw 'rectangle 4,17 27,18' \
  -fill '#2fd04a' -draw 'circle 26,26 27,27' \
  +dither -colors 16 PNG8:icon128-32.png
convert -size 16x16 xc:none \
  -fill '#f4f4f0' -stroke '#1f4e99' -strokewidth 1 -draw 'rectangle 3,0 12,10' \
  -stroke none -fill '#202020' -draw 'rectangle 4,2 11,2' \
  -fill '#1f4e99' -draw 'rectangle 5,5 9,5' \
  -fill '#3c4a5c' -stroke '#1c2430' -draw 'rectangle 0,8 15,15' \
  -stroke none -fill '#0c0f14' -draw 'rectangle 2,9 13,9' \
  -fill '#2fd04a' -draw 'rectangle 12,12 13,13' \
  +dither -colors 16 PNG8:icon128-16.png
convert icon128-32.png icon128-16.png dunmark.ico
