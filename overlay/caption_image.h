// overlay/caption_image.h: a caption's lines laid out and rendered once, in the desktop's
// sans-serif font, into pixels that each frame can draw.
#pragma once
#include <string>
#include <vector>

// RGBA, 8 bits a channel, premultiplied by alpha, rows from the top; white text with a dark shadow.
struct CaptionImage {
    int width = 0;   // pixels
    int height = 0;  // pixels
    std::vector<unsigned char> rgba;
};

// The title over the artist, then "paused" while paused; an empty line is left out. Any script the
// fonts cover is shaped as the desktop shapes it (joined, right to left where it reads so), each
// line left-aligned; each of them wraps at CAPTION_WIDTH_MAX pixels, once, and the second line is
// cut with an ellipsis. The names come cleaned (cleanName): a line break in one would be a line
// more. GLUT thread.
CaptionImage renderCaption(const std::string& title, const std::string& artist, bool paused);
constexpr int CAPTION_WIDTH_MAX = 720;
