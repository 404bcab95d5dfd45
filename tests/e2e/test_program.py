"""The real binary: its window and picture, keys and mouse, its dance with and without music, and
a sound server of the test's own, PulseAudio or PipeWire, that crashes under it and comes back."""
import array
import os
import re
import subprocess
import time
from statistics import median

import pytest

from conftest import BIN, LEGS, end, lit, start, within, xdotool

LOST = "dancer: default audio output: the {} device went away; running without music\n"
BACK = "dancer: default audio output: back; music resumed\n"
# From the window's centre: where the credit lines stand, and where only the head and neck do.
CREDITS, ABOVE_SHOULDERS = (130, 360, 400, 400), (-100, -260, 100, -130)
TITLE = "Вирсель, используйте мышь с зажатой левой кнопкой для вращения объекта"


def test_window_picture_credits_and_keys_without_music(dancer):
    d = dancer()
    geometry = xdotool("getwindowgeometry", d.window)
    assert "Position: 100,100 " in geometry and "Geometry: 800x800\n" in geometry
    names = ["xprop", "-notype", "-id", d.window, "_NET_WM_NAME", "_NET_WM_ICON_NAME", "WM_CLASS"]
    assert subprocess.run(names, capture_output=True, text=True).stdout == (
        f'_NET_WM_NAME = "{TITLE}"\n_NET_WM_ICON_NAME = "{TITLE}"\nWM_CLASS = "dancer", "Dancer"\n')
    rgb, width = d.shot()
    # A grey figure on black lit from above and in front: a highlight on top of the head, the
    # torso's front mid-grey (its back, if drawn over it, is brighter), the head's underside dark.
    head, torso = lit(rgb, width, (-10, -160, 10, -100)), lit(rgb, width, (-30, -5, -10, 5))
    assert lit(rgb, width, (150, -400, 400, 300)) == {} and len(head) + len(torso) == 1400
    assert all(r == g == b for r, g, b in [*head.values(), *torso.values()])
    assert head[0, -155][0] == 255 and 125 < torso[-20, 0][0] < 145 and head[0, -101][0] < 60
    # Three white lines centred 250 right of the centre, baselines 20, 10 and 0 rows above the
    # bottom, each as wide as its text and its pixels where its characters put them (their x sum).
    text = lit(rgb, width, (100, 300, 400, 400))
    assert set(text.values()) == {b"\xff\xff\xff"} and min(y for _, y in text) >= 370
    for baseline, span, where in ((379, 169, 93000), (389, 220, 118113), (399, 207, 119448)):
        xs = [x for x, y in text if baseline - 6 <= y <= baseline]
        assert abs(min(xs) + max(xs) - 500) <= 6 and (max(xs) - min(xs), sum(xs)) == (span, where)
    assert d.body_moves(1.0) is False, "without music only the arms swing"
    xdotool("windowsize", d.window, 1000, 900)  # the same place, and the third line's descenders
    time.sleep(1)
    larger = lit(*d.shot(), (100, 300, 400, 450))
    assert {p for p in larger if p[1] < 400} == set(text) and max(y for _, y in larger) >= 400
    xdotool("windowsize", d.window, 800, 800, "sleep", 1)
    # A drag turns the figure, which then stays put; keys other than q, Q and Esc do nothing.
    before = lit(*d.shot(), LEGS)
    xdotool("mousemove", "--window", d.window, 400, 400, "mousedown", 1, "sleep", 0.1, "mousemove",
            "--window", d.window, 450, 400, "sleep", 0.1, "mousemove", "--window", d.window, 500,
            400, "sleep", 0.5, "mouseup", 1, "key", "a", "space", "Return")
    assert before != within(5, lambda: (a := lit(*d.shot(), LEGS)) == lit(*d.shot(), LEGS) and a,
                            lambda: "it goes on turning")
    assert d.quit("Escape") == "dancer: 1.mp3: No such file or directory; running without music\n"


@pytest.mark.parametrize("manager", [None, "openbox"])
def test_f_and_f11_fill_the_screen_centred_and_bring_the_window_back(dancer, manager):
    if manager:
        openbox = start([manager, "--sm-disable"], stderr=subprocess.DEVNULL)
        within(5, lambda: "FULLSCREEN" in subprocess.run(["xprop", "-root", "_NET_SUPPORTED"],
                                                         capture_output=True, text=True).stdout,
               lambda: "no window manager")
    try:
        d = dancer()
        credits = lit(*d.shot(), CREDITS)
        for key, size in (("f", "1280x1024"), ("f", "800x800"), ("F11", "1280x1024"),
                          ("F11", "800x800")):
            xdotool("mousemove", "--window", d.window, 10, 10, "key", key)
            within(3, lambda: f"Geometry: {size}\n" in xdotool("getwindowgeometry", d.window),
                   lambda: xdotool("getwindowgeometry", d.window))
            time.sleep(0.3)
            rgb, width = d.shot()
            head = [x for x, _ in lit(rgb, width, ABOVE_SHOULDERS)]
            assert lit(rgb, width, CREDITS) == credits and abs(min(head) + max(head)) <= 1
        assert manager or "Position: 100,100 " in xdotool("getwindowgeometry", d.window)
        assert d.quit() == "dancer: 1.mp3: No such file or directory; running without music\n"
    finally:
        if manager:  # and its word that it manages the screen, which would outlive it
            end(openbox)
            for word in ("_NET_SUPPORTED", "_NET_SUPPORTING_WM_CHECK"):
                subprocess.run(["xprop", "-root", "-remove", word])


