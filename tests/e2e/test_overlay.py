"""The credit block: three white lines centred 250 pixels right of the window's centre, near the
bottom edge of the 800 by 800 window, placed relative to the centre whatever the window's size."""

WHITE = (255, 255, 255)


def text_pixels(shot):
    """{(x, y): colour} of every lit pixel where the credit block can be, relative to the window's
    centre. The figure never reaches that far right."""
    cx, cy = shot.width // 2, shot.height // 2
    found = {}
    for y in range(cy + 300, min(shot.height, cy + 420)):
        for x in range(cx + 100, min(shot.width, cx + 420)):
            colour = shot.pixel(x, y)
            if colour != (0, 0, 0):
                found[(x - cx, y - cy)] = colour
    return found


def line_pixels(pixels, line):
    """The pixels of one line's glyph bodies: the 7 rows ending on its baseline, which lies 380, 390
    and 400 pixels below the centre (GL's row 0 is the window's last row, hence 379, 389, 399)."""
    baseline = 379 + 10 * line
    return [(x, y) for (x, y) in pixels if baseline - 6 <= y <= baseline]


def test_three_white_lines_centred_250_right_of_the_centre(start_dancer):
    dancer = start_dancer()
    dancer.wait_for_window()
    pixels = text_pixels(dancer.screenshot())
    assert set(pixels.values()) == {WHITE}

    widths = []
    for line in range(3):
        xs = [x for x, _ in line_pixels(pixels, line)]
        assert xs, f"line {line + 1} missing"
        assert abs((min(xs) + max(xs)) / 2 - 250) <= 3, (line, min(xs), max(xs))
        widths.append(max(xs) - min(xs))
    # The middle line is the longest, at 54 characters.
    assert widths[1] > widths[0] and widths[1] > widths[2]
    assert 200 < widths[1] < 300


def test_lines_keep_their_place_relative_to_the_centre_when_resized(start_dancer):
    dancer = start_dancer()
    dancer.wait_for_window()
    at_800 = text_pixels(dancer.screenshot())
    assert at_800

    dancer.resize(1000, 900)
    at_900 = text_pixels(dancer.screenshot())
    assert {p: c for p, c in at_900.items() if p[1] < 400} == at_800
    # The third line's descenders, cut off by the 800 window's bottom edge, now show.
    assert any(y >= 400 for _, y in at_900)

    # Back down to 800 wide, 760 high: only the first line's raster position is still inside.
    dancer.resize(800, 760)
    pixels = text_pixels(dancer.screenshot())
    assert pixels
    assert {line for line in range(3) if line_pixels(pixels, line)} == {0}


def test_window_under_760_high_shows_none_of_them(start_dancer):
    dancer = start_dancer()
    dancer.wait_for_window()
    dancer.resize(800, 759)
    assert text_pixels(dancer.screenshot()) == {}
