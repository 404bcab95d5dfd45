#!/usr/bin/env python3
"""Synthesises dancer's demo track: a loop in A minor at 120 beats a minute with a clear beat.

Kick on every beat, snare on two and four, eighth-note hats with an open hat before each bar, a
sixteenth-note bass line and a sustained chord pad over Am F C G. The same arguments always give
the same bytes (the noise comes from a seeded generator), so the shipped MP3 can be remade.

    tools/demo_track.py OUT.wav [--seconds 30]

Writes 16-bit stereo WAV at 44100 Hz. Python's standard library only; tests import `render` and
`write_wav` to make short tracks of their own.
"""
import argparse
import array
import math
import random
import sys
import wave

RATE = 44100
BPM = 120
BEAT = 60 / BPM
BAR = 4 * BEAT
# Am F C G: root of the bass, and the pad's notes, as MIDI note numbers.
PROGRESSION = [(45, (57, 60, 64)), (41, (53, 57, 60)), (48, (55, 60, 64)), (43, (55, 59, 62))]
# Sixteenth-note bass rhythm over one bar: semitones above the root, None for a rest.
BASS_PATTERN = [0, None, 0, 12, None, 0, 7, None, 0, None, 0, 12, None, 7, 10, 12]


def note_hz(note):
    return 440.0 * 2 ** ((note - 69) / 12)


def kick():
    # A sine swept down from 150 Hz to 50 Hz: the pitch drop is what reads as a kick.
    out, phase = [], 0.0
    for i in range(int(0.35 * RATE)):
        t = i / RATE
        phase += 2 * math.pi * (50 + 100 * math.exp(-t * 30)) / RATE
        out.append(0.9 * math.sin(phase) * math.exp(-t * 9))
    return out


def snare(noise):
    out = []
    for i in range(int(0.2 * RATE)):
        t = i / RATE
        body = 0.35 * math.sin(2 * math.pi * 185 * t) * math.exp(-t * 30)
        out.append(body + 0.45 * noise.uniform(-1, 1) * math.exp(-t * 18))
    return out


def hat(noise, seconds, decay):
    # Differenced noise leans to the top of the spectrum, as a cymbal does.
    out, previous = [], 0.0
    for i in range(int(seconds * RATE)):
        sample = noise.uniform(-1, 1)
        out.append(0.18 * (sample - previous) * math.exp(-i / RATE * decay))
        previous = sample
    return out


def bass_note(note, seconds):
    # Four odd harmonics: a soft square, with a short fade in and out against clicks.
    hz, count = note_hz(note), int(seconds * RATE)
    out = []
    for i in range(count):
        t = i / RATE
        wave_ = sum(math.sin(2 * math.pi * hz * h * t) / h for h in (1, 3, 5, 7))
        envelope = min(1.0, i / 200, (count - i) / 400) * math.exp(-t * 3)
        out.append(0.3 * wave_ * envelope)
    return out


def pad_chord(notes, seconds):
    """One bar of chord, as (left, right): each note twice, detuned apart and spread across."""
    count = int(seconds * RATE)
    left, right = [0.0] * count, [0.0] * count
    for voice, note in enumerate(notes):
        for detune, (gain_l, gain_r) in ((-0.15, (0.8, 0.35)), (0.15, (0.35, 0.8))):
            step = 2 * math.pi * note_hz(note + detune) / RATE
            offset = voice * 0.7 + detune
            for i in range(count):
                envelope = min(1.0, i / (0.25 * RATE), (count - i) / (0.1 * RATE))
                s = 0.035 * envelope * (math.sin(step * i + offset)
                                        + 0.3 * math.sin(2 * step * i + offset))
                left[i] += gain_l * s
                right[i] += gain_r * s
    return left, right


def add(channel, sound, at, gain=1.0):
    end = min(len(channel), at + len(sound))
    for i in range(at, end):
        channel[i] += gain * sound[i - at]


def render(seconds):
    """The track as two lists of floats (left, right), peaking at -1 dBFS."""
    count = int(round(seconds * RATE))
    left, right = [0.0] * count, [0.0] * count
    noise = random.Random(1)
    kick_, snare_ = kick(), snare(noise)
    closed, open_ = hat(noise, 0.05, 60), hat(noise, 0.3, 10)
    sixteenth = BEAT / 4
    bass_notes, chords = {}, {}
    bar = 0
    while bar * BAR < seconds:
        root, chord = PROGRESSION[bar % len(PROGRESSION)]
        start = bar * BAR
        for beat in range(4):
            at = int((start + beat * BEAT) * RATE)
            add(left, kick_, at)
            add(right, kick_, at)
            if beat in (1, 3):
                add(left, snare_, at, 0.9)
                add(right, snare_, at)
        for eighth in range(8):
            at = int((start + eighth * BEAT / 2) * RATE)
            sound = open_ if eighth == 7 else closed
            add(left, sound, at, 0.6)
            add(right, sound, at)
        for step, interval in enumerate(BASS_PATTERN):
            if interval is not None:
                note = root + interval
                if note not in bass_notes:
                    bass_notes[note] = bass_note(note, sixteenth * 0.9)
                at = int((start + step * sixteenth) * RATE)
                add(left, bass_notes[note], at)
                add(right, bass_notes[note], at)
        if chord not in chords:
            chords[chord] = pad_chord(chord, BAR)
        pad_l, pad_r = chords[chord]
        at = int(start * RATE)
        add(left, pad_l, at)
        add(right, pad_r, at)
        bar += 1
    peak = max(max(map(abs, left)), max(map(abs, right)))
    gain = 10 ** (-1 / 20) / peak
    return [s * gain for s in left], [s * gain for s in right]


def write_wav(path, left, right):
    samples = array.array("h", [0]) * (2 * len(left))
    samples[0::2] = array.array("h", (int(round(s * 32767)) for s in left))
    samples[1::2] = array.array("h", (int(round(s * 32767)) for s in right))
    if sys.byteorder == "big":
        samples.byteswap()
    with wave.open(path, "wb") as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(samples.tobytes())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", help="WAV file to write")
    parser.add_argument("--seconds", type=float, default=30.0)
    args = parser.parse_args()
    write_wav(args.out, *render(args.seconds))


if __name__ == "__main__":
    main()
