// Deletion lists, read and carried out as the update step does, in a game folder that holds
// links to a folder the player moved elsewhere: nothing outside the game folder and that
// folder may ever be deleted.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/PatchEngine.h"
#include "engine/UpdateApplier.h"
#include "fuzz/FuzzScratch.h"

using namespace nimbrel;
using nimbrel::fuzz::FuzzScratch;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzScratch& scratch = FuzzScratch::instance();
    scratch.resetWork();
    const std::string game = scratch.work() + "game/";
    for (const char* name : {"old.txt", "item/sword.dat", "map/minimap/m1.bmp", "data/cfg.ini"})
        FuzzScratch::write(game + name, name);
    // A folder, a file and a key folder that lead to the player's linked folder.
    (void)::symlink(scratch.linked().c_str(), (game + "link").c_str());
    (void)::symlink((scratch.linked() + "x.dat").c_str(), (game + "x.dat").c_str());
    (void)::symlink("../../linked/sub", (game + "item/sub").c_str());
    const std::string listPath = game + "update/del.txt";
    FuzzScratch::write(listPath, std::string(reinterpret_cast<const char*>(data), size));

    fuzz::SilentWindow window;
    PatchEngine engine(&window);
    engine.initialize(game);
    // The update step with the list as its only entry: planned, then carried out.
    const std::vector<PatchListEntry> entries{{PatchListEntry::kDeletionList, game + "update/", "del.txt", "root", 1}};
    (void)UpdateApplier(engine.context(), entries).applyUpdates();
    scratch.checkOutsideUntouched();
    return 0;
}
