"""The real binary: its window, title, first frame and quit keys."""
import pytest

TITLE = "Вирсель, используйте мышь с зажатой левой кнопкой для вращения объекта"


def test_window_is_titled_800_by_800_at_100_100(start_dancer, xserver):
    dancer = start_dancer()
    dancer.wait_for_window()
    assert dancer.geometry() == (100, 100, 800, 800)
    props = xserver.run("xprop", "-id", dancer.window, "_NET_WM_NAME", "_NET_WM_ICON_NAME",
                        "WM_CLASS").stdout
    assert f'_NET_WM_NAME(UTF8_STRING) = "{TITLE}"' in props
    assert f'_NET_WM_ICON_NAME(UTF8_STRING) = "{TITLE}"' in props
    assert 'WM_CLASS(STRING) = "dancer", "Dancer"' in props


def test_first_frame_shows_a_lit_grey_figure_on_black(start_dancer):
    dancer = start_dancer()
    dancer.wait_for_window()
    shot = dancer.screenshot()
    for corner in [(5, 5), (795, 5), (5, 700), (600, 400)]:
        assert shot.pixel(*corner) == (0, 0, 0), corner
    # The torso's front at rest, and the head: grey (r == g == b), lit well above the ambient floor.
    for point in [(380, 400), (400, 270)]:
        r, g, b = shot.pixel(*point)
        assert r == g == b, point
        assert 60 < r < 255, point
    # Light comes from above: the top of the head is brighter than its underside.
    assert shot.pixel(400, 245)[0] > shot.pixel(400, 300)[0]


@pytest.mark.parametrize("keysym", ["q", "Q", "Escape"])
def test_quit_keys_end_with_status_0(start_dancer, keysym):
    dancer = start_dancer()
    dancer.wait_for_window()
    dancer.key(keysym)
    assert dancer.wait(timeout=10) == 0


def test_other_keys_leave_it_running(start_dancer):
    dancer = start_dancer()
    dancer.wait_for_window()
    for keysym in ["a", "x", "space", "Return", "w"]:
        dancer.key(keysym)
    dancer.screenshot()
    assert dancer.proc.poll() is None
    dancer.key("q")
    assert dancer.wait(timeout=10) == 0


def test_without_a_display_it_says_so_and_fails(workdir):
    import os
    import subprocess
    from conftest import DANCER_BIN, expect_no_sanitizer_report
    env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
    result = subprocess.run([DANCER_BIN], cwd=workdir, env=env, capture_output=True, text=True,
                            timeout=10)
    # An exit status of its own, not a signal.
    assert result.returncode > 0
    assert "display" in result.stderr.lower()
    expect_no_sanitizer_report(result.stderr)
