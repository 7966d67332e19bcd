// nimbrel-publish: publishes release builds to a patch server folder and signs patch lists.
//   nimbrel-publish keygen SECRET_FILE [--passphrase-file FILE]
//   nimbrel-publish base BUILD SERVER_DIR [--version N] [--sign SECRET_FILE] [SIGNING OPTIONS]
//   nimbrel-publish make OLD NEW SERVER_DIR [--version N] [--sign SECRET_FILE] [SIGNING OPTIONS]
//   nimbrel-publish resign SERVER_DIR --sign SECRET_FILE [SIGNING OPTIONS]
//   nimbrel-publish verify SERVER_DIR --key PUBLIC_KEY[,PUBLIC_KEY...]

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "tools/nimbrel-publish/PatchPublisher.h"

namespace {

constexpr const char* kUsage =
    "usage: nimbrel-publish keygen SECRET_FILE [--passphrase-file FILE]\n"
    "       nimbrel-publish base BUILD SERVER_DIR [--version N] [--sign SECRET_FILE [SIGNING OPTIONS]]\n"
    "       nimbrel-publish make OLD NEW SERVER_DIR [--version N] [--sign SECRET_FILE [SIGNING OPTIONS]]\n"
    "       nimbrel-publish resign SERVER_DIR --sign SECRET_FILE [SIGNING OPTIONS]\n"
    "       nimbrel-publish verify SERVER_DIR --key PUBLIC_KEY[,PUBLIC_KEY...]\n"
    "SIGNING OPTIONS: --expires DAYS (default 30), --channel NAME (default: the server's signed\n"
    "channel, else the name of SERVER_DIR's folder), --rotate NEW_SECRET_FILE (signs with both keys).\n"
    "keygen writes a new Ed25519 secret key (mode 0600, never over an existing file) and prints\n"
    "the public key, the launcher's NIMBREL_PATCH_PUBLIC_KEY.\n"
    "make writes the patch from build OLD to build NEW into SERVER_DIR, the folder served at the\n"
    "patch base URL: one archive per top folder, a deletion list, the version block of\n"
    "version.ini (CUR_VERSION becomes N, by default the current one + 1) and, with --sign,\n"
    "version.ini.sig. base publishes every file of BUILD as a new server's first version (default 1).\n"
    "Each release also writes manifest_N.txt, the list of every file of the build, which\n"
    "nimbrel-cli verify compares a game folder with. A refused or failed release leaves SERVER_DIR\n"
    "as it was. A signature binds the list to its channel, a serial that grows with every\n"
    "signature, and an expiry after which launchers refuse it: resign signs the current list again\n"
    "with a fresh expiry. verify checks the signature and every file it names.\n"
    "Secret key files must be readable by their owner alone. With a passphrase ($NIMBREL_KEY_PASSPHRASE\n"
    "or --passphrase-file FILE, its first line) keygen seals the key, and signing opens it.\n";

int usage() {
    std::cerr << kUsage;
    return 2;
}

// A small decimal number: a version or a number of days.
bool parseVersion(const std::string& text, int& version) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    version = std::stoi(text);
    return true;
}

int run(const std::vector<std::string>& args) {
    if (args.empty()) return usage();
    std::string error;
    // A sealed key's passphrase: from a file (its first line) or the environment, never a prompt.
    std::string passphrase;
    if (const char* fromEnvironment = std::getenv("NIMBREL_KEY_PASSPHRASE")) passphrase = fromEnvironment;
    std::vector<std::string> words;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] != "--passphrase-file" || i + 1 >= args.size()) {
            words.push_back(args[i]);
            continue;
        }
        std::ifstream in(args[++i]);
        if (!in || !std::getline(in, passphrase) || passphrase.empty()) {
            std::cerr << "nimbrel-publish: " << args[i] << ": no passphrase can be read from it\n";
            return 1;
        }
    }
    if (words.empty()) return usage();
    if (words[0] == "keygen" && words.size() == 2) {
        std::optional<std::string> publicKey = nimbrel::PatchPublisher::keygen(words[1], passphrase, error);
        if (!publicKey) {
            std::cerr << "nimbrel-publish: " << error << "\n";
            return 1;
        }
        std::cout << *publicKey << "\n";
        return 0;
    }
    if (words[0] == "verify" && words.size() == 4 && words[2] == "--key") {
        std::string report;
        if (nimbrel::PatchPublisher::verify(words[1], words[3], report, error) != 0) {
            std::cerr << "nimbrel-publish: " << error << "\n";
            return 1;
        }
        std::cout << report;
        return 0;
    }
    const bool isBase = words[0] == "base", isResign = words[0] == "resign";
    if (words[0] != "make" && !isBase && !isResign) return usage();
    nimbrel::PublishRequest request;
    request.passphrase = passphrase;
    std::vector<std::string> positional;
    for (std::size_t i = 1; i < words.size(); ++i) {
        if (words[i] == "--version" && i + 1 < words.size()) {
            int version = 0;
            if (!parseVersion(words[++i], version)) return usage();
            request.version = version;
        } else if (words[i] == "--sign" && i + 1 < words.size()) {
            request.secretKeyFile = words[++i];
        } else if (words[i] == "--rotate" && i + 1 < words.size()) {
            request.rotateKeyFile = words[++i];
        } else if (words[i] == "--channel" && i + 1 < words.size()) {
            request.channel = words[++i];
        } else if (words[i] == "--expires" && i + 1 < words.size()) {
            if (!parseVersion(words[++i], request.expiresDays)) return usage();
        } else if (words[i].starts_with("--")) {
            return usage();
        } else {
            positional.push_back(words[i]);
        }
    }
    if (positional.size() != (isResign ? 1u : isBase ? 2u : 3u)) return usage();
    if (!isBase && !isResign) request.oldBuild = positional[0];
    if (!isResign) request.newBuild = positional[positional.size() - 2];
    request.serverFolder = positional.back();
    std::string report;
    const int status = isResign ? nimbrel::PatchPublisher::resign(request, report, error)
                       : isBase ? nimbrel::PatchPublisher::base(request, report, error)
                                : nimbrel::PatchPublisher::make(request, report, error);
    if (status != 0) {
        std::cerr << "nimbrel-publish: " << error << "\n";
        return 1;
    }
    std::cout << report;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        // A file-system error (a folder that cannot be read, a full disk) ends the run with its
        // reason; the server folder is left as the staging rules leave it.
        std::cerr << "nimbrel-publish: " << e.what() << "\n";
        return 1;
    }
}
