#include "overlay/caption.h"

#include <GL/gl.h>
#include <GL/glu.h>

#include "overlay/caption_image.h"

namespace {
std::string shownTitle;
std::string shownArtist;
bool captionPaused = false;
int shownAtMs = 0;          // GLUT ms; the fade is counted from here
CaptionImage captionImage;  // empty until a caption is shown

void render() {
    captionImage = renderCaption(shownTitle, shownArtist, captionPaused);
}

// 1 in full, 0 gone.
float opacityAt(int nowMs) {
    if (captionImage.rgba.empty()) return 0;
    if (captionPaused) return 1;
    const int fading = nowMs - shownAtMs - CAPTION_SHOWN_MS;
    if (fading <= 0) return 1;
    return fading >= CAPTION_FADE_MS ? 0 : 1 - static_cast<float>(fading) / CAPTION_FADE_MS;
}
}  // namespace

void showCaption(const std::string& title, const std::string& artist, int nowMs) {
    shownAtMs = nowMs;
    if (!captionImage.rgba.empty() && title == shownTitle && artist == shownArtist) return;
    shownTitle = title;
    shownArtist = artist;
    render();
}

void setCaptionPaused(bool paused, int nowMs) {
    if (paused == captionPaused) return;
    captionPaused = paused;
    shownAtMs = nowMs;
    if (!captionImage.rgba.empty()) render();
}

void drawCaption(int nowMs, int width, int height) {
    const float opacity = opacityAt(nowMs);
    if (opacity <= 0) return;
    if (width <= CAPTION_MARGIN || height <= CAPTION_MARGIN) return;
    // Window pixels, origin bottom left, for the raster position of the caption's top left corner.
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    gluOrtho2D(0, width, 0, height);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    glPushAttrib(GL_COLOR_BUFFER_BIT | GL_ENABLE_BIT | GL_PIXEL_MODE_BIT);
    glDisable(GL_DEPTH_TEST);
    glEnable(GL_BLEND);
    // The pixels are premultiplied, so fading scales every channel alike; in full, they are drawn
    // as they are.
    glBlendFunc(GL_ONE, GL_ONE_MINUS_SRC_ALPHA);
    if (opacity < 1) {
        glPixelTransferf(GL_RED_SCALE, opacity);
        glPixelTransferf(GL_GREEN_SCALE, opacity);
        glPixelTransferf(GL_BLUE_SCALE, opacity);
        glPixelTransferf(GL_ALPHA_SCALE, opacity);
    }
    // Rows come from the top, so each is drawn below the last.
    glPixelZoom(1, -1);
    glRasterPos2i(CAPTION_MARGIN, height - CAPTION_MARGIN);
    glDrawPixels(captionImage.width, captionImage.height, GL_RGBA, GL_UNSIGNED_BYTE,
                 captionImage.rgba.data());
    glPopAttrib();
    glPopMatrix();
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
}
