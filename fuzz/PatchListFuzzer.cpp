// The patch list reader, normal and manual: every entry it accepts names a file inside the
// game folder (deletion lists: inside the update folder), in UTF-8.

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/PatchEngine.h"
#include "engine/PatchListReader.h"
#include "fuzz/FuzzScratch.h"
#include "platform/TextCodec.h"

using namespace nimbrel;
using nimbrel::fuzz::FuzzScratch;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    FuzzScratch& scratch = FuzzScratch::instance();
    scratch.resetWork();
    // The first byte picks the list and the installed version; the rest is the list.
    const int manual = data[0] & 1;
    const std::string list(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string game = scratch.work() + "game/";
    FuzzScratch::write(manual ? game + "ManualPatch.ini" : game + "update/version.ini", list);

    fuzz::SilentWindow window;
    PatchEngine engine(&window);
    engine.initialize(game);
    const PatchListReader::Reading reading = PatchListReader(engine.context(), (data[0] >> 1) % 4).read(manual);

    const std::string updateFolder = engine.layout().updateFolder();
    for (const PatchListEntry& entry : reading.list.entries) {
        if (!TextCodec::isValidUtf8(entry.fileName) || !TextCodec::isValidUtf8(entry.folderKey))
            FuzzScratch::fail("an entry is not UTF-8: " + entry.fileName);
        if (entry.fileName.empty() || entry.fileName.find('/') != std::string::npos)
            FuzzScratch::fail("an entry's file name is not one name: " + entry.fileName);
        const std::string& inside = entry.kind == PatchListEntry::kDeletionList ? updateFolder : game;
        FuzzScratch::checkInside(entry.targetFolder, inside, "an entry's folder");
        FuzzScratch::checkInside(entry.targetFolder + entry.fileName, inside, "an entry's file");
        FuzzScratch::checkInside(updateFolder + entry.fileName, updateFolder, "a download");
    }
    scratch.checkOutsideUntouched();
    return 0;
}
