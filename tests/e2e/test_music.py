"""What reaches the sound device from each kind of music file (SDL's disk driver writes it to a
file), and every file or device that cannot play: one line on stderr, and the window goes on."""
import array
import os
import pathlib
import shutil
import signal
import subprocess
import tempfile

import pytest

from conftest import BIN, within, xdotool


@pytest.fixture(scope="module")
def media():
    """1.5 s of two tones, fading out, as MP3 and as WAV with a long ID3 tag, FLAC and Ogg."""
    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder)
        for command in (["sox", "-n", "-r", "44100", "-c", "2", "-b", "16", "track.wav",
                         "synth", "1.5", "sine", "220-880", "sine", "330", "vol", "0.5",
                         "fade", "0.01", "1.5", "0.3"],
                        ["lame", "-S", "--id3v2-only", "--ta", "A" * 65536, "track.wav",
                         "track.mp3"],
                        ["sox", "track.wav", "track.flac"], ["sox", "track.wav", "track.ogg"],
                        # Two more, each starting at its tone's peak, for lists of tracks.
                        ["sox", "-n", "-r", "44100", "-c", "2", "-b", "16", "one.wav",
                         "synth", "1.2", "sine", "300", "0", "25", "vol", "0.5"],
                        ["sox", "-n", "-r", "44100", "-c", "2", "-b", "16", "two.flac",
                         "synth", "0.8", "sine", "500", "0", "25", "vol", "0.4"],
                        ["sox", "two.flac", "three.wav", "pitch", "500"]):
            subprocess.run(command, cwd=path, check=True)
        mp3, wav = (path / "track.mp3").read_bytes(), (path / "track.wav").read_bytes()
        tag = mp3[:10 + sum(byte << 7 * (3 - i) for i, byte in enumerate(mp3[6:10]))]
        wav += b"id3 " + len(tag).to_bytes(4, "little") + tag + b"\0" * (len(tag) % 2)
        (path / "tagged.wav").write_bytes(wav[:4] + (len(wav) - 8).to_bytes(4, "little") + wav[8:])
        yield path


@pytest.mark.parametrize("name", ["track.mp3", "tagged.wav", "track.flac", "track.ogg"])
def test_music_reaches_the_device_sample_for_sample_and_loops(dancer, workdir, media, name):
    shutil.copy(media / name, f"{workdir}/1.mp3")
    out = f"{workdir}/out.raw"
    # 4.5 times faster than real time, for three times the track's length.
    d = dancer({"SDL_AUDIODRIVER": "disk", "SDL_DISKAUDIOFILE": out, "SDL_DISKAUDIODELAY": "5"})
    within(20, lambda: os.path.exists(out) and os.path.getsize(out) > 4.5 * 44100 * 8,
           lambda: "too little reached the device")
    assert d.quit() == ""
    heard = [round(v * 32768) for v in array.array("f", open(out, "rb").read())]
    start = next(i for i, v in enumerate(heard) if v)
    if name == "track.ogg":  # lossy: loud in every second
        assert all(max(heard[s:s + 88200]) > 3000 for s in range(start, len(heard) - 88200, 88200))
        return
    decode = ["mpg123", "-qs", name] if name.endswith("mp3") else ["sox", name, "-t", "raw", "-"]
    played = list(array.array("h", subprocess.run(decode, cwd=media, capture_output=True,
                                                  check=True).stdout))
    start -= next(i for i, v in enumerate(played) if v)
    n = len(played)
    assert start % 2 == 0 and heard[start:start + n] == played == heard[start + n:start + 2 * n]


def decoded(path):
    return list(array.array("h", subprocess.run(["sox", path, "-t", "raw", "-"],
                                                capture_output=True, check=True).stdout))


def played(out, tracks):
    """What reached the device: each track heard, as (name, samples of it from its start, where
    it began), silence between them passed over."""
    heard = [round(v * 32768) for v in array.array("f", open(out, "rb").read())]
    found, at = [], 0
    while (at := next((i for i in range(at, len(heard)) if heard[i]), None)) is not None:
        name = next(name for name, samples in tracks.items() if heard[at:at + 64] == samples[:64])
        length = next((i for i, (h, t) in enumerate(zip(heard[at:], tracks[name])) if h != t),
                      min(len(tracks[name]), len(heard) - at))
        found.append((name, length, at))
        at += length
    return found


