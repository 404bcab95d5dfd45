"""`dancer --render`: videos made with no display, checked as a user would check them: ffprobe's
streams, the sound against the music, the figure against the sound, the same frames twice, a file
never lost, and the credits as the window draws them."""
import array
import json
import os
import random
import signal
import subprocess
import time
import wave

import pytest
from conftest import BIN, HEAD, LEGS, lit, within

# Mesa's software renderer, as on a server with no GPU; and no display at all.
ENV = {k: v for k, v in os.environ.items() if k != "DISPLAY"} | {"LIBGL_ALWAYS_SOFTWARE": "1"}


def render(workdir, *args):
    return subprocess.run([BIN, "--render", *args], cwd=workdir, env=ENV, capture_output=True,
                          text=True, timeout=120)


def noise(workdir, name, seconds, silence=0):
    """Stereo white noise, loud and so quiet in every bin, after `silence` seconds of zeros."""
    rng = random.Random(1)
    samples = array.array("h", [0] * (2 * 44100 * silence))
    samples.extend(rng.randint(-10000, 10000) for _ in range(2 * 44100 * seconds))
    with wave.open(f"{workdir}/{name}", "wb") as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(44100)
        out.writeframes(samples.tobytes())


def frames(path, size):
    """The video's frames as grey pixels, one bytes object each."""
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "rawvideo", "-pix_fmt",
                          "rgb24", "-"], capture_output=True, check=True).stdout
    width, height = size
    return [raw[i:i + 3 * width * height] for i in range(0, len(raw), 3 * width * height)]


def body(rgb, width, scale):
    """The head and lower legs: the boxes no arm reaches in the 800-pixel window, scaled."""
    return [lit(rgb, width, tuple(round(v * scale) for v in box)) for box in (HEAD, LEGS)]


def test_a_video_of_tones_with_no_display(workdir):
    noise(workdir, "tones.wav", 1, silence=1)
    done = render(workdir, "dance.mp4", "--size", "320x240", "--crf", "0", "tones.wav")
    assert done.returncode == 0
    assert done.stderr.startswith("dancer: wrote dance.mp4 (0:02, 320x240, 50 fps) in ")
    probe = json.loads(subprocess.run(
        ["ffprobe", "-v", "error", "-show_streams", "-show_format", "-of", "json", "dance.mp4"],
        cwd=workdir, capture_output=True, check=True).stdout)
    video, audio = probe["streams"]
    assert (video["codec_name"], video["width"], video["height"], video["r_frame_rate"]) == (
        "h264", 320, 240, "50/1")
    assert (audio["codec_name"], audio["sample_rate"], audio["channels"]) == ("aac", "44100", 2)
    assert abs(float(video["duration"]) - 2) < 0.001
    assert abs(float(audio["duration"]) - 2) < 0.001
    # The sound track is the music, where the music is: silent for a second, then the noise, which
    # matches the source best with no shift at all (AAC keeps 0.85 of it; one sample either way,
    # 0.19) of any shift within a millisecond.
    heard, source = (array.array("h", subprocess.run(
        ["ffmpeg", "-v", "error", "-i", name, "-ac", "1", "-f", "s16le", "-"], cwd=workdir,
        capture_output=True, check=True).stdout) for name in ("dance.mp4", "tones.wav"))
    assert max(map(abs, heard[:44100 - 441])) < 100
    noisy = source[44100:88200]
    match = {shift: sum(a * b for a, b in zip(noisy, heard[44100 + shift:]))
             for shift in range(-44, 45)}
    assert max(match, key=match.get) == 0
    energies = sum(a * a for a in noisy) * sum(b * b for b in heard[44100:88200])
    assert match[0] > 0.8 * energies ** 0.5
    # The body rests through the silent second while the arms swing, and moves in the frame one
    # tick after the noise begins: tick 50 still analyses the 2048 samples before 1 s.
    pictures = frames(f"{workdir}/dance.mp4", (320, 240))
    assert len(pictures) == 100
    still = body(pictures[0], 320, 0.3)
    assert all(still) and all(body(p, 320, 0.3) == still for p in pictures[:51])
    assert pictures[50] != pictures[0], "the arms swing"
    assert body(pictures[51], 320, 0.3) != still
    # The same command again: the same frames.
    os.rename(f"{workdir}/dance.mp4", f"{workdir}/first.mp4")
    again = render(workdir, "dance.mp4", "--size", "320x240", "--crf", "0", "tones.wav")
    assert again.returncode == 0
    assert frames(f"{workdir}/dance.mp4", (320, 240)) == pictures
    # A file that is there stays, unless told.
    before = open(f"{workdir}/first.mp4", "rb").read()
    kept = render(workdir, "first.mp4", "tones.wav")
    assert (kept.returncode, kept.stderr) == (2, "dancer: first.mp4: exists; --force replaces it\n")
    assert open(f"{workdir}/first.mp4", "rb").read() == before
    assert sorted(os.listdir(workdir)) == ["dance.mp4", "first.mp4", "tones.wav"]


@pytest.mark.parametrize("name, codecs", [("dance.mkv", [("h264", None), ("flac", "44100")]),
                                          ("dance.webm", [("vp9", None), ("opus", "48000")])])
def test_the_other_containers_and_a_turning_figure(workdir, name, codecs):
    noise(workdir, "quiet.wav", 0, silence=1)
    assert render(workdir, name, "--size", "320x240", "--spin", "90", "--crf", "0",
                  "quiet.wav").returncode == 0
    probe = json.loads(subprocess.run(["ffprobe", "-v", "error", "-show_streams", "-of", "json",
                                       name], cwd=workdir, capture_output=True, check=True).stdout)
    assert [(s["codec_name"], s.get("sample_rate")) for s in probe["streams"]] == codecs
    # Lossless, the legs stay pixel for pixel in silence unless the figure turns: a quarter turn.
    pictures = frames(f"{workdir}/{name}", (320, 240))
    assert body(pictures[-1], 320, 0.3)[1] != body(pictures[0], 320, 0.3)[1]


def test_interrupted_renders_leave_nothing_and_the_credits_are_the_windows(workdir, dancer):
    noise(workdir, "long.wav", 60)
    for stop, status in ((signal.SIGINT, 130), (signal.SIGTERM, 143)):
        process = subprocess.Popen([BIN, "--render", "cut.mkv", "long.wav"], cwd=workdir,
                                   env=ENV, stderr=subprocess.PIPE, text=True)
        within(20, lambda: len(os.listdir(workdir)) == 2, lambda: "no file begun")
        time.sleep(0.5)
        process.send_signal(stop)
        stopped = time.monotonic()
        assert process.wait(timeout=5) == status
        assert time.monotonic() - stopped < 1
        assert (process.stderr.read(), os.listdir(workdir)) == ("", ["long.wav"])
    # The credits at 800x800, lit pixel for pixel as the window lights them.
    noise(workdir, "quiet.wav", 0, silence=1)
    assert render(workdir, "credits.mp4", "--crf", "0", "quiet.wav").returncode == 0
    video = frames(f"{workdir}/credits.mp4", (800, 800))[0]
    credits = (100, 300, 400, 400)
    os.remove(f"{workdir}/quiet.wav")
    window = dancer()
    shot, width = window.shot()
    assert lit(video, 800, credits) == lit(shot, width, credits)
    assert len(lit(video, 800, credits)) > 900
