#!/usr/bin/env python3
"""Runs every benchmark of `make bench` and prints one Markdown table of the figures and budgets.

    bench/run_bench.py BUILD_DIR DATA_DIR [--soak-seconds 600] [--pairs 3] [--run-seconds 20]
                       [--only micro,audio,sync,variants,compare,soak] [--json FILE]

Everything draws on a private Xvfb server (Mesa's llvmpipe) and plays into SDL's disk driver
writing to /dev/null, so nothing reaches the desktop or a sound card. The shipped binary is run as
it is; bench/frame_probe.cpp, preloaded, notes its ticks and frames and when its first frame is on
the screen.

  micro    micro_bench: Google Benchmark timings of a tick, the spectrum, the trackball and drawing
  audio    audio_bench: the audio path's CPU per second of playback
  sync     sync_bench: the analysed window's end against the sample being heard
  variants draw_variants: a frame drawn other ways than the program draws it, timed, and compared
           with the program's own frame pixel for pixel (measured only; none is in the program)
  compare  dancer and `ffplay -showmode rdft` on the demo track, in turn, A B A B
  soak     dancer alone for --soak-seconds: tick pacing over its first minute, memory throughout

Figures depend on what else the machine runs; the table's header gives the load average.
"""
import argparse
import json
import os
import platform
import re
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import time

# The same private Xvfb the end-to-end tests run on.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests", "e2e"))
from conftest import XServer  # noqa: E402

PROBE_RECORD = struct.Struct("<qii")
LOADED, TICK, FRAME, FIRST_SHOWN, GLUT_READY, WINDOW, MAIN_LOOP = range(7)
START_STAGES = [(LOADED, "shared libraries loaded"), (GLUT_READY, "glutInit done (GL driver loaded)"),
                (WINDOW, "window and GL context made"),
                (MAIN_LOOP, "scene set, music started, main loop entered"),
                (FIRST_SHOWN, "first frame on screen")]
# (name, draw_variants argument, extra environment); bench/draw_variants.cpp says what each is.
VARIANTS = [
    ("shipped", "shipped", {}),
    ("straight tubes with 1 stack", "one-stack", {}),
    ("discs with 1 loop", "one-loop", {}),
    ("drawText told the window size (no X round trips)", "known-size", {}),
    ("no glFlush before the swap", "no-flush", {}),
    ("GL_NORMALIZE off", "no-normalize", {}),
    ("back faces of the balls culled", "cull-balls", {}),
    ("llvmpipe with 1 thread (LP_NUM_THREADS=1)", "shipped", {"LP_NUM_THREADS": "1"}),
    ("llvmpipe drawing on the main thread (LP_NUM_THREADS=0)", "shipped", {"LP_NUM_THREADS": "0"}),
]
FFPLAY = ["ffplay", "-showmode", "rdft", "-x", "800", "-y", "800", "-loop", "0", "1.mp3"]
MIB = 1024 * 1024


def log(message):
    print(message, file=sys.stderr, flush=True)


def read_probe(path):
    with open(path, "rb") as f:
        raw = f.read()
    return [PROBE_RECORD.unpack_from(raw, i) for i in range(0, len(raw) - 15, 16)]


def memory_kib(pid):
    """VmRSS and VmHWM of a live process, in KiB."""
    fields = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                fields[key] = int(value.split()[0])
    return fields.get("VmRSS", 0), fields.get("VmHWM", 0)


