#pragma once
// Reads and writes the client version file version.ini through the version token table.

#include <string>

#include "pack/PackArchive.h"

namespace nimbrel {

class PatchEngine;

class ClientVersionFile {
public:
    explicit ClientVersionFile(PatchEngine& engine) : engine_(engine) {}
    int read();
    int write(int version);
private:
    PatchEngine& engine_;
};

}  // namespace nimbrel
