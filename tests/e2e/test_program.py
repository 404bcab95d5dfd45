"""The real binary: its window, picture, keys, mouse and full screen, its command line, and sound
servers that it plays through or listens to, crashing under it and coming back, and one stream of
those they play heard alone."""
import ctypes
import os
import subprocess
import sys
import time
from statistics import median

import pytest

from conftest import (BIN, LEGS, NO_MUSIC, SERVERS, SOX, SoundServer, end, lit, start, within,
                      xdotool, xprop)
from test_desktop import screen_saver_on

TITLE = "Вирсель, используйте мышь с зажатой левой кнопкой для вращения объекта"
# From the window's centre: the credit lines, and where only the head and neck stand.
CREDITS, ABOVE_SHOULDERS = (100, 300, 400, 400), (-100, -260, 100, -130)
LOST = "dancer: default audio output: the pulseaudio device went away; running without music\n"
BACK = "dancer: default audio output: back; music resumed\n"
NO_SERVER = ("dancer: default audio output: no sound server to listen to (Connection refused); "
             "resting until there is one\n")
LISTENING = "dancer: default audio output: listening\n"
GONE = "dancer: default audio output: the sound server went away; resting until it is back\n"


# A desktop widget that asks the player where it is and how loud, as fast as the bus answers.
POLLER = """
from gi.repository import Gio, GLib
bus = Gio.bus_get_sync(Gio.BusType.SESSION)
def get(name):
    return bus.call_sync("org.mpris.MediaPlayer2.dancer", "/org/mpris/MediaPlayer2",
                         "org.freedesktop.DBus.Properties", "Get",
                         GLib.Variant("(ss)", ("org.mpris.MediaPlayer2.Player", name)),
                         None, 0, 1000, None).unpack()[0]
while True:
    try:
        get("Position")
        get("Volume")
    except GLib.Error:
        pass
    GLib.usleep(2000)
"""


def full_screen(d, key, size):  # presses `key` and waits for the window to be `size`
    d.keys(key)
    within(3, lambda: f"Geometry: {size}\n" in xdotool("getwindowgeometry", d.window), d.stderr)


def centred_frame(d):  # until a frame at a new size is drawn, the last one shows, off centre
    def drawn():
        rgb, width = d.shot()
        xs = [x for x, _ in lit(rgb, width, ABOVE_SHOULDERS)]
        return xs and abs(min(xs) + max(xs)) <= 2 and (rgb, width)
    return within(3, drawn, lambda: "no frame drawn centred")


class CursorImage(ctypes.Structure):  # XFixesCursorImage
    _fields_ = [("x", ctypes.c_short), ("y", ctypes.c_short), ("width", ctypes.c_ushort),
                ("height", ctypes.c_ushort), ("xhot", ctypes.c_ushort), ("yhot", ctypes.c_ushort),
                ("serial", ctypes.c_ulong), ("pixels", ctypes.POINTER(ctypes.c_ulong))]


def pointer_shown():  # whether the pointer the X server shows has a pixel that is not transparent
    x11, xfixes = ctypes.CDLL("libX11.so.6"), ctypes.CDLL("libXfixes.so.3")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    xfixes.XFixesGetCursorImage.restype = ctypes.POINTER(CursorImage)
    display = ctypes.c_void_p(x11.XOpenDisplay(None))
    image = xfixes.XFixesGetCursorImage(display).contents
    shown = any(image.pixels[i] >> 24 for i in range(image.width * image.height))
    x11.XCloseDisplay(display)
    return shown


