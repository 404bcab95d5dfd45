"""Turning the figure with the mouse: a drag turns it, a flick leaves it spinning, a click stops it."""
import time


def legs(shot):
    """The band the legs stand in. Only a turn moves it: the arms never reach down this far while the
    figure stays upright (a turned hand reaches down to about row 590), and horizontal drags keep it
    upright. The credit text lies below it."""
    return shot.region(0, 620, shot.width, 765)


def press_at(dancer, x, y):
    dancer.xdotool("mousemove", "--window", dancer.window, x, y, "mousedown", 1)


def is_spinning(dancer):
    first = legs(dancer.screenshot())
    time.sleep(0.3)
    return legs(dancer.screenshot()) != first


def test_drag_turns_the_figure_which_then_stays_put(start_dancer):
    dancer = start_dancer()
    dancer.wait_for_window()
    before = legs(dancer.screenshot())

    press_at(dancer, 400, 400)
    for x in (450, 500):
        time.sleep(0.1)
        dancer.xdotool("mousemove", "--window", dancer.window, x, 400)
    time.sleep(0.1)
    dancer.xdotool("mouseup", 1)
    time.sleep(0.3)

    turned = legs(dancer.screenshot())
    assert turned != before
    assert not is_spinning(dancer)


def test_flick_leaves_it_spinning_until_a_click(start_dancer):
    dancer = start_dancer()
    dancer.wait_for_window()

    # A flick needs its last movement and the release in one millisecond. Sent together they nearly
    # always get it; a miss (at a millisecond's edge, or when a busy machine lets the program draw a
    # frame between the two events) just leaves the figure turned and still, so try again.
    for _ in range(10):
        press_at(dancer, 400, 400)
        time.sleep(0.05)
        dancer.flick_release(430, 400)
        time.sleep(0.2)
        if is_spinning(dancer):
            break
    assert is_spinning(dancer)
    assert is_spinning(dancer), "the spin ran down on its own"

    press_at(dancer, 300, 300)
    time.sleep(0.05)
    dancer.xdotool("mouseup", 1)
    time.sleep(0.2)
    assert not is_spinning(dancer)
