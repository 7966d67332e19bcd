#pragma once
// Zips as other tools write them, made with Python's zipfile: names byte for byte (with "\"
// as Windows' zip tool writes them), Unix modes or none, other methods, the encryption flag.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/PatchScenario.h"
#include "tests/support/ChildProcess.h"

namespace nimbrel::test {

struct ZipEntry {
    std::string name;
    std::string content;
    unsigned mode = 0;  // 0: none recorded
    const char* method = "ZIP_DEFLATED";
    bool encryptedFlag = false;  // the flag alone, set afterwards: Python's zipfile cannot encrypt
};

inline std::string pythonBytes(const std::string& text) {
    std::string literal = "b'";
    char hex[5];
    for (unsigned char c : text) {
        std::snprintf(hex, sizeof hex, "\\x%02x", c);
        literal += hex;
    }
    return literal + "'";
}

// A zip as Python's zipfile writes it (the names byte for byte, "\" kept); an entry without a
// mode as a Windows tool writes it.
inline void writePythonZip(const std::string& path, const std::vector<ZipEntry>& entries) {
    std::string script = "import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1], 'w')\nflagged = []\n";
    for (const auto& e : entries) {
        script += "i = zipfile.ZipInfo(" + pythonBytes(e.name) + ".decode('utf-8'))\n";
        script += "i.compress_type = zipfile." + std::string(e.method) + "\n";
        script += e.mode ? "i.create_system = 3\ni.external_attr = " + std::to_string(e.mode) + " << 16\n"
                         : "i.create_system = 0\ni.external_attr = 0x20\n";
        if (e.encryptedFlag) script += "flagged.append(len(z.infolist()))\n";
        script += "z.writestr(i, " + pythonBytes(e.content) + ")\n";
    }
    script +=
        "z.close()\n"
        "data = bytearray(open(sys.argv[1], 'rb').read())\n"
        "for n in flagged:\n"
        "    for sig, at in ((b'PK\\x03\\x04', 6), (b'PK\\x01\\x02', 8)):\n"
        "        i = -1\n"
        "        for _ in range(n + 1): i = data.find(sig, i + 1)\n"
        "        data[i + at] |= 1\n"
        "open(sys.argv[1], 'wb').write(data)\n";
    PatchScenario::writeText(path + ".py", script);
    ASSERT_EQ(ChildProcess::run({"/usr/bin/python3", path + ".py", path}, ChildProcess::collectOutput()).exitCode, 0);
    fs::remove(path + ".py");
}

}  // namespace nimbrel::test
