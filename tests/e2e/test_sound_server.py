"""The real binary on a real PulseAudio server that crashes mid-song and comes back: the figure rests
while nothing is heard, says so once, and dances again once the music is back on the sink."""
import array
import os
import shutil
import subprocess
import tempfile
import time

import pytest

from conftest import SOURCE_DIR, body_moves

pytestmark = pytest.mark.timeout(120)

SINK = "dancer_sink"


class SoundServer:
    """A PulseAudio server of the test's own, on a private socket, playing into a null sink whose
    monitor is what a listener would hear."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="dancer-pulse-")
        self.env = dict(os.environ, HOME=self.dir, XDG_RUNTIME_DIR=self.dir,
                        PULSE_SERVER="unix:" + os.path.join(self.dir, "native"))
        self.config = os.path.join(self.dir, "server.pa")
        with open(self.config, "w") as f:
            f.write(f"load-module module-native-protocol-unix auth-anonymous=1 "
                    f"socket={self.dir}/native\n"
                    f"load-module module-null-sink sink_name={SINK}\n"
                    f"set-default-sink {SINK}\n")
        self.server = self.recorder = None

    def start(self):
        self.server = subprocess.Popen(
            ["pulseaudio", "-n", "-F", self.config, "--daemonize=no", "--exit-idle-time=-1",
             "--use-pid-file=no"], env=self.env, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while subprocess.run(["pactl", "info"], env=self.env, capture_output=True).returncode:
            assert time.monotonic() < deadline, "the sound server did not start"
            time.sleep(0.1)
        self.recording = os.path.join(self.dir, f"monitor-{time.monotonic()}.raw")
        self.recorder = subprocess.Popen(
            ["parec", "-d", SINK + ".monitor", "--raw", "--format=s16le", "--rate=44100",
             "--channels=2", "--latency-msec=20", self.recording], env=self.env)

    def crash(self):
        self.server.kill()
        self.server.wait()
        self.recorder.wait(timeout=10)

    def loudness(self, seconds=0.3):
        """RMS of the last `seconds` the monitor recorded, in 16-bit units."""
        with open(self.recording, "rb") as f:
            f.seek(max(0, os.path.getsize(self.recording) - int(seconds * 44100) * 4) // 4 * 4)
            samples = array.array("h", f.read())
        return (sum(v * v for v in samples) / max(1, len(samples))) ** 0.5

    def stop(self):
        for proc in (self.recorder, self.server):
            if proc and proc.poll() is None:
                proc.kill()
                proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


@pytest.fixture
def sound_server():
    server = SoundServer()
    yield server
    server.stop()


def within(seconds, condition, what):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, what
        time.sleep(0.05)
    return seconds - (deadline - time.monotonic())


def test_sound_server_crash_rests_the_figure_and_its_return_brings_back_music(
        start, workdir, sound_server):
    shutil.copy(os.path.join(SOURCE_DIR, "data", "1.mp3"), os.path.join(workdir, "1.mp3"))
    sound_server.start()
    dancer = start(env={"SDL_AUDIODRIVER": "pulseaudio",
                        "PULSE_SERVER": sound_server.env["PULSE_SERVER"]})
    within(5, lambda: sound_server.loudness() > 1000, "no music on the sink")
    assert body_moves(dancer)

    sound_server.crash()
    lost = "dancer: default audio output: the pulseaudio device went away; running without music\n"
    within(1, lambda: dancer.stderr() == lost, "no line about the loss: " + dancer.stderr())
    time.sleep(0.6)
    assert not body_moves(dancer, seconds=0.3)

    sound_server.start()
    back = lost + "dancer: default audio output: back; music resumed\n"
    within(5, lambda: dancer.stderr() == back and sound_server.loudness() > 1000,
           "no music after the server's return: " + dancer.stderr())
    assert body_moves(dancer)
    dancer.key("q")
    assert dancer.wait() == 0
    assert dancer.stderr() == back
