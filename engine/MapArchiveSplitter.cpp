#include "engine/MapArchiveSplitter.h"

#include "engine/PatchEngine.h"

namespace nimbrel {

void MapArchiveSplitter::splitMapArchives() {}
}  // namespace nimbrel
