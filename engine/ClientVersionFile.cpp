#include "engine/ClientVersionFile.h"

#include "engine/PatchEngine.h"

namespace nimbrel {

int ClientVersionFile::read() { return engine_.stopRequested ? -7 : -1; }
int ClientVersionFile::write(int version) { return engine_.stopRequested ? -7 : version; }
}  // namespace nimbrel
