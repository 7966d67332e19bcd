#include "engine/PatchListReader.h"

#include "engine/PatchEngine.h"

namespace nimbrel {

int PatchListReader::read(int) { return engine_.stopRequested ? -7 : -1; }
}  // namespace nimbrel
