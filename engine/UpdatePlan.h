#pragma once
// What applyUpdates will do, per folder key: the archives to extract and the files to delete.
// Keys are ordered by plain byte comparison, so one folder spelt in two cases forms two keys.

#include <map>
#include <string>
#include <vector>

namespace nimbrel {

struct ExtractionEntry {
    int version = 0;
    std::string archiveName;   // file name inside the update folder
    std::string targetFolder;  // full path, ends in "/"
    std::vector<std::string> names;
};

struct UpdatePlan {
    std::map<std::string, std::vector<ExtractionEntry>> extractions;
    std::map<std::string, std::vector<std::string>> deletions;  // a key only with at least one name

    void clear() {
        extractions.clear();
        deletions.clear();
    }
};

}  // namespace nimbrel
