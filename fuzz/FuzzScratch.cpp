#include "fuzz/FuzzScratch.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace nimbrel::fuzz {

namespace fs = std::filesystem;

FuzzScratch& FuzzScratch::instance() {
    static FuzzScratch scratch;
    return scratch;
}

FuzzScratch::FuzzScratch() {
    std::string pattern = (fs::temp_directory_path() / "nimbrel-fuzz-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) fail("cannot create the scratch folder");
    root_ = pattern + "/";
    startFolder_ = fs::current_path().string();
    work_ = root_ + "work/";
    sentinel_ = root_ + "sentinel/";
    linked_ = root_ + "linked/";
    fs::create_directories(work_);
    write(sentinel_ + "x.dat", "sentinel x");
    write(sentinel_ + "victim.txt", "sentinel victim");
    write(sentinel_ + "sub/deep.bin", "sentinel deep");
    write(root_ + "beside.txt", "beside the work folder");
    outsideBefore_ = tree(root_);
    outsideBefore_.erase("work");
    resetWork();
    static const std::string removeAtExit = root_;
    std::atexit([] {
        std::error_code ignored;
        fs::remove_all(removeAtExit, ignored);
    });
}

void FuzzScratch::resetWork() {
    std::error_code error;
    // Permissions an input took away must not keep the next one from starting clean.
    fs::permissions(work_, fs::perms::owner_all, error);
    fs::remove_all(work_, error);
    if (error) fail("cannot empty the work folder: " + error.message());
    fs::create_directories(work_);
    fs::permissions(linked_, fs::perms::owner_all, error);
    fs::remove_all(linked_, error);
    write(linked_ + "x.dat", "linked x");
    write(linked_ + "victim.txt", "linked victim");
    write(linked_ + "sub/deep.bin", "linked deep");
}

void FuzzScratch::checkOutsideUntouched() const {
    std::error_code ignored;
    fs::current_path(startFolder_, ignored);
    std::map<std::string, std::string> now = tree(root_);
    for (auto it = now.begin(); it != now.end();)
        it = it->first == "work" || it->first.starts_with("work/") || it->first == "linked" ||
                     it->first.starts_with("linked/")
                 ? now.erase(it)
                 : std::next(it);
    if (now == outsideBefore_) return;
    std::ostringstream why;
    why << "something outside the work folder changed:";
    for (const auto& [path, what] : now)
        if (outsideBefore_.count(path) == 0 || outsideBefore_.at(path) != what)
            why << "\n  now:  " << path << " = " << what.substr(0, 60);
    for (const auto& [path, what] : outsideBefore_)
        if (now.count(path) == 0 || now.at(path) != what) why << "\n  was:  " << path << " = " << what.substr(0, 60);
    fail(why.str());
}

void FuzzScratch::write(const std::string& path, std::string_view bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::map<std::string, std::string> FuzzScratch::tree(const std::string& folder) {
    std::map<std::string, std::string> entries;
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, error), end;
         !error && it != end; it.increment(error)) {
        const std::string relative = it->path().lexically_relative(folder).string();
        if (it->is_symlink()) {
            entries[relative] = "link " + fs::read_symlink(it->path()).string();
        } else if (it->is_directory()) {
            entries[relative] = "folder";
        } else {
            std::ifstream in(it->path(), std::ios::binary);
            std::ostringstream content;
            content << in.rdbuf();
            entries[relative] = "file " + content.str();
        }
    }
    return entries;
}

void FuzzScratch::checkInside(const std::string& path, const std::string& folder, const char* what) {
    const fs::path relative = fs::path(path).lexically_normal().lexically_relative(folder);
    if (relative.empty() || *relative.begin() == "..") fail(std::string(what) + " leaves " + folder + ": " + path);
}

void FuzzScratch::fail(const std::string& why) {
    std::fprintf(stderr, "fuzz check failed: %s\n", why.c_str());
    std::abort();
}

}  // namespace nimbrel::fuzz
