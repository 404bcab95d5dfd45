// motion/motion_state.h: the pose the figure is drawn in, written only by the motion driver.
#pragma once

// Phase of torso, neck, head, waist and legs; nominally 0..1, used unclamped. 0 at start.
extern double bodyPhase;
// Phase of shoulder lift and elbows; nominally 0..1, used unclamped. 0 at start.
extern double armPhase;
// Sideways swing of the left shoulder, degrees, running between 0 and 45. 0 at start.
extern double leftArmSwing;
// Sideways swing of the right shoulder, degrees, running between 0 and 45. 0 at start.
extern double rightArmSwing;
