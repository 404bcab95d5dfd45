"""The real binary on a session bus of the test's own: the desktop's media controls (playerctl)
drive its music, listening it names what a desktop player (mpv) plays, and full screen it keeps the
screen from blanking, on the X server and through the desktop's screen saver."""
import array
import ctypes
import os
import signal
import subprocess
import sys
import threading
import time

from gi.repository import Gio, GLib

from conftest import SOX, SoundServer, disk, end, lit, start, within

# The caption's place, from the window's centre.
CAPTION = (-384, -384, -100, -330)
WHITE = b"\xff\xff\xff"
# No screen saver of Debian's serves the bus without a desktop session, so this one records what it
# is asked, answering as one would.
RECORDER = """
from gi.repository import Gio, GLib
XML = ("<node><interface name='org.freedesktop.ScreenSaver'><method name='Inhibit'>"
       "<arg type='s'/><arg type='s'/><arg type='u' direction='out'/></method>"
       "<method name='UnInhibit'><arg type='u'/></method></interface></node>")
def called(bus, sender, path, interface, method, arguments, invocation):
    print(method, *arguments.unpack(), flush=True)
    invocation.return_value(GLib.Variant("(u)", (7,)) if method == "Inhibit" else None)
def serve(bus, name):
    interface = Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0]
    bus.register_object("/org/freedesktop/ScreenSaver", interface, called)
Gio.bus_own_name(Gio.BusType.SESSION, "org.freedesktop.ScreenSaver", 0, serve, None, None)
GLib.MainLoop().run()
"""


def said(path):
    with open(path) as lines:
        return lines.read()


