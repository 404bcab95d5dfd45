# shellcheck shell=sh
# Sourced by the picture scripts: runs the built binary on a private Xvfb server, never on the
# developer's desktop. Provides:
#   start_headless DIR [NAME=VALUE...]   starts Xvfb, then dancer in DIR with that environment, and
#                                        waits for its window; sets DISPLAY, dancer_window, scratch
#   capture FILE                         the window's pixels, in the format FILE's suffix names
#   write_png SOURCE DEST [OPTION...]    converts with ImageMagick into a PNG without timestamps,
#                                        so an unchanged picture stays byte-identical
#   stop_headless                        ends dancer and Xvfb (also run on exit)
# Both scripts build the binary first unless DANCER_BIN names one.

root=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
xvfb_pid=""
dancer_pid=""

stop_headless() {
    if [ -n "$dancer_pid" ]; then
        kill "$dancer_pid" 2>/dev/null || true
        wait "$dancer_pid" 2>/dev/null || true
        dancer_pid=""
    fi
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
        xvfb_pid=""
    fi
}
trap 'stop_headless; rm -rf "$scratch"' EXIT
trap 'exit 1' INT TERM

"$root/tools/install-deps.sh" test
if [ -z "${DANCER_BIN:-}" ]; then
    make -C "$root" --no-print-directory build
    DANCER_BIN="$root/build/dancer"
fi
# The binary runs in another directory.
case $DANCER_BIN in /*) ;; *) DANCER_BIN="$PWD/$DANCER_BIN" ;; esac

start_headless() {
    dir=$1
    shift
    # Xvfb picks a free display number and writes it to fd 5 once it accepts connections.
    Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp -noreset \
        5>"$scratch/display" >/dev/null 2>&1 &
    xvfb_pid=$!
    tries=0
    until [ -s "$scratch/display" ]; do
        tries=$((tries + 1))
        [ "$tries" -le 100 ] || { echo "Xvfb did not start" >&2; exit 1; }
        sleep 0.1
    done
    DISPLAY=":$(cat "$scratch/display")"
    export DISPLAY

    (cd "$dir" && exec env "$@" "$DANCER_BIN" 2>"$scratch/dancer.stderr") &
    dancer_pid=$!
    tries=0
    dancer_window=""
    while [ -z "$dancer_window" ]; do
        if ! kill -0 "$dancer_pid" 2>/dev/null; then
            echo "dancer exited early:" >&2
            cat "$scratch/dancer.stderr" >&2
            exit 1
        fi
        tries=$((tries + 1))
        [ "$tries" -le 150 ] || { echo "no dancer window" >&2; exit 1; }
        sleep 0.1
        dancer_window=$(xdotool search --onlyvisible --class dancer 2>/dev/null | head -n 1)
    done
    # Let the first frames reach the screen.
    sleep 0.5
}

capture() {
    import -window "$dancer_window" "$1"
}

write_png() {
    from=$1
    to=$2
    shift 2
    convert "$from" "$@" -strip -define png:exclude-chunks=date,time "$to"
}
