"""Drives the real dancer binary on a private Xvfb server.

Each test gets its own X server, so tests can run in parallel and never touch the developer's desktop.
The binary is started in a scratch working directory (where it looks for 1.mp3), with SDL's audio
sent to the dummy driver unless a test asks for another. The frame counter (frame_counter.cpp) is
preloaded into it, so a test can see the ticks and frames go by. Whatever a test checks, a sanitizer
report on the binary's stderr fails it.
"""
import ctypes
import mmap
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

import pytest

DANCER_BIN = os.path.abspath(os.environ.get("DANCER_BIN", "build/dancer"))
SOURCE_DIR = os.environ.get("DANCER_SOURCE_DIR", os.getcwd())
sys.path.insert(0, os.path.join(SOURCE_DIR, "tools"))
import test_media  # noqa: E402
FRAME_COUNTER = os.environ.get("DANCER_FRAME_COUNTER", "build/libdancer_frame_counter.so")

# What AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer print when they find something.
SANITIZER_REPORT = re.compile(r"==\d+==(ERROR|WARNING): \w+Sanitizer|runtime error: |"
                              r"SUMMARY: \w+Sanitizer")


def expect_no_sanitizer_report(stderr):
    match = SANITIZER_REPORT.search(stderr)
    assert match is None, "sanitizer report on stderr:\n" + stderr[max(0, match.start() - 200):]


def _run(args, display, timeout=10, check=True):
    env = dict(os.environ, DISPLAY=display)
    return subprocess.run(args, env=env, capture_output=True, text=True, timeout=timeout, check=check)


class XServer:
    def __init__(self, width=1280, height=1024):
        read_fd, write_fd = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", f"{width}x{height}x24",
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        number = b""
        with os.fdopen(read_fd, "rb") as pipe:
            while not number.endswith(b"\n"):
                chunk = pipe.read(1)
                if not chunk:
                    raise RuntimeError("Xvfb did not start")
                number += chunk
        self.display = ":" + number.decode().strip()

    def run(self, *args, **kwargs):
        return _run(list(args), self.display, **kwargs)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)


class Counters:
    """The frame counter's file: ticks (timer re-arms), frames (buffer swaps), the longest gap
    between two ticks, and whether the spin's idle callback is installed, as the running program
    updates them."""
    WORDS = 5

    def __init__(self):
        fd, self.path = tempfile.mkstemp(prefix="dancer-counters-")
        os.write(fd, bytes(8 * self.WORDS))
        # The program may run as another user.
        os.fchmod(fd, 0o666)
        self.map = mmap.mmap(fd, 8 * self.WORDS)
        os.close(fd)

    def read(self):
        """(ticks, frames, longest gap between two ticks in seconds)."""
        ticks, frames, gap_ns = struct.unpack_from("=3Q", self.map)
        return ticks, frames, gap_ns / 1e9

    def idle_installed(self):
        return struct.unpack_from("=Q", self.map, 32)[0] == 1

    def restart_longest_gap(self):
        struct.pack_into("=Q", self.map, 16, 0)

    def close(self):
        if not self.map.closed:
            self.map.close()
            os.unlink(self.path)


def readable_by_anyone(*files):
    """Copies of `files` in a fresh directory every user may read: the checkout may sit where only
    its owner can (root's home, say), and a program run as another user must still start."""
    folder = tempfile.mkdtemp(prefix="dancer-as-another-user-")
    os.chmod(folder, 0o755)
    copies = []
    for path in files:
        copy = os.path.join(folder, os.path.basename(path))
        shutil.copy(path, copy)
        os.chmod(copy, 0o755)
        copies.append(copy)
    return copies


