#include <GL/glut.h>

#include "app/pointer.h"
#include "motion/motion_driver.h"
#include "motion/music.h"
#include "overlay/caption.h"

void tick(int) {
    stepArmSwings();
    // Re-armed before the work, so the period does not stretch by the time the work takes.
    glutTimerFunc(20, tick, 0);
    fetchSpectrum();
    TrackNames names;
    if (trackStarted(names)) showCaption(names.title, names.artist, glutGet(GLUT_ELAPSED_TIME));
    stepPhases(spectrum, SPECTRUM_SIZE);
    hideRestingPointer(glutGet(GLUT_ELAPSED_TIME));
    glutPostRedisplay();
}
