#pragma once
// What a player's launcher can take from a release: where each file of a build travels (its
// folder key and its entry name in that key's archive), where it lives in the game folder
// (loose, or in a folder's pack), and which names the patch list, the deletion list, the packs
// and a Windows game can carry at all.

#include <string>
#include <utility>

namespace nimbrel {

class PublishRules {
public:
    // The folder key and entry name of a build path. Files of map/minimap ride in the map's
    // archive under "minimap/", which the client's map split takes out; deeper folders are
    // keys of their own, written with backslashes as the list expects.
    static std::pair<std::string, std::string> keyAndEntry(const std::string& relative);
    // The folder whose pack holds the file on the player's disk ("item", "map/minimap"), or
    // empty when the file stays loose.
    static std::string packFolderOf(const std::string& relative);
    static std::string windowsPath(std::string path);

    // The name as the client's list, zip reader and a Windows file system see it: code page
    // 949, at most 259 bytes, no character Windows names cannot hold, no blank or dot at its
    // end. In a key a backslash separates subfolders.
    static bool checkName(const std::string& name, const std::string& what, std::string& error, bool isKey = false);
    // A key the patch list reads as a key: none of the list's words in it, no "=".
    static bool checkKey(const std::string& key, std::string& error);
    // A folder spelt like one of the names the client reads as an instruction ("root",
    // "minimap", "update", a "map/minimap" elsewhere) would have its files put or deleted
    // elsewhere.
    static bool checkFolder(const std::string& relative, std::string& error);
    // A file of a new release: its name, its key, and the pack rules where it ends in a pack.
    static bool checkPublishedFile(const std::string& relative, std::uint64_t size, std::string& error);
    // A line of the deletion list (read in pieces of 259 bytes, trailing blanks cut off).
    static bool checkDeletion(const std::string& relative, std::string& error);
};

}  // namespace nimbrel