def test_help_version_and_unknown_options_are_answered_without_a_window():
    without_display = {name: value for name, value in os.environ.items() if name != "DISPLAY"}

    def run(*arguments):
        result = subprocess.run([BIN, *arguments], env=without_display, capture_output=True,
                                text=True)
        return result.returncode, result.stdout, result.stderr

    status, usage, said = run("--help")
    assert (status, said) == (0, "") and usage.startswith("Usage: dancer [OPTION]... [FILE|")
    assert re.fullmatch(r"dancer \d+\.\d+\.\d+\n", run("--version")[1])
    assert run("-sync", "--bogus", "song.mp3") == (
        2, "", "dancer: unknown option '--bogus'; see 'dancer --help'\n")


SERVERS = {  # each sound server as a desktop runs it, with a placeholder sink while it has none
    "pulseaudio": [["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                    "--load=module-always-sink",
                    "--load=module-native-protocol-unix auth-anonymous=1"]],
    "pipewire": [["pipewire"], ["wireplumber"], ["pipewire-pulse"]],
    "pipewire alone": [["pipewire"], ["wireplumber"]],  # no PulseAudio service: nothing to watch
}
NULL_SINK = ("{ factory.name=support.null-audio-sink node.name=out node.description=out"
             " media.class=Audio/Sink object.linger=true }")


class SoundServer:
    """A sound server on the test's own runtime directory, needing nothing of the host's services,
    with a null sink `out` whose monitor is recorded where a PulseAudio service can be asked."""

    def __init__(self, workdir, kind):
        self.kind = kind
        self.heard_file = f"{workdir}/heard"
        os.makedirs(f"{workdir}/run", 0o700)
        # WirePlumber 0.4's Bluetooth monitor asks the login manager about seats; without one it
        # exits, as in a container.
        os.makedirs(config := f"{workdir}/config/wireplumber/bluetooth.lua.d")
        open(f"{config}/80-no-seats.lua", "w").write("bluez_monitor.enabled = false\n")
        bus = f"unix:path={workdir}/run/bus"
        self.env = {**os.environ, "HOME": workdir, "XDG_RUNTIME_DIR": f"{workdir}/run",
                    "XDG_CONFIG_HOME": f"{workdir}/config", "DBUS_SESSION_BUS_ADDRESS": bus}
        start(["dbus-daemon", "--session", "--nofork", f"--address={bus}"], env=self.env)
        within(5, lambda: os.path.exists(f"{workdir}/run/bus"), lambda: "no session bus")
        self.processes = []

    def run(self, *command):
        return subprocess.run(command, env=self.env, capture_output=True, text=True)

    def start(self, sink=True):
        first, *clients = SERVERS[self.kind]
        self.processes = [start(first, env=self.env, stderr=subprocess.DEVNULL)]
        if clients:  # PipeWire's session manager and PulseAudio service are its clients
            within(10, lambda: self.run("pw-cli", "info", "0").returncode == 0, lambda: "no PipeWire")
        self.processes += [start(command, env=self.env, stderr=subprocess.DEVNULL)
                           for command in clients]
        if self.kind == "pipewire alone":
            assert self.run("pw-cli", "create-node", "adapter", NULL_SINK).returncode == 0
            return
        # Until a sound card (here the null sink) comes, both servers offer a placeholder sink.
        within(10, lambda: "Default Sink: auto_null\n" in self.run("pactl", "info").stdout,
               lambda: "no sound server: " + str(self.run("pactl", "info")))
        if sink:
            self.add_sink()

    def add_sink(self):
        assert self.run("pactl", "load-module", "module-null-sink", "sink_name=out").returncode == 0
        within(5, lambda: "Default Sink: out\n" in self.run("pactl", "info").stdout,
               lambda: "no sink")
        self.processes.append(start(["parec", "-d", "out.monitor", "--latency-msec=20"],
                                    env=self.env, stdout=open(self.heard_file, "wb"),
                                    stderr=subprocess.DEVNULL))

    def heard(self, seconds=0.3):  # the last `seconds` the sink played, left and right interleaved
        return array.array("h", open(self.heard_file, "rb").read()[-int(seconds * 44100) * 4:])

    def loud(self):
        return max(self.heard(), default=0) > 1000

    def stop(self):
        end(*self.processes)


def track_position(left):  # the test track's tone rises from 200 Hz by 100 Hz a second
    stretch = left[:4410]  # 0.1 s, whose sign changes tell the tone
    return (sum((a < 0) != (b < 0) for a, b in zip(stretch, stretch[1:])) * 5 - 200) / 100


