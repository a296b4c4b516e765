// The stage a build starts in: compiled once per program, Target (1) for a
// single-stage build, Transition (0) when the build carries a Transition
// image.
#include "control/base/base.h"

const Stage BuildInitialStage = static_cast<Stage>(ULX_INITIAL_TARGET_STAGE);
