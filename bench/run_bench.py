#!/usr/bin/env python3
"""Runs every benchmark of `make bench` and prints one Markdown table of the figures and budgets.

    bench/run_bench.py BUILD_DIR DATA_DIR [--soak-seconds 600] [--pairs 3] [--run-seconds 20]
                       [--only audio,compare,caption,library,soak,render] [--json FILE]

Everything draws on a private Xvfb server (Mesa's software renderer) and plays into SDL's disk
driver writing to /dev/null, so nothing reaches the desktop or a sound card. The shipped binary is
run as it is; bench/frame_probe.cpp, preloaded, notes its ticks and frames and when its first frame
is on the screen.

  audio    audio_bench: the audio path's CPU per second of playback, beside mpg123 decoding, and
           of listening instead to all the default output plays, or to one application's stream,
           on PulseAudio and on PipeWire, with the sound server's CPU
  compare  dancer and `ffplay -showmode rdft` on the demo track, in turn, A B A B
  soak     dancer alone for --soak-seconds: tick pacing and memory over the whole run
  caption  dancer on the demo track showing nothing, then with its caption kept showing (`i` every
           3 s), in turn: what drawing the caption costs
  render   `dancer --render` making a video of the demo track with no display, beside FFmpeg's own
           showcqt visualiser making one of the same track at the same size, rate and encoder
           settings (libx264 veryfast, CRF 20, AAC 160 kbit/s), in turn, at 800x800 50 fps and
           1920x1080 30 fps: speed as a multiple of real time, CPU and peak memory; the CPU of
           dancer's drawing thread, and of libx264 alone encoding dancer's frames (decoded from a
           lossless render), which together bound its speed; then dancer on a minute of music (the
           track looped as a playlist) for memory against length
  library  dancer given one file, then a library of 20,000 tracks in 2,000 folders (hard links to
           that file): the time to the window, to the first sound, and the memory per track

Figures depend on what else the machine runs; the table's header gives the load average.
"""
import argparse
import contextlib
import json
import os
import platform
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

PROBE_RECORD = struct.Struct("<qii")
LOADED, TICK, FRAME, FIRST_SHOWN, GLUT_READY, WINDOW, MAIN_LOOP = range(7)
START_STAGES = [(LOADED, "shared libraries loaded"), (GLUT_READY, "glutInit done (GL driver loaded)"),
                (WINDOW, "window and GL context made"),
                (MAIN_LOOP, "scene set, music started, main loop entered")]
FFPLAY = ["ffplay", "-showmode", "rdft", "-x", "800", "-y", "800", "-loop", "0", "1.mp3"]


def log(message):
    print(message, file=sys.stderr, flush=True)


def start_xvfb():
    """A private X server; Xvfb picks a free display number and writes it to the pipe."""
    read_end, write_end = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
                               "-nolisten", "tcp", "-noreset"], pass_fds=[write_end],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        number = pipe.readline().strip()
    if not number:
        raise RuntimeError(f"Xvfb did not start (status {server.wait()})")
    return server, f":{number}"


def memory_kib(pid):
    """VmRSS and VmHWM of a live process, in KiB."""
    fields = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                fields[key] = int(value.split()[0])
    return fields.get("VmRSS", 0), fields.get("VmHWM", 0)


def press_every(display, key, seconds, stop):
    """Presses `key` in the dancer window on `display` every `seconds` until `stop` is set."""
    env = dict(os.environ, DISPLAY=display)
    window = subprocess.run(["xdotool", "search", "--sync", "--class", "dancer"], env=env,
                            capture_output=True, text=True).stdout.split()[0]
    while not stop.wait(seconds):
        subprocess.run(["xdotool", "key", "--window", window, key], env=env)


