// The whole update step with a fixed patch list, a fuzzed archive (for a loose folder and a
// packed one that already has its pack) and a fuzzed deletion list, in a game folder that holds links to a folder the player
// moved elsewhere. Nothing outside the game folder and that folder changes, and a step reported
// done leaves every pack readable.
//
// Input: two bytes (little-endian) giving the deletion list's length, the list, the archive.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "engine/PatchEngine.h"
#include "engine/PatchListReader.h"
#include "engine/UpdateApplier.h"
#include "fuzz/FuzzScratch.h"
#include "pack/ArchiveCheck.h"

using namespace nimbrel;
using nimbrel::fuzz::FuzzScratch;

namespace {

const char* const kPatchList =
    "CUR_VERSION = 1\r\n"
    "[VERSION = 1]\r\n"
    "root=root_1.zip\r\n"
    "item=item_1.zip\r\n"
    "DELETED=del_1.txt\r\n"
    "[VERSION = 1]\r\n";

// The engine steps under test, in one place so a change of the engine interface is met here.
int applyPatch(const PatchEngine& engine) {
    const PatchListReader::Reading reading = PatchListReader(engine.context(), 0).read(0);
    if (reading.result != 0) FuzzScratch::fail("the fixed patch list did not read");
    return UpdateApplier(engine.context(), reading.list.entries).applyUpdates();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t listLength = std::min<std::size_t>(data[0] | (data[1] << 8), size - 2);
    const std::string deletionList(reinterpret_cast<const char*>(data) + 2, listLength);
    const std::string archive(reinterpret_cast<const char*>(data) + 2 + listLength, size - 2 - listLength);

    FuzzScratch& scratch = FuzzScratch::instance();
    scratch.resetWork();
    const std::string game = scratch.work() + "game/";
    for (const char* name : {"old.txt", "readme.txt", "item/sword.dat", "item/shield.dat", "data/cfg.ini"})
        FuzzScratch::write(game + name, name);
    (void)::symlink(scratch.linked().c_str(), (game + "link").c_str());
    (void)::symlink("../../linked/sub", (game + "item/sub").c_str());
    FuzzScratch::write(game + "update/version.ini", kPatchList);
    FuzzScratch::write(game + "update/root_1.zip", archive);
    FuzzScratch::write(game + "update/item_1.zip", archive);
    FuzzScratch::write(game + "update/del_1.txt", deletionList);

    fuzz::SilentWindow window;
    PatchEngine engine(&window);
    engine.initialize(game);
    // A pack already in place, so the update appends to it under its journal rather than
    // building a first one.
    (void)engine.context().packArchive->packFolder(game + "item/", {});
    const int result = applyPatch(engine);

    scratch.checkOutsideUntouched();
    if (result == 1)
        for (const auto& entry : std::filesystem::recursive_directory_iterator(game)) {
            NameList names;
            // A pack without entries is valid; readers refuse to open it, the engine knows it.
            if (entry.is_regular_file() && entry.path().extension() == ".QPAK" &&
                !ArchiveCheck::isArchiveWithoutEntries(entry.path().string()) &&
                !engine.context().packArchive->listEntries(entry.path().string(), names))
                FuzzScratch::fail("the update reported done but left an unreadable pack: " + entry.path().string());
        }
    return 0;
}
