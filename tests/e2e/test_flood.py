"""A flood of input: thousands of mouse events and key presses a second from xdotool, while the demo
track plays. The program must take them all without crashing, and its ticks must keep coming, held
up by no more than the extra frames the input asks for.

It lasts DANCER_FLOOD_SECONDS (`make soak`: 30 s); `make test` runs it for 8 s.
"""
import os
import random
import shutil
import subprocess
import time

import pytest

from conftest import SOURCE_DIR, expect_drawing_at_its_rate

FLOOD_SECONDS = float(os.environ.get("DANCER_FLOOD_SECONDS", "8"))
pytestmark = pytest.mark.timeout(120 + 2 * FLOOD_SECONDS)

# Anything but the quit keys: letters without q, digits, and keys that often mean something.
KEYS = [*"abcdefghijklmnoprstuvwxyzABCDEFGHIJKLMNOPRSTUVWXYZ0123456789",
        "space", "Return", "BackSpace", "Tab", "Left", "Right", "Up", "Down", "F1", "F10",
        "Delete", "Home", "Page_Up", "minus", "plus", "comma", "period", "slash"]
# Mouse buttons: left turns the figure, middle and right do nothing, 4 and 5 are the wheel.
BUTTONS = ["1", "1", "1", "2", "3", "4", "5"]
# Wherever it stands, a tick is never held up longer than this. GLUT reads every pending event
# before it looks at its timers, so a flood delays ticks by as long as the queue stays full: well
# under 0.1 s on a quiet machine, but close to a second for a sanitized build on a loaded one. A
# loop that really stalled would hold them up for good.
MAX_TICK_GAP = 2.0
# Every event asks for a frame, so under the flood the ticks share the loop with as many frames as
# the machine can draw; a sanitized build on a busy machine draws slowly enough to cost ticks, but
# a stalled loop would give none.
MIN_TICKS_UNDER_FLOOD = 15


def batch(rng, left, top, moves):
    """One xdotool command line: `moves` pointer movements over the window with button presses and
    releases and key presses between them. Returns (words, number of input events)."""
    words, events = [], 0
    for i in range(moves):
        words += ["mousemove", str(left + rng.randrange(800)), str(top + rng.randrange(800))]
        events += 1
        if i % 4 == 0:
            button = rng.choice(BUTTONS)
            words += ["mousedown", button, "mouseup", button]
            events += 2
        if i % 2 == 0:
            words += ["key", "--delay", "0", rng.choice(KEYS), rng.choice(KEYS)]
            events += 4  # a press and a release each
    return words, events


def test_a_flood_of_input_neither_crashes_nor_stalls_it(start_dancer, workdir):
    shutil.copy(os.path.join(SOURCE_DIR, "data", "1.mp3"), os.path.join(workdir, "1.mp3"))
    dancer = start_dancer(env={"SDL_AUDIODRIVER": "disk", "SDL_DISKAUDIOFILE": os.devnull})
    dancer.wait_for_window()
    calm_ticks, _, _ = expect_drawing_at_its_rate(dancer, seconds=2)
    left, top, _, _ = dancer.geometry()

    rng = random.Random(11)
    sent, seconds, worst_gap, slowest_ticks = 0, 0.0, 0.0, float("inf")
    while seconds < FLOOD_SECONDS:
        ticks0, frames0, _ = dancer.counters.read()
        dancer.counters.restart_longest_gap()
        began = time.monotonic()
        words, events = batch(rng, left, top, 400)
        subprocess.run(["xdotool", *words], env=dict(os.environ, DISPLAY=dancer.x.display),
                       check=True, timeout=30)
        took = time.monotonic() - began
        ticks1, _, gap = dancer.counters.read()
        assert dancer.proc.poll() is None, "it ended under the flood"
        sent += events
        seconds += took
        worst_gap = max(worst_gap, gap)
        slowest_ticks = min(slowest_ticks, (ticks1 - ticks0) / took)

    rate = sent / seconds
    print(f"{rate:.0f} input events a second for {seconds:.1f} s; ticks: {calm_ticks:.0f} a second "
          f"when calm, at least {slowest_ticks:.0f} under the flood; longest gap "
          f"{worst_gap * 1000:.0f} ms")
    assert rate >= 1000, "the flood was too thin to prove anything"
    assert worst_gap <= MAX_TICK_GAP, f"a tick came {worst_gap * 1000:.0f} ms after the last"
    assert slowest_ticks >= MIN_TICKS_UNDER_FLOOD
    # The input has stopped: it is back to its calm rate, and the quit key still works.
    expect_drawing_at_its_rate(dancer)
    dancer.key("q")
    assert dancer.wait(timeout=10) == 0
    assert dancer.stderr() == ""