def run_program(command, cwd, display, probe, seconds, sample_memory=False, heard=False,
                press=None):
    """Runs `command` for `seconds` from exec, then SIGTERM. Returns its figures and probe events;
    `heard`: also when the first sound reached the device."""
    with tempfile.TemporaryDirectory(prefix="dancer-bench-") as scratch:
        events_path = os.path.join(scratch, "events.bin")
        device = os.devnull
        first_sound = []
        if heard:  # the disk driver writes into a pipe read here, as fast as it is written
            os.mkfifo(device := os.path.join(scratch, "device"))
            threading.Thread(target=note_first_sound, args=(device, first_sound),
                             daemon=True).start()
        env = dict(os.environ, DISPLAY=display, SDL_AUDIODRIVER="disk",
                   SDL_DISKAUDIOFILE=device, LD_PRELOAD=probe, PROBE_LOG=events_path)
        started = time.monotonic_ns()
        proc = subprocess.Popen(command, cwd=cwd, env=env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        stop_pressing = threading.Event()
        if press:
            threading.Thread(target=press_every, args=(display, press, 3, stop_pressing),
                             daemon=True).start()
        memory = []
        deadline = started + int(seconds * 1e9)
        next_sample = started
        while (now := time.monotonic_ns()) < deadline and proc.poll() is None:
            if sample_memory and now >= next_sample:
                memory.append(((now - started) / 1e9, memory_kib(proc.pid)[0]))
                next_sample += int(1e9)
            time.sleep(min(0.05, (deadline - now) / 1e9))
        if proc.poll() is not None:
            raise RuntimeError(f"{command[0]} ended early with status {proc.returncode}")
        stop_pressing.set()
        peak_kib = memory_kib(proc.pid)[1]
        stopped = time.monotonic_ns()
        proc.send_signal(signal.SIGTERM)
        _, _, usage = os.wait4(proc.pid, 0)
        with open(events_path, "rb") as f:
            raw = f.read()
    events = [PROBE_RECORD.unpack_from(raw, i) for i in range(0, len(raw) - 15, 16)]
    elapsed = (stopped - started) / 1e9
    first_seen = {}
    for t, kind, _ in events:
        first_seen.setdefault(kind, (t - started) / 1e6)
    return {
        "seconds": elapsed,
        "cpu_per_second": (usage.ru_utime + usage.ru_stime) / elapsed,
        "peak_rss_mib": max(peak_kib, usage.ru_maxrss) / 1024,
        "first_frame_ms": first_seen.get(FIRST_SHOWN),
        "first_sound_ms": (first_sound[0] - started) / 1e6 if first_sound else None,
        "rss_mib": memory[-1][1] / 1024 if memory else None,
        "stages_ms": {kind: first_seen[kind] for kind, _ in START_STAGES if kind in first_seen},
        "ticks": [(t, value) for t, kind, value in events if kind == TICK],
        "frames": [t for t, kind, _ in events if kind == FRAME],
        "memory": memory,
    }


def note_first_sound(device, first_sound):
    with open(device, "rb") as pipe:
        while block := pipe.read1(65536):
            if not first_sound and block.strip(b"\0"):
                first_sound.append(time.monotonic_ns())


def rate(times):
    return (len(times) - 1) / ((times[-1] - times[0]) / 1e9) if len(times) > 1 else 0.0


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(p * len(ordered)))]


def spread(values, fmt):
    """Median and range, as one cell."""
    return f"{fmt.format(statistics.median(values))} ({fmt.format(min(values))}–" \
           f"{fmt.format(max(values))})"


def cpu_seconds(stat):
    """The CPU seconds (user and system) a process or thread has taken so far, from its stat file
    in /proc."""
    with open(stat) as f:
        fields = f.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def server_use(pids):
    """The CPU seconds the processes have taken so far, and the times their threads have slept and
    been woken (voluntary context switches)."""
    seconds = wakes = 0
    for pid in pids:
        seconds += cpu_seconds(f"/proc/{pid}/stat")
        for task in os.listdir(tasks := f"/proc/{pid}/task"):
            with contextlib.suppress(FileNotFoundError), open(f"{tasks}/{task}/status") as f:
                wakes += next(int(line.split()[1]) for line in f if line.startswith("voluntary_"))
    return seconds, wakes


def per_second(began, ended):
    """What server_use counted a second between two (time, server_use) marks."""
    return [(b - a) / (ended[0] - began[0]) for a, b in zip(began[1], ended[1])]


