#include "app/handlers.h"

#include <GL/glut.h>

#include <cstdlib>

#include "app/pointer.h"
#include "app/scene.h"
#include "app/session_bus/session_bus.h"
#include "app/x11_window.h"
#include "motion/music.h"
#include "overlay/caption.h"
#include "trackball/trackball.h"

void display() {
    drawScene(glutGet(GLUT_WINDOW_WIDTH), glutGet(GLUT_WINDOW_HEIGHT), glutGet(GLUT_ELAPSED_TIME),
              applyObjectRotation);
    glFlush();
    glutSwapBuffers();
}

void reshape(int width, int height) {
    setProjection(width, height);
    setWindowSize(width, height);
    windowGeometryChanged();
    glutPostRedisplay();
}

void moved(int, int) {
    windowGeometryChanged();
}

void keyboard(unsigned char key, int, int) {
    if (key == 'q' || key == 'Q' || key == 27) {
        std::exit(0);
    } else if (key == 'f') {
        toggleFullScreen();
    } else if (key == ' ') {
        togglePause();
    } else if (key == 'i') {
        TrackTags tags;
        if (nowPlaying(tags) || desktopNowPlaying(tags)) {
            showCaption(tags.title, tags.artist, glutGet(GLUT_ELAPSED_TIME));
        }
    }
}

void mouse(int button, int state, int x, int y) {
    if (button == GLUT_LEFT_BUTTON && state == GLUT_DOWN) {
        beginDrag(x, y, button, glutGet(GLUT_ELAPSED_TIME));
    } else if (button == GLUT_LEFT_BUTTON && state == GLUT_UP) {
        endDrag(glutGet(GLUT_ELAPSED_TIME));
    }
    glutPostRedisplay();
}

void motion(int x, int y) {
    pointerMoved(glutGet(GLUT_ELAPSED_TIME));
    dragTo(x, y);
    glutPostRedisplay();
}

void passiveMotion(int, int) {
    pointerMoved(glutGet(GLUT_ELAPSED_TIME));
}

void special(int key, int, int) {
    if (key == GLUT_KEY_RIGHT) {
        skipTrack(1);
    } else if (key == GLUT_KEY_LEFT) {
        skipTrack(-1);
    } else if (key == GLUT_KEY_F11) {
        toggleFullScreen();
    }
}
