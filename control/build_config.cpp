// The stage a build starts in: compiled once per program, 1 for a
// single-stage build, 0 when the build carries a Transition image.
#include "control/globals.h"

const int BuildInitialTargetStage = ULX_INITIAL_TARGET_STAGE;