def audio_bench(build, data, env=None, listen=None, server=()):
    """audio_bench's figures by their labels. `listen`: the application to listen to, "" for all
    the default output plays; then "server" and "server wake-ups" are what server_use counts a
    second of the `server` processes over the span audio_bench's own figures are of."""
    command = [os.path.join(build, "audio_bench"), data, "20"]
    if listen is not None:
        command.append(f"--listen={listen}" if listen else "--listen")
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                            env=env)
    rows, marks = {}, []
    for line in proc.stdout:
        if line.strip() in ("from here", "to here"):
            marks.append((time.monotonic(), server_use(server)))
        label, _, value = line.rpartition(" ")
        try:
            rows[label.rstrip()] = float(value)
        except ValueError:
            pass
    if proc.wait(timeout=300) != 0:
        raise RuntimeError(f"{' '.join(command)} failed with status {proc.returncode}")
    rows["server"], rows["server wake-ups"] = per_second(*marks)
    return rows


# Another program plays the music, with a 50 ms buffer as desktop players keep, the track again and
# again; a second one plays a quiet tone beside it, so that one application is a choice.
PLAYERS = {"music": "mpg123 -q --loop -1 -e f32 -s 1.mp3", "tone": "sox -n -t raw -r 44100 -c 2 "
           "-e floating-point -b 32 - synth 3600 sine 440 vol 0.1"}


def run_audio(build, data, rounds=3):
    """The audio path playing the demo track, then listening to all the default output plays and
    to one application's stream, in turn, on sound servers of the tests' own making, with the
    server's CPU (pulseaudio, or pipewire, wireplumber and pipewire-pulse) over the same span and
    over 10 s of the players alone; a few milliseconds a second vary by half from run to run here,
    so each is the median of three. Nothing else records the sink's monitor, as on a desktop."""
    os.environ.setdefault("DANCER_BIN", os.path.join(build, "dancer"))
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                    "e2e"))
    import conftest
    servers = ("pulseaudio", "pipewire")
    runs = {"play": [], **{f"{kind} {to}": [] for kind in servers for to in ("all", "one")}}
    alone = {kind: [] for kind in servers}
    for round_number in range(1, rounds + 1):
        log(f"audio: round {round_number} of {rounds}: audio_bench playing, then listening to all "
            "and to one application on PulseAudio and on PipeWire, 20 s each")
        with tempfile.TemporaryDirectory() as workdir:
            try:  # a session bus to be a media player on, and nothing on it
                bus = conftest.SoundServer(workdir, "pulseaudio")
                runs["play"].append(audio_bench(build, data, bus.env))
            finally:
                conftest.end(*conftest.STARTED)
                conftest.STARTED.clear()
        for kind in servers:
            with tempfile.TemporaryDirectory() as workdir:
                try:
                    server = conftest.SoundServer(workdir, kind)
                    server.start(sink=False)  # a sink without the tests' recorder on its monitor
                    server.says("pactl", "load-module", "module-null-sink", "sink_name=out")
                    server.says("pactl", "set-default-sink", "out")
                    pids = [p.pid for p in server.processes]
                    for name, player in PLAYERS.items():
                        conftest.start(["sh", "-c", f"{player} | pacat --client-name={name} "
                                        "--latency-msec=50 --format=float32le"], cwd=data,
                                       env=server.env, stderr=subprocess.DEVNULL)
                    time.sleep(2)  # until the players' streams are linked and running
                    began = (time.monotonic(), server_use(pids))
                    time.sleep(10)
                    alone[kind].append(per_second(began, (time.monotonic(), server_use(pids))))
                    for to in ("all", "one")[::1 if round_number % 2 else -1]:
                        runs[f"{kind} {to}"].append(audio_bench(
                            build, data, server.env, "music" if to == "one" else "", pids))
                finally:
                    conftest.end(*conftest.STARTED)
                    conftest.STARTED.clear()

    def median(kind, row):
        return statistics.median(run[row] for run in runs[kind])

    path = "audio path: decode, mix and tap, plus the fetches"
    results = {"audio_path": median("play", path),
               "fetches": median("play", "  fetchSpectrum every 20 ms (wall time)"),
               "mpg123": median("play", "mpg123 -q -t (decoding only)"),
               "bus_poll_us": [median("play", f"session bus poll each tick, {which} (us)")
                               for which in ("median", "99th percentile")]}
    for kind in servers:
        for to in ("all", "one"):
            name = f"{kind} {to}"
            results[f"listen_{kind}_{to}"] = {
                "audio_path": median(name, path), "server": median(name, "server"),
                "wakeups": median(name, "server wake-ups"),
                "both": [run[path] + run["server"] for run in runs[name]],
                "lag_ms": [median(name, f"window's end behind the sink, {which} (ms)")
                           for which in ("least", "median", "most")]}
        results[f"server_{kind}_alone"] = [statistics.median(run[i] for run in alone[kind])
                                           for i in (0, 1)]
    return results


