"""Music as people keep it: lists of files, folders of albums within folders, playlists naming
files, folders and other playlists. What plays is read from what reached the device (SDL's disk
driver writes it to a file)."""
import os
import pathlib
import shutil
import subprocess
import tempfile

import pytest

from conftest import SOX, decoded, disk, played, start, within


@pytest.fixture(scope="module")
def tones():
    """Tones starting at their peak, each at a pitch of its own: three to play as a list, one of
    them FLAC, and 0.2 s ones, 0.wav to 6.wav, for folders and playlists."""
    with tempfile.TemporaryDirectory() as folder:
        for command in ([*SOX, "one.wav", "synth", "1.2", "sine", "300", "0", "25", "vol", "0.5"],
                        [*SOX, "two.flac", "synth", "0.8", "sine", "500", "0", "25", "vol", "0.4"],
                        ["sox", "two.flac", "three.wav", "pitch", "500"],
                        *([*SOX, f"{n}.wav", "synth", "0.2", "sine", f"{200 + 50 * n}", "0", "25"]
                          for n in range(7))):
            subprocess.run(command, cwd=folder, check=True)
        yield pathlib.Path(folder)


@pytest.fixture(scope="module")
def english():  # a locale of the test's own: the machine may have only C
    with tempfile.TemporaryDirectory() as folder:
        subprocess.run(["localedef", "-i", "en_US", "-f", "UTF-8", f"{folder}/en_US.UTF-8"],
                       check=True)
        yield {"LOCPATH": folder, "LC_ALL": "en_US.UTF-8"}


def short_tones_played(out, tones, count):
    within(10, lambda: os.path.getsize(out) > count * 0.25 * 44100 * 8, lambda: "too little played")
    return [n for n, _, _ in played(out, {n: decoded(tones / f"{n}.wav") for n in range(7)})]


def test_tracks_play_in_turn_each_from_the_buffer_after_the_last_and_the_arrows_skip(
        dancer, workdir, tones):
    names = ["one.wav", "two.flac", "three.wav"]
    for name in names:
        shutil.copy(tones / name, workdir)
    out = f"{workdir}/out.raw"
    d = dancer(disk(out, faster=False), args=names)
    # Once round the list, and 0.3 s into its first track again: Right, and 0.3 s later Left.
    within(10, lambda: os.path.getsize(out) > 3.1 * 44100 * 8, lambda: "too little played")
    d.keys("Right", "sleep", 0.3, "key", "Left", "sleep", 0.3)
    # With every file gone, Right finds none to play, and the track playing stops there too.
    for name in names:
        os.remove(f"{workdir}/{name}")
    d.keys("Right", "sleep", 1.5)
    assert d.quit().splitlines() == [
        "dancer: two.flac: No such file or directory; skipped",
        "dancer: three.wav: No such file or directory; skipped",
        "dancer: one.wav: No such file or directory; running without music"]
    tracks = {name: decoded(tones / name) for name in names}
    heard = played(out, tracks)
    order = ["one.wav", "two.flac", "three.wav", "one.wav", "two.flac", "one.wav"]
    assert [name for name, _, _ in heard[:6]] == order
    assert [n == len(tracks[name]) for name, n, _ in heard[:5]] == [True] * 3 + [False] * 2
    for (name, n, at), (_, _, next_at) in zip(heard[:5], heard[1:6]):
        if n == len(tracks[name]):  # from the device buffer (1024 frames) after its last
            assert next_at % 2048 == 0
            assert next_at - 2048 < at + n <= next_at
        else:  # cut short by a key where a device buffer ends
            assert next_at == at + n


def test_a_folder_plays_every_folder_below_it_in_order_but_hidden_ones(dancer, workdir, tones,
                                                                      english):
    music = pathlib.Path(workdir, "Music")
    for place, n in (("apple.wav", 0), ("Artist/2 Second album/b.wav", 1),
                     ("Artist/10 Later album/c.wav", 2), ("Banana.wav", 3), ("Émile.wav", 4),
                     ("Zoe.wav", 5), (".Trash-0/d.wav", 6)):
        (music / place).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(tones / f"{n}.wav", music / place)
    (music / "Artist/cover.jpg").write_bytes(b"\xff\xd8\xff\xe0\0\x10JFIF\0")  # no frame sync
    (music / "back").symlink_to(".")  # a link back up the tree, between Artist and Banana
    out = f"{workdir}/out.raw"
    # In real time: a track is handed its successor a tick after it starts, and these last 0.2 s.
    d = dancer(disk(out, faster=False) | english, args=["Music"])
    assert short_tones_played(out, tones, 8)[:7] == [0, 1, 2, 3, 4, 5, 0]
    assert d.quit() == ""


