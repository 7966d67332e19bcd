// The planner as a table: a PatchList, the archives' entry names and the deletion lists' lines
// in, the plan (or the refused name) out. No files: the game folder is a name only.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "engine/UpdatePlanner.h"

namespace nimbrel {
namespace {

const GameLayout kLayout("/game/");

struct Archive {
    std::string key;
    int version;
    std::vector<std::string> names;
};

struct Deletions {
    int version;
    std::vector<std::string> lines;
};

struct Case {
    const char* what;
    std::vector<Archive> archives;  // in PatchList order; deletion lists follow their version's archives
    std::vector<Deletions> deletions;
    // "key:archive:name,name" per extraction group entry, and "key:name,name" per deletion key
    // ("first key:name,name" for the deletions made before the extractions).
    std::vector<std::string> extractions;
    std::vector<std::string> deletionsPlanned;
    std::string refused;
};

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& name : names) text += (text.empty() ? "" : ",") + name;
    return text;
}

TEST(UpdatePlannerTest, PlansFromTheListAndTheNamesRead) {
    const Case cases[] = {
        {"one archive per key",
         {{"root", 1, {"readme.txt", "dir/", "bin/run.exe"}}, {"item", 1, {"sword.dat"}}},
         {},
         {"item:item_1.zip:sword.dat", "root:root_1.zip:readme.txt,dir/,bin/run.exe"},
         {},
         ""},
        {"a later version supplies a file again: only it extracts it, in any case",
         {{"item", 1, {"a.dat", "b.dat"}}, {"item", 2, {"A.DAT"}}},
         {},
         {"item:item_2.zip:A.DAT", "item:item_1.zip:b.dat"},
         {},
         ""},
        {"deletions: keys from backslashes, minimap anywhere, blank lines skipped",
         {},
         {{1, {"old.txt\r", "sfx\\boom.wav", "", "map\\minimap\\m.bmp", "data\\sub\\deep.bin"}}},
         {},
         {"data\\sub:deep.bin", "minimap:m.bmp", "root:old.txt", "sfx:boom.wav"},
         ""},
        {"a file deleted by its own version's list but supplied again by a later archive stays",
         {{"item", 1, {"x.dat"}}, {"item", 2, {"x.dat", "y.dat"}}},
         {{1, {"item\\x.dat"}}, {2, {"item\\z.dat"}}},
         {"item:item_2.zip:x.dat,y.dat"},
         {"item:z.dat"},
         ""},
        {"a later deletion list removes what an earlier archive supplied",
         {{"sfx", 1, {"a.wav"}}},
         {{2, {"sfx\\a.wav"}}},
         {"sfx:sfx_1.zip:a.wav"},
         {"sfx:a.wav"},
         ""},
        {"an entry that climbs out refuses the whole patch",
         {{"root", 1, {"ok.txt"}}, {"item", 2, {"../../etc/passwd"}}},
         {},
         {},
         {},
         "item/../../etc/passwd"},
        {"an absolute deletion line refuses", {{"root", 1, {"ok.txt"}}}, {{1, {"/etc/passwd"}}}, {}, {}, "/etc/passwd"},
        {"a case-only rename and a folder that becomes a file delete first",
         {{"root", 1, {"readme.txt", "Cfg"}}},
         {{1, {"Readme.txt", "Cfg\\a.txt", "other.txt"}}},
         {"root:root_1.zip:readme.txt,Cfg"},
         {"first Cfg:a.txt", "first root:Readme.txt", "root:other.txt"},
         ""},
        {"the launcher's own files are never extracted nor deleted",
         {{"root", 1, {"VERSION.INI", "update/x.zip", "ManualPatch.ini.sig", "game.exe"}}},
         {{1, {"version.ini", "Update\\version.ini", "ManualPatch.ini"}}},
         {"root:root_1.zip:game.exe"},
         {},
         ""},
        {"a deletion line over 259 characters refuses",
         {},
         {{1, {std::string(260, 'a')}}},
         {},
         {},
         std::string(260, 'a')},
    };
    for (const auto& c : cases) {
        std::vector<PatchListEntry> entries;
        std::map<std::string, NameList> archiveNames;
        std::map<std::string, std::vector<std::string>> deletionLines;
        auto addDeletionLists = [&](int version) {
            for (const auto& d : c.deletions)
                if (d.version == version) {
                    PatchListEntry entry;
                    entry.kind = PatchListEntry::kDeletionList;
                    entry.fileName = "del_" + std::to_string(version) + ".txt";
                    entry.folderKey = GameLayout::kRootKey;
                    entry.version = version;
                    entry.targetFolder = kLayout.updateFolder();
                    entries.push_back(entry);
                    deletionLines[entry.fileName] = d.lines;
                }
        };
        for (int version = 1; version <= 2; ++version) {
            for (const auto& a : c.archives) {
                if (a.version != version) continue;
                PatchListEntry entry;
                entry.kind = PatchListEntry::kPatchArchive;
                entry.folderKey = a.key;
                entry.fileName = a.key + "_" + std::to_string(version) + ".zip";
                entry.version = version;
                entry.targetFolder = kLayout.folderForKey(a.key, GameLayout::KeyCase::Exact);
                entries.push_back(entry);
                archiveNames[entry.fileName] = a.names;
            }
            addDeletionLists(version);
        }
        const PlanOutcome outcome =
            UpdatePlanner::plan(kLayout, entries, archiveNames, deletionLines, UpdatePlanner::NameResolver());
        EXPECT_EQ(outcome.refusedName, c.refused) << c.what;
        if (!c.refused.empty()) continue;
        std::vector<std::string> extractions;
        for (const auto& [key, group] : outcome.plan.extractions)
            for (const auto& extraction : group)
                extractions.push_back(key + ":" + extraction.archiveName + ":" + joined(extraction.names));
        EXPECT_EQ(extractions, c.extractions) << c.what;
        std::vector<std::string> deletions;
        for (const auto& [key, names] : outcome.plan.clearances)
            deletions.push_back("first " + key + ":" + joined(names));
        for (const auto& [key, names] : outcome.plan.deletions) deletions.push_back(key + ":" + joined(names));
        EXPECT_EQ(deletions, c.deletionsPlanned) << c.what;
    }
}

}  // namespace
}  // namespace nimbrel
