"""Runs the real binary on the X server pytest-xvfb starts, in a scratch folder anyone may enter,
with SDL's dummy audio unless told otherwise, and sound servers of the tests' own. Every test ends
the program and checks how (a sanitizer's report ends it with status 1); whatever else it started
ends with it, and what it made is removed."""
import array
import contextlib
import functools
import os
import signal
import subprocess
import tempfile
import time

import pytest
from Xlib import X, display, error

BIN = os.environ["DANCER_BIN"]
# From the window's centre, regions no arm reaches: the head above the shoulders, the lower legs.
HEAD, LEGS = (-100, -220, 100, -80), (-150, 200, 150, 365)
NO_MUSIC = "dancer: 1.mp3: No such file or directory; running without music\n"
STARTED = []


def start(command, **options):
    # In a group of its own, which ends as one: a shell's `cat` blocked on a FIFO, a launcher's
    # program.
    STARTED.append(subprocess.Popen(command, start_new_session=True, **options))
    return STARTED[-1]


def end(*processes):
    for process in processes:
        with contextlib.suppress(ProcessLookupError):  # the whole group has ended already
            os.killpg(process.pid, signal.SIGKILL)
        process.wait()


@pytest.fixture(autouse=True)
def end_what_was_started():
    yield
    end(*STARTED)
    STARTED.clear()


@functools.cache
def x_server():  # pytest-xvfb's, whose DISPLAY is set by the time a test asks
    return display.Display()


def xdotool(*words):
    return subprocess.run(["xdotool", *map(str, words)], capture_output=True, text=True).stdout


def xprop(*words):
    return subprocess.run(["xprop", *words], capture_output=True, text=True).stdout


def within(seconds, condition, what):
    deadline = time.monotonic() + seconds
    while not (result := condition()):
        assert time.monotonic() < deadline, what()
        time.sleep(0.05)
    return result


def lit(rgb, width, box):
    """The pixels that are not black in a box of the window, by their place from its centre."""
    cx = width // 2
    cy = len(rgb) // 6 // width
    return {(x, y): rgb[i:i + 3] for y in range(box[1], box[3]) for x in range(box[0], box[2])
            if rgb[(i := 3 * ((cy + y) * width + cx + x)):i + 3] != b"\0\0\0"}


class Dancer:
    def __init__(self, workdir, env=None, command=(), binary=BIN, args=()):
        self.err = tempfile.TemporaryFile()
        # No session bus unless the test starts one: the machine's own is not for tests. Mesa
        # draws on the program's own thread: with three tests at once on two cores, rasterizer
        # threads only add switching (8 % of a program's CPU).
        env = {**os.environ, "SDL_AUDIODRIVER": "dummy", "LP_NUM_THREADS": "0",
               "DBUS_SESSION_BUS_ADDRESS": f"unix:path={workdir}/no-bus", **(env or {})}
        others = self.windows()
        self.proc = start([*command, binary, *args], cwd=workdir, stderr=self.err, env=env)
        # A launcher such as gio may have ended by then, having started the program.
        self.window = within(15, lambda: self.proc.poll() in (None, 0) and [
            *self.windows() - others], self.stderr)[0]
        within(15, lambda: self.shot()[0].strip(b"\0"), lambda: "no frame drawn")

    @staticmethod
    def windows(parent=None):  # the ids of the shown windows of class Dancer, as xdotool writes them
        found = set()
        for window in (parent or x_server().screen().root).query_tree().children:
            with contextlib.suppress(error.XError):  # a window gone meanwhile
                if (window.get_attributes().map_state == X.IsViewable and
                        (window.get_wm_class() or ("", ""))[1] == "Dancer"):
                    found.add(str(window.id))
                found |= Dancer.windows(window)  # a window manager's frame holds it
        return found

    def stderr(self):
        self.err.seek(0)
        return self.err.read().decode(errors="replace")

    def shot(self):  # the window's pixels, 3 bytes each, and its width
        # Asked of the X server directly: an ImageMagick process a picture cost four times the CPU.
        window = x_server().create_resource_object("window", int(self.window))
        size = window.get_geometry()
        pixels = window.get_image(0, 0, size.width, size.height, X.ZPixmap, 0xffffffff).data
        # Xvfb at depth 24: a word a pixel, blue in its lowest byte.
        assert len(pixels) == 4 * size.width * size.height
        rgb = bytearray(3 * size.width * size.height)
        rgb[0::3], rgb[1::3], rgb[2::3] = pixels[2::4], pixels[1::4], pixels[0::4]
        return bytes(rgb), size.width

    def body_moves(self, seconds=0.5):
        """Whether the head or lower legs move; None if the window stood still, arms and all."""
        before, width = self.shot()
        time.sleep(seconds)
        after, _ = self.shot()
        moved = any(lit(before, width, box) != lit(after, width, box) for box in (HEAD, LEGS))
        return moved if before != after else None

    def keys(self, *keys):  # the pointer in the window gives it the keyboard
        xdotool("mousemove", "--window", self.window, 400, 400, "key", *keys)

    def quit(self, key="q"):  # returns what it said
        self.keys(key)
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