def test_window_picture_credits_full_screen_and_keys_without_music(dancer):
    d = dancer()
    assert "Position: 100,100 (screen: 0)\n  Geometry: 800x800\n" in xdotool(
        "getwindowgeometry", d.window)
    assert xprop("-notype", "-id", d.window, "_NET_WM_NAME", "_NET_WM_ICON_NAME", "WM_CLASS") == (
        f'_NET_WM_NAME = "{TITLE}"\n_NET_WM_ICON_NAME = "{TITLE}"\nWM_CLASS = "dancer", "Dancer"\n')
    rgb, width = d.shot()
    # A grey figure on black lit from above and in front: a highlight on top of the head, the
    # torso's front mid-grey (its back, if drawn over it, is brighter), the head's underside dark.
    head = lit(rgb, width, (-10, -160, 10, -100))
    torso = lit(rgb, width, (-30, -5, -10, 5))
    assert lit(rgb, width, (150, -400, 400, 300)) == {}
    assert len(head) + len(torso) == 1400
    assert all(r == g == b for r, g, b in [*head.values(), *torso.values()])
    assert head[0, -155][0] == 255
    assert 125 < torso[-20, 0][0] < 145
    assert head[0, -101][0] < 60
    # Three white lines centred 250 right of the centre, baselines 20, 10 and 0 rows above the
    # bottom, each as wide as its text and its pixels where its characters put them (their x sum).
    text = lit(rgb, width, CREDITS)
    assert set(text.values()) == {b"\xff\xff\xff"}
    assert min(y for _, y in text) >= 370
    for baseline, span, where in ((379, 169, 93000), (389, 220, 118113), (399, 207, 119448)):
        xs = [x for x, y in text if baseline - 6 <= y <= baseline]
        assert abs(min(xs) + max(xs) - 500) <= 6
        assert (max(xs) - min(xs), sum(xs)) == (span, where)
    assert d.body_moves(1.0) is False, "without music only the arms swing"
    # Full screen: the figure centred, the credits where they were from the centre, now with the
    # third line's descenders; the other key brings the window back where it was.
    full_screen(d, "f", "1700x1000")
    rgb, width = centred_frame(d)
    larger = lit(rgb, width, (100, 300, 400, 450))
    assert {pixel for pixel in larger if pixel[1] < 400} == set(text)
    assert max(y for _, y in larger) >= 400
    # The pointer rests 2 s over the full screen and hides; moved, it shows again.
    within(4, lambda: not pointer_shown(), lambda: "the pointer still shows")
    xdotool("mousemove", "--window", d.window, 300, 300)
    within(2, pointer_shown, lambda: "the pointer is still hidden")
    full_screen(d, "F11", "800x800")
    assert "Position: 100,100 " in xdotool("getwindowgeometry", d.window)
    # A drag turns the figure, which then stays put; other keys do nothing.
    before = lit(*d.shot(), LEGS)
    xdotool("mousemove", "--window", d.window, 400, 400, "mousedown", 1, "sleep", 0.1, "mousemove",
            "--window", d.window, 450, 400, "sleep", 0.1, "mousemove", "--window", d.window, 500,
            400, "sleep", 0.5, "mouseup", 1, "key", "a", "space", "Return")
    after = within(5, lambda: (a := lit(*d.shot(), LEGS)) == lit(*d.shot(), LEGS) and a,
                   lambda: "it goes on turning")
    assert before != after
    assert d.quit("Escape") == NO_MUSIC


def test_full_screen_is_asked_of_a_window_manager_and_no_sound_card_is_one_line(dancer, workdir):
    for name, x in (("left", 0), ("right", 850)):  # a window manager fills one monitor of two
        subprocess.run(["xrandr", "--setmonitor", name, f"850/225x1000/265+{x}+0", "none"],
                       check=True)
    # A window mapped while openbox is still starting up may never be managed (on the first start in
    # a fresh Debian 12, every time): it says when it has started.
    started = f"{workdir}/started"
    manager = start(["openbox", "--sm-disable", "--startup", f"touch {started}"],
                    stderr=subprocess.DEVNULL)
    within(20, lambda: os.path.exists(started), lambda: "no window manager")
    try:
        d = dancer({"SDL_AUDIODRIVER": "alsa", "ALSA_CONFIG_PATH": os.devnull})
        full_screen(d, "F11", "850x1000")
        assert "FULLSCREEN" in xprop("-id", d.window, "_NET_WM_STATE")
        full_screen(d, "f", "800x800")
        said = d.quit()
        assert said.startswith("dancer: default audio output: ALSA: ")
        assert said.endswith("; running without music\n") and said.count("\n") == 1
        subprocess.run(["sox", "-n", "tone.wav", "synth", "1"], cwd=workdir, check=True)
        d = dancer(args=["--fullscreen", "tone.wav"])
        within(3, lambda: "FULLSCREEN" in xprop("-id", d.window, "_NET_WM_STATE"), d.stderr)
        # Filling its monitor to music, it hides the resting pointer and holds off the screen saver.
        subprocess.run(["xset", "s", "1"], check=True)
        xdotool("mousemove", "--window", d.window, 300, 300)
        within(4, lambda: not pointer_shown(), lambda: "the pointer still shows")
        assert not screen_saver_on()
        subprocess.run(["xset", "s", "off"], check=True)
        full_screen(d, "f", "800x800")
        time.sleep(2.5)
        assert pointer_shown(), "hidden at rest in a window"
        # Killed, the manager leaves its word on the root: the window covers the screen itself.
        end(manager)
        full_screen(d, "f", "1700x1000")
        assert d.quit() == ""
    finally:  # its word that it manages the screen would outlive it (and stop GLUT starting)
        end(manager)
        subprocess.run(["xset", "s", "off"], check=True)
        for name in ("left", "right"):
            subprocess.run(["xrandr", "--delmonitor", name], check=True)
        xprop("-root", "-remove", "_NET_SUPPORTED")
        xprop("-root", "-remove", "_NET_SUPPORTING_WM_CHECK")
    d = dancer(args=["--fullscreen"])  # without one: the window covers the screen from the start
    full_screen(d, "F11", "800x800")
    assert d.quit() == NO_MUSIC


