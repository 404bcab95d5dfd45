#!/bin/sh
# Pictures for the README from a real headless run on the demo track: the figure dancing.
#   tools/make-pictures.sh    writes docs/screenshot.png (the whole window), docs/dancing.gif and
#                             docs/video-frame.png (a frame of a video dancer --render made)
# The sound goes to SDL's disk driver and from there to /dev/null: that driver takes the music at
# the pace it would be heard, so the figure moves as it would on speakers.
# DANCE_SECONDS (default 4) sets the GIF's length; it takes a frame every 100 ms.
set -eu
# shellcheck source-path=SCRIPTDIR source=headless.sh
. "$(dirname "$0")/headless.sh"

seconds=${DANCE_SECONDS:-4}
gif_limit=$((2 * 1024 * 1024))
[ -f "$root/data/1.mp3" ] || { echo "no demo track at data/1.mp3" >&2; exit 1; }

start_headless "$root/data" SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=/dev/null
# Give the music time to set the figure moving.
sleep 2
capture "$scratch/screenshot.png"

now_ms() { echo $(($(date +%s%N) / 1000000)); }
frame_time() { cat "$scratch/frame-$1.time"; }
frames=$((seconds * 10))
start=$(now_ms)
i=0
while [ "$i" -lt "$frames" ]; do
    capture "$scratch/frame-$i.miff"
    now_ms >"$scratch/frame-$i.time"
    i=$((i + 1))
    wait_ms=$((start + i * 100 - $(now_ms)))
    if [ "$wait_ms" -gt 0 ]; then
        sleep "$(printf '0.%03d' "$wait_ms")"
    fi
done
stop_headless

# Each frame is shown for as long as it really lasted, in the GIF's 10 ms units.
set --
i=0
while [ "$i" -lt "$frames" ]; do
    if [ $((i + 1)) -lt "$frames" ]; then
        delay=$((($(frame_time $((i + 1))) - $(frame_time "$i") + 5) / 10))
    else
        delay=10
    fi
    set -- "$@" -delay "$delay" "$scratch/frame-$i.miff"
    i=$((i + 1))
done
convert "$@" -resize 400x400 -colorspace Gray +dither -colors 32 -layers Optimize -loop 0 \
    "$scratch/dancing.gif"

size=$(stat -c %s "$scratch/dancing.gif")
if [ "$size" -ge "$gif_limit" ]; then
    echo "dancing.gif is $size bytes, over 2 MB: try a smaller DANCE_SECONDS" >&2
    exit 1
fi
write_png "$scratch/screenshot.png" "$root/docs/screenshot.png"
cp "$scratch/dancing.gif" "$root/docs/dancing.gif"
took=$(($(frame_time $((frames - 1))) - start))
echo "docs/screenshot.png; docs/dancing.gif: $frames frames over $took ms, $size bytes"

# A frame of a video of the demo track, as `dancer --render` makes it with no display: 12 s in,
# 1280x720, the figure turning 20 degrees a second.
env -u DISPLAY "$DANCER_BIN" --render "$scratch/video.mp4" --size 1280x720 --spin 20 \
    "$root/data/1.mp3"
ffmpeg -v error -ss 12 -i "$scratch/video.mp4" -frames:v 1 -vf scale=640:360 "$scratch/video-frame.png"
write_png "$scratch/video-frame.png" "$root/docs/video-frame.png"
echo "docs/video-frame.png"
