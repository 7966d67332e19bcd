#pragma once
// What applyUpdates will do, per folder key: the files to delete first, the archives to extract,
// and the files to delete afterwards. Keys are spelt as their folders are on the disk, so that
// one folder forms one key whatever the case a list or an archive gives it.

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
    // Deletions that make room for what the extractions write (a file where a folder goes, a
    // case-only rename): carried out before the first extraction. Folders kept loose only.
    std::map<std::string, std::vector<std::string>> clearances;

    void clear() {
        extractions.clear();
        deletions.clear();
        clearances.clear();
    }
};

}  // namespace nimbrel
