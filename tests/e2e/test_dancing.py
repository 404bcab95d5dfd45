"""The figure moves with the music, and only the arms move without it."""
import os
import shutil
import time

from conftest import body_moves

DEMO_TRACK = os.path.join(os.environ.get("DANCER_SOURCE_DIR", "."), "data", "1.mp3")


def test_with_music_the_body_dances(start_dancer, workdir):
    shutil.copy(DEMO_TRACK, os.path.join(workdir, "1.mp3"))
    # The disk driver consumes the music at the speed a sound card would, so the beat is real time.
    dancer = start_dancer(env={"SDL_AUDIODRIVER": "disk", "SDL_DISKAUDIOFILE": os.devnull})
    dancer.wait_for_window()
    time.sleep(1)
    assert all(body_moves(dancer, 1.0) for _ in range(4))
    dancer.key("q")
    assert dancer.wait() == 0
    assert dancer.stderr() == ""


def test_without_music_only_the_arms_swing(start_dancer):
    dancer = start_dancer()
    dancer.wait_for_window()
    assert not any(body_moves(dancer, 1.0) for _ in range(2))
