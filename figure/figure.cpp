#include "figure/figure.h"

#include <GL/gl.h>
#include <GL/glu.h>

#include "motion/motion_state.h"

// GLU needs no GL context to make a quadric, so they are made during static initialisation, in this
// order, and live until the process ends. Their settings stay GLU's defaults: filled, smooth normals,
// outward, no texture coordinates.
static GLUquadric* torsoQuadric = gluNewQuadric();
static GLUquadric* torsoTopQuadric = gluNewQuadric();
static GLUquadric* torsoBottomQuadric = gluNewQuadric();
static GLUquadric* neckQuadric = gluNewQuadric();
static GLUquadric* headQuadric = gluNewQuadric();
static GLUquadric* waistQuadric = gluNewQuadric();
static GLUquadric* pelvisQuadric = gluNewQuadric();
static GLUquadric* pelvisTopQuadric = gluNewQuadric();
static GLUquadric* pelvisBottomQuadric = gluNewQuadric();
static GLUquadric* legJointQuadric = gluNewQuadric();
static GLUquadric* legQuadric = gluNewQuadric();
static GLUquadric* armJointQuadric = gluNewQuadric();
static GLUquadric* armQuadric = gluNewQuadric();

// From keepFigureShapes on, each shape is drawn from a display list of GLU's calls made the first
// time, not made anew.
static bool shapesKept = false;

// Draws one shape that `make` makes with GLU; `list` is the call site's own, 0 until it is kept.
template <typename Make>
static void drawShape(GLuint& list, const Make& make) {
    if (!shapesKept) {
        make();
    } else if (list != 0) {
        glCallList(list);
    } else {
        list = glGenLists(1);
        glNewList(list, GL_COMPILE_AND_EXECUTE);
        make();
        glEndList();
    }
}

void keepFigureShapes() {
    shapesKept = true;
}

// The hips sit on the drum's bottom rim, so the drum's radius is also their sideways offset.
static double pelvisRadius = 0.5;

// Upper arms, forearms, thighs and shins share one shape: a ball at the joint, a tube hanging from
// 1.1 to 0.1 below it, and the origin left 1.2 below, where the next joint is.
static void drawLimbSegment(GLUquadric* jointQuadric, GLUquadric* tubeQuadric) {
    static GLuint list1 = 0;
    drawShape(list1, [=] { gluSphere(jointQuadric, 0.15, 10, 10); });
    glTranslated(0, 0, -1.1);
    static GLuint list2 = 0;
    drawShape(list2, [=] { gluCylinder(tubeQuadric, 0.15, 0.15, 1, 20, 20); });
    glTranslated(0, 0, -0.1);
}

void drawTorso() {
    glPushMatrix();
    glRotated(10 * bodyPhase - 5, 1, 0, 0);
    glRotated(60 * bodyPhase - 30, 0, 0, 1);
    static GLuint list3 = 0;
    drawShape(list3, [=] { gluCylinder(torsoQuadric, 0.5, 0.8, 1.3, 20, 20); });
    static GLuint list4 = 0;
    drawShape(list4, [=] { gluDisk(torsoBottomQuadric, 0, 0.5, 20, 20); });

    glPushMatrix();
    glTranslated(0, 0, 1.3);
    static GLuint list5 = 0;
    drawShape(list5, [=] { gluDisk(torsoTopQuadric, 0, 0.8, 20, 20); });
    glTranslated(0, 0, -0.05);
    drawHeadAndNeck();
    glPopMatrix();

    glPushMatrix();
    glTranslated(-0.8, 0, 1.3);
    drawLeftArm();
    glPopMatrix();

    glPushMatrix();
    glTranslated(0.8, 0, 1.3);
    drawRightArm();
    glPopMatrix();
    glPopMatrix();

    // The waist hangs from the unturned body frame: the torso's lean and twist do not carry the hips.
    glPushMatrix();
    glTranslated(0, 0, 0.05);
    drawWaist();
    glPopMatrix();
}

void drawHeadAndNeck() {
    glPushMatrix();
    glRotated(18 * bodyPhase, 1, 0, 0);
    static GLuint list6 = 0;
    drawShape(list6, [=] { gluCylinder(neckQuadric, 0.2, 0.2, 0.6, 10, 10); });
    glTranslated(0, 0, 0.6);
    static GLuint list7 = 0;
    drawShape(list7, [=] { gluSphere(neckQuadric, 0.2, 10, 10); });
    glRotated(42 * bodyPhase, 1, 0, 0);
    glTranslated(0, 0, 0.3);
    static GLuint list8 = 0;
    drawShape(list8, [=] { gluSphere(headQuadric, 0.5, 20, 20); });
    glPopMatrix();
}