SERVERS = {  # each sound server as a desktop runs it, with a placeholder sink while it has none
    "pulseaudio": [["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                    "--load=module-always-sink",
                    "--load=module-native-protocol-unix auth-anonymous=1"]],
    "pipewire": [["pipewire"], ["wireplumber"], ["pipewire-pulse"]],
    "pipewire alone": [["pipewire"], ["wireplumber"]],  # no PulseAudio service: nothing to watch
}


class SoundServer:
    """A sound server on a runtime folder and session bus of its own, needing nothing of the
    machine's services, with a null sink `out` whose monitor is recorded where PulseAudio is."""

    def __init__(self, workdir, kind):
        self.kind = kind
        self.heard_file = f"{workdir}/heard"
        os.makedirs(f"{workdir}/run", 0o700)
        # WirePlumber 0.4's Bluetooth monitor asks the login manager about seats; without one, as
        # in a container, it exits.
        os.makedirs(config := f"{workdir}/config/wireplumber/bluetooth.lua.d")
        with open(f"{config}/80-no-seats.lua", "w") as lua:
            lua.write("bluez_monitor.enabled = false\n")
        # WirePlumber as in testing (0.5.18) pauses a media player on the bus whose sink goes away,
        # as the placeholder does when a test adds its sink: a desktop's choice, not a test's.
        os.makedirs(config := f"{workdir}/config/wireplumber/wireplumber.conf.d")
        with open(f"{config}/80-no-pause.conf", "w") as conf:
            conf.write("wireplumber.settings = { linking.pause-playback = false }\n")
        bus = f"unix:path={workdir}/run/bus"
        self.env = {**os.environ, "HOME": workdir, "XDG_RUNTIME_DIR": f"{workdir}/run",
                    "XDG_CONFIG_HOME": f"{workdir}/config", "DBUS_SESSION_BUS_ADDRESS": bus}
        self.daemon = start(["dbus-daemon", "--session", "--nofork", f"--address={bus}"],
                            env=self.env)
        within(5, lambda: os.path.exists(f"{workdir}/run/bus"), lambda: "no session bus")

    def says(self, *command):
        return subprocess.run(command, env=self.env, capture_output=True, text=True).stdout

    def start(self, sink=True):
        first, *clients = SERVERS[self.kind]
        self.processes = [start(first, env=self.env, stderr=subprocess.DEVNULL)]
        if clients:  # PipeWire's session manager and PulseAudio service are its clients
            within(10, lambda: self.says("pw-cli", "info", "0"), lambda: "no PipeWire")
        for command in clients:
            self.processes.append(start(command, env=self.env, stderr=subprocess.DEVNULL))
        if self.kind == "pipewire alone":
            self.says("pw-cli", "create-node", "adapter", "{ factory.name=support.null-audio-sink"
                      " node.name=out node.description=out media.class=Audio/Sink object.linger=1"
                      " }")
            within(5, lambda: '"out"' in self.says("pw-metadata", "0", "default.audio.sink"),
                   lambda: "no sink")
        elif within(10, lambda: "Default Sink: auto_null" in self.says("pactl", "info"),
                    lambda: "no sound server: " + self.says("pactl", "info")) and sink:
            self.add_sink()

    def add_sink(self, name="out"):
        assert self.says("pactl", "load-module", "module-null-sink", f"sink_name={name}")
        self.says("pactl", "set-default-sink", name)
        if name == "out":
            with open(self.heard_file, "wb") as heard:
                recorder = ["parec", "-d", "out.monitor", "--latency-msec=20"]
                self.processes.append(start(recorder, env=self.env, stdout=heard))
            # Until a client asks for short latency, PulseAudio's null sink renders seconds at a
            # time: a player arriving then waited 1.9 s for its second request, at rest.
            within(5, lambda: os.path.getsize(self.heard_file), lambda: "not recording")

    def heard(self, seconds=0.3):  # the last `seconds` the sink played, left and right interleaved
        with open(self.heard_file, "rb") as heard:
            return array.array("h", heard.read()[-int(seconds * 44100) * 4:])

    def loud(self):
        return max(self.heard(), default=0) > 1000

    def stop(self):
        end(*self.processes)


SOX = ["sox", "-n", "-r", "44100", "-c", "2", "-b", "16"]


def decoded(path):
    command = ["mpg123", "-qs", path] if path.suffix == ".mp3" else ["sox", path, "-t", "raw", "-"]
    return list(array.array("h", subprocess.run(command, capture_output=True, check=True).stdout))


def played(out, tracks):
    """What reached the device: each track heard, as (name, samples of it from its start, where
    it began), silence between them passed over."""
    with open(out, "rb") as device:
        heard = [round(v * 32768) for v in array.array("f", device.read())]
    found = []
    at = 0
    while (at := next((i for i in range(at, len(heard)) if heard[i]), None)) is not None:
        name = next(name for name, samples in tracks.items() if heard[at:at + 64] == samples[:64])
        length = next((i for i, (h, t) in enumerate(zip(heard[at:], tracks[name])) if h != t),
                      min(len(tracks[name]), len(heard) - at))
        found.append((name, length, at))
        at += length
    return found


def disk(out, faster=True):  # SDL's disk driver, 4.5 times faster than real time if asked
    faster = {"SDL_DISKAUDIODELAY": "5"} if faster else {}
    return {"SDL_AUDIODRIVER": "disk", "SDL_DISKAUDIOFILE": out, **faster}
