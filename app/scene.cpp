#include "app/scene.h"

#include <GL/gl.h>
#include <GL/glu.h>

#include "figure/figure.h"
#include "motion/music.h"
#include "overlay/caption.h"
#include "overlay/overlay.h"
#include "trackball/trackball.h"

void initLighting() {
    glClearColor(0, 0, 0, 0);
    glEnable(GL_DEPTH_TEST);
    glEnable(GL_NORMALIZE);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();

    // Alpha is 0 throughout; blending is off, so it is never seen.
    const GLfloat emission[] = {0, 0, 0, 0};
    const GLfloat diffuse[] = {0.6f, 0.6f, 0.6f, 0};
    const GLfloat specular[] = {0.4f, 0.4f, 0.4f, 0};
    const GLfloat ambient[] = {0.3f, 0.3f, 0.3f, 0};
    glMaterialfv(GL_FRONT_AND_BACK, GL_EMISSION, emission);
    glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, diffuse);
    glMaterialfv(GL_FRONT_AND_BACK, GL_SPECULAR, specular);
    glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT, ambient);
    glMaterialf(GL_FRONT_AND_BACK, GL_SHININESS, 10);

    const GLfloat lightDiffuse[] = {1, 1, 1, 0};
    const GLfloat lightSpecular[] = {1, 1, 1, 0};
    const GLfloat lightAmbient[] = {0.3f, 0.3f, 0.3f, 0};
    // Set while the modelview is the identity, so the light is fixed to the viewer: it comes from
    // above and in front and does not turn with the trackball.
    const GLfloat lightPosition[] = {0, 1, 1, 0};
    glLightfv(GL_LIGHT0, GL_DIFFUSE, lightDiffuse);
    glLightfv(GL_LIGHT0, GL_SPECULAR, lightSpecular);
    glLightfv(GL_LIGHT0, GL_AMBIENT, lightAmbient);
    glLightfv(GL_LIGHT0, GL_POSITION, lightPosition);

    glEnable(GL_LIGHTING);
    glEnable(GL_LIGHT0);
    glShadeModel(GL_SMOOTH);
    // Tubes are open, so their insides show; light them with the reversed normal.
    glLightModeli(GL_LIGHT_MODEL_TWO_SIDE, 1);
}

void initScene() {
    initLighting();
    resetObjectRotation();
    startMusic();
}

void setProjection(int width, int height) {
    glViewport(0, 0, width, height);
    // With no height there is no aspect; keep the last projection until the window has area again.
    if (height > 0) {
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        gluPerspective(60, static_cast<double>(width) / height, 1, 50);
    }
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
}

void drawScene(int width, int height, int nowMs, const std::function<void()>& turnFigure) {
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glLoadIdentity();
    glTranslatef(0, 0, -8);
    glPushMatrix();
    turnFigure();
    // The figure is modelled with its body axis along +z; turn that to screen-up.
    glRotatef(-90, 1, 0, 0);
    glTranslated(0, 0, -0.65);
    drawTorso();
    glPopMatrix();

    glDisable(GL_LIGHTING);
    glColor3f(1, 1, 1);
    for (int line = 0; line < 3; ++line) {
        drawText(width, height, CREDIT_X, CREDIT_Y[line], "%s", CREDIT_LINES[line]);
    }
    drawCaption(nowMs, width, height);
    glEnable(GL_LIGHTING);
}