def test_files_and_folders_play_in_order_and_loop_with_no_more_than_a_buffer_between(
        dancer, workdir, media):
    os.mkdir(album := f"{workdir}/album")
    shutil.copy(media / "one.wav", f"{album}/2 one.wav")
    shutil.copy(media / "two.flac", f"{album}/10 two.flac")
    open(f"{album}/cover.jpg", "wb").write(b"\xff\xd8\xff\xe0\0\x10JFIF\0")  # no MPEG frame sync
    out = f"{workdir}/out.raw"
    d = dancer({"SDL_AUDIODRIVER": "disk", "SDL_DISKAUDIOFILE": out, "SDL_DISKAUDIODELAY": "5"},
               args=("album", "gone.mp3"))
    within(20, lambda: os.path.getsize(out) > 4.5 * 44100 * 8, lambda: "too little played")
    assert d.quit() == "dancer: gone.mp3: No such file or directory; skipped\n"
    tracks = {"one": decoded(media / "one.wav"), "two": decoded(media / "two.flac")}
    heard = played(out, tracks)
    assert [(name, n) for name, n, _ in heard[:4]] == [(name, len(tracks[name])) for name in
                                                       ("one", "two", "one", "two")]
    # Each starts with the device buffer (1024 frames) after the one the last ended in.
    assert all(at % 2048 == 0 and at - 2048 < end[2] + end[1] <= at
               for end, (_, _, at) in zip(heard, heard[1:4]))


def test_right_and_left_arrows_go_to_the_next_and_previous_track_at_once(dancer, workdir, media):
    out = f"{workdir}/out.raw"
    names = ("one.wav", "two.flac", "three.wav")
    d = dancer({"SDL_AUDIODRIVER": "disk", "SDL_DISKAUDIOFILE": out},
               args=[media / name for name in names])
    within(5, lambda: os.path.getsize(out) > 0.3 * 44100 * 8, lambda: "nothing played")
    xdotool("mousemove", "--window", d.window, 400, 400, "key", "Right", "sleep", 0.3, "key",
            "Left", "sleep", 0.3)
    assert d.quit() == ""
    tracks = {name: decoded(media / name) for name in names}
    heard = played(out, tracks)
    assert [name for name, _, _ in heard[:3]] == ["one.wav", "two.flac", "one.wav"]
    assert heard[0][1] < len(tracks["one.wav"]) and heard[1][1] < len(tracks["two.flac"])
    # Cut short where a device buffer ends, and the other track from its start in the next.
    assert all(at == end[2] + end[1] for end, (_, _, at) in zip(heard, heard[1:3]))


def test_file_truncated_while_playing_stops_with_a_line_and_ctrl_c_ends_it(dancer, workdir, media):
    shutil.copy(media / "track.mp3", f"{workdir}/1.mp3")
    d = dancer({"SDL_AUDIODRIVER": "disk", "SDL_DISKAUDIOFILE": f"{workdir}/out.raw"})
    os.truncate(f"{workdir}/1.mp3", 0)
    within(5, d.stderr, lambda: "nothing said")
    d.proc.send_signal(signal.SIGINT)
    assert d.proc.wait(timeout=5) == -signal.SIGINT
    said = d.stderr()
    assert said.startswith("dancer: 1.mp3: playback stopped (") and said.count("\n") == 1


CANNOT_PLAY = {  # what is in the working directory, the sound output, and what it says
    "empty": (lambda w, m: open(f"{w}/1.mp3", "wb").close(), None, "1.mp3: empty file;"),
    "wav_with_256_channels": (lambda w, m: open(f"{w}/1.mp3", "wb").write(
        (m / "track.wav").read_bytes().replace(b"\1\0\2\0", b"\1\0\0\1", 1)), None,
        "1.mp3: not playable as WAV (its channel count is not 1 to 255)"),
    "directory": (lambda w, m: os.mkdir(f"{w}/1.mp3"), None, "1.mp3: a directory, not a file;"),
    "fifo": (lambda w, m: os.mkfifo(f"{w}/1.mp3"), None, "1.mp3: a pipe, not a file;"),
    "device": (lambda w, m: os.symlink("/dev/zero", f"{w}/1.mp3"), None, "1.mp3: a character "),
    # As root every file is readable: this case runs a copy of the program as nobody.
    "unreadable": (lambda w, m: (shutil.copy(m / "track.mp3", f"{w}/1.mp3"), shutil.copy(BIN, w),
                                 os.chmod(f"{w}/1.mp3", 0)), None, "1.mp3: Permission denied;"),
    "no_sound_card": (lambda w, m: shutil.copy(m / "track.mp3", f"{w}/1.mp3"), {
        "SDL_AUDIODRIVER": "alsa", "ALSA_CONFIG_PATH": os.devnull}, "default audio output: ALSA: "),
}


@pytest.mark.parametrize("case", CANNOT_PLAY)
def test_what_cannot_play_is_said_in_one_line_and_the_window_goes_on(dancer, workdir, media, case):
    make, env, says = CANNOT_PLAY[case]
    make(workdir, media)
    nobody = {}
    if case == "unreadable" and os.geteuid() == 0:
        nobody = {"binary": "./dancer", "command": (
            "setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--")}
        os.mkdir(home := f"{workdir}/home")  # where Mesa may keep its shader cache
        shutil.chown(home, "nobody")
        env = {"HOME": home}
    said = dancer(env, **nobody).quit()
    assert said.startswith("dancer: " + says) and said.endswith("running without music\n")
    assert said.count("\n") == 1