def run_compare(build, data, display, probe, pairs, seconds):
    dancer = os.path.join(build, "dancer")
    runs = {"dancer": [], "ffplay": []}
    for pair in range(pairs):
        for name, command in (("dancer", [dancer]), ("ffplay", FFPLAY)):
            log(f"compare: pair {pair + 1} of {pairs}, {name}, {seconds:g} s")
            result = run_program(command, data, display, probe, seconds)
            result["tick_rate"] = rate([t for t, _ in result.pop("ticks")])
            result["frame_rate"] = rate(result.pop("frames"))
            runs[name].append(result)
    return runs


def run_soak(build, data, display, probe, seconds):
    log(f"soak: dancer alone for {seconds:g} s")
    result = run_program([os.path.join(build, "dancer")], data, display, probe, seconds,
                         sample_memory=True)
    ticks = result["ticks"]
    intervals = [(b - a) / 1e6 for (a, _), (b, _) in zip(ticks, ticks[1:])]
    # GLUT's timer runs on whole milliseconds from its own start; a tick that starts a millisecond
    # or more after the 20 ms it was armed for moves every later tick back by as much.
    late = [b - a - 20 for (_, a), (_, b) in zip(ticks, ticks[1:])]
    # RSS rises and falls by a few hundred KiB as the driver and the allocator work, so growth is
    # judged on its typical level early on against the end, once start-up has settled (a minute
    # into a long run, proportionally sooner in a short one).
    settled = min(60.0, result["seconds"] / 5)
    window = min(60.0, (result["seconds"] - settled) / 2)
    memory = result["memory"]
    return {
        "seconds": result["seconds"],
        "tick_rate": rate([t for t, _ in ticks]),
        "interval_p50_ms": percentile(intervals, 0.5),
        "interval_p99_ms": percentile(intervals, 0.99),
        "interval_max_ms": max(intervals),
        "late_ticks_fraction": sum(1 for d in late if d >= 1) / len(late),
        "late_ms_per_tick": statistics.mean(late),
        "peak_rss_mib": result["peak_rss_mib"],
        "rss_window_s": (settled, window),
        "rss_early_mib": statistics.median(
            rss for t, rss in memory if settled <= t < settled + window) / 1024,
        "rss_late_mib": statistics.median(
            rss for t, rss in memory if t >= result["seconds"] - window) / 1024,
        "rss_range_mib": [f(rss for t, rss in memory if t >= settled) / 1024 for f in (min, max)],
        "rss_kib_each_second": [rss for _, rss in memory],
    }


def run_caption(build, data, display, probe, pairs, seconds):
    dancer = os.path.join(build, "dancer")
    runs = {"none": [], "caption": []}
    for pair in range(pairs):
        for kind, press in (("none", None), ("caption", "i")):
            log(f"caption: pair {pair + 1} of {pairs}, {kind}, {seconds:g} s")
            result = run_program([dancer], data, display, probe, seconds, press=press)
            runs[kind].append(result["cpu_per_second"])
    return runs


def run_library(build, data, display, probe, rounds, seconds=8, folders=2000, per_folder=10):
    """One file, then a library of hard links to it, in turn, after a run of each to warm the
    cache. Memory is taken at the end of each run, when the whole library has long been listed."""
    dancer = os.path.join(build, "dancer")
    runs = {"file": [], "library": []}
    with tempfile.TemporaryDirectory(prefix="dancer-library-") as root:
        track = os.path.join(root, "track.mp3")
        subprocess.run(["cp", os.path.join(data, "1.mp3"), track], check=True)
        for folder in range(folders):
            os.makedirs(album := os.path.join(root, "Music", f"Artist {folder // 10}",
                                              f"{folder % 10} Album"))
            for number in range(per_folder):
                os.link(track, os.path.join(album, f"{number + 1:02} Track.mp3"))
        for round_number in range(rounds + 1):
            for kind, operand in (("file", track), ("library", os.path.join(root, "Music"))):
                log(f"library: round {round_number} of {rounds} (0 warms the cache), {kind}")
                result = run_program([dancer, operand], root, display, probe, seconds,
                                     sample_memory=True, heard=True)
                if round_number > 0:
                    runs[kind].append(result)
    return {"tracks": folders * per_folder, **{
        kind: {figure: [r[figure] for r in results]
               for figure in ("first_frame_ms", "first_sound_ms", "rss_mib")}
        for kind, results in runs.items()}}


