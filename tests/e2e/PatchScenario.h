#pragma once
// A game folder at version 0, the three patch versions that bring it to version 3, and the
// tree expected afterwards; plus running the real nimbrel-cli on it (optionally killing it
// when a given line appears in its output). Each scenario has its own lock and cache folder,
// so scenarios can run side by side.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/engine/ArchiveFiles.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ReadFile.h"
#include "tests/support/TempGameFolder.h"
#include "tests/support/TestHttpServer.h"

namespace nimbrel::test {

namespace fs = std::filesystem;

struct CliRun {
    int exitCode = -1;  // 128 + the signal's number for a run ended by a signal
    bool killed = false;
    std::string output;  // stdout and stderr, interleaved as written

    std::string lastLine() const {
        std::string text = output;
        while (!text.empty() && text.back() == '\n') text.pop_back();
        return text.substr(text.rfind('\n') + 1);
    }
    bool saw(const std::string& line) const { return ("\n" + output).find("\n" + line + "\n") != std::string::npos; }
};

// Runs a program with the given environment added and NIMBREL_PATCH_URL removed. With killAt
// above 0 it is killed (SIGKILL) the killAt-th time a line containing killOn appears (any line
// when killOn is empty).
inline CliRun runWatched(const std::vector<std::string>& args, const std::vector<std::string>& environment,
                         const std::string& killOn = "", int killAt = 0) {
    ChildProcess::Options options;
    options.setEnvironment = environment;
    options.unsetEnvironment = {"NIMBREL_PATCH_URL"};
    options.errorIntoOutput = true;
    options.watchOutput = true;
    ChildProcess child(args, options);
    CliRun result;
    if (killAt > 0 && child.waitForLine(killOn, killAt)) {
        child.signal(SIGKILL);
        result.killed = true;
    }
    ProcessOutput output = child.wait();
    result.exitCode = output.exitCode;
    result.output = std::move(output.out);
    return result;
}

class PatchScenario {
public:
    static constexpr const char* kPrefix = "/quorlanpatch/plus_real/";

    PatchScenario()
        : game(outer.makeFolder("game")), server(outer.makeFolder("server")), home(outer.makeFolder("home")) {}

    // Runs nimbrel-cli with the game folder and the local server, then the given words. With
    // killOn, the process is killed (SIGKILL) the killAt-th time a line containing it appears.
    CliRun run(std::vector<std::string> words, const std::string& killOn = "", int killAt = 1) const {
        std::vector<std::string> args{NIMBREL_CLI_PATH, "--game-dir", game, "--patch-url", http.url(kPrefix)};
        args.insert(args.end(), words.begin(), words.end());
        return spawn(args, killOn, killAt);
    }

    int installedVersion() const {
        CliRun r = spawn({NIMBREL_CLI_PATH, "--game-dir", game, "version"}, "", 1);
        return r.exitCode == 0 ? std::atoi(r.output.c_str()) : -1;
    }
    void writeVersion(int version) const {
        CliRun r = spawn({NIMBREL_CLI_PATH, "version", "--write", std::to_string(version), "--game-dir", game}, "", 1);
        ASSERT_EQ(r.exitCode, 0) << r.output;
    }

    // ---- the game at version 0 ----
    void installVersionZero() const {
        writeVersion(0);
        writeArchive(game + "actor/actor.QPAK", {{"hero.mdl", "hero v0"}, {"villain.mdl", "villain v0"}});
        writeArchive(game + "item/item.QPAK", {{"sword.dat", "sword v0"}, {"shield.dat", "shield v0"}});
        writeArchive(game + "map/map.QPAK", {{"field.map", "field v0"}});
        writeArchive(game + "map/minimap/minimap.QPAK", {{"m1.bmp", "m1 v0"}, {"m2.bmp", "m2 v0"}});
        writeArchive(game + "etc/etc.QPAK", {{"table.dat", "table v0"}});
        write("etc/item.edp", "items v0");
        write("etc/usercontroll.edt", "keys v0");
        write("sfx/boom.wav", "boom v0");  // a packed folder that has no pack yet
        write("sfx/hiss.wav", "hiss v0");
        write("monster/orc.mdl", "orc v0");  // packed by the pass after the run
        write("readme.txt", "readme v0");
        write("old.txt", "old v0");
        write("data/cfg.ini", "cfg v0");
        write("data/stale.bin", "stale v0");
        fs::create_directories(game + "update");
        for (int i = 0; i < bulkFiles; ++i) {
            bulkItem.emplace_back(bulkName("bulk", i), noise(static_cast<unsigned>(i), 48 * 1024));
            write("sfx/" + bulkName("sfxbulk", i), noise(10000 + i, 32 * 1024));
        }
        if (bulkFiles > 0) {
            Files item{{"sword.dat", "sword v0"}, {"shield.dat", "shield v0"}};
            item.insert(item.end(), bulkItem.begin(), bulkItem.end());
            writeArchive(game + "item/item.QPAK", item);
        }
    }

