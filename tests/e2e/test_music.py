"""The real binary's music: what reaches the audio device, in every format and MPEG version a user may
have, while the file loops, changes or misbehaves.

What is played is read back through SDL's disk audio driver, which writes the output to a file
instead of a sound card. The cases share one X server and run one after another; each must keep
the window drawing at its rate, end on q with status 0, and say nothing unless the music stops.
"""
import array
import os
import shutil
import signal
import subprocess
import sys
import time
import wave

import pytest

from conftest import (TRACK_SECONDS, expect_draws_and_quits, expect_one_line, media_bytes,
                      test_media, write_music_file)

pytestmark = pytest.mark.timeout(60)

RATE = 44100
# Output frames the disk driver writes, as 32-bit float stereo.
FRAME_BYTES = 8


def s16(raw):
    samples = array.array("h")
    samples.frombytes(raw)
    if sys.byteorder == "big":
        samples.byteswap()
    return samples


def mpg123_decode(path):
    """The samples as mpg123 decodes them, at the file's own rate and channel count."""
    return s16(subprocess.run(["mpg123", "-q", "-s", path], capture_output=True, check=True,
                              timeout=60).stdout)


def wav_samples(path):
    with wave.open(path, "rb") as f:
        return s16(f.readframes(f.getnframes()))


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


def expect_as_loud_throughout(output, loudness, rel=0.25):
    """Every second of the output, from the first sound to the end (well past the end of the
    track, so across the loop), is about as loud as `loudness`: for lossy or resampled music,
    where samples cannot be compared."""
    second = 2 * RATE
    for begin in range(first_sound(output), len(output) - second, second):
        assert rms(output[begin:begin + second]) == pytest.approx(loudness, rel=rel), begin


def copy_media(media, name, workdir):
    shutil.copy(os.path.join(media, name), os.path.join(workdir, "1.mp3"))


def play_and_record(start, workdir, track_seconds=TRACK_SECONDS):
    """Plays 1.mp3 into the disk driver for two and a half lengths of the track, checks that the
    window draws at its rate, quits, and that nothing was said; returns what reached the device."""
    dancer = start(disk_output(workdir))
    wait_for_output(workdir, 2.5 * track_seconds)
    assert expect_draws_and_quits(dancer) == ""
    return read_output(workdir)


def test_mp3_reaches_the_device_as_mpg123_decodes_it_and_loops(start, workdir, media):
    copy_media(media, "mp3.mp3", workdir)
    output = play_and_record(start, workdir)
    expect_plays_in_a_loop(output, mpg123_decode(os.path.join(media, "mp3.mp3")))


def test_wav_content_named_1_mp3_plays_sample_for_sample(start, workdir, media):
    copy_media(media, "track.wav", workdir)
    output = play_and_record(start, workdir)
    expect_plays_in_a_loop(output, wav_samples(os.path.join(media, "track.wav")))


def test_flac_content_named_1_mp3_plays_sample_for_sample(start, workdir, media):
    copy_media(media, "track.flac", workdir)
    output = play_and_record(start, workdir)
    expect_plays_in_a_loop(output, wav_samples(os.path.join(media, "track.wav")))


def test_ogg_content_named_1_mp3_plays(start, workdir, media):
    copy_media(media, "track.ogg", workdir)
    output = play_and_record(start, workdir)
    # Vorbis is lossy, so compare loudness.
    expect_as_loud_throughout(output, rms(wav_samples(os.path.join(media, "track.wav"))))


# MPEG-2 at 22.05 kHz, MPEG-2.5 at 8 kHz, mono, and VBR at 48 kHz: the mixer converts each to the
# device's 44.1 kHz stereo, so they are compared by loudness with what mpg123 decodes.
@pytest.mark.parametrize("kind", ["mpeg2_22k", "mpeg25_8k", "mono", "vbr_48k"])
def test_every_mpeg_version_rate_and_mode_plays_and_loops(start, workdir, media, kind):
    copy_media(media, kind + ".mp3", workdir)
    output = play_and_record(start, workdir)
    expect_as_loud_throughout(output, rms(mpg123_decode(os.path.join(media, kind + ".mp3"))))


def test_two_megabyte_picture_before_the_audio_is_skipped(start, workdir, media):
    mp3 = media_bytes(media, "mp3.mp3")
    write_music_file(workdir, test_media.with_picture(mp3, 2 * 1024 * 1024))
    output = play_and_record(start, workdir)
    expect_plays_in_a_loop(output, mpg123_decode(os.path.join(media, "mp3.mp3")))


