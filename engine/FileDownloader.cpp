#include "engine/FileDownloader.h"

#include "engine/PatchEngine.h"

namespace nimbrel {

int FileDownloader::downloadFile(const std::string&, bool) { return engine_.stopRequested ? -7 : -2; }
int FileDownloader::downloadPatchFiles() { return engine_.stopRequested ? -7 : 1; }
}  // namespace nimbrel
