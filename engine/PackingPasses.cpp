#include "engine/PackingPasses.h"

#include "engine/PatchEngine.h"

namespace nimbrel {

void PackingPasses::packUnpackedFolders() {}
void PackingPasses::syncPacks() {}
}  // namespace nimbrel
