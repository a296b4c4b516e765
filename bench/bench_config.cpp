// What a program's build supplies, for the benchmark: a single-stage start
// and no embedded resources (the image is read from a file at run time).
#include "control/globals.h"
#include "platform/posix/resources.h"

const int BuildInitialTargetStage = 1;
const PlatResource g_platResources[1] = {{"NONE", 0, nullptr, nullptr}};
const int g_platResourceCount = 0;
