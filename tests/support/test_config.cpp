// What a build supplies, for the in-process tests: a single-stage start and
// no embedded resources (tests set the image records themselves).
#include "control/base/base.h"
#include "platform/posix/resources.h"

const Stage BuildInitialStage = Stage::Target;
const PlatResource g_platResources[1] = {{"NONE", 0, nullptr, nullptr}};
const int g_platResourceCount = 0;