def test_a_playlist_plays_its_entries_in_order_and_names_come_out_escaped(dancer, workdir, tones):
    os.mkdir(lists := f"{workdir}/lists")
    for n, place in enumerate((f"{lists}/relative.wav", f"{workdir}/absolute.wav",
                               f"{workdir}/with space.wav", f"{lists}/nested.wav")):
        shutil.copy(tones / f"{n}.wav", place)
    with open(f"{lists}/list.m3u", "w") as m3u:
        m3u.write(f"#EXTM3U\nrelative.wav\n{workdir}/absolute.wav\n"
                  f"file://{workdir}/with%20space.wav\nhttp://example.org/radio\n"
                  "gone\x1b]0;title\a.wav\nnested.PLS\n")
    with open(f"{lists}/nested.PLS", "w") as pls:  # the list that names it comes round once
        pls.write("[playlist]\nFile2=list.m3u\nFile1=nested.wav\nNumberOfEntries=2\n")
    out = f"{workdir}/out.raw"
    d = dancer(disk(out, faster=False), args=["lists/list.m3u", "new\nline.mp3"])
    assert short_tones_played(out, tones, 6)[:5] == [0, 1, 2, 3, 0]
    assert d.quit().splitlines() == [
        "dancer: http://example.org/radio: web addresses are not played; skipped",
        "dancer: lists/gone\\e]0;title\\a.wav: No such file or directory; skipped",
        "dancer: new\\nline.mp3: No such file or directory; skipped"]


def test_a_folder_that_does_not_answer_keeps_neither_the_window_nor_quitting_waiting(
        dancer, workdir, tones):
    os.mkdir(mount := f"{workdir}/network")
    answer = f"{workdir}/answer"
    start([f"{os.environ['DANCER_BUILD_DIR']}/hanging_fs", mount, answer])
    within(5, lambda: os.path.ismount(mount), lambda: "not mounted")
    try:
        os.mkdir(f"{workdir}/Music")
        shutil.copy(tones / "0.wav", f"{workdir}/Music")
        out = f"{workdir}/out.raw"
        # Nothing can play until the folder answers: the window ticks on meanwhile, in silence.
        d = dancer(disk(out, faster=False), args=["gone.wav", "network/Albums", "Music"])
        assert d.body_moves(0.5) is not None
        assert os.path.getsize(out) > 0
        stuck = dancer(args=["network/Albums"])
        stuck.keys("q")
        assert stuck.proc.wait(timeout=5) == 0
        open(answer, "w").close()
        within(10, lambda: short_tones_played(out, tones, 0)[:2] == [0, 0], lambda: "no music")
        assert d.quit().splitlines() == [
            "dancer: gone.wav: No such file or directory; skipped",
            "dancer: network/Albums: no music files in it; skipped"]
    finally:
        open(answer, "w").close()
        subprocess.run(["umount", "-l", mount])


def test_doubling_playlists_stop_at_100000_tracks_with_one_line(dancer, workdir, tones):
    for n in range(1, 40):  # 2^39 tracks in all: each names the next twice
        pathlib.Path(workdir, f"a{n}.m3u").write_text(f"a{n + 1}.m3u\n" * 2)
    pathlib.Path(workdir, "a40.m3u").write_text(f"{tones}/0.wav\n")
    d = dancer(args=["a1.m3u"])
    left_out = "dancer: a1.m3u: more than 100000 tracks; the rest is left out\n"
    # Listing took 1 to 3 s alone (ASan), and 22 s beside three busy loops on a loaded machine.
    within(60, lambda: d.stderr() == left_out, d.stderr)
    assert d.quit() == left_out
