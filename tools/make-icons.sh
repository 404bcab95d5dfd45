#!/bin/sh
# Renders the menu icons from the program's own figure: runs the built binary headless with no
# music, so its body stands at rest, and cuts it out of the window onto a transparent square.
#   tools/make-icons.sh    writes desktop/icons/dancer-{48,128,256}.png
set -eu
# shellcheck source-path=SCRIPTDIR source=headless.sh
. "$(dirname "$0")/headless.sh"

mkdir "$scratch/no-music"
start_headless "$scratch/no-music" SDL_AUDIODRIVER=dummy
capture "$scratch/window.png"
stop_headless

# The credit text in the lower right corner is blacked out first. Nothing on the figure is pure
# black (the ambient light sees to that), so exactly black is the background.
convert "$scratch/window.png" -fill black -draw "rectangle 490,750 799,799" \
    -transparent black -trim +repage "$scratch/figure.png"
width=$(identify -format %w "$scratch/figure.png")
height=$(identify -format %h "$scratch/figure.png")
side=$(( (width > height ? width : height) * 21 / 20 ))
for size in 48 128 256; do
    write_png "$scratch/figure.png" "$root/desktop/icons/dancer-$size.png" \
        -background none -gravity center -extent "${side}x${side}" -resize "${size}x${size}"
done
echo "desktop/icons/dancer-{48,128,256}.png from a ${width}x${height} figure"