class Dancer:
    """One run of the binary. `window` is its X window id once `wait_for_window` has returned.
    `command` goes before the binary, to run it as another user for example."""

    def __init__(self, xserver, workdir, env=None, args=(), binary=DANCER_BIN, command=()):
        self.x = xserver
        self.workdir = workdir
        self.counters = Counters()
        counter = os.path.abspath(FRAME_COUNTER)
        if command:
            binary, counter = readable_by_anyone(binary, counter)
        full_env = dict(os.environ, DISPLAY=xserver.display, SDL_AUDIODRIVER="dummy",
                        LD_PRELOAD=counter, DANCER_TEST_COUNTERS=self.counters.path)
        full_env.update(env or {})
        # A file rather than a pipe, so that what it says can be read while it runs.
        self._stderr = tempfile.TemporaryFile()
        self.proc = subprocess.Popen([*command, binary, *args], cwd=workdir, env=full_env,
                                     stdout=subprocess.DEVNULL, stderr=self._stderr)
        self.window = None

    def wait_for_window(self, timeout=15):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError(f"dancer exited with {self.proc.returncode}: {self.stderr()}")
            found = self.x.run("xdotool", "search", "--onlyvisible", "--class", "dancer",
                               check=False).stdout.split()
            if found:
                self.window = found[0]
                # Let the first frames reach the screen.
                time.sleep(0.5)
                return self.window
            time.sleep(0.1)
        raise TimeoutError("no dancer window")

    def geometry(self):
        """(x, y, width, height) of the window on the screen."""
        info = self.x.run("xwininfo", "-id", self.window).stdout
        fields = {}
        for line in info.splitlines():
            if ":" in line:
                key, _, value = line.strip().partition(":")
                fields[key] = value.strip()
        return (int(fields["Absolute upper-left X"]), int(fields["Absolute upper-left Y"]),
                int(fields["Width"]), int(fields["Height"]))

    def screenshot(self):
        """The window's pixels as an Image."""
        _, _, width, height = self.geometry()
        raw = subprocess.run(["import", "-display", self.x.display, "-window", self.window,
                              "-depth", "8", "rgb:-"], capture_output=True, check=True,
                             timeout=20).stdout
        return Image(width, height, raw)

    def key(self, keysym):
        # Keys go where the pointer is (there is no window manager), so point at the window first.
        self.x.run("xdotool", "mousemove", "--window", self.window, "400", "400", "key", keysym)

    def xdotool(self, *words):
        """One xdotool command; the actions chained in it reach the program back to back."""
        self.x.run("xdotool", *[str(word) for word in words])

    def flick_release(self, x, y):
        """Moves the pointer to window pixel (x, y) and lets go of the left button in one batch of X
        requests, so both events reach the program together, in the same millisecond. xdotool sends
        them apart, and under load the program can draw a frame between them."""
        x11 = ctypes.CDLL("libX11.so.6")
        xtst = ctypes.CDLL("libXtst.so.6")
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XFlush.argtypes = x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
        xtst.XTestFakeMotionEvent.argtypes = [ctypes.c_void_p] + [ctypes.c_int] * 3 + [ctypes.c_ulong]
        xtst.XTestFakeButtonEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int,
                                              ctypes.c_ulong]
        left, top, _, _ = self.geometry()
        display = x11.XOpenDisplay(self.x.display.encode())
        if not display:
            raise RuntimeError(f"cannot open {self.x.display}")
        xtst.XTestFakeMotionEvent(display, -1, left + x, top + y, 0)
        xtst.XTestFakeButtonEvent(display, 1, 0, 0)
        x11.XFlush(display)
        x11.XCloseDisplay(display)

    def resize(self, width, height, timeout=10):
        """Resizes the window (there is no window manager to refuse) and waits for a fresh frame."""
        self.xdotool("windowsize", self.window, width, height)
        deadline = time.monotonic() + timeout
        while self.geometry()[2:] != (width, height):
            if time.monotonic() > deadline:
                raise TimeoutError(f"window did not become {width}x{height}")
            time.sleep(0.05)
        time.sleep(0.5)

    def wait(self, timeout=10):
        return self.proc.wait(timeout=timeout)

    def stderr(self):
        """Everything it has written to stderr so far."""
        self._stderr.seek(0)
        return self._stderr.read().decode(errors="replace")

    def drawing(self, seconds=1.0):
        """Ticks and frames per second over the next `seconds`, and the longest gap between two
        ticks in that time, in seconds."""
        ticks0, frames0, _ = self.counters.read()
        self.counters.restart_longest_gap()
        time.sleep(seconds)
        ticks1, frames1, gap = self.counters.read()
        return (ticks1 - ticks0) / seconds, (frames1 - frames0) / seconds, gap

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def finish(self):
        """Stops it if it still runs and fails on any sanitizer report it wrote."""
        self.stop()
        self.counters.close()
        expect_no_sanitizer_report(self.stderr())


class Image:
    def __init__(self, width, height, rgb):
        assert len(rgb) == width * height * 3, "unexpected screenshot size"
        self.width, self.height, self.rgb = width, height, rgb

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.rgb[i:i + 3])

    def region(self, x0, y0, x1, y1):
        """Raw bytes of the rectangle [x0, x1) x [y0, y1)."""
        return b"".join(self.rgb[(y * self.width + x0) * 3:(y * self.width + x1) * 3]
                        for y in range(y0, y1))


@pytest.fixture
def xserver():
    server = XServer()
    yield server
    server.stop()


@pytest.fixture
def workdir():
    path = tempfile.mkdtemp(prefix="dancer-e2e-")
    yield path
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def start_dancer(xserver, workdir):
    """Starts the binary (the built one, in `workdir`, unless told otherwise) and stops whatever is
    left at the end."""
    started = []

    def start(env=None, args=(), cwd=None, binary=DANCER_BIN):
        dancer = Dancer(xserver, cwd or workdir, env=env, args=args, binary=binary)
        started.append(dancer)
        return dancer

    yield start
    for dancer in started:
        dancer.finish()


# Several cases of a module share one X server and run one after another.
@pytest.fixture(scope="module")
def shared_x():
    server = XServer()
    yield server
    server.stop()


