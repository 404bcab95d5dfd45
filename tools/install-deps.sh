#!/bin/sh
# Installs the Debian packages a target needs, and only those that are missing:
#   tools/install-deps.sh run    what building and running the program needs
#   tools/install-deps.sh test   that, plus what the test suite needs
#   tools/install-deps.sh package   the run list, plus what building the .deb needs
#   tools/install-deps.sh demo   what remaking the demo track needs
#   tools/install-deps.sh fuzz   the run list, plus clang's libFuzzer and the tools that make seeds
#   tools/install-deps.sh bench  the test list, plus what `make bench` and profiling need
# Quiet and quick when everything is present; apt-get update runs only when something is missing.
set -eu

# A video (--render) draws through EGL with no display and is encoded by FFmpeg's libraries; its
# credits' glyphs are made at build time, by FreeType, from xfonts-75dpi's Times Roman.
# TagLib's development package is libtag1-dev up to Debian 12 and libtag-dev from 13 on. The
# captions are laid out by Pango in the desktop's sans-serif font; DejaVu covers Latin, Greek and
# Cyrillic where nothing else is installed.
. /etc/os-release
case "${VERSION_ID:-}" in
  ?|1[0-2]) taglib_pkg=libtag1-dev ;;
  *) taglib_pkg=libtag-dev ;;
esac
run_pkgs="build-essential cmake pkg-config freeglut3-dev libglu1-mesa-dev libgl-dev libx11-dev
  libgl1-mesa-dri libsdl2-dev libsdl2-mixer-dev libasound2-dev libpulse-dev libmpg123-dev libkissfft-dev
  $taglib_pkg libpango1.0-dev libcairo2-dev fonts-dejavu-core libsystemd-dev libxss-dev
  libxrandr-dev libegl-dev libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev
  libfreetype-dev xfonts-75dpi"
# dpkg-shlibdeps (dpkg-dev) finds the package's dependencies; CPack needs `file` to run it.
package_pkgs="dpkg-dev file"
# lame, mpg123 and sox (with its MP3 format) make and decode the tests' music; lame alone remakes the
# demo track. lintian (which reads the manual page with man-db) and appstream check the package and
# its metadata as a distribution would, and gio (libglib2.0-bin) starts the menu entry as a desktop
# does. PulseAudio and PipeWire (with its session manager, its PulseAudio service and a
# session bus for them) are the sound servers a test crashes and starts again under the running
# program. openbox is the window manager the full-screen key is tried under. locales holds what the
# folder test compiles an English locale from, to see accented names ordered as the user's language
# orders them. playerctl is the desktop's media controls; mpv (with its MPRIS plugin) is a desktop
# player to listen to; python3-gi serves a screen saver on the tests' bus, which dbus-send asks
# things of, and xset sets the X server's. libfuse3 (fuse3) serves the tests a folder that never
# answers, as a network's may not. ffmpeg's ffprobe and decoder read back the videos made.
# python3-xlib reads the window's pixels for the tests; ImageMagick makes the README's pictures.
test_pkgs="ffmpeg playerctl mpv mpv-mpris python3-gi libfuse3-dev fuse3 dbus-bin x11-xserver-utils libgtest-dev xvfb xauth x11-utils xdotool imagemagick python3 python3-pytest
  python3-pytest-xvfb python3-xlib lame mpg123 sox libsox-fmt-mp3 desktop-file-utils libglib2.0-bin lintian appstream
  pulseaudio pulseaudio-utils pipewire wireplumber pipewire-pulse dbus-daemon openbox locales
  $package_pkgs"
demo_pkgs="python3 lame"
fuzz_pkgs="clang libclang-rt-dev lame sox"
# ffplay (ffmpeg) is what the whole program is compared with; valgrind's callgrind profiles, since
# perf sees no hardware counters on this VM.
bench_pkgs="ffmpeg valgrind"

case "${1:-run}" in
  run) wanted="$run_pkgs" ;;
  test) wanted="$run_pkgs $test_pkgs" ;;
  package) wanted="$run_pkgs $package_pkgs" ;;
  demo) wanted="$demo_pkgs" ;;
  fuzz) wanted="$run_pkgs $fuzz_pkgs" ;;
  bench) wanted="$run_pkgs $test_pkgs $bench_pkgs" ;;
  *) echo "usage: $0 run|test|package|demo|fuzz|bench" >&2; exit 2 ;;
esac

missing=""
for pkg in $wanted; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' \
    || missing="$missing $pkg"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
echo "installing:$missing"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get -o DPkg::Lock::Timeout=300 update -qq
# shellcheck disable=SC2086
$sudo apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends $missing >/dev/null
