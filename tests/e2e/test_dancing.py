"""The figure moves with the music, and only the arms move without it."""
import os
import shutil
import time

DEMO_TRACK = os.path.join(os.environ.get("DANCER_SOURCE_DIR", "."), "data", "1.mp3")

# Window regions no arm ever reaches, whatever the swing: above the shoulders (neck and head) and
# below the hands (shins and feet). The torso, waist and thighs lie between and are crossed by the
# arms, so they are judged through the head and legs they carry.
HEAD = (300, 180, 500, 320)
LOWER_LEGS = (250, 600, 550, 765)


def shots(dancer, count, interval):
    images = []
    for _ in range(count):
        images.append(dancer.screenshot())
        time.sleep(interval)
    return images


def test_with_music_the_body_dances(start_dancer, workdir):
    shutil.copy(DEMO_TRACK, os.path.join(workdir, "1.mp3"))
    # The disk driver consumes the music at the speed a sound card would, so the beat is real time.
    dancer = start_dancer(env={"SDL_AUDIODRIVER": "disk", "SDL_DISKAUDIOFILE": os.devnull})
    dancer.wait_for_window()
    time.sleep(1)
    images = shots(dancer, 5, 1.0)
    moved = [a.region(*LOWER_LEGS) != b.region(*LOWER_LEGS) or a.region(*HEAD) != b.region(*HEAD)
             for a, b in zip(images, images[1:])]
    assert all(moved), moved
    dancer.key("q")
    assert dancer.wait() == 0
    assert dancer.stderr() == ""


def test_without_music_only_the_arms_swing(start_dancer):
    dancer = start_dancer()
    dancer.wait_for_window()
    images = shots(dancer, 3, 1.0)
    for a, b in zip(images, images[1:]):
        assert a.region(*HEAD) == b.region(*HEAD)
        assert a.region(*LOWER_LEGS) == b.region(*LOWER_LEGS)
        # The right arm crosses about 50 degrees a second: something else in the window changed.
        assert a.rgb != b.rgb