@pytest.fixture
def start(shared_x, workdir):
    """Starts the binary in `workdir` on the shared X server and waits for its window; what is left
    running is stopped at the end."""
    started = []

    def run(env=None, command=()):
        dancer = Dancer(shared_x, workdir, env=env, command=command)
        started.append(dancer)
        dancer.wait_for_window()
        return dancer

    yield run
    for dancer in started:
        dancer.finish()


TRACK_SECONDS = 1.5


@pytest.fixture(scope="module")
def media():
    """A directory of music made by the project's generator (tools/test_media.py): a short track
    as WAV (track.wav), as MP3 in each MPEG version and mode lame makes (mp3.mp3, mpeg2_22k.mp3,
    mpeg25_8k.mp3, mono.mp3, vbr_48k.mp3), and as Ogg Vorbis and FLAC (track.ogg, track.flac)."""
    path = tempfile.mkdtemp(prefix="dancer-media-")
    wav = os.path.join(path, "track.wav")
    test_media.write_track(wav, TRACK_SECONDS)
    for kind in test_media.MP3_KINDS:
        test_media.encode_mp3(wav, os.path.join(path, kind + ".mp3"), kind)
    test_media.convert(wav, os.path.join(path, "track.ogg"))
    test_media.convert(wav, os.path.join(path, "track.flac"))
    yield path
    shutil.rmtree(path, ignore_errors=True)


def media_bytes(media, name):
    with open(os.path.join(media, name), "rb") as f:
        return f.read()


def write_music_file(workdir, content):
    with open(os.path.join(workdir, "1.mp3"), "wb") as f:
        f.write(content)


# Window regions no arm ever reaches, whatever the swing: above the shoulders (neck and head) and
# below the hands (shins and feet). The torso, waist and thighs lie between and are crossed by the
# arms, so they are judged through the head and legs they carry.
HEAD = (300, 180, 500, 320)
LOWER_LEGS = (250, 600, 550, 765)


def body_moves(dancer, seconds=0.5):
    """Whether the figure's head or lower legs moved between two screenshots `seconds` apart. The
    arms swing with music or without, so a window that did not change at all fails instead."""
    a = dancer.screenshot()
    time.sleep(seconds)
    b = dancer.screenshot()
    assert a.rgb != b.rgb, "the window stopped changing"
    return a.region(*HEAD) != b.region(*HEAD) or a.region(*LOWER_LEGS) != b.region(*LOWER_LEGS)


def lit_grey_share(shot):
    """Share of the window's pixels that show the lit grey figure."""
    rgb = shot.rgb
    grey = sum(1 for i in range(0, len(rgb), 3)
               if rgb[i] == rgb[i + 1] == rgb[i + 2] and rgb[i] > 60)
    return grey / (shot.width * shot.height)


# The timer asks for 50 ticks a second and a frame follows each; freeglut's wake-ups make that about
# 47. A two-core machine busy with other tests, under the sanitizers, still keeps well above these,
# while a stalled or crawling event loop falls far below them.
MIN_TICKS_PER_SECOND = 25
MIN_FRAMES_PER_SECOND = 20


def expect_drawing_at_its_rate(dancer, seconds=1.0, attempts=3):
    """Ticks and frames come at least at the rates above over one of `attempts` spells of
    `seconds`: a start that is slow to settle (shaders still compiling, a busy machine) may spoil
    one, while an event loop that stalls or crawls fails them all. Returns the best spell."""
    best = (0, 0, 0)
    for _ in range(attempts):
        ticks, frames, gap = dancer.drawing(seconds)
        best = max(best, (ticks, frames, gap))
        if ticks >= MIN_TICKS_PER_SECOND and frames >= MIN_FRAMES_PER_SECOND:
            return ticks, frames, gap
    raise AssertionError(f"at best {best[0]:.0f} ticks and {best[1]:.0f} frames a second")


def expect_draws_and_quits(dancer):
    """The window draws at the timer's rate; resizing makes it draw a new frame, which must show the
    figure; then q ends it with status 0. Returns what it wrote to stderr."""
    expect_drawing_at_its_rate(dancer)
    dancer.x.run("xdotool", "windowsize", dancer.window, "400", "400")
    deadline = time.monotonic() + 10
    while True:
        if dancer.geometry()[2:] == (400, 400) and lit_grey_share(dancer.screenshot()) > 0.03:
            break
        assert time.monotonic() < deadline, "no new frame with the figure after a resize"
        time.sleep(0.2)
    dancer.x.run("xdotool", "mousemove", "--window", dancer.window, "200", "200", "key", "q")
    assert dancer.wait(timeout=10) == 0
    return dancer.stderr()


def expect_one_line(stderr, what, reason):
    """`stderr` is exactly the one line that says `what` cannot play and why (both regexes)."""
    assert re.fullmatch(rf"dancer: {what}: {reason}; running without music\n", stderr), stderr