    // Version 0 without loose files in packed folders: a run that changes nothing leaves the
    // folder byte for byte as it was (the packing passes run after every outcome).
    void installSettledVersionZero() const {
        installVersionZero();
        fs::remove_all(game + "monster");
        fs::remove_all(game + "sfx");
    }

    // Enough data that applying the patch takes a while: a kill can land inside a pack rebuild.
    int bulkFiles = 0;
    static std::string bulkName(const char* stem, int i) { return std::string(stem) + std::to_string(i) + ".bin"; }
    // Bytes that deflate hardly shrinks, the same for the same seed.
    static std::string noise(unsigned seed, std::size_t size) {
        std::string data(size, '\0');
        std::uint32_t x = seed * 2654435761u + 1;
        for (auto& c : data) {
            x = x * 1664525u + 1013904223u;
            c = static_cast<char>(x >> 24);
        }
        return data;
    }

    // ---- the patches: files in the server folder, the patch list returned ----
    std::string patchListText() const {
        return "[DEFAULT]\r\n"
               "CUR_VERSION = 3\r\n"
               "[VERSION = 1]\r\n"
               "root=root_1.zip\r\n"
               "item=item_1.zip\r\n"
               "data=data_1.zip\r\n"
               "SELF_UPDATE=FALSE,DELETED=del_1.txt\r\n"
               "[VERSION = 2]\r\n"
               "map=map_2.zip\r\n"
               "etc=etc_2.zip\r\n"
               "sfx=sfx_2.zip\r\n"
               "SELF_UPDATE=TRUE,DELETED=del_2.txt\r\n"
               "[VERSION = 3]\r\n"
               "item=item_3.zip\r\n"
               "actor=actor_3.zip\r\n";
    }

    void makePatches() const {
        writeArchive(server + "root_1.zip", {{"readme.txt", "readme v1"}, {"new.txt", "new v1"}});
        writeArchive(server + "item_1.zip", {{"sword.dat", "sword v1"}, {"axe.dat", "axe v1"}});
        writeArchive(server + "data_1.zip", {{"cfg.ini", "cfg v1"}});
        writeText(server + "del_1.txt", "old.txt\r\nitem\\shield.dat\r\ndata\\stale.bin\r\n");
        writeArchive(
            server + "map_2.zip",
            {{"field.map", "field v2"}, {"minimap/", ""}, {"minimap/m1.bmp", "m1 v2"}, {"minimap/m3.bmp", "m3 v2"}});
        writeArchive(server + "etc_2.zip",
                     {{"item.edp", "items v2"}, {"usercontroll.edt", "keys v2"}, {"table.dat", "table v2"}});
        Files sfx{{"boom.wav", "boom v2"}, {"bang.wav", "bang v2"}};
        for (int i = 0; i < bulkFiles / 3; ++i)
            sfx.emplace_back(bulkName("sfxbulk", i * 3), noise(20000 + i, 32 * 1024));
        writeArchive(server + "sfx_2.zip", sfx);
        writeText(server + "del_2.txt", "map\\minimap\\m2.bmp\r\nsfx\\hiss.wav\r\nactor\\villain.mdl\r\n");
        Files item{{"axe.dat", "axe v3"}};
        for (int i = 0; i < bulkFiles / 2; ++i) item.emplace_back(bulkName("bulk", i * 2), noise(30000 + i, 48 * 1024));
        writeArchive(server + "item_3.zip", item);
        writeArchive(server + "actor_3.zip", {{"hero.mdl", "hero v3"}});
        writeText(server + "version.ini", patchListText());
    }

    // Publishes every file of the server folder under the patch URL.
    void publish() {
        for (const auto& entry : fs::directory_iterator(server))
            http.setFile(std::string(kPrefix) + entry.path().filename().string(), readFile(entry.path().string()));
    }

    // Places the patch material where an offline run expects it.
    void placeInUpdateFolder() const {
        fs::create_directories(game + "update");
        for (const auto& entry : fs::directory_iterator(server))
            fs::copy_file(entry.path(), game + "update/" + entry.path().filename().string(),
                          fs::copy_options::overwrite_existing);
    }

