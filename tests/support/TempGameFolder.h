#pragma once
// A throwaway game folder under the system's temporary folder, removed with its contents
// when the object goes away. Paths are UTF-8; path() ends in "/".

#include <string>
#include <string_view>

namespace nimbrel::test {

class TempGameFolder {
public:
    TempGameFolder();
    ~TempGameFolder();
    TempGameFolder(const TempGameFolder&) = delete;
    TempGameFolder& operator=(const TempGameFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string file(std::string_view relative) const { return path_ + std::string(relative); }

    // Writes a file (creating its folders); returns its full path.
    std::string write(std::string_view relative, std::string_view content) const;
    std::string read(std::string_view relative) const;  // empty when missing
    bool exists(std::string_view relative) const;
    std::string makeFolder(std::string_view relative) const;  // returns the path with "/"

private:
    std::string path_;
};

}  // namespace nimbrel::test
