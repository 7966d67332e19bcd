#pragma once
// Deleting the loose files of a game folder, shared by the update step and the packing passes.

#include <string>

#include "pack/PackArchive.h"

namespace nimbrel {

class LooseFiles {
public:
    // Each name below folder; a file that is missing or cannot be deleted is left as it is.
    static void deleteListed(const std::string& folder, const NameList& names);
    // Every file directly in folder except the keep list (case-insensitive); folders stay.
    static void deleteAllExcept(const std::string& folder, const NameList& keepList);
    // After a folder's pack was built: deletes the loose files the pack now holds, and those
    // named in removeNames, except the keep list. A file the pack did not take stays.
    static void removePacked(PackArchive& packs, const std::string& folder, const NameList& keepList,
                             const NameList& removeNames);
};

}  // namespace nimbrel
