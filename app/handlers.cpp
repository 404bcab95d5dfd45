#include "app/handlers.h"

#include <GL/glut.h>

#include <cstdlib>

#include "app/pointer.h"
#include "app/session_bus/session_bus.h"
#include "app/x11_window.h"
#include "figure/figure.h"
#include "motion/music.h"
#include "overlay/caption.h"
#include "overlay/overlay.h"
#include "trackball/trackball.h"

void display() {
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glLoadIdentity();
    glTranslatef(0, 0, -8);
    glPushMatrix();
    applyObjectRotation();
    // The figure is modelled with its body axis along +z; turn that to screen-up.
    glRotatef(-90, 1, 0, 0);
    glTranslated(0, 0, -0.65);
    drawTorso();
    glPopMatrix();

    glDisable(GL_LIGHTING);
    glColor3f(1, 1, 1);
    for (int line = 0; line < 3; ++line) {
        drawText(CREDIT_X, CREDIT_Y[line], "%s", CREDIT_LINES[line]);
    }
    drawCaption(glutGet(GLUT_ELAPSED_TIME));
    glEnable(GL_LIGHTING);

    glFlush();
    glutSwapBuffers();
}

void reshape(int width, int height) {
    glViewport(0, 0, width, height);
    // With no height there is no aspect; keep the last projection until the window has area again.
    if (height > 0) {
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        gluPerspective(60, static_cast<double>(width) / height, 1, 50);
    }
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
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