RENDER_SETTINGS = ((800, 800, 50), (1920, 1080, 30))


def timed(command, env=None, stdin=None):
    """Wall seconds, CPU seconds (user + system) and peak RSS in MiB of one command run to its end,
    and the CPU seconds of its main thread (dancer's drawing thread), as last seen 20 ms before."""
    began = time.monotonic()
    process = subprocess.Popen(command, env=env, stdin=stdin, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    main_thread = 0
    while True:
        pid, status, usage = os.wait4(process.pid, os.WNOHANG)
        if pid != 0:
            break
        with contextlib.suppress(OSError, IndexError):
            main_thread = cpu_seconds(f"/proc/{process.pid}/task/{process.pid}/stat")
        time.sleep(0.02)
    assert os.waitstatus_to_exitcode(status) == 0, command
    return {"wall_s": time.monotonic() - began, "cpu_s": usage.ru_utime + usage.ru_stime,
            "peak_rss_mib": usage.ru_maxrss / 1024, "main_thread_cpu_s": main_thread}


def x264_alone(lossless, width, height, fps, out):
    """libx264 at the render's settings and thread count on frames decoded from `lossless`, the
    decoding in another process: what the encoder alone costs on that video."""
    decoder = subprocess.Popen(["ffmpeg", "-v", "error", "-i", lossless, "-f", "rawvideo",
                                "-pix_fmt", "yuv420p", "-"], stdout=subprocess.PIPE)
    encoded = timed(["ffmpeg", "-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "yuv420p",
                     "-s", f"{width}x{height}", "-r", str(fps), "-i", "-", "-c:v", "libx264",
                     "-preset", "veryfast", "-crf", "20", "-threads", "2", out],
                    stdin=decoder.stdout)
    decoder.stdout.close()
    assert decoder.wait() == 0
    return encoded


def media_seconds(path):
    return float(subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration",
                                 "-of", "csv=p=0", path], capture_output=True, text=True,
                                check=True).stdout)


def run_render(build, data, pairs):
    dancer, track = os.path.join(build, "dancer"), os.path.join(data, "1.mp3")
    env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
    seconds = media_seconds(track)
    results = {"track_s": seconds}
    with tempfile.TemporaryDirectory(prefix="dancer-bench-") as scratch:
        out = os.path.join(scratch, "video.mp4")
        for width, height, fps in RENDER_SETTINGS:
            runs = {"dancer": [], "showcqt": []}
            for _ in range(pairs):
                log(f"render {width}x{height} {fps} fps: dancer, then showcqt")
                runs["dancer"].append(timed([dancer, "--render", out, "--force", "--size",
                                             f"{width}x{height}", "--fps", str(fps), track], env))
                runs["showcqt"].append(timed([
                    "ffmpeg", "-v", "error", "-y", "-i", track, "-filter_complex",
                    f"[0:a]showcqt=s={width}x{height}:r={fps}[v]", "-map", "[v]", "-map", "0:a",
                    "-c:v", "libx264", "-preset", "veryfast", "-crf", "20", "-c:a", "aac",
                    "-b:a", "160k", out]))
            for kind in runs:
                for run in runs[kind]:
                    run["speed"] = seconds / run["wall_s"]
            # What the encoder alone costs on dancer's own frames, kept exactly by a lossless video.
            log(f"render {width}x{height} {fps} fps losslessly, then libx264 alone on its frames")
            lossless = os.path.join(scratch, "lossless.mkv")
            timed([dancer, "--render", lossless, "--force", "--crf", "0", "--size",
                   f"{width}x{height}", "--fps", str(fps), track], env)
            runs["x264_alone"] = [x264_alone(lossless, width, height, fps, out)]
            os.unlink(lossless)
            results[f"{width}x{height}@{fps}"] = runs
        # A minute of music, the track again and again through a playlist, for memory by length.
        playlist = os.path.join(scratch, "minute.m3u")
        with open(playlist, "w") as f:
            f.write("\n".join([track] * max(1, round(60 / seconds))) + "\n")
        log("render a minute of music")
        results["minute"] = timed([dancer, "--render", out, "--force", playlist], env)
        results["minute"]["video_s"] = media_seconds(out)
    return results


