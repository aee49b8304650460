#!/bin/sh
# Draws the program's images from the SVG sources in this folder:
#   icon_<id>_<size>.png  icon groups 128, 137, 138, 140 at 16, 32, 48 px
#   bitmap_131.png        the 280 x 50 banner, 8 bits per pixel
#   cursor_132.png        the 32 x 32 black-and-white link cursor
# Needs rsvg-convert (librsvg2-bin), ImageMagick's convert and the Carlito
# font (fonts-crosextra-carlito). Run it after changing a source and commit
# the PNG files with the sources.
set -eu
cd "$(dirname "$0")"

# id light dark edge mark: the state each icon stands for
#   128 paired, signed out   137 signed in   138 busy   140 not paired
while read -r id light dark edge mark; do
    sed -e "s/@LIGHT@/$light/" -e "s/@DARK@/$dark/" -e "s/@EDGE@/$edge/" -e "s/@MARK@/$mark/" \
        icon.svg.in > "icon_$id.svg.tmp"
    for size in 16 32 48; do
        rsvg-convert -w "$size" -h "$size" "icon_$id.svg.tmp" -o "icon_${id}_$size.png"
    done
    rm "icon_$id.svg.tmp"
done <<'STATES'
128 #4a90d9 #1f5fa8 #17457a #f5b301
137 #4cc06a #1f8a3e #176a2f #ffffff
138 #f0b341 #c98510 #9a650b #ffffff
140 #a3aab3 #6c7580 #525a63 #d9534f
STATES

rsvg-convert -w 280 -h 50 banner_131.svg | convert png:- -strip -colors 256 PNG8:bitmap_131.png
rsvg-convert -w 32 -h 32 cursor_132.svg |
    convert png:- -strip -channel A -threshold 50% +channel \
        -channel RGB -threshold 50% +channel PNG32:cursor_132.png
