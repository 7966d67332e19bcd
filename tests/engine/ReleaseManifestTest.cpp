// The release manifest's text form: names with blanks, percent signs and Korean letters come
// back as they went in, and every cut-short or hostile text is refused with its reason.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/ReleaseManifest.h"

namespace nimbrel {
namespace {

const std::string kDigest(64, 'a');

ReleaseManifest sample() {
    ReleaseManifest manifest;
    manifest.version = 7;
    manifest.files = {
        {"data/my notes 100%.txt", "", 12, 0600, kDigest, "data_7.zip", "my notes 100%.txt"},
        {"item/\xED\x9A\xA8\xEA\xB3\xBC.dat", "item", 3, 0644, kDigest, "", ""},
        {"run.sh", "", 0, 0755, kDigest, "root_2.zip", "run.sh"},
    };
    manifest.emptyFolders = {{"logs/old runs", 0700}};
    return manifest;
}

TEST(ReleaseManifestTest, WhatIsWrittenIsReadBackWhole) {
    const ReleaseManifest manifest = sample();
    const std::string text = manifest.write();
    std::string error;
    EXPECT_EQ(ReleaseManifest::parse(text, error), manifest) << error;
    EXPECT_NE(
        text.find("loose 12 0600 " + kDigest + " data_7.zip my%20notes%20100%25.txt data/my%20notes%20100%25.txt\n"),
        std::string::npos)
        << text;
    EXPECT_EQ(ReleaseManifest::fileName(7), "manifest_7.txt");
}

TEST(ReleaseManifestTest, CutShortOrHostileTextIsRefused) {
    const std::string text = sample().write();
    const std::string record = "folder 0755 ";
    const std::vector<std::pair<std::string, std::string>> cases{
        {"", "not a release manifest"},
        {text.substr(0, text.size() - 1), "cut short"},
        {text.substr(0, text.rfind("end ")), "cut short"},
        {text.substr(0, text.find("folder")) + text.substr(text.rfind("end ")), "cut short"},
        {"nimbrel-release-manifest 2\n" + text.substr(text.find('\n') + 1), "not a release manifest"},
        {text.substr(0, text.rfind("end ")) + record + "../outside\nend 5\n", "malformed"},
        {text.substr(0, text.rfind("end ")) + record + "/etc\nend 5\n", "malformed"},
        {text.substr(0, text.rfind("end ")) + record + "a%2F..%2F..%2Fb\nend 5\n", "malformed"},
        {text.substr(0, text.rfind("end ")) + record + "a%0\nend 5\n", "malformed"},
        {text.substr(0, text.rfind("end ")) + record + "bad%FF\nend 5\n", "malformed"},
        {text.substr(0, text.rfind("end ")) + record + "run.sh\nend 5\n", "twice"},
        {text.substr(0, text.rfind("end ")) + record + "tab\there\nend 5\n", "malformed"},
        {text.substr(0, text.rfind("end ")) + "folder 9 x\nend 5\n", "malformed"},
        {text.substr(0, text.rfind("end ")) + "packed 1 " + kDigest + " - - item a/b\nend 5\n", "malformed"},
        {text.substr(0, text.rfind("end ")) + "loose 1 0644 " + kDigest + " root_1.zip - x\nend 5\n", "malformed"},
        {text.substr(0, text.rfind("end ")) + "loose 1 0644 " + kDigest.substr(1) + "A - - x\nend 5\n", "malformed"},
        {text.substr(0, text.rfind("end ")) + "loose 99999999999999999999 0644 " + kDigest + " - - x\nend 5\n",
         "malformed"},
    };
    for (const auto& [hostile, reason] : cases) {
        SCOPED_TRACE(hostile);
        std::string error;
        EXPECT_FALSE(ReleaseManifest::parse(hostile, error));
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace nimbrel
