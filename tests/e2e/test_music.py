"""What reaches the sound device from each kind of music file and from lists of them (SDL's disk
driver writes it to a file), and every file or device that cannot play: one line on stderr, and
the window goes on."""
import array
import os
import pathlib
import shutil
import signal
import subprocess
import tempfile

import pytest

from conftest import SOX, SoundServer, decoded, disk, lit, played, start, within

# The caption's place, from the window's centre: its top left corner is 16 pixels in.
CAPTION = (-384, -384, -100, -330)


@pytest.fixture(scope="module")
def media():
    """Tones starting at their peak: 1.5 s of two, fading out, as MP3 with a long ID3 tag, as WAV
    with it in a chunk, and Ogg."""
    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder)
        for command in ([*SOX, "track.wav", "synth", "1.5", "sine", "220-880", "0", "25", "sine",
                         "330", "vol", "0.5", "fade", "0", "1.5", "0.3"],
                        ["lame", "-S", "--id3v2-only", "--ta", "A" * 65536, "track.wav",
                         "track.mp3"],
                        ["sox", "track.wav", "track.ogg"]):
            subprocess.run(command, cwd=path, check=True)
        mp3 = (path / "track.mp3").read_bytes()
        wav = (path / "track.wav").read_bytes()
        tag = mp3[:10 + sum(byte << 7 * (3 - i) for i, byte in enumerate(mp3[6:10]))]
        wav += b"id3 " + len(tag).to_bytes(4, "little") + tag + b"\0" * (len(tag) % 2)
        (path / "tagged.wav").write_bytes(wav[:4] + (len(wav) - 8).to_bytes(4, "little") + wav[8:])
        yield path


@pytest.mark.parametrize("name", ["track.mp3", "tagged.wav", "track.ogg"])
def test_music_reaches_the_device_sample_for_sample_and_loops(dancer, workdir, media, name):
    shutil.copy(media / name, f"{workdir}/1.mp3")
    out = f"{workdir}/out.raw"
    d = dancer(disk(out))
    within(20, lambda: os.path.getsize(out) > 4.5 * 44100 * 8, lambda: "too little played")
    assert d.quit() == ""
    if name == "track.ogg":  # lossy: loud in every second
        with open(out, "rb") as device:
            heard = array.array("f", device.read())
        assert all(max(heard[s:s + 88200]) > 0.1 for s in range(0, len(heard) - 88200, 88200))
        return
    track = decoded(media / name)
    heard = played(out, {name: track})
    # Whole, and again without a gap: the decoder loops it.
    assert [(n, at - heard[0][2]) for _, n, at in heard[:2]] == [(len(track), 0),
                                                                 (len(track), len(track))]


def test_file_truncated_while_playing_stops_with_a_line_and_ctrl_c_ends_it(dancer, workdir, media):
    shutil.copy(media / "track.mp3", f"{workdir}/1.mp3")
    d = dancer(disk(f"{workdir}/out.raw", faster=False))
    os.truncate(f"{workdir}/1.mp3", 0)
    within(5, d.stderr, lambda: "nothing said")
    d.proc.send_signal(signal.SIGINT)
    assert d.proc.wait(timeout=5) == -signal.SIGINT
    assert d.stderr().startswith("dancer: 1.mp3: playback stopped (")
    assert d.stderr().count("\n") == 1


def test_what_cannot_play_is_passed_over_with_a_line_each_and_the_window_goes_on(dancer, workdir,
                                                                                 media):
    open(f"{workdir}/empty", "wb").close()
    wav = (media / "track.wav").read_bytes()
    with open(f"{workdir}/256 channels", "wb") as many:
        many.write(wav.replace(b"\1\0\2\0", b"\1\0\0\1", 1))
    os.mkdir(f"{workdir}/folder")
    os.mkfifo(f"{workdir}/pipe")
    os.symlink("/dev/zero", f"{workdir}/device")
    # After "--", an operand that GLUT would take for an option is only a file.
    operands = ["empty", "256 channels", "folder/", "pipe", "device", "--", "-display"]
    said = dancer(args=operands).quit()
    assert said == ("dancer: empty: empty file; skipped\n"
                    "dancer: 256 channels: not playable as WAV (its channel count is not 1 to 255); "
                    "skipped\n"
                    "dancer: folder/: no music files in it; skipped\n"
                    "dancer: pipe: a pipe, not a file; skipped\n"
                    "dancer: device: a character device, not a file; skipped\n"
                    "dancer: -display: No such file or directory; running without music\n")


