#include <GL/glut.h>

#include "motion/motion_driver.h"
#include "motion/music.h"

namespace {
void (*chores)() = nullptr;
}  // namespace

void setTickChores(void (*work)()) {
    chores = work;
}

void tick(int) {
    stepArmSwings();
    // Re-armed before the work, so the period does not stretch by the time the work takes.
    glutTimerFunc(20, tick, 0);
    fetchSpectrum();
    stepPhases(spectrum, SPECTRUM_SIZE);
    if (chores != nullptr) chores();
    glutPostRedisplay();
}