def run_program(command, cwd, display, probe, seconds, sample_memory=False):
    """Runs `command` for `seconds` from exec, then SIGTERM. Returns its figures and probe events."""
    scratch = tempfile.mkdtemp(prefix="dancer-bench-")
    events_path = os.path.join(scratch, "events.bin")
    env = dict(os.environ, DISPLAY=display, SDL_AUDIODRIVER="disk", SDL_DISKAUDIOFILE=os.devnull,
               LD_PRELOAD=probe, PROBE_LOG=events_path)
    started = time.monotonic_ns()
    proc = subprocess.Popen(command, cwd=cwd, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    memory = []
    deadline = started + int(seconds * 1e9)
    next_sample = started
    while True:
        now = time.monotonic_ns()
        if now >= deadline or proc.poll() is not None:
            break
        if sample_memory and now >= next_sample:
            memory.append(((now - started) / 1e9, *memory_kib(proc.pid)))
            next_sample += int(1e9)
        time.sleep(min(0.05, (deadline - now) / 1e9))
    if proc.poll() is not None:
        raise RuntimeError(f"{command[0]} ended early with status {proc.returncode}")
    peak_kib = memory_kib(proc.pid)[1]
    stopped = time.monotonic_ns()
    proc.send_signal(signal.SIGTERM)
    _, _, usage = os.wait4(proc.pid, 0)
    events = read_probe(events_path)
    shutil.rmtree(scratch, ignore_errors=True)
    elapsed = (stopped - started) / 1e9
    first = [t for t, kind, _ in events if kind == FIRST_SHOWN]
    stages = {}
    for t, kind, _ in events:
        stages.setdefault(kind, (t - started) / 1e6)
    return {
        "seconds": elapsed,
        "cpu_per_second": (usage.ru_utime + usage.ru_stime) / elapsed,
        "peak_rss_mib": max(peak_kib, usage.ru_maxrss) / 1024,
        "first_frame_ms": (first[0] - started) / 1e6 if first else None,
        "stages_ms": {kind: stages[kind] for kind, _ in START_STAGES if kind in stages},
        "events": events,
        "memory": memory,
    }


def rate(times):
    return (len(times) - 1) / ((times[-1] - times[0]) / 1e9) if len(times) > 1 else 0.0


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(p * len(ordered)))]


def spread(values, fmt):
    """Median and range, as one cell."""
    return f"{fmt.format(statistics.median(values))} ({fmt.format(min(values))}–" \
           f"{fmt.format(max(values))})"


# -- the parts ------------------------------------------------------------------------------------

def run_micro(build, data, display):
    log("micro: Google Benchmark, 3 repetitions")
    out = subprocess.run(
        [os.path.join(build, "micro_bench"), data, "--benchmark_format=json",
         "--benchmark_repetitions=3", "--benchmark_report_aggregates_only=true"],
        env=dict(os.environ, DISPLAY=display, SDL_AUDIODRIVER="dummy"), capture_output=True,
        text=True, check=True, timeout=600).stdout
    report = json.loads(out)
    medians = {}
    for b in report["benchmarks"]:
        if b.get("aggregate_name") != "median":
            continue
        name = b["run_name"].split("/")[0]
        scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3}[b["time_unit"]]
        medians[name] = {"wall_us": b["real_time"] * scale, "cpu_us": b["cpu_time"] * scale}
    return {"renderer": report["context"].get("gl_renderer", "?"),
            "gl_version": report["context"].get("gl_version", "?"), "medians": medians}


def run_audio(build, data):
    log("audio: audio_bench, 20 s of the demo track")
    out = subprocess.run([os.path.join(build, "audio_bench"), data, "20"], capture_output=True,
                         text=True, check=True, timeout=300).stdout
    rows = {}
    for line in out.splitlines():
        label, _, value = line.rpartition(" ")
        try:
            rows[label.strip()] = float(value)
        except ValueError:
            pass
    return {"audio_path": rows["audio path: decode, mix and tap, plus the fetches"],
            "fetches": rows["fetchSpectrum every 20 ms"],
            "mpg123": rows["mpg123 -q -t (decoding only)"]}


def run_sync(build):
    log("sync: sync_bench, 30 s of bursts")
    scratch = tempfile.mkdtemp(prefix="dancer-sync-")
    try:
        out = subprocess.run([os.path.join(build, "sync_bench"), scratch, "30"],
                             capture_output=True, text=True, check=True, timeout=120).stdout
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return {key: float(value) for key, _, value in
            (line.partition("=") for line in out.splitlines() if "=" in line)}


def rgb_differences(a, b):
    """Pixels whose colour differs between two RGBA captures, and the largest channel difference."""
    count, largest, block = 0, 0, 4096
    for start in range(0, len(a), block):
        if a[start:start + block] == b[start:start + block]:
            continue
        for i in range(start, min(start + block, len(a)), 4):
            channel = max(abs(a[i + k] - b[i + k]) for k in range(3))
            if channel:
                count += 1
                largest = max(largest, channel)
    return count, largest