void drawLeftArm() {
    glPushMatrix();
    glRotated(leftArmSwing, 0, 1, 0);
    glRotated(20 - 60 * armPhase, 1, 0, 0);
    drawLimbSegment(armJointQuadric, armQuadric);
    drawForearm();
    glPopMatrix();
}

void drawRightArm() {
    glPushMatrix();
    // Mirrored, so a growing swing lifts this arm outwards too.
    glRotated(-rightArmSwing, 0, 1, 0);
    glRotated(80 * armPhase - 40, 1, 0, 0);
    drawLimbSegment(armJointQuadric, armQuadric);
    drawForearm();
    glPopMatrix();
}

void drawForearm() {
    glPushMatrix();
    glRotated(-90 * armPhase, 1, 0, 0);
    drawLimbSegment(armJointQuadric, armQuadric);
    static GLuint list9 = 0;
    drawShape(list9, [=] { gluSphere(armJointQuadric, 0.15, 10, 10); });
    glPopMatrix();
}

void drawWaist() {
    glPushMatrix();
    glRotated(30 * bodyPhase - 15, 0, 0, 1);
    glTranslated(0, 0, -0.5);
    static GLuint list10 = 0;
    drawShape(list10, [=] { gluCylinder(waistQuadric, 0.3, 0.3, 0.5, 10, 10); });
    glTranslated(0, 0, 0.05);
    drawPelvis();
    glPopMatrix();
}

void drawPelvis() {
    glPushMatrix();
    glTranslated(0, 0, -0.5);
    static GLuint list11 = 0;
    drawShape(list11, [=] { gluCylinder(pelvisQuadric, pelvisRadius, pelvisRadius, 0.5, 20, 20); });
    static GLuint list12 = 0;
    drawShape(list12, [=] { gluDisk(pelvisBottomQuadric, 0, pelvisRadius, 20, 20); });

    glPushMatrix();
    glTranslated(0, 0, 0.5);
    static GLuint list13 = 0;
    drawShape(list13, [=] { gluDisk(pelvisTopQuadric, 0, pelvisRadius, 20, 20); });
    glPopMatrix();

    glPushMatrix();
    glTranslated(-pelvisRadius, 0, 0);
    drawLeftThigh();
    glPopMatrix();

    glPushMatrix();
    glTranslated(pelvisRadius, 0, 0);
    drawRightThigh();
    glPopMatrix();
    glPopMatrix();
}

// The legs alternate: at bodyPhase 0 the left thigh is lifted forward with its shin hanging straight
// down, at 1 the right one is.
void drawLeftThigh() {
    glPushMatrix();
    glRotated(-30 * bodyPhase, 0, 0, 1);
    glRotated(40 * bodyPhase - 40, 1, 0, 0);
    drawLimbSegment(legJointQuadric, legQuadric);
    drawLeftShin();
    glPopMatrix();
}

void drawLeftShin() {
    glPushMatrix();
    glRotated(40 - 40 * bodyPhase, 1, 0, 0);
    drawLimbSegment(legJointQuadric, legQuadric);
    drawFoot();
    glPopMatrix();
}

void drawRightThigh() {
    glPushMatrix();
    glRotated(30 * bodyPhase, 0, 0, 1);
    glRotated(-40 * bodyPhase, 1, 0, 0);
    drawLimbSegment(legJointQuadric, legQuadric);
    drawRightShin();
    glPopMatrix();
}

void drawRightShin() {
    glPushMatrix();
    glRotated(40 * bodyPhase, 1, 0, 0);
    drawLimbSegment(legJointQuadric, legQuadric);
    drawFoot();
    glPopMatrix();
}

// The fixed turn points the foot forward (-y of the shin); the cone's tip is 0.7 from the ankle and
// its open wide end 0.1 from it.
void drawFoot() {
    glPushMatrix();
    glRotated(-90, 1, 0, 0);
    static GLuint list14 = 0;
    drawShape(list14, [=] { gluSphere(legJointQuadric, 0.15, 10, 10); });
    glTranslated(0, 0, -0.7);
    static GLuint list15 = 0;
    drawShape(list15, [=] { gluCylinder(legQuadric, 0, 0.15, 0.6, 20, 20); });
    glPopMatrix();
}
