// overlay/caption.h: the names of the track that plays, over the scene at the window's top left.
#pragma once
#include <string>

// How long a caption shows in full, then how long it takes to fade out; GLUT milliseconds.
constexpr int CAPTION_SHOWN_MS = 4000;
constexpr int CAPTION_FADE_MS = 500;
// Where its top left corner sits: pixels right of and below the window's, full screen too.
constexpr int CAPTION_MARGIN = 16;

// Shows `title` over `artist` from `nowMs` on. Laid out and rendered here, once; each frame then
// only draws the pixels.
void showCaption(const std::string& title, const std::string& artist, int nowMs);
// While paused, the caption last shown stays in full and says so; unpaused, it shows
// CAPTION_SHOWN_MS more, then fades. Nothing shows that was not shown before.
void setCaptionPaused(bool paused, int nowMs);
// Draws the caption as it stands at `nowMs`, if any of it shows, in a viewport of `width` x `height`
// pixels. Leaves the GL state (matrices, blending, depth test, pixel transfer) as it found it, as
// the scene expects.
void drawCaption(int nowMs, int width, int height);