def run_variants(build, display, rounds=3):
    scratch = tempfile.mkdtemp(prefix="dancer-variants-")
    times = {name: [] for name, _, _ in VARIANTS}
    pixels, counts = {}, {}
    try:
        # In turn, round after round, so that the machine's other load falls on all alike.
        for turn in range(rounds):
            for name, variant, extra in VARIANTS:
                log(f"variants: round {turn + 1} of {rounds}, {name}")
                capture = os.path.join(scratch, "frames.rgba")
                out = subprocess.run(
                    [os.path.join(build, "draw_variants"), variant, capture], cwd=scratch,
                    env=dict(os.environ, DISPLAY=display, **extra), capture_output=True,
                    text=True, check=True, timeout=300).stdout
                figures = dict(line.split("=") for line in out.split())
                times[name].append((float(figures["cpu_us"]), float(figures["wall_us"])))
                if turn == 0:
                    counts[name] = {key: int(figures[key]) for key in
                                    ("vertices", "primitives", "fragment_shader_runs")
                                    if key in figures}
                    with open(capture, "rb") as f:
                        pixels[name] = f.read()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    shipped = pixels["shipped"]
    return {name: {"cpu_us": statistics.median(c for c, _ in runs),
                   "cpu_us_range": (min(c for c, _ in runs), max(c for c, _ in runs)),
                   "wall_us": statistics.median(w for _, w in runs),
                   "pipeline": counts[name],
                   "pixels_changed": rgb_differences(shipped, pixels[name]),
                   "pixels_compared": len(shipped) // 4}
            for name, runs in times.items()}


def run_compare(build, data, display, probe, pairs, seconds):
    dancer = os.path.abspath(os.path.join(build, "dancer"))
    runs = {"dancer": [], "ffplay": []}
    for pair in range(pairs):
        for name, command in (("dancer", [dancer]), ("ffplay", FFPLAY)):
            log(f"compare: pair {pair + 1} of {pairs}, {name}, {seconds:g} s")
            result = run_program(command, data, display, probe, seconds)
            ticks = [t for t, kind, _ in result["events"] if kind == TICK]
            frames = [t for t, kind, _ in result["events"] if kind == FRAME]
            result["tick_rate"] = rate(ticks)
            result["frame_rate"] = rate(frames)
            del result["events"]
            runs[name].append(result)
    return runs


def run_soak(build, data, display, probe, seconds):
    log(f"soak: dancer alone for {seconds:g} s")
    result = run_program([os.path.abspath(os.path.join(build, "dancer"))], data, display, probe,
                         seconds, sample_memory=True)
    ticks = [(t, elapsed) for t, kind, elapsed in result["events"] if kind == TICK]
    minute = [(t, e) for t, e in ticks if t - ticks[0][0] < 60e9]
    intervals = [(b - a) / 1e6 for (a, _), (b, _) in zip(minute, minute[1:])]
    # GLUT's timer runs on whole milliseconds from its own start; a tick that starts a millisecond
    # or more after the 20 ms it was armed for moves every later tick back by as much.
    late = [eb - ea - 20 for (_, ea), (_, eb) in zip(minute, minute[1:])]
    # RSS rises and falls by a few hundred KiB as the driver and the allocator work, so growth is
    # judged on the typical level of the second minute against the last one.
    memory = result["memory"]
    after_minute = [rss for t, rss, _ in memory if t >= 60]
    second_minute = [rss for t, rss, _ in memory if 60 <= t < 120]
    last_minute = [rss for t, rss, _ in memory if t >= result["seconds"] - 60]
    soak = {
        "seconds": result["seconds"],
        "ticks_first_minute": len(minute),
        "tick_rate_first_minute": (len(minute) - 1) / ((minute[-1][0] - minute[0][0]) / 1e9),
        "tick_rate_whole_run": rate([t for t, _ in ticks]),
        "interval_p50_ms": percentile(intervals, 0.5),
        "interval_p99_ms": percentile(intervals, 0.99),
        "interval_max_ms": max(intervals),
        "late_ticks_fraction": sum(1 for d in late if d >= 1) / len(late),
        "late_ms_per_tick": statistics.mean(late),
        "peak_rss_mib": result["peak_rss_mib"],
        "rss_second_minute_mib": statistics.median(second_minute) / 1024,
        "rss_last_minute_mib": statistics.median(last_minute) / 1024,
        "rss_max_after_minute_mib": max(after_minute) / 1024,
        "rss_min_after_minute_mib": min(after_minute) / 1024,
        "first_frame_ms": result["first_frame_ms"],
        "rss_kib_each_second": [rss for _, rss, _ in memory],
    }
    return soak


# -- the table ------------------------------------------------------------------------------------

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
    rows = []

    def row(figure, dancer="", ffplay="", budget=""):
        rows.append(f"| {figure} | {dancer} | {ffplay} | {budget} |")

    def section(title):
        rows.append(f"| **{title}** | | | |")

    m = results["machine"]
    out = [f"Machine: {m['nproc']} cores, {m['cpu']}, kernel {m['kernel']}, "
           f"{results.get('micro', {}).get('renderer', 'llvmpipe')}, "
           f"{results.get('micro', {}).get('gl_version', 'Mesa ' + m['mesa_package'])}; "
           f"load average at start {m['load_start'][0]:.2f}, at end {m['load_end'][0]:.2f}.", "",
           "| Figure | dancer | ffplay -showmode rdft | Budget or note |", "|---|---|---|---|"]

    if "micro" in results:
        section("Micro-benchmarks, median of 3 (wall time; CPU of all threads for GL)")
        medians = results["micro"]["medians"]
        for name, figures in medians.items():
            wall, cpu = figures["wall_us"], figures["cpu_us"]
            if name.startswith("GL:"):
                row(name[4:], f"{wall:.0f} µs (CPU {cpu:.0f} µs)")
            else:
                row(name, f"{wall:.3f} µs")
        clear, figure = medians.get("GL: clear colour and depth"), \
            medians.get("GL: clear, then the whole figure")
        if clear and figure:
            row("the whole figure (the two above, subtracted)",
                f"{figure['wall_us'] - clear['wall_us']:.0f} µs "
                f"(CPU {figure['cpu_us'] - clear['cpu_us']:.0f} µs)")

    if "audio" in results:
        a = results["audio"]
        section("Audio path, 20 s of the demo track (audio_bench)")
        row("decode, mix, tap and a fetch every 20 ms", f"{a['audio_path']:.4f} CPU-s/s",
            f"mpg123 -t decoding: {a['mpg123']:.4f}",
            f"< 0.01: {verdict(a['audio_path'] < 0.01)}")
        row("of which the fetches", f"{a['fetches']:.5f} CPU-s/s")

    if "compare" in results:
        c = results["compare"]
        d, f = c["dancer"], c["ffplay"]
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
        for kind, stage in START_STAGES[:-1]:
            row(f"start-up: {stage}, from exec",
                f"{statistics.median(r['stages_ms'][kind] for r in d):.0f} ms")
        row("ticks per second", spread([r["tick_rate"] for r in d], "{:.2f}"), "")
        row("frames per second", spread([r["frame_rate"] for r in d], "{:.2f}"),
            spread([r["frame_rate"] for r in f], "{:.2f}"))

    if "soak" in results:
        s = results["soak"]
        section(f"Tick pacing, first 60 s of a {s['seconds'] / 60:.0f}-minute run")
        row("ticks per second", f"{s['tick_rate_first_minute']:.2f}", "",
            f"≥ 49.5: {verdict(s['tick_rate_first_minute'] >= 49.5)}")
        row("tick interval: median, p99, worst",
            f"{s['interval_p50_ms']:.2f}, {s['interval_p99_ms']:.2f}, "
            f"{s['interval_max_ms']:.1f} ms", "",
            f"p99 < 25 ms: {verdict(s['interval_p99_ms'] < 25)}")
        row("ticks that started a GLUT millisecond or more late; mean loss",
            f"{100 * s['late_ticks_fraction']:.1f} %; {s['late_ms_per_tick']:.3f} ms a tick", "",
            f"1000 / (20 + loss) = {1000 / (20 + s['late_ms_per_tick']):.2f} a second")
        row("ticks per second over the whole run", f"{s['tick_rate_whole_run']:.2f}")
        section(f"Memory over the {s['seconds'] / 60:.0f}-minute run")
        growth = s["rss_last_minute_mib"] - s["rss_second_minute_mib"]
        row("peak RSS", f"{s['peak_rss_mib']:.1f} MiB", "",
            f"< 120 MiB: {verdict(s['peak_rss_mib'] < 120)}")
        row("RSS, median of the second minute → of the last minute",
            f"{s['rss_second_minute_mib']:.1f} → {s['rss_last_minute_mib']:.1f} MiB", "",
            f"flat (< 1 MiB growth): {verdict(growth < 1)}")
        row("RSS after the first minute, lowest to highest",
            f"{s['rss_min_after_minute_mib']:.1f} to {s['rss_max_after_minute_mib']:.1f} MiB")

    if "variants" in results:
        v = results["variants"]
        base = v["shipped"]
        section("A frame drawn other ways (measured only, none is in the program): CPU per frame "
                "at full speed, median (range) of 3 rounds; what the pipeline counts in one frame; "
                "pixels changed in 3 poses")
        for name, figures in v.items():
            change = figures["cpu_us"] / base["cpu_us"] - 1
            low, high = figures["cpu_us_range"]
            counts = figures["pipeline"]
            changed, largest = figures["pixels_changed"]
            row(name, f"{figures['cpu_us'] / 1000:.2f} ms ({low / 1000:.2f}–{high / 1000:.2f}), "
                      f"{100 * change:+.0f} %; {counts.get('vertices', '?')} vertices, "
                      f"{counts.get('fragment_shader_runs', '?')} fragment shader runs", "",
                "same pixels" if changed == 0 else
                f"{changed} of {figures['pixels_compared']} pixels differ, by up to {largest}")

    if "sync" in results:
        y = results["sync"]
        section(f"Sync, 30 s of 10 ms bursts every 100 ms ({y['windows_with_onset']:.0f} windows "
                "with an onset)")
        row("window end minus sample heard: median (min–max)",
            f"{y['offset_median_ms']:+.3f} ms ({y['offset_min_ms']:+.3f}–"
            f"{y['offset_max_ms']:+.3f})")
        row("worst", f"{y['offset_worst_abs_ms']:.3f} ms")
        row("onset heard → first fetch that has it (harness's 20 ms loop): median, worst",
            f"{y['onset_to_fetch_median_ms']:.1f}, {y['onset_to_fetch_worst_ms']:.1f} ms")

    return "\n".join(out + rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build")
    parser.add_argument("data")
    parser.add_argument("--soak-seconds", type=float, default=600)
    parser.add_argument("--pairs", type=int, default=3)
    parser.add_argument("--run-seconds", type=float, default=20)
    parser.add_argument("--only", default="micro,audio,sync,variants,compare,soak")
    parser.add_argument("--json", help="also write every figure to this file")
    args = parser.parse_args()
    parts = args.only.split(",")
    build, data = os.path.abspath(args.build), os.path.abspath(args.data)
    probe = os.path.join(build, "libframe_probe.so")

    results = {"machine": machine()}
    xserver = XServer()
    try:
        if "micro" in parts:
            results["micro"] = run_micro(build, data, xserver.display)
        if "audio" in parts:
            results["audio"] = run_audio(build, data)
        if "sync" in parts:
            results["sync"] = run_sync(build)
        if "variants" in parts:
            results["variants"] = run_variants(build, xserver.display)
        if "compare" in parts:
            results["compare"] = run_compare(build, data, xserver.display, probe, args.pairs,
                                             args.run_seconds)
        if "soak" in parts:
            results["soak"] = run_soak(build, data, xserver.display, probe, args.soak_seconds)
    finally:
        xserver.stop()
    results["machine"]["load_end"] = os.getloadavg()
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)
    print(table(results, args))


if __name__ == "__main__":
    main()
