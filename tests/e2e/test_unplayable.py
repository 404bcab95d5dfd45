"""Every music file and audio device the real binary cannot play: it says why in exactly one stderr
line, the window keeps drawing at its rate, and q still ends it with status 0.

The cases share one X server and run one after another.
"""
import os
import shutil

import pytest

from conftest import (expect_draws_and_quits, expect_one_line, media_bytes, test_media,
                      write_music_file)

pytestmark = pytest.mark.timeout(60)

NOT_MP3 = r"not playable as MP3 \(.+\)"


def copy_mp3(workdir, media):
    shutil.copy(os.path.join(media, "mp3.mp3"), os.path.join(workdir, "1.mp3"))


def no_file(workdir, media):
    pass


def empty_file(workdir, media):
    write_music_file(workdir, b"")


def one_byte(workdir, media):
    write_music_file(workdir, b"\xff")


def id3_claiming_a_huge_tag(workdir, media):
    # The tag says it runs on for 256 MB; the real track follows at once.
    write_music_file(workdir, test_media.id3_claiming(0x0FFFFFFF, media_bytes(media, "mp3.mp3")))


def random_bytes(workdir, media):
    write_music_file(workdir, test_media.random_bytes(64 * 1024))


def frame_headers_without_payload(workdir, media):
    write_music_file(workdir, test_media.frame_headers_only(4096))


def truncated_in_first_frame(workdir, media):
    # The first frame of a 128 kbit/s MP3 is 417 bytes: here lame's header frame, cut short.
    write_music_file(workdir, media_bytes(media, "mp3.mp3")[:300])


def wav_with_256_channels(workdir, media):
    # The mixer keeps the count in a byte: 256 channels became 0 and a division by zero.
    wav = bytearray(media_bytes(media, "track.wav"))
    assert wav[22:24] == b"\x02\x00"
    wav[22:24] = b"\x00\x01"
    write_music_file(workdir, bytes(wav))


def directory(workdir, media):
    os.mkdir(os.path.join(workdir, "1.mp3"))


def fifo(workdir, media):
    # Opening a FIFO for reading waits for a writer, unless asked not to.
    os.mkfifo(os.path.join(workdir, "1.mp3"))


def link_to_dev_zero(workdir, media):
    os.symlink("/dev/zero", os.path.join(workdir, "1.mp3"))


def link_to_dev_urandom(workdir, media):
    os.symlink("/dev/urandom", os.path.join(workdir, "1.mp3"))


def unreadable_file(workdir, media):
    copy_mp3(workdir, media)
    os.chmod(os.path.join(workdir, "1.mp3"), 0)
    # The directory itself stays open to the user the program runs as.
    os.chmod(workdir, 0o755)


def alsa_without_devices(workdir):
    """A machine whose sound system knows no device: ALSA with an empty configuration."""
    config = os.path.join(workdir, "asound.conf")
    open(config, "w").close()
    return {"SDL_AUDIODRIVER": "alsa", "ALSA_CONFIG_PATH": config}


def driver_that_cannot_open(workdir):
    return {"SDL_AUDIODRIVER": "disk",
            "SDL_DISKAUDIOFILE": os.path.join(workdir, "no such directory", "out.raw")}


# We run as root, who reads any file: the unreadable case runs the program as nobody.
AS_NOBODY = ("setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--")

# case: (what is put in the working directory, the audio environment, the command to run it
# under, what the line names, why)
CANNOT_PLAY = {
    "missing": (no_file, None, (), "1.mp3", "No such file or directory"),
    "empty": (empty_file, None, (), "1.mp3", "empty file"),
    "one_byte": (one_byte, None, (), "1.mp3", NOT_MP3),
    "id3_claiming_a_huge_tag": (id3_claiming_a_huge_tag, None, (), "1.mp3", NOT_MP3),
    "random_bytes": (random_bytes, None, (), "1.mp3", NOT_MP3),
    "frame_headers_without_payload": (frame_headers_without_payload, None, (), "1.mp3", NOT_MP3),
    "truncated_in_first_frame": (truncated_in_first_frame, None, (), "1.mp3", NOT_MP3),
    "wav_with_256_channels": (wav_with_256_channels, None, (), "1.mp3",
                              r"not playable as WAV \(its channel count is not 1 to 255\)"),
    "directory": (directory, None, (), "1.mp3", "a directory, not a file"),
    "fifo": (fifo, None, (), "1.mp3", "a pipe, not a file"),
    "link_to_dev_zero": (link_to_dev_zero, None, (), "1.mp3", "a character device, not a file"),
    "link_to_dev_urandom": (link_to_dev_urandom, None, (), "1.mp3",
                            "a character device, not a file"),
    "unreadable_file": (unreadable_file, None, AS_NOBODY, "1.mp3", "Permission denied"),
    "no_audio_device": (copy_mp3, alsa_without_devices, (), "default audio output", "ALSA: .+"),
    "audio_driver_fails_to_open": (copy_mp3, driver_that_cannot_open, (), "default audio output",
                                   "Couldn't open .+"),
}


@pytest.mark.parametrize("case", list(CANNOT_PLAY))
def test_what_cannot_play_is_said_in_one_line_and_the_window_goes_on(start, workdir, media, case):
    make, env, command, what, reason = CANNOT_PLAY[case]
    make(workdir, media)
    dancer = start(env(workdir) if env else None, command=command)
    expect_one_line(expect_draws_and_quits(dancer), what.replace(".", r"\."), reason)
