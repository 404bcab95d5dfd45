"""Runs the real dancer binary on the X server pytest-xvfb starts, in a scratch working directory
anyone may enter, with SDL's dummy audio unless told otherwise. Every test ends the program and
checks how (a sanitizer's report ends it with status 1); whatever else it started ends with it."""
import os
import subprocess
import tempfile
import time

import pytest

BIN = os.environ["DANCER_BIN"]
# From the window's centre, regions no arm reaches: the head above the shoulders, the lower legs.
HEAD, LEGS = (-100, -220, 100, -80), (-150, 200, 150, 365)
STARTED = []


def start(command, **options):
    STARTED.append(subprocess.Popen(command, **options))
    return STARTED[-1]


def end(*processes):
    for process in processes:
        process.kill()
        process.wait()


@pytest.fixture(autouse=True)
def end_what_was_started():
    yield
    end(*STARTED)
    STARTED.clear()


def xdotool(*words):
    return subprocess.run(["xdotool", *map(str, words)], capture_output=True, text=True).stdout


def within(seconds, condition, what):
    deadline = time.monotonic() + seconds
    while not (result := condition()):
        assert time.monotonic() < deadline, what()
        time.sleep(0.05)
    return result


def lit(rgb, width, box):
    """The pixels that are not black in a box of the window, by their place from its centre."""
    cx, cy = width // 2, len(rgb) // 6 // width
    return {(x, y): rgb[i:i + 3] for y in range(box[1], box[3]) for x in range(box[0], box[2])
            if rgb[(i := 3 * ((cy + y) * width + cx + x)):i + 3] != b"\0\0\0"}


class Dancer:
    def __init__(self, workdir, env=None, command=(), binary=BIN, args=()):
        self.err = tempfile.TemporaryFile()
        self.proc = start([*command, binary, *args], cwd=workdir, stderr=self.err, env={
            **os.environ, "SDL_AUDIODRIVER": "dummy", **(env or {})})
        # A launcher such as gio may have ended by then, having started the program.
        self.window = within(15, lambda: self.proc.poll() in (None, 0) and xdotool(
            "search", "--onlyvisible", "--class", "dancer").split(), self.stderr)[0]
        within(15, lambda: self.shot()[0].strip(b"\0"), lambda: "no frame drawn")

    def stderr(self):
        self.err.seek(0)
        return self.err.read().decode(errors="replace")

    def shot(self):  # the window's pixels, 3 bytes each, and its width
        ppm = subprocess.run(["import", "-window", self.window, "-depth", "8", "ppm:-"],
                             capture_output=True, timeout=20).stdout
        _, size, _, rgb = ppm.split(b"\n", 3)
        return rgb, int(size.split()[0])

    def body_moves(self, seconds=0.5):
        """Whether the head or lower legs move; None if the window stood still, arms and all."""
        (a, width), _, (b, _) = self.shot(), time.sleep(seconds), self.shot()
        moved = any(lit(a, width, box) != lit(b, width, box) for box in (HEAD, LEGS))
        return moved if a != b else None

    def quit(self, key="q"):  # returns what it said
        xdotool("mousemove", "--window", self.window, 400, 400, "key", key)
        assert self.proc.wait(timeout=10) == 0
        return self.stderr()


@pytest.fixture
def workdir():
    yield (path := tempfile.mkdtemp(prefix="dancer-e2e-"))
    subprocess.run(["rm", "-rf", path])


@pytest.fixture
def dancer(workdir):
    """Starts the binary, in `workdir` unless told otherwise."""
    os.chmod(workdir, 0o755)
    return lambda env=None, **options: Dancer(options.pop("cwd", workdir), env, **options)