def machine():
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    mesa = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "libgl1-mesa-dri"],
                          capture_output=True, text=True).stdout.strip()
    return {"nproc": os.cpu_count(), "cpu": model, "mesa_package": mesa,
            "kernel": platform.release(), "load_start": os.getloadavg()}


def verdict(ok):
    return "met" if ok else "**missed**"


def table(results, args):
    m = results["machine"]
    rows = [f"Machine: {m['nproc']} cores, {m['cpu']}, kernel {m['kernel']}, Mesa "
            f"{m['mesa_package']} (llvmpipe on Xvfb); load average at start "
            f"{m['load_start'][0]:.2f}, at end {m['load_end'][0]:.2f}.", "",
            "| Figure | dancer | ffplay -showmode rdft | Budget or note |", "|---|---|---|---|"]

    def row(figure, dancer="", ffplay="", budget=""):
        rows.append(f"| {figure} | {dancer} | {ffplay} | {budget} |")

    def section(title):
        rows.append(f"| **{title}** | | | |")

    if "audio" in results:
        a = results["audio"]
        section("Audio path, 20 s of the demo track (audio_bench), median of 3")
        row("decode, mix, tap and a fetch every 20 ms", f"{a['audio_path']:.4f} CPU-s/s",
            f"mpg123 -t decoding: {a['mpg123']:.4f}",
            f"< 0.01: {verdict(a['audio_path'] < 0.01)}")
        row("of which the fetches", f"{a['fetches']:.5f} CPU-s/s")
        row("the session bus's poll each tick, nothing asked: median, 99th percentile",
            "{:.1f}, {:.1f} µs".format(*a["bus_poll_us"]), "",
            f"median ≤ 10 µs: {verdict(a['bus_poll_us'][0] <= 10)}")
        for kind in ("pulseaudio", "pipewire"):
            every, one = a[f"listen_{kind}_all"], a[f"listen_{kind}_one"]
            row(f"listening instead, on {kind}: record, tap and a fetch every 20 ms",
                f"{every['audio_path']:.4f} CPU-s/s", "",
                f"no more than playing: {verdict(every['audio_path'] <= a['audio_path'])}")
            row("  window's end behind (+) or ahead of (−) what the sink plays: least, median, most",
                "{:.1f}, {:.1f}, {:.1f} ms".format(*every["lag_ms"]), "",
                f"median within a tick (20 ms): {verdict(abs(every['lag_ms'][1]) < 20)}")
            row("  listening to one application (--listen=music) instead of all",
                f"{one['audio_path']:.4f} CPU-s/s", "", "reported")
            alone_cpu, alone_wakeups = a[f"server_{kind}_alone"]
            row("  the server's CPU: the players alone; listening to all; to one",
                f"{alone_cpu:.4f}; {every['server']:.4f}; {one['server']:.4f} CPU-s/s", "",
                "reported")
            row("  the server's threads woken a second: the players alone; listening to all; to one",
                f"{alone_wakeups:.0f}; {every['wakeups']:.0f}; {one['wakeups']:.0f}", "",
                "reported")
            more = [mine - theirs for theirs, mine in zip(every["both"], one["both"])]
            row("  server and dancer together: listening to all; to one; one less all, per round",
                f"{statistics.median(every['both']):.4f}; {statistics.median(one['both']):.4f}; "
                + spread(more, "{:+.4f}") + " CPU-s/s", "",
                f"one no more than all (median): {verdict(statistics.median(more) <= 0)}")
            row("  one application: window's end behind the sink: least, median, most",
                "{:.1f}, {:.1f}, {:.1f} ms".format(*one["lag_ms"]), "",
                f"median within a tick (20 ms): {verdict(abs(one['lag_ms'][1]) < 20)}")

    if "compare" in results:
        d, f = results["compare"]["dancer"], results["compare"]["ffplay"]
        section(f"Whole program, {len(d)} pairs of {args.run_seconds:g} s runs in turn (A B A B), "
                "median (range)")
        cpu_d = [r["cpu_per_second"] for r in d]
        cpu_f = [r["cpu_per_second"] for r in f]
        row("CPU seconds per second (user + system)", spread(cpu_d, "{:.3f}"),
            spread(cpu_f, "{:.3f}"))
        ratio = statistics.median(cpu_d) / statistics.median(cpu_f)
        row("CPU ratio, dancer to ffplay", f"{ratio:.2f}", "1", "reported")
        peak_d = [r["peak_rss_mib"] for r in d]
        row("peak RSS", spread(peak_d, "{:.1f}") + " MiB",
            spread([r["peak_rss_mib"] for r in f], "{:.1f}") + " MiB",
            f"< 120 MiB: {verdict(max(peak_d) < 120)}")
        first_d = [r["first_frame_ms"] for r in d]
        row("exec to first frame on screen", spread(first_d, "{:.0f}") + " ms",
            spread([r["first_frame_ms"] for r in f], "{:.0f}") + " ms",
            f"median < 300 ms: {verdict(statistics.median(first_d) < 300)}")
        for kind, stage in START_STAGES:
            row(f"start-up: {stage}, from exec",
                f"{statistics.median(r['stages_ms'][kind] for r in d):.0f} ms")
        row("ticks per second", spread([r["tick_rate"] for r in d], "{:.2f}"))
        row("frames per second", spread([r["frame_rate"] for r in d], "{:.2f}"),
            spread([r["frame_rate"] for r in f], "{:.2f}"))

    if "soak" in results:
        s = results["soak"]
        section(f"Tick pacing over a {s['seconds']:.0f} s run")
        row("ticks per second", f"{s['tick_rate']:.2f}", "",
            f"≥ 49.5: {verdict(s['tick_rate'] >= 49.5)}")
        row("tick interval: median, p99, worst",
            f"{s['interval_p50_ms']:.2f}, {s['interval_p99_ms']:.2f}, "
            f"{s['interval_max_ms']:.1f} ms", "",
            f"p99 < 25 ms: {verdict(s['interval_p99_ms'] < 25)}")
        row("ticks that started a GLUT millisecond or more late; mean loss",
            f"{100 * s['late_ticks_fraction']:.1f} %; {s['late_ms_per_tick']:.3f} ms a tick", "",
            f"1000 / (20 + loss) = {1000 / (20 + s['late_ms_per_tick']):.2f} a second")
        section(f"Memory over the same {s['seconds']:.0f} s run")
        row("peak RSS", f"{s['peak_rss_mib']:.1f} MiB", "",
            f"< 120 MiB: {verdict(s['peak_rss_mib'] < 120)}")
        settled, window = s["rss_window_s"]
        growth = s["rss_late_mib"] - s["rss_early_mib"]
        row(f"RSS, median over seconds {settled:.0f}–{settled + window:.0f} → over the last "
            f"{window:.0f} s",
            f"{s['rss_early_mib']:.1f} → {s['rss_late_mib']:.1f} MiB", "",
            f"flat (< 1 MiB growth): {verdict(growth < 1)}")
        row(f"RSS from second {settled:.0f} on, lowest to highest",
            "{:.1f} to {:.1f} MiB".format(*s["rss_range_mib"]))

    if "caption" in results:
        c = results["caption"]
        section(f"Caption, {len(c['none'])} pairs of {args.run_seconds:g} s runs on the demo "
                "track in turn, median (range)")
        extra = statistics.median(c["caption"]) / statistics.median(c["none"]) - 1
        row("CPU seconds per second: nothing shown → caption kept showing",
            spread(c["none"], "{:.3f}") + " → " + spread(c["caption"], "{:.3f}"), "",
            f"at most 3 % more ({100 * extra:+.1f} %): {verdict(extra <= 0.03)}")

    if "library" in results:
        lib = results["library"]
        one, many = lib["file"], lib["library"]
        section(f"Starting on one file, then on a library of {lib['tracks']:,} tracks, "
                f"{len(one['rss_mib'])} runs each in turn, median (range)")
        for figure, name in (("first_frame_ms", "exec to first frame on screen"),
                             ("first_sound_ms", "exec to first sound at the device")):
            late = statistics.median(many[figure]) - statistics.median(one[figure])
            row(f"{name}: one file → library", spread(one[figure], "{:.0f}") + " ms → " +
                spread(many[figure], "{:.0f}") + " ms", "",
                f"library within 300 ms of one file ({late:+.0f}): {verdict(late < 300)}")
        per_track = (statistics.median(many["rss_mib"]) -
                     statistics.median(one["rss_mib"])) * 2 ** 20 / lib["tracks"]
        row("RSS once listed: one file → library; held per track",
            f"{statistics.median(one['rss_mib']):.1f} → {statistics.median(many['rss_mib']):.1f} "
            f"MiB; {per_track:.0f} bytes", "", "reported")

    if "render" in results:
        r = results["render"]
        section(f"Video of the demo track ({r['track_s']:.1f} s) with no display, dancer --render "
                "beside ffmpeg's showcqt (in the ffplay column), libx264 veryfast CRF 20 and AAC, "
                "median (range)")
        for width, height, fps in RENDER_SETTINGS:
            runs = r[f"{width}x{height}@{fps}"]
            speed = {kind: [run["speed"] for run in runs[kind]] for kind in ("dancer", "showcqt")}
            ok = statistics.median(speed["dancer"]) >= statistics.median(speed["showcqt"])
            row(f"{width}x{height}, {fps} fps: speed, times real time",
                spread(speed["dancer"], "{:.2f}"), spread(speed["showcqt"], "{:.2f}"),
                f"at least showcqt's: {verdict(ok)}")
            row("  CPU seconds per second of video",
                spread([run["cpu_s"] / r["track_s"] for run in runs["dancer"]], "{:.2f}"),
                spread([run["cpu_s"] / r["track_s"] for run in runs["showcqt"]], "{:.2f}"))
            row("  peak RSS", spread([run["peak_rss_mib"] for run in runs["dancer"]], "{:.1f}") +
                " MiB", spread([run["peak_rss_mib"] for run in runs["showcqt"]], "{:.1f}") + " MiB")
            drawing = [run["main_thread_cpu_s"] / r["track_s"] for run in runs["dancer"]]
            x264 = runs["x264_alone"][0]["cpu_s"] / r["track_s"]
            row("  of which the drawing thread (GL, the ticks), CPU s per s",
                spread(drawing, "{:.2f}"))
            row("  libx264 alone on dancer's frames (2 threads), CPU s per s", f"{x264:.2f}")
            cores = os.cpu_count()
            row("  the fastest those two allow on all cores, times real time",
                f"{cores / (statistics.median(drawing) + x264):.2f}", "",
                "with decoding, converting and AAC free")
        minute = r["minute"]
        row(f"peak RSS, {minute['video_s']:.0f} s of music at 800x800, 50 fps",
            f"{minute['peak_rss_mib']:.1f} MiB", "", "against the demo track's above")

    return "\n".join(rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build")
    parser.add_argument("data")
    parser.add_argument("--soak-seconds", type=float, default=600)
    parser.add_argument("--pairs", type=int, default=3)
    parser.add_argument("--run-seconds", type=float, default=20)
    parser.add_argument("--only", default="audio,compare,caption,library,soak,render")
    parser.add_argument("--json", help="also write every figure to this file")
    args = parser.parse_args()
    parts = args.only.split(",")
    build, data = os.path.abspath(args.build), os.path.abspath(args.data)
    probe = os.path.join(build, "libframe_probe.so")

    results = {"machine": machine()}
    if "audio" in parts:
        results["audio"] = run_audio(build, data)
    if "render" in parts:
        results["render"] = run_render(build, data, args.pairs)
    xvfb, display = start_xvfb()
    try:
        if "compare" in parts:
            results["compare"] = run_compare(build, data, display, probe, args.pairs,
                                             args.run_seconds)
        if "caption" in parts:
            results["caption"] = run_caption(build, data, display, probe, args.pairs,
                                             args.run_seconds)
        if "library" in parts:
            results["library"] = run_library(build, data, display, probe, args.pairs)
        if "soak" in parts:
            results["soak"] = run_soak(build, data, display, probe, args.soak_seconds)
    finally:
        xvfb.terminate()
        xvfb.wait()
    results["machine"]["load_end"] = os.getloadavg()
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)
    print(table(results, args))


if __name__ == "__main__":
    main()
