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

// The hips sit on the drum's bottom rim, so the drum's radius is also their sideways offset.
static double pelvisRadius = 0.5;

// Upper arms, forearms, thighs and shins share one shape: a ball at the joint, a tube hanging from
// 1.1 to 0.1 below it, and the origin left 1.2 below, where the next joint is.
static void drawLimbSegment(GLUquadric* jointQuadric, GLUquadric* tubeQuadric) {
    gluSphere(jointQuadric, 0.15, 10, 10);
    glTranslated(0, 0, -1.1);
    gluCylinder(tubeQuadric, 0.15, 0.15, 1, 20, 20);
    glTranslated(0, 0, -0.1);
}

void drawTorso() {
    glPushMatrix();
    glRotated(10 * bodyPhase - 5, 1, 0, 0);
    glRotated(60 * bodyPhase - 30, 0, 0, 1);
    gluCylinder(torsoQuadric, 0.5, 0.8, 1.3, 20, 20);
    gluDisk(torsoBottomQuadric, 0, 0.5, 20, 20);

    glPushMatrix();
    glTranslated(0, 0, 1.3);
    gluDisk(torsoTopQuadric, 0, 0.8, 20, 20);
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
    gluCylinder(neckQuadric, 0.2, 0.2, 0.6, 10, 10);
    glTranslated(0, 0, 0.6);
    gluSphere(neckQuadric, 0.2, 10, 10);
    glRotated(42 * bodyPhase, 1, 0, 0);
    glTranslated(0, 0, 0.3);
    gluSphere(headQuadric, 0.5, 20, 20);
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
    gluSphere(armJointQuadric, 0.15, 10, 10);
    glPopMatrix();
}

void drawWaist() {
    glPushMatrix();
    glRotated(30 * bodyPhase - 15, 0, 0, 1);
    glTranslated(0, 0, -0.5);
    gluCylinder(waistQuadric, 0.3, 0.3, 0.5, 10, 10);
    glTranslated(0, 0, 0.05);
    drawPelvis();
    glPopMatrix();
}

void drawPelvis() {
    glPushMatrix();
    glTranslated(0, 0, -0.5);
    gluCylinder(pelvisQuadric, pelvisRadius, pelvisRadius, 0.5, 20, 20);
    gluDisk(pelvisBottomQuadric, 0, pelvisRadius, 20, 20);

    glPushMatrix();
    glTranslated(0, 0, 0.5);
    gluDisk(pelvisTopQuadric, 0, pelvisRadius, 20, 20);
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
    gluSphere(legJointQuadric, 0.15, 10, 10);
    glTranslated(0, 0, -0.7);
    gluCylinder(legQuadric, 0, 0.15, 0.6, 20, 20);
    glPopMatrix();
}
