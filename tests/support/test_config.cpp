// What a build supplies, for the in-process tests: a single-stage start and
// no embedded resources (tests set the image records themselves).
#include "control/globals.h"
#include "platform/posix/resources.h"

const int BuildInitialTargetStage = 1;
const PlatResource g_platResources[1] = {{"NONE", 0, nullptr, nullptr}};
const int g_platResourceCount = 0;
