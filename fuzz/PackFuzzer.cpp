// The pack and archive reader through the whole-pack operations: list, search, extract every
// entry (into a folder that holds links to a folder the player moved elsewhere) and split.
// Afterwards the whole tree is checked: nothing outside the work folder and that folder changed,
// no link was made, and every archive the split wrote reads back.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzz/FuzzScratch.h"
#include "pack/ArchiveCheck.h"
#include "pack/PackArchive.h"

using namespace nimbrel;
using nimbrel::fuzz::FuzzScratch;

namespace {

// The pack operations under test, in one place so a change of the pack interface is met here.
void exercise(PackArchive& packs, const std::string& work, const std::string& archive, const std::string& out) {
    NameList names;
    if (!packs.listEntries(archive, names)) return;
    (void)packs.containsEntryText(archive, "minimap/");
    (void)packs.extractEntries(out, archive, names, true);
    if (packs.splitArchive(work, "minimap/", "in.zip", "first.zip", "second.zip"))
        for (const char* part : {"first.zip", "second.zip"}) {
            NameList partNames;
            // A part with no entry is a valid archive that readers refuse to open.
            if (std::filesystem::exists(work + part) && !ArchiveCheck::isArchiveWithoutEntries(work + part) &&
                !packs.listEntries(work + part, partNames))
                FuzzScratch::fail(std::string("a part the split reported written does not list: ") + part);
        }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzScratch& scratch = FuzzScratch::instance();
    scratch.resetWork();
    const std::string work = scratch.work();
    const std::string out = work + "out/";
    FuzzScratch::write(work + "in.zip", std::string(reinterpret_cast<const char*>(data), size));
    std::filesystem::create_directories(out);
    (void)::symlink(scratch.linked().c_str(), (out + "link").c_str());
    (void)::symlink((scratch.linked() + "x.dat").c_str(), (out + "x.dat").c_str());

    PackArchive packs;
    exercise(packs, work, work + "in.zip", out);

    scratch.checkOutsideUntouched();
    for (const auto& [path, what] : FuzzScratch::tree(work)) {
        if (what.starts_with("link ") && path != "out/link" && path != "out/x.dat")
            FuzzScratch::fail("extraction made a link: " + path);
    }
    return 0;
}