# Tags the mixer's readers misread, each of which crashed the program: a 64 kB artist in an MP3's
# ID3 tag or in a WAV file's ID3 chunk, and an empty comment in a FLAC file.
TAGGED = {
    "mp3_with_a_long_artist": ("mp3.mp3", lambda music: test_media.id3_tag(
        [test_media.artist_frame(65536)]) + music),
    "wav_with_a_long_artist": ("track.wav", lambda music: test_media.with_wav_tag(
        music, test_media.id3_tag([test_media.artist_frame(65536)]))),
    "flac_with_an_empty_comment": ("track.flac", test_media.with_empty_flac_comment),
}


@pytest.mark.parametrize("case", list(TAGGED))
def test_tags_the_mixer_would_misread_are_kept_from_it(start, workdir, media, case):
    name, tag = TAGGED[case]
    write_music_file(workdir, tag(media_bytes(media, name)))
    output = play_and_record(start, workdir)
    if name == "mp3.mp3":
        expect_plays_in_a_loop(output, mpg123_decode(os.path.join(media, name)))
    else:
        expect_plays_in_a_loop(output, wav_samples(os.path.join(media, "track.wav")))


def test_mp3_cut_off_mid_frame_plays_what_it_has(start, workdir, media):
    write_music_file(workdir, test_media.cut_mid_frame(media_bytes(media, "mp3.mp3"), 2 / 3))
    output = play_and_record(start, workdir)
    expect_plays_in_a_loop(output, mpg123_decode(os.path.join(workdir, "1.mp3")))


def test_mp3_with_bytes_flipped_throughout_plays_on(start, workdir, media):
    # One byte in two hundred changed: the decoder skips or mangles frames but finds its way.
    write_music_file(workdir, test_media.flipped(media_bytes(media, "mp3.mp3"), 200))
    output = play_and_record(start, workdir)
    # Damaged frames play as silence or noise, so only the whole is judged: sound all along.
    loudness = rms(mpg123_decode(os.path.join(media, "mp3.mp3")))
    second = 2 * RATE
    for begin in range(first_sound(output), len(output) - second, second):
        assert rms(output[begin:begin + second]) > loudness / 4, begin


def test_very_short_track_loops_a_hundred_times_a_second_without_a_seam(start, workdir, media):
    # 441 frames of WAV: 10 ms.
    with wave.open(os.path.join(media, "track.wav"), "rb") as f:
        f.setpos(RATE // 2)
        frames = f.readframes(441)
    with wave.open(os.path.join(workdir, "1.mp3"), "wb") as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(frames)
    loop = s16(frames)
    output = play_and_record(start, workdir, track_seconds=0.4)
    begin = first_sound(output) - first_sound(loop)
    passes = (len(output) - begin) // len(loop)
    assert passes > 100
    assert output[begin:begin + passes * len(loop)] == list(loop) * passes


def test_file_truncated_while_it_plays_stops_the_music_with_one_line(start, workdir, media):
    copy_media(media, "mp3.mp3", workdir)
    dancer = start(disk_output(workdir, delay_ms=20))
    wait_for_output(workdir, 0.5)
    os.truncate(os.path.join(workdir, "1.mp3"), 0)
    # The decoder finds out at its next read; give it a moment.
    time.sleep(1)
    expect_one_line(expect_draws_and_quits(dancer), r"1\.mp3", r"playback stopped \(.+\)")


def test_file_replaced_while_it_plays_goes_on_playing_what_was_opened(start, workdir, media):
    # As an editor or a download saves: a new file renamed over the old name.
    copy_media(media, "mp3.mp3", workdir)
    dancer = start(disk_output(workdir))
    wait_for_output(workdir, 0.5)
    replacement = os.path.join(workdir, "new.mp3")
    shutil.copy(os.path.join(media, "track.wav"), replacement)
    os.rename(replacement, os.path.join(workdir, "1.mp3"))
    wait_for_output(workdir, 2.5 * TRACK_SECONDS)
    assert expect_draws_and_quits(dancer) == ""
    expect_plays_in_a_loop(read_output(workdir), mpg123_decode(os.path.join(media, "mp3.mp3")))


def test_file_overwritten_while_it_plays_plays_on_or_stops_with_one_line(start, workdir, media):
    # As cp does: the same file cut to nothing and filled with other music, while it plays.
    copy_media(media, "mp3.mp3", workdir)
    dancer = start(disk_output(workdir, delay_ms=20))
    wait_for_output(workdir, 0.5)
    shutil.copy(os.path.join(media, "mono.mp3"), os.path.join(workdir, "1.mp3"))
    time.sleep(1)
    said = expect_draws_and_quits(dancer)
    if said:
        expect_one_line(said, r"1\.mp3", r"playback stopped \(.+\)")


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_interrupt_and_terminate_still_end_it_while_music_plays(start, workdir, media, signum):
    # SDL's audio would otherwise take these signals for itself, and a terminal could not stop it.
    copy_media(media, "mp3.mp3", workdir)
    dancer = start()
    dancer.proc.send_signal(signum)
    assert dancer.wait(timeout=5) == -signum