@pytest.mark.parametrize("arguments, status, out, err", [
    (["--help"], 0, "Usage: dancer [OPTION]... [FILE|FOLDER|PLAYLIST]...\n", ""),
    (["--version"], 0, "dancer 0.", ""),
    (["-sync", "--bogus", "a.mp3"], 2, "", "unknown option '--bogus'; see 'dancer --help'\n"),
    (["--listen", "a"], 2, "", "--listen plays nothing, so it takes no files; see 'dancer --help'"
                               "\n")])
def test_help_version_and_mistakes_are_answered_without_a_display(arguments, status, out, err):
    without_display = {name: value for name, value in os.environ.items() if name != "DISPLAY"}
    said = subprocess.run([BIN, *arguments], env=without_display, capture_output=True, text=True)
    assert (said.returncode, said.stdout[:len(out)]) == (status, out)
    assert said.stderr == (err and "dancer: " + err)


def track_position(left):
    """Where in the test track, whose tone rises from 200 Hz by 100 Hz a second, the first of 0.1 s
    of its left channel lies. The tone's period is taken over whole periods only: a dropout, as a
    busy machine makes in what a sink plays, spans more than one and is left out."""
    signs = [(i, v > 0) for i, v in enumerate(left[:4410]) if abs(v) > 500]  # clear of noise
    rises = [i for (_, was), (i, now) in zip(signs, signs[1:]) if now and not was]
    periods = sorted(b - a for a, b in zip(rises, rises[1:]))
    whole = [p for p in periods if p < 1.5 * periods[len(periods) // 2]]
    return (44100 * len(whole) / sum(whole) - 200) / 100 - 0.05


# A figure rests within 20 ticks of silence. On a busy machine a listener was seen to tick 22
# times a second, and a look for rest (two pictures 0.3 s apart) to take 0.8 s: one may be under
# way as the figure stops, and the next must end in time.
REST = 5


def rests(d):
    return d.body_moves(0.3) is False


def watched(server, player):  # the player's own connection to PipeWire's PulseAudio service
    clients = server.says("pactl", "list", "clients").split("Client #")
    return any('client.api = "pipewire-pulse"' in client and
               f'application.process.id = "{player.proc.pid}"' in client for client in clients)


@pytest.mark.parametrize("kind", SERVERS)
def test_a_sound_server_crash_rests_both_a_player_and_a_listener_and_its_return_resumes_them(
        dancer, workdir, kind):
    """One program plays, another listens to what the default output plays. `make soak` lets
    them dance for DANCER_SOAK_SECONDS instead of 1 before a crash, watching the player's memory:
    it settles within a minute, and after that a minute's typical level must not grow."""
    # 20 s: a tone rising from 200 Hz on the left, to tell where the music is; noise on the right,
    # quiet enough that the phases bounce within their range, so the figures rest upright.
    subprocess.run(["sox", "-n", "-r", "44100", "-c", "2", "-b", "16", "1.mp3", "synth", "20",
                    "sine", "200:2200", "whitenoise", "vol", "0.1"], cwd=workdir, check=True)
    server = SoundServer(workdir, kind)
    listener = dancer(server.env, args=["--listen"])
    within(3, lambda: listener.stderr() == NO_SERVER, listener.stderr)
    assert rests(listener)
    server.start()
    # SDL chooses, as for a user; alone, PipeWire is chosen, for SDL 2 would try ALSA first.
    alone = kind == "pipewire alone"
    player = dancer(server.env | {"SDL_AUDIODRIVER": "pipewire" if alone else ""})
    xdotool("windowmove", player.window, 850, 100)  # beside the listener, to see both
    within(5, lambda: player.body_moves(0.5), lambda: "not dancing")
    start([sys.executable, "-c", POLLER], env=server.env)
    with open(statuses := f"{workdir}/statuses", "w") as followed:
        start(["playerctl", "-p", "dancer", "--follow", "status"], env=server.env, stdout=followed)
    pages = []
    end_at = time.monotonic() + float(os.environ.get("DANCER_SOAK_SECONDS", 1))
    while time.monotonic() < end_at:
        assert player.body_moves(1.0)
        with open(f"/proc/{player.proc.pid}/statm") as statm:
            pages.append(int(statm.read().split()[1]))
    assert len(pages) < 180 or median(pages[-40:]) - median(pages[40:80]) < 256  # 1 MiB
    if alone:  # nothing to watch, until PipeWire's PulseAudio service starts after the player
        service = start(["pipewire-pulse"], env=server.env, stderr=subprocess.DEVNULL)
        server.processes.append(service)
        within(10, lambda: watched(server, player), lambda: "not watched")  # tried every 2 s
        within(3, lambda: listener.stderr() == NO_SERVER + LISTENING, listener.stderr)  # its beat
        assert player.body_moves(0.5)  # and ticks on: the tick after takes the server's answer
        server.stop()
        within(REST, lambda: rests(player), lambda: "still dancing")
        assert player.quit() == LOST.replace("pulseaudio", "pipewire")
        within(3, lambda: listener.stderr().endswith(GONE), listener.stderr)
        assert listener.quit() == NO_SERVER + LISTENING + GONE
        return
    assert listener.stderr() == NO_SERVER + LISTENING
    assert listener.body_moves(1.0)
    for times in (1, 2):  # a second crash is noticed as the first, and a failed retry is quiet
        # The listener finds the server back on its own 2 s beat, which may come after the player's.
        within(3, lambda: listener.stderr().endswith(LISTENING), listener.stderr)
        last_heard = track_position(server.heard(0.1)[0::2]) + 0.1
        server.stop()
        within(3, lambda: player.stderr().count("\n") == 2 * times - 1, player.stderr)
        within(3, lambda: listener.stderr().endswith(GONE), listener.stderr)
        if times == 1:  # past the first try to connect again, at once, which fails
            within(REST, lambda: rests(player) and rests(listener), lambda: "still dancing")
        # The second time the server is back before the next try but has only its placeholder, as
        # when a desktop restarts it before its sound cards: the music must follow to the sink.
        server.start(sink=times == 1)
        within(5, lambda: player.stderr().endswith(BACK), player.stderr)
        if times == 2:
            server.add_sink()
        within(5, server.loud, lambda: "no music on the sink")
        # From its first sound, the music goes on about where it was last heard: what the server
        # held of it then is lost, a tenth of a second on PulseAudio, up to a half on PipeWire.
        time.sleep(0.2)
        left = server.heard(60)[0::2]
        resumed = track_position(left[next(i for i, v in enumerate(left) if abs(v) > 1000):])
        assert times == 2 or abs((resumed - last_heard + 10) % 20 - 10) < 0.75, resumed
    assert player.body_moves(1.0)
    # Another default output, and the music moved there: the listener listens to it.
    server.add_sink("other")
    server.says("pactl", "move-sink-input", server.says("pactl", "list", "short", "sink-inputs")
                .split()[0], "other")
    within(5, lambda: listener.body_moves(0.5), lambda: "not listening")
    # Every SDL plays through the PulseAudio protocol where the server speaks it.
    assert player.quit() == (LOST + BACK) * 2
    with open(statuses) as followed:  # while the output is lost the music is paused
        assert followed.read().split() == ["Playing", "Paused", "Playing", "Paused", "Playing"]
    within(REST, lambda: rests(listener), lambda: "still dancing")
    assert listener.quit() == NO_SERVER + (LISTENING + GONE) * 2 + LISTENING


def tone_and_silence(workdir):  # a minute of each; the silence not dithered, which would move it
    subprocess.run([*SOX, "tone.wav", "synth", "60", "sine", "300"], cwd=workdir, check=True)
    subprocess.run([*SOX, "-D", "silence.wav", "trim", "0", "60"], cwd=workdir, check=True)


@pytest.mark.parametrize("kind", ["pulseaudio", "pipewire"])
def test_listening_to_one_application_or_to_the_player_that_plays_and_listing_what_plays(
        dancer, workdir, kind):
    tone_and_silence(workdir)
    server = SoundServer(workdir, kind)
    without_display = {name: value for name, value in server.env.items() if name != "DISPLAY"}

    def listed():
        said = subprocess.run([BIN, "--list-players"], env=without_display, capture_output=True,
                              text=True)
        return said.returncode, said.stdout, said.stderr
    assert listed() == (1, "", "dancer: no sound server to ask what plays (Connection refused)\n")
    server.start()
    as_quiet = ["paplay", "--client-name=quiet"]
    start(["paplay", "--client-name=music", "tone.wav"], cwd=workdir, env=server.env)
    quiet = start([*as_quiet, "silence.wav"], cwd=workdir, env=server.env)
    d = dancer(server.env, args=["--listen=quiet"])
    within(3, lambda: d.stderr().endswith("dancer: listening to quiet\n"), d.stderr)
    assert d.body_moves(1.0) is False, "the music of another heard"
    # It stops, and starts again with music: it is followed.
    end(quiet)
    within(3, lambda: d.stderr().endswith(" quiet plays nothing; resting until it does\n"),
           d.stderr)
    quiet = start([*as_quiet, "tone.wav"], cwd=workdir, env=server.env)
    within(5, lambda: d.body_moves(0.5), lambda: "not dancing")
    # Moved to another output, it is followed there: the figure would rest by then if it were not.
    server.add_sink("other")
    streams = server.says("pactl", "list", "sink-inputs").split("Sink Input #")
    moved = next(s.split()[0] for s in streams if 'application.name = "quiet"' in s)
    server.says("pactl", "move-sink-input", moved, "other")
    time.sleep(1)
    within(5, lambda: d.body_moves(0.5), lambda: "not followed to another output")
    assert d.quit().endswith(" resting until it does\ndancer: listening to quiet\n")
    end(quiet)
    # No media player on the desktop: all the default output plays.
    d = dancer(server.env, args=["--listen=player"])
    within(5, lambda: d.body_moves(0.5), lambda: "not dancing")
    assert d.quit() == ("dancer: no media player on the desktop; listening to all the default "
                        "output plays\n")
    # Its stream is titled as its window would be: by the file alone, whatever mpv's default.
    start(["mpv", "--no-config", "--script=/etc/mpv/scripts/mpris.so", "--no-video", "--ao=pulse",
           "--really-quiet", "--loop-file=inf", "--title=${filename}", "silence.wav", "tone.wav"],
          cwd=workdir, env=server.env)
    mpv = "mpv\tplaying\tsilence.wav\tsilence.wav\n"
    within(5, lambda: listed() == (0, "music\tplaying\ttone.wav\n" + mpv, ""), listed)
    d = dancer(server.env, args=["--listen=player"])
    within(3, lambda: d.stderr().startswith("dancer: listening to mpv"), d.stderr)
    assert d.body_moves(1.0) is False, "the music of another heard"
    # Music on its next track (its stream corked a moment, which is not said), and then paused.
    server.says("playerctl", "-p", "mpv", "next")
    within(5, lambda: d.body_moves(0.5), lambda: "not dancing")
    server.says("playerctl", "-p", "mpv", "pause")
    within(REST, lambda: rests(d), lambda: "still dancing")
    within(3, lambda: d.stderr().endswith(" plays nothing; resting until it does\n"), d.stderr)
    assert d.quit().count("\n") == 2
