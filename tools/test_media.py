#!/usr/bin/env python3
"""Makes the music files dancer's tests feed it: the demo generator's music in every format and MPEG
version a user may have, and the damaged, lying and odd files a user may end up with.

    tools/test_media.py DIR [--seconds S]   writes one small file of each kind into DIR

Tracks are synthesised by demo_track.render and encoded by lame (MP3) and sox (Ogg Vorbis, FLAC);
everything else is made from them here. The same arguments give the same bytes. Tests import the
functions; the fuzzer's seed corpus is the command's output.
"""
import argparse
import os
import random
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import demo_track  # noqa: E402

# lame's settings for each MPEG version and mode a user's file may come in.
MP3_KINDS = {
    "mp3": ["-b", "128"],                            # MPEG-1 at 44.1 kHz, joint stereo, CBR
    "mpeg2_22k": ["--resample", "22.05", "-b", "64"],  # MPEG-2
    "mpeg25_8k": ["--resample", "8", "-b", "16"],      # MPEG-2.5
    "mono": ["-m", "m", "-b", "64"],
    "vbr_48k": ["--resample", "48", "-V", "4"],
}
# A valid MPEG-1 Layer III frame header: 128 kbit/s, 44.1 kHz, no CRC. It promises 417 bytes.
FRAME_HEADER = b"\xff\xfb\x90\x64"


def write_track(wav_path, seconds):
    demo_track.write_wav(wav_path, *demo_track.render(seconds))


def encode_mp3(wav_path, mp3_path, kind="mp3"):
    subprocess.run(["lame", "--quiet", "--noreplaygain", *MP3_KINDS[kind], wav_path, mp3_path],
                   check=True, timeout=120)


def convert(wav_path, out_path, *options):
    """sox picks the format from the suffix: .ogg is Vorbis, .flac is FLAC."""
    subprocess.run(["sox", wav_path, *options, out_path], check=True, timeout=120)


def synchsafe(size):
    """ID3v2 sizes: 28 bits in four bytes of seven."""
    return bytes((size >> shift) & 0x7F for shift in (21, 14, 7, 0))


def id3_tag(frames):
    """An ID3v2.3 tag holding the given frames (their bytes, header included)."""
    body = b"".join(frames)
    return b"ID3\x03\x00\x00" + synchsafe(len(body)) + body


def picture_frame(picture):
    """An APIC frame: a front-cover JPEG, as taggers embed album art."""
    body = b"\x00image/jpeg\x00\x03\x00" + picture
    return b"APIC" + struct.pack(">I", len(body)) + b"\x00\x00" + body


def with_picture(mp3, picture_bytes, seed=5):
    """The MP3 behind a tag carrying a picture of that many (random) bytes, JPEG-marked."""
    picture = b"\xff\xd8\xff\xe0" + random.Random(seed).randbytes(picture_bytes - 4)
    return id3_tag([picture_frame(picture)]) + mp3


def artist_frame(length):
    """A TPE1 (artist) frame whose Latin-1 name is `length` characters long."""
    body = b"\x00" + b"A" * length
    return b"TPE1" + struct.pack(">I", len(body)) + b"\x00\x00" + body


def riff_chunk(name, body):
    return name + struct.pack("<I", len(body)) + body + (b"\x00" if len(body) % 2 else b"")


def with_wav_tag(wav, tag):
    """The WAV file with an "id3 " chunk holding `tag` after its other chunks."""
    body = wav[12:] + riff_chunk(b"id3 ", tag)
    return b"RIFF" + struct.pack("<I", 4 + len(body)) + b"WAVE" + body


def with_empty_flac_comment(flac):
    """The FLAC file with a comment block whose one comment is empty, right after its stream
    information."""
    assert flac[:4] == b"fLaC"
    info_length = int.from_bytes(flac[5:8], "big")
    info_end = 8 + info_length
    only_block = flac[4] & 0x80
    comment = struct.pack("<I", 0) + struct.pack("<I", 1) + struct.pack("<I", 0)
    comment_block = bytes([only_block | 4]) + len(comment).to_bytes(3, "big") + comment
    return b"fLaC" + bytes([flac[4] & 0x7F]) + flac[5:info_end] + comment_block + flac[info_end:]


def id3_claiming(size, after=b""):
    """An ID3v2 header that claims a tag of `size` bytes, followed by `after` and nothing else."""
    return b"ID3\x04\x00\x00" + synchsafe(size) + after


def flipped(data, every, seed=7):
    """`data` with one random byte in about every `every` changed to another value."""
    out = bytearray(data)
    noise = random.Random(seed)
    for _ in range(len(out) // every):
        at = noise.randrange(len(out))
        out[at] ^= noise.randrange(1, 256)
    return bytes(out)


def frame_headers_only(count):
    """Frame headers back to back, each without the payload it promises."""
    return FRAME_HEADER * count


def random_bytes(count, seed=3):
    return random.Random(seed).randbytes(count)


def cut_mid_frame(mp3, fraction):
    """The MP3 cut at about `fraction` of its length, inside a frame (never on a frame's start)."""
    at = int(len(mp3) * fraction)
    while mp3[at:at + 2] in (FRAME_HEADER[:2], b"\xff\xfa"):
        at += 1
    return mp3[:at]


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def make_all(directory, seconds):
    """One file of every kind, named for it, small enough to serve as fuzzing seeds."""
    os.makedirs(directory, exist_ok=True)
    wav = os.path.join(directory, "track.wav")
    write_track(wav, seconds)
    for kind in MP3_KINDS:
        encode_mp3(wav, os.path.join(directory, kind + ".mp3"), kind)
    convert(wav, os.path.join(directory, "track.ogg"))
    # Short and narrow, so a seed stays a few kilobytes.
    convert(wav, os.path.join(directory, "track.flac"), "-r", "22050", "-c", "1")
    convert(wav, os.path.join(directory, "mono_8k_u8.wav"), "-r", "8000", "-c", "1", "-b", "8",
            "-e", "unsigned-integer")
    os.remove(wav)
    mp3 = read(os.path.join(directory, "mp3.mp3"))
    write(os.path.join(directory, "picture.mp3"), with_picture(mp3, 2048))
    write(os.path.join(directory, "long_artist.mp3"), id3_tag([artist_frame(2000)]) + mp3)
    write(os.path.join(directory, "tagged.wav"), with_wav_tag(
        read(os.path.join(directory, "mono_8k_u8.wav")), id3_tag([artist_frame(2000)])))
    write(os.path.join(directory, "empty_comment.flac"),
          with_empty_flac_comment(read(os.path.join(directory, "track.flac"))))
    write(os.path.join(directory, "huge_id3.mp3"), id3_claiming(0x0FFFFFFF, mp3[:1024]))
    write(os.path.join(directory, "flipped.mp3"), flipped(mp3, 200))
    write(os.path.join(directory, "headers_only.mp3"), frame_headers_only(256))
    write(os.path.join(directory, "cut_mid_frame.mp3"), cut_mid_frame(mp3, 0.6))
    write(os.path.join(directory, "random.bin"), random_bytes(2048))
    write(os.path.join(directory, "one_byte.bin"), b"\xff")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("directory")
    parser.add_argument("--seconds", type=float, default=0.3)
    args = parser.parse_args()
    make_all(args.directory, args.seconds)


if __name__ == "__main__":
    main()
