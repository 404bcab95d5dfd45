"""The real binary's music: what reaches the audio device, and every file and device it cannot play.

What is played is read back through SDL's disk audio driver, which writes the output to a file
instead of a sound card. The cases share one X server and run one after another; each must keep
the window drawing, end on q with status 0, and say in exactly one stderr line why it plays
nothing, or say nothing at all when it plays.
"""
import array
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import wave

import pytest

from conftest import SOURCE_DIR, Dancer, XServer

sys.path.insert(0, os.path.join(SOURCE_DIR, "tools"))
import demo_track  # noqa: E402

pytestmark = pytest.mark.timeout(60)

TRACK_SECONDS = 1.5
RATE = 44100
# Output frames the disk driver writes, as 32-bit float stereo.
FRAME_BYTES = 8


@pytest.fixture(scope="module")
def shared_x():
    server = XServer()
    yield server
    server.stop()


@pytest.fixture(scope="module")
def media():
    """A short track made here: the demo generator's music as WAV, MP3 (lame) and Ogg (sox)."""
    path = tempfile.mkdtemp(prefix="dancer-media-")
    wav = os.path.join(path, "track.wav")
    demo_track.write_wav(wav, *demo_track.render(TRACK_SECONDS))
    subprocess.run(["lame", "--quiet", "-b", "128", wav, os.path.join(path, "track.mp3")],
                   check=True, timeout=60)
    subprocess.run(["sox", wav, os.path.join(path, "track.ogg")], check=True, timeout=60)
    yield path
    shutil.rmtree(path, ignore_errors=True)


def media_bytes(media, name):
    with open(os.path.join(media, name), "rb") as f:
        return f.read()


def s16(raw):
    samples = array.array("h")
    samples.frombytes(raw)
    if sys.byteorder == "big":
        samples.byteswap()
    return samples


def mpg123_decode(path):
    return s16(subprocess.run(["mpg123", "-q", "-s", path], capture_output=True, check=True,
                              timeout=60).stdout)


def wav_samples(path):
    with wave.open(path, "rb") as f:
        return s16(f.readframes(f.getnframes()))


@pytest.fixture
def start(shared_x, workdir):
    """Starts the binary in `workdir` on the shared X server; what is left running is stopped."""
    started = []

    def run(env=None):
        dancer = Dancer(shared_x, workdir, env=env)
        started.append(dancer)
        dancer.wait_for_window()
        return dancer

    yield run
    for dancer in started:
        dancer.stop()


def disk_output(workdir, delay_ms=5):
    """Environment for SDL's disk driver. At 5 ms for each 1024-frame buffer it plays about four
    and a half times faster than real time."""
    return {"SDL_AUDIODRIVER": "disk", "SDL_DISKAUDIOFILE": os.path.join(workdir, "out.raw"),
            "SDL_DISKAUDIODELAY": str(delay_ms)}


def wait_for_output(workdir, seconds, timeout=20):
    path = os.path.join(workdir, "out.raw")
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.exists(path) and os.path.getsize(path) >= seconds * RATE * FRAME_BYTES:
            return
        time.sleep(0.05)
    raise TimeoutError(f"less than {seconds} s of audio reached the device")


def read_output(workdir):
    """What reached the device, as 16-bit values (the mixer's floats are 16-bit samples / 32768)."""
    samples = array.array("f")
    with open(os.path.join(workdir, "out.raw"), "rb") as f:
        samples.frombytes(f.read())
    if sys.byteorder == "big":
        samples.byteswap()
    return [round(x * 32768) for x in samples]


def rms(samples):
    return (sum(v * v for v in samples) / len(samples)) ** 0.5


def first_sound(samples):
    return next(i for i, v in enumerate(samples) if v)


def expect_plays_in_a_loop(output, reference, at_least_seconds_past_the_end=0.5):
    """The output holds `reference` sample for sample, and then it again from the start."""
    # The device runs before the music starts, so the output begins with some silence.
    offset = first_sound(output) - first_sound(reference)
    assert offset >= 0 and offset % 2 == 0, "output and track do not line up"
    n = len(reference)
    assert output[offset:offset + n] == list(reference), "first pass differs from the track"
    second = output[offset + n:offset + 2 * n]
    assert len(second) >= at_least_seconds_past_the_end * RATE * 2, "output stopped at the end"
    assert second == list(reference[:len(second)]), "second pass differs from the track's start"


def lit_grey_share(shot):
    """Share of the window's pixels that show the lit grey figure."""
    rgb = shot.rgb
    grey = sum(1 for i in range(0, len(rgb), 3)
               if rgb[i] == rgb[i + 1] == rgb[i + 2] and rgb[i] > 60)
    return grey / (shot.width * shot.height)


def expect_draws_and_quits(dancer):
    """Resizing makes the window draw a new frame, which must show the figure; then q ends it with
    status 0. Returns what it wrote to stderr."""
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
    assert re.fullmatch(rf"dancer: {what}: {reason}; running without music\n", stderr), stderr


def write_music_file(workdir, content):
    with open(os.path.join(workdir, "1.mp3"), "wb") as f:
        f.write(content)


def copy_mp3(workdir, media):
    shutil.copy(os.path.join(media, "track.mp3"), os.path.join(workdir, "1.mp3"))


def no_file(workdir, media):
    pass


def empty_file(workdir, media):
    write_music_file(workdir, b"")


