#include "tests/support/TempGameFolder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace nimbrel::test {

namespace fs = std::filesystem;

TempGameFolder::TempGameFolder() {
    std::string pattern = (fs::temp_directory_path() / "nimbrel-test-XXXXXX").string();
    char* made = ::mkdtemp(pattern.data());
    path_ = std::string(made ? made : pattern.c_str()) + "/";
}

TempGameFolder::~TempGameFolder() {
    std::error_code ec;
    // Tests make files read-only on purpose; give the owner write access back first.
    for (auto it = fs::recursive_directory_iterator(path_, ec); it != fs::recursive_directory_iterator(); ++it)
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

std::string TempGameFolder::write(std::string_view relative, std::string_view content) const {
    fs::path full = fs::path(path_) / fs::path(std::string(relative));
    fs::create_directories(full.parent_path());
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return full.string();
}

std::string TempGameFolder::read(std::string_view relative) const {
    std::ifstream in(path_ + std::string(relative), std::ios::binary);
    std::ostringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

bool TempGameFolder::exists(std::string_view relative) const { return fs::exists(path_ + std::string(relative)); }

std::string TempGameFolder::makeFolder(std::string_view relative) const {
    fs::create_directories(path_ + std::string(relative));
    std::string folder = path_ + std::string(relative);
    if (!folder.ends_with('/')) folder += '/';
    return folder;
}

}  // namespace nimbrel::test
