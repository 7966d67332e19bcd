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
        {"deletion keys keep their case; trailing blanks and a line naming only a folder are dropped",
         {},
         {{1, {"item\\old.dat   \r", "Item\\Case.dat", "item\\", "   "}}},
         {},
         {"Item:Case.dat", "item:old.dat"},
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

// The planner fed step by step, as plan() feeds it: archives nearest the end of the list first.
class UpdatePlannerSteps : public ::testing::Test {
protected:
    std::vector<std::string> deletionsOf(const std::string& key) const {
        auto it = plan.deletions.find(key);
        return it == plan.deletions.end() ? std::vector<std::string>() : it->second;
    }

    UpdatePlan plan;
    UpdatePlanner planner{kLayout, plan, UpdatePlanner::NameResolver()};
};

TEST_F(UpdatePlannerSteps, EachFileIsTakenOnceFromTheArchiveNearestTheEnd) {
    planner.addExtraction("item", 3, "late.zip", "/game/item/", {"a.dat", "b.dat"});
    planner.addExtraction("item", 2, "mid.zip", "/game/item/", {"A.DAT", "c.dat"});
    planner.addExtraction("item", 1, "early.zip", "/game/item/", {"b.dat", "c.dat"});  // nothing left: discarded
    planner.addExtraction("sfx", 1, "s.zip", "/game/sfx/", {"a.dat"});
    planner.addExtraction("empty", 1, "e.zip", "/game/empty/", {});
    std::vector<std::string> planned;
    for (const auto& [key, group] : plan.extractions)
        for (const auto& extraction : group)
            planned.push_back(key + ":" + extraction.archiveName + ":" + joined(extraction.names));
    EXPECT_EQ(planned,
              (std::vector<std::string>{"item:late.zip:a.dat,b.dat", "item:mid.zip:c.dat", "sfx:s.zip:a.dat"}));
}

TEST_F(UpdatePlannerSteps, DeletionIsDroppedWhenAnEqualOrLaterPatchSuppliesTheFile) {
    planner.addExtraction("item", 5, "a.zip", "/game/item/", {"sword.dat"});
    planner.addDeletion("item", "SWORD.DAT", 5);  // same version: supplied again
    planner.addDeletion("item", "sword.dat", 4);  // older list
    EXPECT_TRUE(deletionsOf("item").empty());
    planner.addDeletion("item", "sword.dat", 6);  // a later list deletes it after all
    planner.addDeletion("item", "Sword.dat", 7);  // already listed, any case
    planner.addDeletion("sfx", "sword.dat", 9);   // another key is unaffected
    EXPECT_EQ(deletionsOf("item"), std::vector<std::string>{"sword.dat"});
    EXPECT_EQ(deletionsOf("sfx"), std::vector<std::string>{"sword.dat"});
}

// One unsafe line refuses the whole list, and names itself; a line longer than a name can be,
// read in pieces, would delete whatever its tail named.
TEST(UpdatePlannerTest, OneUnsafeDeletionLineRefusesTheWholeList) {
    for (const std::string& bad :
         std::vector<std::string>{"..\\..\\x", "item\\..\\..\\y", "C:\\Windows\\system.ini", "\\abs.txt", "/etc/passwd",
                                  "../up.txt", std::string(300, 'a')}) {
        UpdatePlan plan;
        UpdatePlanner planner(kLayout, plan, UpdatePlanner::NameResolver());
        const bool planned = planner.addDeletionLines({"item\\kept.dat", bad}, 1, "del.txt");
        EXPECT_FALSE(planned) << bad;
        EXPECT_EQ(planner.refusedName(), bad);
        EXPECT_TRUE(plan.deletions.empty()) << bad;
    }
}

TEST(UpdatePlannerTest, ExtractionRefusesNamesAndFoldersOutsideTheGameFolder) {
    const struct {
        std::string key, folder, name;
    } cases[] = {{"root", "/game/", "dir/"},  {"root", "/game/", "sub/ok.txt"},  {"root", "/game/", "../x"},
                 {"root", "/game/", "/abs"},  {"root", "/game/", "sub/../../y"}, {"../x", "/game/../x/", "a.dat"},
                 {"sneaky", "/tmp/", "a.dat"}};
    for (const auto& c : cases) {
        UpdatePlan plan;
        UpdatePlanner planner(kLayout, plan, UpdatePlanner::NameResolver());
        planner.addExtraction(c.key, 1, "r.zip", c.folder, {"fine.txt", c.name});
        const bool safe = c.name == "dir/" || c.name == "sub/ok.txt";
        EXPECT_EQ(planner.refusedName().empty(), safe) << c.key << " " << c.name;
        if (safe) {
            EXPECT_EQ(plan.extractions.at(c.key).front().names, (NameList{"fine.txt", c.name}));
        }
    }
}

TEST(UpdatePlannerTest, KeysNameTheirFoldersAndPacks) {
    const std::pair<const char*, const char*> folders[] = {{"root", "/game/"},
                                                           {"ROOT", "/game/"},
                                                           {"Minimap", "/game/map/minimap/"},
                                                           {"item", "/game/item/"},
                                                           {"data\\sub", "/game/data/sub/"}};
    for (const auto& [key, folder] : folders) EXPECT_EQ(kLayout.folderForKey(key), folder) << key;
    for (const char* key : {"actor", "Item", "MINIMAP", "etc", "wear", "map"})
        EXPECT_TRUE(GameLayout::isPackedFolder(key)) << key;
    for (const char* key : {"root", "items", "data", ""}) EXPECT_FALSE(GameLayout::isPackedFolder(key)) << key;
}

}  // namespace
}  // namespace nimbrel