    // ---- the expected result ----
    static std::map<std::string, std::map<std::string, std::string>> expectedPacks() {
        return {
            {"actor/actor.QPAK", {{"hero.mdl", "hero v3"}}},
            {"item/item.QPAK", {{"axe.dat", "axe v3"}, {"sword.dat", "sword v1"}}},
            {"map/map.QPAK", {{"field.map", "field v2"}}},
            {"map/minimap/minimap.QPAK", {{"m1.bmp", "m1 v2"}, {"m3.bmp", "m3 v2"}}},
            {"etc/etc.QPAK", {{"table.dat", "table v2"}}},
            {"sfx/sfx.QPAK", {{"boom.wav", "boom v2"}, {"bang.wav", "bang v2"}}},
            {"monster/monster.QPAK", {{"orc.mdl", "orc v0"}}},
        };
    }
    static std::map<std::string, std::string> expectedLooseFiles() {
        return {{"readme.txt", "readme v1"},
                {"new.txt", "new v1"},
                {"data/cfg.ini", "cfg v1"},
                {"etc/item.edp", "items v2"},
                {"etc/usercontroll.edt", "keys v2"}};
    }

    // Every regular file below the game folder, relative, except the version file and the
    // update folder (which an unsuccessful online run leaves for the launcher to empty).
    std::vector<std::string> filesInGame() const {
        std::vector<std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(game))
            if (entry.is_regular_file()) {
                std::string relative = entry.path().string().substr(game.size());
                if (relative != "version.ini" && !relative.starts_with("update/")) files.push_back(relative);
            }
        std::sort(files.begin(), files.end());
        return files;
    }

    // Every .QPAK of the game folder opens and every entry reads back with its CRC checked.
    void expectEveryPackReadable(const std::string& when) const {
        for (const auto& entry : fs::recursive_directory_iterator(game)) {
            if (!entry.is_regular_file() || entry.path().extension() != ".QPAK") continue;
            EXPECT_TRUE(tryReadArchive(entry.path().string()).has_value()) << entry.path() << " " << when;
        }
    }

    void expectPatchedTree() const {
        std::vector<std::string> expectedFiles;
        for (const auto& [path, content] : expectedLooseFiles()) {
            expectedFiles.push_back(path);
            EXPECT_EQ(readFile(game + path), content) << path;
        }
        for (const auto& [path, entries] : expectedPacks()) {
            expectedFiles.push_back(path);
            Files pack = readArchive(game + path);
            EXPECT_EQ((std::map<std::string, std::string>(pack.begin(), pack.end())), entries) << path;
            EXPECT_EQ(pack.size(), entries.size()) << path << ": one entry per name";
        }
        std::sort(expectedFiles.begin(), expectedFiles.end());
        EXPECT_EQ(filesInGame(), expectedFiles);
        EXPECT_EQ(installedVersion(), 3);
    }

    // Every entry below the game folder with its permission bits: a file's bytes, a link's
    // target, a folder's mode. The update folder is the patcher's own download area and left
    // out unless asked for.
    struct Node {
        std::string content;
        unsigned mode = 0;
        bool operator==(const Node&) const = default;
        // Packs are binary: a failure shows the mode and the size, not the bytes.
        friend void PrintTo(const Node& node, std::ostream* os) {
            *os << std::oct << node.mode << std::dec << " " << node.content.size() << " bytes";
        }
    };
    using Snapshot = std::map<std::string, Node>;
    Snapshot snapshot(bool withUpdateFolder = false) const {
        Snapshot nodes;
        for (auto it = fs::recursive_directory_iterator(game); it != fs::recursive_directory_iterator(); ++it) {
            const std::string relative = it->path().string().substr(game.size());
            if (!withUpdateFolder && (relative == "update" || relative.starts_with("update/"))) {
                it.disable_recursion_pending();
                continue;
            }
            const fs::file_status status = it->symlink_status();
            Node node{std::string(), static_cast<unsigned>(status.permissions())};
            if (fs::is_symlink(status))
                node.content = "-> " + fs::read_symlink(it->path()).string();
            else if (fs::is_regular_file(status))
                node.content = readFile(it->path().string());
            else
                node.content = "<folder>";
            nodes[relative] = node;
        }
        return nodes;
    }

    void write(const std::string& relative, const std::string& content) const { writeText(game + relative, content); }
    static void writeText(const std::string& path, const std::string& content) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }

    mutable Files bulkItem;
    TempGameFolder outer;
    std::string game;
    std::string server;
    std::string home;
    TestHttpServer http;

private:
    CliRun spawn(const std::vector<std::string>& args, const std::string& killOn, int killAt) const {
        return runWatched(args, {"XDG_RUNTIME_DIR=" + home, "XDG_CACHE_HOME=" + home}, killOn,
                          killOn.empty() ? 0 : killAt);
    }
};

}  // namespace nimbrel::test
