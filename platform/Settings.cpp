#include "platform/Settings.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "platform/AtomicFile.h"
#include "platform/FileDescriptor.h"
#include "platform/FileSystem.h"
#include "platform/XdgPaths.h"

namespace nimbrel {

namespace {

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

std::string Settings::defaultPath() { return XdgPaths::configFolder() + "settings.ini"; }

Settings Settings::parse(const std::string& text) {
    Settings settings;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::string content = trimmed(line);
        const auto equals = content.find('=');
        if (content.empty() || content[0] == '#' || content[0] == ';' || equals == std::string::npos ||
            trimmed(content.substr(0, equals)).empty()) {
            settings.lines_.emplace_back(std::string(), line);
            continue;
        }
        settings.lines_.emplace_back(trimmed(content.substr(0, equals)), trimmed(content.substr(equals + 1)));
    }
    return settings;
}

std::optional<Settings> Settings::load(const std::string& path, std::string& error) {
    FileDescriptor fd = FileDescriptor::openForReading(path);
    if (!fd.isOpen()) {
        if (errno == ENOENT) return Settings();
        error = "cannot read " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = "cannot read " + path + ": " + std::strerror(errno);
            return std::nullopt;
        }
        if (got == 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return parse(text);
}

std::string Settings::value(const std::string& key) const {
    for (auto line = lines_.rbegin(); line != lines_.rend(); ++line)
        if (!line->first.empty() && line->first == key) return line->second;
    return {};
}

void Settings::set(const std::string& key, const std::string& value) {
    for (auto line = lines_.rbegin(); line != lines_.rend(); ++line)
        if (line->first == key) {
            line->second = value;
            return;
        }
    lines_.emplace_back(key, value);
}

std::string Settings::text() const {
    std::string text;
    for (const auto& [key, value] : lines_) text += (key.empty() ? value : key + "=" + value) + "\n";
    return text;
}

bool Settings::save(const std::string& path, std::string& error) const {
    const std::string folder = FileSystem::folderOf(path);
    if (!folder.empty() && !FileSystem::createDirectories(folder)) {
        error = "cannot create " + folder + ": " + std::strerror(errno);
        return false;
    }
    const std::string content = text();
    AtomicFile file;
    if (!file.open(path) || !file.write(content.data(), content.size()) || !file.commit()) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace nimbrel