def random_bytes(workdir, media):
    write_music_file(workdir, random.Random(3).randbytes(64 * 1024))


def truncated_in_first_frame(workdir, media):
    # The first frame of a 128 kbit/s MP3 is 417 bytes: here lame's header frame, cut short.
    write_music_file(workdir, media_bytes(media, "track.mp3")[:300])


def directory(workdir, media):
    os.mkdir(os.path.join(workdir, "1.mp3"))


def fifo(workdir, media):
    # Opening a FIFO for reading waits for a writer, unless asked not to.
    os.mkfifo(os.path.join(workdir, "1.mp3"))


def link_to_dev_zero(workdir, media):
    os.symlink("/dev/zero", os.path.join(workdir, "1.mp3"))


def alsa_without_devices(workdir):
    """A machine whose sound system knows no device: ALSA with an empty configuration."""
    config = os.path.join(workdir, "asound.conf")
    open(config, "w").close()
    return {"SDL_AUDIODRIVER": "alsa", "ALSA_CONFIG_PATH": config}


def driver_that_cannot_open(workdir):
    return {"SDL_AUDIODRIVER": "disk",
            "SDL_DISKAUDIOFILE": os.path.join(workdir, "no such directory", "out.raw")}


# case: (what is put in the working directory, the audio environment, what the line names, why)
CANNOT_PLAY = {
    "missing": (no_file, None, "1.mp3", "No such file or directory"),
    "empty": (empty_file, None, "1.mp3", "empty file"),
    "random_bytes": (random_bytes, None, "1.mp3", r"not playable as MP3 \(.+\)"),
    "truncated_in_first_frame": (truncated_in_first_frame, None, "1.mp3",
                                 r"not playable as MP3 \(.+\)"),
    "directory": (directory, None, "1.mp3", "a directory, not a file"),
    "fifo": (fifo, None, "1.mp3", "a pipe, not a file"),
    "link_to_dev_zero": (link_to_dev_zero, None, "1.mp3", "a character device, not a file"),
    "no_audio_device": (copy_mp3, alsa_without_devices, "default audio output", "ALSA: .+"),
    "audio_driver_fails_to_open": (copy_mp3, driver_that_cannot_open, "default audio output",
                                   "Couldn't open .+"),
}


@pytest.mark.parametrize("case", list(CANNOT_PLAY))
def test_what_cannot_play_is_said_in_one_line_and_the_window_goes_on(start, workdir, media, case):
    make, env, what, reason = CANNOT_PLAY[case]
    make(workdir, media)
    dancer = start(env(workdir) if env else None)
    expect_one_line(expect_draws_and_quits(dancer), re.escape(what), reason)


def play_and_record(start, workdir):
    """Plays 1.mp3 into the disk driver for two and a half lengths of the track, checks that the
    window draws, quits, and that nothing was said; returns what reached the device."""
    dancer = start(disk_output(workdir))
    wait_for_output(workdir, 2.5 * TRACK_SECONDS)
    assert expect_draws_and_quits(dancer) == ""
    return read_output(workdir)


def test_mp3_reaches_the_device_as_mpg123_decodes_it_and_loops(start, workdir, media):
    copy_mp3(workdir, media)
    output = play_and_record(start, workdir)
    expect_plays_in_a_loop(output, mpg123_decode(os.path.join(media, "track.mp3")))


def test_wav_content_named_1_mp3_plays_sample_for_sample(start, workdir, media):
    shutil.copy(os.path.join(media, "track.wav"), os.path.join(workdir, "1.mp3"))
    output = play_and_record(start, workdir)
    expect_plays_in_a_loop(output, wav_samples(os.path.join(media, "track.wav")))


def test_ogg_content_named_1_mp3_plays(start, workdir, media):
    shutil.copy(os.path.join(media, "track.ogg"), os.path.join(workdir, "1.mp3"))
    output = play_and_record(start, workdir)
    source = wav_samples(os.path.join(media, "track.wav"))
    # Vorbis is lossy, so compare loudness: every second of the output, past the end of the
    # track too, is about as loud as the track.
    second = 2 * RATE
    for begin in range(first_sound(output), len(output) - second, second):
        assert rms(output[begin:begin + second]) == pytest.approx(rms(source), rel=0.25), begin


def test_mp3_cut_off_mid_stream_plays_what_it_has(start, workdir, media):
    content = media_bytes(media, "track.mp3")
    write_music_file(workdir, content[:len(content) * 2 // 3])
    output = play_and_record(start, workdir)
    expect_plays_in_a_loop(output, mpg123_decode(os.path.join(workdir, "1.mp3")))


def test_file_truncated_while_it_plays_stops_the_music_with_one_line(start, workdir, media):
    copy_mp3(workdir, media)
    dancer = start(disk_output(workdir, delay_ms=20))
    wait_for_output(workdir, 0.5)
    os.truncate(os.path.join(workdir, "1.mp3"), 0)
    # The decoder finds out at its next read; give it a moment.
    time.sleep(1)
    expect_one_line(expect_draws_and_quits(dancer), r"1\.mp3", r"playback stopped \(.+\)")


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_interrupt_and_terminate_still_end_it_while_music_plays(start, workdir, media, signum):
    # SDL's audio would otherwise take these signals for itself, and a terminal could not stop it.
    copy_mp3(workdir, media)
    dancer = start()
    dancer.proc.send_signal(signum)
    assert dancer.wait(timeout=5) == -signum
