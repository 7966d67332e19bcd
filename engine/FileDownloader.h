#pragma once
// Fetches the patch list and the patch archives from the patch server into the update folder.

#include <string>

#include "pack/PackArchive.h"

namespace nimbrel {

class PatchEngine;

class FileDownloader {
public:
    explicit FileDownloader(PatchEngine& engine) : engine_(engine) {}
    int downloadFile(const std::string& name, bool useCache);
    int downloadPatchFiles();
private:
    PatchEngine& engine_;
};

}  // namespace nimbrel
