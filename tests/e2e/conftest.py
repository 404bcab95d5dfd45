"""Drives the real dancer binary on a private Xvfb server.

Each test gets its own X server, so tests can run in parallel and never touch the developer's desktop.
The binary is started in a scratch working directory (where it looks for 1.mp3), with SDL's audio
sent to the dummy driver unless a test asks for another.
"""
import ctypes
import os
import shutil
import signal
import subprocess
import tempfile
import time

import pytest

DANCER_BIN = os.environ.get("DANCER_BIN", "build/dancer")
SOURCE_DIR = os.environ.get("DANCER_SOURCE_DIR", os.getcwd())


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


class Dancer:
    """One run of the binary. `window` is its X window id once `wait_for_window` has returned."""

    def __init__(self, xserver, workdir, env=None, args=(), binary=DANCER_BIN):
        self.x = xserver
        self.workdir = workdir
        full_env = dict(os.environ, DISPLAY=xserver.display, SDL_AUDIODRIVER="dummy")
        full_env.update(env or {})
        self.proc = subprocess.Popen([binary, *args], cwd=workdir, env=full_env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
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
        if self.proc.poll() is None:
            return ""
        return self.proc.stderr.read().decode(errors="replace")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


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
        dancer.stop()
