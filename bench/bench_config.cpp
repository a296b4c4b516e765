// What a program's build supplies, for the benchmark: a single-stage start
// and no embedded resources (the image is read from a file at run time).
#include "control/base/base.h"
#include "platform/posix/resources.h"

const Stage BuildInitialStage = Stage::Target;
const PlatResource g_platResources[1] = {{"NONE", 0, nullptr, nullptr}};
const int g_platResourceCount = 0;
