#include "motion/motion_state.h"

// All zero is the rest pose, which the figure shows until the first tick moves it.
double bodyPhase = 0;
double armPhase = 0;
double leftArmSwing = 0;
double rightArmSwing = 0;