@pytest.fixture
def tone_track(workdir):
    """20 s: a tone rising from 200 Hz on the left, to tell where the music is; noise on the right."""
    subprocess.run(["sox", "-n", "-r", "44100", "-c", "2", "-b", "16", "1.mp3",
                    "synth", "20", "sine", "200:2200", "whitenoise", "vol", "0.5"], cwd=workdir)


@pytest.mark.parametrize("kind", ["pulseaudio", "pipewire"])
def test_a_sound_server_crash_rests_the_figure_and_its_return_resumes(dancer, workdir, tone_track,
                                                                      kind):
    """`make soak` lets it dance for DANCER_SOAK_SECONDS instead of 3 before a crash, watching
    memory: it settles within a minute, and after that a minute's typical level must not grow."""
    server = SoundServer(workdir, kind)
    server.start()
    d = dancer(server.env | {"SDL_AUDIODRIVER": ""})  # SDL chooses, as for a user
    within(5, server.loud, lambda: "no music on the sink")
    pages, end_at = [], time.monotonic() + float(os.environ.get("DANCER_SOAK_SECONDS", 3))
    while time.monotonic() < end_at:
        assert d.body_moves(1.0)
        pages.append(int(open(f"/proc/{d.proc.pid}/statm").read().split()[1]))
    assert len(pages) < 180 or median(pages[-40:]) - median(pages[40:80]) < 256  # 1 MiB
    for times in (1, 2):  # a second crash is noticed as the first, and a failed retry is quiet
        last_heard = track_position(server.heard(0.1)[0::2])
        server.stop()
        within(3, lambda: d.stderr().count("\n") == 2 * times - 1, d.stderr)
        if times == 1:
            time.sleep(0.6)  # at rest by then, and on past the first retry, at 2 s, which fails
            within(3, lambda: d.body_moves(1.8) is False, lambda: "still dancing")
        # The second time the server is back before the next try but has only its placeholder, as
        # when a desktop restarts it before its sound cards: the music must follow to the sink.
        server.start(sink=times == 1)
        within(5, lambda: d.stderr().endswith(BACK), d.stderr)
        if times == 2:
            server.add_sink()
        within(5, server.loud, lambda: "no music on the sink")
        time.sleep(0.2)  # from its first sound, the music goes on where it was last heard
        left = server.heard(60)[0::2]
        resumed = track_position(left[next(i for i, v in enumerate(left) if abs(v) > 1000):])
        assert times == 2 or abs((resumed - last_heard + 10) % 20 - 10) < 0.5, resumed
    # Every SDL plays through the PulseAudio protocol where the server speaks it.
    assert d.body_moves() and d.quit() == (LOST.format("pulseaudio") + BACK) * 2


def test_pipewire_without_its_pulseaudio_service_plays_and_its_end_is_no_loss(dancer, workdir,
                                                                              tone_track):
    server = SoundServer(workdir, "pipewire alone")
    server.start()
    d = dancer(server.env | {"SDL_AUDIODRIVER": "pipewire"})  # SDL 2 would try ALSA first
    assert d.body_moves(1.0)
    server.stop()
    within(3, lambda: d.body_moves(1.0) is False, lambda: "still dancing")
    assert d.quit() == ""


NO_SERVER = ("dancer: default audio output: no sound server to listen to (Connection refused); "
             "resting until there is one\n")
LISTENING = "dancer: default audio output: listening\n"
GONE = "dancer: default audio output: the sound server went away; resting until it is back\n"


@pytest.mark.parametrize("kind", ["pulseaudio", "pipewire"])
def test_listening_dances_to_what_another_player_plays_and_rests_when_nothing_does(
        dancer, workdir, kind):
    # Quiet enough that the phases bounce within their range, so the figure rests upright.
    subprocess.run(["sox", "-n", "-r", "44100", "-c", "2", "tone.wav", "synth", "60", "sine", "300",
                    "whitenoise", "vol", "0.1"], cwd=workdir, check=True)
    server = SoundServer(workdir, kind)

    def play():  # as a player would, with a short buffer: paplay's own of 2 s lags on a null sink
        player = start(["paplay", "--latency-msec=50", "tone.wav"], cwd=workdir, env=server.env)
        within(5, lambda: d.body_moves(0.5), lambda: "not dancing")
        return player

    d = dancer(server.env, args=["--listen"])
    within(3, lambda: d.stderr() == NO_SERVER, d.stderr)
    assert d.body_moves(1.0) is False
    server.start()
    within(5, lambda: d.stderr() == NO_SERVER + LISTENING, d.stderr)
    end(play())
    within(1.5, lambda: d.body_moves(0.3) is False, lambda: "still dancing")
    play()
    server.stop()
    within(3, lambda: d.stderr() == NO_SERVER + LISTENING + GONE, d.stderr)
    within(1.5, lambda: d.body_moves(0.3) is False, lambda: "still dancing")
    server.start()
    within(5, lambda: d.stderr().endswith(GONE + LISTENING), d.stderr)
    # A new default output is listened to, here a second null sink.
    assert server.run("pactl", "load-module", "module-null-sink", "sink_name=other").returncode == 0
    assert server.run("pactl", "set-default-sink", "other").returncode == 0
    play()
    assert d.quit() == NO_SERVER + LISTENING + GONE + LISTENING
