#pragma once
// Reads and writes the client version file version.ini through the version token table.
// The file is the only record of the installed version, so it is replaced crash-safely.

#include <string>

namespace nimbrel {

struct PatchContext;

class ClientVersionFile {
public:
    static constexpr const char* kCaption = "Error";
    static constexpr const char* kMissingText = "버전을 찾을수없습니다, 게임을 다시 설치해 주시기바랍니다";
    static constexpr const char* kInvalidText = "잘못된버전입니다, 게임을 다시 설치해 주시기바랍니다";

    explicit ClientVersionFile(const PatchContext& context) : context_(context) {}

    // The installed version (0..1999); -1 with a message box when the file is missing, has no
    // version line or an unknown token; -7 when a stop was requested.
    [[nodiscard]] int read();
    // version on success; -1 with the file-error box when the file cannot be replaced (the
    // old file is then unchanged; a full or read-only disk adds the line "not enough free space
    // on FOLDER" or "cannot write FOLDER (reason)"); -7 when a stop was requested.
    [[nodiscard]] int write(int version);

    // The exact bytes written for a version: "[DEFAULT]\r\nCUR_VERSION<token>".
    static std::string contentFor(int version);
    // The message for an operating-system error (errno) while creating path.
    static std::string fileErrorText(int errorNumber, const std::string& path);

private:
    void showError(const std::string& text) const;

    const PatchContext& context_;
};

}  // namespace nimbrel