def heard_where(out, tracks):
    """Which track the device received last, and how many seconds into it."""
    with open(out, "rb") as device:
        device.seek(max(0, os.path.getsize(out) - 4096) // 8 * 8)
        last = array.array("h", (round(v * 32768) for v in array.array("f", device.read())))
    for name, samples in tracks.items():
        if last.count(0) < len(last) and (at := samples.find(last[-128:].tobytes())) >= 0:
            return name, at / 4 / 44100
    return None, 0


def answering(bus, player, count):
    """How long the player takes to answer the last of `count` calls that wait for it at once."""
    peer = Gio.DBusConnection.new_for_address_sync(
        bus.env["DBUS_SESSION_BUS_ADDRESS"], Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT |
        Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
    player.send_signal(signal.SIGSTOP)
    for _ in range(count - 1):
        call = Gio.DBusMessage.new_method_call("org.mpris.MediaPlayer2.dancer",
                                               "/org/mpris/MediaPlayer2",
                                               "org.freedesktop.DBus.Properties", "Get")
        call.set_body(GLib.Variant("(ss)", ("org.mpris.MediaPlayer2.Player", "Position")))
        call.set_flags(Gio.DBusMessageFlags.NO_REPLY_EXPECTED)
        peer.send_message(call, Gio.DBusSendMessageFlags.NONE)
    last = Gio.DBusMessage.new_method_call("org.mpris.MediaPlayer2.dancer",
                                           "/org/mpris/MediaPlayer2", "org.freedesktop.DBus.Peer",
                                           "Ping")
    pending = threading.Thread(target=peer.send_message_with_reply_sync,
                               args=(last, Gio.DBusSendMessageFlags.NONE, 20000, None))
    pending.start()
    peer.flush_sync()
    time.sleep(0.5)  # all on its way to the player
    asked = time.monotonic()
    player.send_signal(signal.SIGCONT)
    pending.join()
    return time.monotonic() - asked


def test_the_desktop_controls_the_music_and_a_bus_that_goes_changes_nothing_else(dancer, workdir):
    bus = SoundServer(workdir, "pulseaudio")
    tracks = {}
    for name in ("First", "Second", "Third"):
        subprocess.run([*SOX, f"{name}.wav", "synth", "20", "whitenoise", "vol", "0.5"],
                       cwd=workdir, check=True)
        with open(f"{workdir}/{name}.wav", "rb") as wav:
            tracks[name] = wav.read()[44:]
    out = f"{workdir}/out.raw"
    d = dancer({**bus.env, **disk(out, faster=False)}, args=[f"{name}.wav" for name in tracks])
    with open(f"{workdir}/statuses", "w") as followed:
        start(["playerctl", "-p", "dancer", "--follow", "status"], env=bus.env, stdout=followed)
    with open(signals := f"{workdir}/signals", "w") as announced:
        start(["dbus-monitor", "type='signal',member='PropertiesChanged'"], env=bus.env,
              stdout=announced)

    def control(*command):
        return bus.says("playerctl", "-p", "dancer", *command).strip()
    assert within(5, lambda: control("status") == "Playing", d.stderr)
    assert control("metadata", "title") == "First"
    first = control("metadata", "mpris:trackid").strip("'")
    root = " ".join(bus.says("dbus-send", "--print-reply", "--dest=org.mpris.MediaPlayer2.dancer",
                             "/org/mpris/MediaPlayer2", "org.freedesktop.DBus.Properties.GetAll",
                             "string:org.mpris.MediaPlayer2").split())
    assert 'string "DesktopEntry" variant string "org.example.dancer"' in root
    assert 'string "Identity" variant string "Dancer"' in root
    for command, heard in (("next", "Second"), ("previous", "First")):
        control(command)
        assert within(3, lambda: heard_where(out, tracks)[0] == heard, lambda: command)
        assert within(3, lambda: f'string "{heard}"' in said(signals), lambda: "not announced")
    control("position", "12")
    assert within(3, lambda: 12 <= heard_where(out, tracks)[1] < 13.5, lambda: "not at 12 s")
    # A position for a track no longer playing (the first one's first play) is ignored.
    assert "method return" in bus.says(
        "dbus-send", "--print-reply", "--dest=org.mpris.MediaPlayer2.dancer",
        "/org/mpris/MediaPlayer2", "org.mpris.MediaPlayer2.Player.SetPosition",
        f"objpath:{first}", "int64:2000000")
    assert 12 <= float(control("position")) < 13.5
    control("volume", "2")
    assert float(control("volume")) == 1
    control("play-pause")
    assert within(3, lambda: heard_where(out, tracks)[0] is None, lambda: "still playing")
    at = float(control("position"))
    control("position", "5-")  # Seek, in microseconds; a WAV seeks to the whole second before
    assert at - 6 < float(control("position")) <= at - 5
    control("play-pause")
    assert within(3, lambda: heard_where(out, tracks)[0] == "First", lambda: "not playing on")
    statuses = f"{workdir}/statuses"
    assert within(3, lambda: said(statuses) == "Playing\nPaused\nPlaying\n", lambda: said(statuses))
    control("position", "600")  # past the end: no place in the track
    assert float(control("position")) < 20
    control("position", "30+")  # a jump past the end goes on to the next track
    assert within(3, lambda: heard_where(out, tracks)[0] == "Second", lambda: "not gone on")
    # A peer's flood of calls is answered 64 a tick (20 ms), so that the figure loses no frame.
    assert answering(bus, d.proc, 3200) > 40 * 0.02
    # Another dancer on the bus takes a name of its own.
    other = dancer(bus.env, args=["First.wav"])
    names = ["dbus-send", "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
             "org.freedesktop.DBus.ListNames"]
    instance = f"org.mpris.MediaPlayer2.dancer.instance{other.proc.pid}"
    assert within(5, lambda: instance in bus.says(*names), lambda: bus.says(*names))
    assert other.quit() == ""
    # The bus goes: the window goes on dancing, and nothing is said. The music would play on
    # whatever became of the window's thread, which is the one that handles the bus.
    end(bus.daemon)
    assert d.body_moves(0.5)
    assert d.quit() == ""
    # The desktop's Quit ends it as q does.
    bus = SoundServer(f"{workdir}/again", "pulseaudio")
    d = dancer({**bus.env, **disk(out)}, args=["First.wav"])
    call = ["dbus-send", "--print-reply", "--dest=org.mpris.MediaPlayer2.dancer",
            "/org/mpris/MediaPlayer2", "org.freedesktop.DBus.Properties.Get",
            "string:org.mpris.MediaPlayer2.Player", "string:CanGoNext"]
    within(5, lambda: "boolean false" in bus.says(*call), lambda: bus.says(*call))  # one track
    call[4:] = ["org.mpris.MediaPlayer2.Quit"]
    within(5, lambda: not subprocess.run(call, env=bus.env, capture_output=True).returncode,
           d.stderr)
    assert d.proc.wait(timeout=10) == 0
    assert d.stderr() == ""


def test_listening_names_each_track_a_desktop_player_starts(dancer, workdir):
    server = SoundServer(workdir, "pulseaudio")
    server.start()
    # A title of paragraph breaks would be laid out taller than Cairo can draw: no caption at all.
    for title, pitch in (("Morning", "300"), ("Evening" + "\u2029" * 2000, "500")):
        subprocess.run([*SOX, "tone.wav", "synth", "3", "sine", pitch], cwd=workdir, check=True)
        subprocess.run(["sox", "tone.wav", "--comment", f"TITLE={title}", f"{title[:7]}.flac"],
                       cwd=workdir, check=True)
    d = dancer(server.env, args=["--listen"])

    def caption():
        rgb, width = d.shot()
        return lit(rgb, width, CAPTION)
    # A stranger that owns no player's name, saying it plays, is not followed.
    subprocess.run(["gdbus", "emit", "--session", "--object-path", "/org/mpris/MediaPlayer2",
                    "--signal", "org.freedesktop.DBus.Properties.PropertiesChanged",
                    "'org.mpris.MediaPlayer2.Player'", "{'PlaybackStatus': <'Playing'>, "
                    "'Metadata': <{'xesam:title': <'Stranger'>}>}", "@as []"], env=server.env,
                   check=True)
    # Ticking (the arms swing), with nothing played on the desktop: nothing named.
    assert d.body_moves(0.3) is False
    assert caption() == {}
    start(["mpv", "--no-config", "--script=/etc/mpv/scripts/mpris.so", "--no-video", "--ao=pulse",
           "--really-quiet", "Morning.flac", "Evening.flac"], cwd=workdir, env=server.env)
    first = within(5, caption, lambda: "the first track not named")
    # Shown anew, in full: not the first one fading.
    assert within(5, lambda: (shown := caption()) != first and WHITE in shown.values(),
                  lambda: "the second track not named")
    assert d.quit() == ""


def screen_saver_on():
    x11, xss = ctypes.CDLL("libX11.so.6"), ctypes.CDLL("libXss.so.1")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XDefaultRootWindow.restype = ctypes.c_ulong
    x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    info = (ctypes.c_ulong * 8)()  # XScreenSaverInfo: window, then the state, ScreenSaverOn = 1
    display = ctypes.c_void_p(x11.XOpenDisplay(None))
    xss.XScreenSaverQueryInfo(display, ctypes.c_ulong(x11.XDefaultRootWindow(display)), info)
    x11.XCloseDisplay(display)
    return ctypes.cast(info, ctypes.POINTER(ctypes.c_int))[2] == 1


def test_full_screen_music_keeps_the_screen_awake_until_full_screen_ends(dancer, workdir):
    bus = SoundServer(workdir, "pulseaudio")
    with open(asked := f"{workdir}/asked", "w") as recorded:
        start([sys.executable, "-c", RECORDER], env=bus.env, stdout=recorded)
    names = ["dbus-send", "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
             "org.freedesktop.DBus.ListNames"]
    within(5, lambda: "org.freedesktop.ScreenSaver" in bus.says(*names), lambda: "no recorder")
    subprocess.run([*SOX, "tone.wav", "synth", "30", "sine", "300"], cwd=workdir, check=True)
    out = disk(f"{workdir}/out.raw", faster=False)
    d = dancer({**bus.env, **out}, args=["--fullscreen", "tone.wav"])
    inhibit, uninhibit = "Inhibit dancer Dancing full screen to music\n", "UnInhibit 7\n"
    assert within(3, lambda: said(asked) == inhibit, lambda: said(asked))
    try:
        subprocess.run(["xset", "s", "1"], check=True)
        subprocess.run(["xdotool", "mousemove", "1", "1"])
        time.sleep(2)
        assert not screen_saver_on()
        d.keys("f")
        assert within(2.5, screen_saver_on, lambda: "the screen saver stays off")
    finally:
        subprocess.run(["xset", "s", "off"], check=True)
    # Asked back when full screen ends, the music pauses and the program ends; asked again when
    # the music is heard full screen again.
    expected = inhibit + uninhibit
    for key, then in (("f", inhibit), ("space", uninhibit), ("space", inhibit)):
        assert within(3, lambda: said(asked) == expected, lambda: said(asked))
        d.keys(key)
        expected += then
    assert within(3, lambda: said(asked) == expected, lambda: said(asked))
    assert d.quit() == ""
    assert within(3, lambda: said(asked) == expected + uninhibit, lambda: said(asked))
