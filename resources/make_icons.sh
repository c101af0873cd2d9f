#!/bin/sh
# Regenerates the committed PNG and ICO files from the SVG sources.
# Needs rsvg-convert (librsvg2-bin) and ImageMagick's convert.
set -eu
cd "$(dirname "$0")"
# 16, 32 and 128 are in the program's resources; all six go to the icon theme.
for size in 16 32 48 64 128 256; do
    rsvg-convert -w $size -h $size fenk_logo.svg -o FENK_Logo_$size.png
done
sed -e 's/LABEL/#d62828/' -e 's/BADGE/M 10.6 10.6 H 16.8 V 16.8 H 10.6 Z/' fenk_tray.svg |
    rsvg-convert -w 18 -h 18 -o FENK_Logo_18_red.png
sed -e 's/LABEL/#2a9d3f/' -e 's/BADGE/M 10.4 9.8 V 17.2 L 17.2 13.5 Z/' fenk_tray.svg |
    rsvg-convert -w 18 -h 18 -o FENK_Logo_18_green.png
convert FENK_Logo_16.png FENK_Logo_32.png FENK_Logo_48.png FENK_Logo_256.png Fenk_Logo.ico