def test_quitting_as_tracks_change_or_the_sound_server_comes_back_ends_cleanly(dancer, workdir):
    """Quitting stops the threads that use the tracks before they go: else, in the sanitized
    build, a report ends the program with status 1. An output that fails to open is tried again."""
    tracks = [f"{n}.wav" for n in range(3)]
    for name in tracks:  # 10 ms: one ends in every buffer, and the audio thread loads the next
        subprocess.run([*SOX, name, "synth", "0.01", "sine", "440"], cwd=workdir, check=True)
    os.mkfifo(drain := f"{workdir}/drain")  # emptied as it is filled: nothing piles up on disk
    start(["sh", "-c", f"while :; do cat {drain}; done"], stdout=subprocess.DEVNULL)
    for _ in range(4):  # the disk driver with no delay: buffers one after another, flat out
        flat_out = {**disk(drain), "SDL_DISKAUDIODELAY": "0"}
        assert dancer(flat_out, args=tracks).quit() == ""
    server = SoundServer(workdir, "pulseaudio")
    server.start(sink=False)
    lost = "dancer: default audio output: the pulseaudio device went away; running without music\n"
    back = "dancer: default audio output: back; music resumed\n"
    for _ in range(3):  # q just as the server is found back, when the output opens again
        d = dancer(server.env | {"SDL_AUDIODRIVER": ""}, args=tracks)
        assert d.body_moves(0.5) is not None  # a few ticks on: the server has answered its watch
        server.stop()
        within(3, lambda: d.stderr() == lost, d.stderr)
        server.start(sink=False)
        within(5, lambda: "\tdancer" in server.says("pactl", "list", "short", "clients"), d.stderr)
        assert d.quit() in (lost, lost + back)
    # An output that fails to open is tried again 2 s later: this one plays on a sink named for it,
    # which is back only after a try has failed. (An SDL that names the default output itself
    # opens it at once, and is back then.)
    server.add_sink()
    d = dancer(server.env | {"SDL_AUDIODRIVER": "", "PULSE_SINK": "out"}, args=tracks)
    assert d.body_moves(0.5) is not None
    server.stop()
    within(3, lambda: d.stderr() == lost, d.stderr)
    server.start(sink=False)
    with open(events := f"{workdir}/events", "w") as told:
        start(["pactl", "subscribe"], env=server.env, stdout=told)
    within(5, lambda: "'remove' on client" in pathlib.Path(events).read_text() or
           d.stderr().endswith(back), d.stderr)
    server.add_sink()
    within(5, lambda: d.stderr() == lost + back, d.stderr)
    assert d.quit() == lost + back


def test_space_pauses_the_music_where_it_is_and_plays_it_on_from_the_same_sample(dancer, workdir):
    subprocess.run([*SOX, "track.wav", "synth", "8", "sine", "200:2000", "0", "25", "vol", "0.5"],
                   cwd=workdir, check=True)
    shutil.copy(f"{workdir}/track.wav", f"{workdir}/1.mp3")
    out = f"{workdir}/out.raw"
    d = dancer(disk(out, faster=False))
    assert within(3, lambda: d.body_moves(0.3), lambda: "not dancing")
    d.keys("space")
    assert within(5, lambda: d.body_moves(0.3) is False, lambda: "still dancing")
    paused_at = os.path.getsize(out) // 4  # the samples written by then
    d.keys("space", "sleep", 1)
    assert d.quit() == ""
    with open(out, "rb") as device:
        heard = [round(v * 32768) for v in array.array("f", device.read())]
    # From the first sound: music, one stretch of silence in whole device buffers (the pause), and
    # the music on from the next sample.
    first = next(i for i, v in enumerate(heard) if v) // 2048 * 2048 + 2048
    silent = [i for i in range(first, len(heard) - 2048, 2048) if not any(heard[i:i + 2048])]
    assert silent and silent[0] < paused_at <= silent[-1] + 2048
    assert silent[-1] - silent[0] == 2048 * (len(silent) - 1)
    music = [v for v in heard if v]
    assert music == [v for v in decoded(pathlib.Path(workdir, "track.wav")) if v][:len(music)]


def test_a_named_track_shows_its_title_and_artist_for_4_s_and_i_shows_them_again(dancer, workdir):
    subprocess.run([*SOX, "tone.wav", "synth", "20", "sine", "300"], cwd=workdir, check=True)
    subprocess.run(["lame", "-S", "--tt", "Песня о дожде", "--ta", "Артистка", "tone.wav",
                    "song.mp3"], cwd=workdir, check=True)
    subprocess.run(["sox", "tone.wav", "--comment", "TITLE=Plain s\ufffdng", "tagged.flac"],
                   cwd=workdir, check=True)
    os.rename(f"{workdir}/tone.wav", f"{workdir}/Plain s\udce9ng.wav")  # Latin-1

    def caption(d):
        rgb, width = d.shot()
        return lit(rgb, width, CAPTION)
    d = dancer(args=["song.mp3"])
    assert within(3, lambda: caption(d), lambda: "no caption")
    assert within(6, lambda: caption(d) == {}, lambda: "caption still there")
    d.keys("i")
    assert within(3, lambda: caption(d), lambda: "no caption after i")
    assert d.quit() == ""
    # The same file played by default names nothing until asked.
    os.rename(f"{workdir}/song.mp3", f"{workdir}/1.mp3")
    d = dancer()
    assert d.body_moves(0.3) is not None  # it ticks: a caption of the track's start would show
    assert caption(d) == {}
    d.keys("i")
    assert within(3, lambda: caption(d), lambda: "no caption after i")
    assert d.quit() == ""
    # Without tags, the file's name without its suffix (bytes not UTF-8 as U+FFFD), as a tag shows.
    shown = []
    for name in ("Plain s\udce9ng.wav", "tagged.flac"):
        d = dancer(args=[name])
        shown.append(within(3, lambda: caption(d), lambda: "no caption"))
        assert d.quit() == ""
    assert shown[0] == shown[1]
