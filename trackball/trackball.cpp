#include "trackball/trackball.h"

#include <GL/glut.h>

namespace {

int winWidth = 0, winHeight = 0;  // pixels, from the last reshape
int dragButton = -1;              // -1: no drag in progress
Vec3 lastPos{};                   // dome point of the last press or movement
int lastMoveTime = 0;             // GLUT elapsed ms of the last press or movement
Vec3 rotAxis{};                   // axis of the turn applied every frame, not unit length
float rotAngle = 0;               // degrees of the turn applied every frame
float objectXform[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};  // column-major

bool turnIsZero() {
    return rotAngle == 0 || (rotAxis[0] == 0 && rotAxis[1] == 0 && rotAxis[2] == 0);
}

}  // namespace

void setWindowSize(int width, int height) {
    winWidth = width;
    winHeight = height;
}

void beginDrag(int x, int y, int button, int timeMs) {
    dragButton = button;
    lastMoveTime = timeMs;
    lastPos = projectToSphere(x, y, winWidth, winHeight);
}

void dragTo(int x, int y) {
    if (dragButton == -1) return;
    const Vec3 cur = projectToSphere(x, y, winWidth, winHeight);
    rotAngle = dragAngle(lastPos, cur);
    rotAxis = dragAxis(lastPos, cur);
    lastMoveTime = glutGet(GLUT_ELAPSED_TIME);
    lastPos = cur;
    glutPostRedisplay();
}

void endDrag(int timeMs) {
    dragButton = -1;
    if (timeMs == lastMoveTime) {
        glutIdleFunc(spinIdle);
    } else {
        rotAngle = 0;
        glutIdleFunc(nullptr);
    }
}

void spinIdle() {
    glutPostRedisplay();
}

void resetObjectRotation() {
    glPushMatrix();
    glLoadIdentity();
    glGetFloatv(GL_MODELVIEW_MATRIX, objectXform);
    glPopMatrix();
}

void applyObjectRotation() {
    // A still frame must leave the rotation exactly as it is, and GL drivers differ on a zero axis.
    const bool turning = !turnIsZero();
    glPushMatrix();
    glLoadIdentity();
    if (turning) glRotatef(rotAngle, rotAxis[0], rotAxis[1], rotAxis[2]);
    // The turn goes on the left, so it acts about the viewer's axes, not the figure's.
    glMultMatrixf(objectXform);
    glGetFloatv(GL_MODELVIEW_MATRIX, objectXform);
    glPopMatrix();
    // Float products of rotations do not stay rotations: the rounding is biased and the figure
    // would slowly grow during a long spin.
    if (turning) orthonormalizeRotation(objectXform);
    glMultMatrixf(objectXform);
}
