// The signature file of a patch list: what the parser refuses, and which changes make a parsed
// signature fail to verify. Signatures are made and checked with libsodium; the tests only feed
// them altered texts.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/PatchSignature.h"

namespace nimbrel {
namespace {

const std::string kList = "CUR_VERSION = 1\r\n[VERSION = 1]\r\nitem=item_1.zip\r\n";
const std::vector<ManifestFile> kFiles{
    PatchSignature::describeBytes("archive", "item_1.zip"),
    PatchSignature::describeBytes("deletions", "delete 1.txt"),
};

const SignedRelease kRelease{"plus_real", 1765000000, 1767000000};

struct Signed {
    PatchSignature::KeyPair key = PatchSignature::generateKeyPair();
    std::string text = PatchSignature::sign(kList, "version.ini", kFiles, kRelease, {key.secretKey}).value();
};

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}

TEST(PatchSignatureTest, ASignedListVerifiesAndNamesEveryFile) {
    Signed s;
    std::optional<PatchSignature> parsed = PatchSignature::parse(s.text);
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(parsed->verify(kList, s.key.publicKey));
    EXPECT_EQ(parsed->files(), kFiles);
    EXPECT_EQ(parsed->release().channel, "plus_real");
    EXPECT_EQ(parsed->release().serial, kRelease.serial);
    EXPECT_EQ(parsed->release().expires, kRelease.expires);
    ASSERT_NE(parsed->find("delete 1.txt"), nullptr);
    EXPECT_EQ(parsed->find("delete 1.txt")->length, 9u);
    EXPECT_EQ(parsed->find("DELETE 1.txt"), nullptr);
}

TEST(PatchSignatureTest, MalformedTextsAreRefused) {
    Signed s;
    const std::string digest = kFiles[0].sha256;
    const std::vector<std::pair<const char*, std::string>> cases{
        {"the header without channel, serial and expiry", replaced(s.text, "signature 2", "signature 1")},
        {"no channel", replaced(s.text, "channel plus_real\n", "")},
        {"no serial", replaced(s.text, "serial 1765000000\n", "")},
        {"no expiry", replaced(s.text, "expires 1767000000\n", "")},
        {"a negative expiry", replaced(s.text, "expires 1", "expires -1")},
        {"a signature without its key id",
         replaced(s.text, "signature " + PatchSignature::keyId(s.key.publicKey) + " ", "signature ")},
        {"no final line end", s.text.substr(0, s.text.size() - 1)},
        {"CR LF line ends", replaced(s.text, "\nfile", "\r\nfile")},
        {"a short signature", replaced(s.text, "signature ", "signature AAAA")},
        {"upper-case digest", replaced(s.text, digest, std::string(64, 'A'))},
        {"a length with a sign", replaced(s.text, "file 7 ", "file +7 ")},
        {"a line without a name", replaced(s.text, " item_1.zip\n", "\n")},
        {"one name twice", s.text + "file 1 " + digest + " item_1.zip\n"},
        {"an unknown line", s.text + "comment hello\n"},
        {"an empty text", ""},
    };
    for (const auto& [name, text] : cases) EXPECT_FALSE(PatchSignature::parse(text)) << name;
    // No cut-short signature file is ever taken for a good one.
    for (std::size_t size = 0; size < s.text.size(); ++size) {
        std::optional<PatchSignature> parsed = PatchSignature::parse(s.text.substr(0, size));
        EXPECT_FALSE(parsed && parsed->verify(kList, s.key.publicKey)) << size;
    }
}

TEST(PatchSignatureTest, AnyChangeToListManifestOrKeyFailsVerification) {
    Signed s;
    const std::string otherKey = PatchSignature::generateKeyPair().publicKey;
    const std::vector<std::tuple<const char*, std::string, std::string, std::string>> cases{
        {"a changed list", replaced(kList, "item_1", "item_2"), s.text, s.key.publicKey},
        {"a list with a line more", kList + "root=root_1.zip\r\n", s.text, s.key.publicKey},
        {"a changed manifest length", kList, replaced(s.text, "file 7 ", "file 8 "), s.key.publicKey},
        {"a manifest line more", kList, s.text + "file 1 " + kFiles[0].sha256 + " extra.zip\n", s.key.publicKey},
        {"another channel", kList, replaced(s.text, "channel plus_real", "channel plus_test"), s.key.publicKey},
        {"a higher serial", kList, replaced(s.text, "serial 1765", "serial 2765"), s.key.publicKey},
        {"a later expiry", kList, replaced(s.text, "expires 1767", "expires 2767"), s.key.publicKey},
        {"another key", kList, s.text, otherKey},
    };
    for (const auto& [name, list, text, key] : cases) {
        std::optional<PatchSignature> parsed = PatchSignature::parse(text);
        ASSERT_TRUE(parsed) << name;
        EXPECT_FALSE(parsed->verify(list, key)) << name;
    }
}

TEST(PatchSignatureTest, AListSignedByTwoKeysIsTakenByALauncherThatKnowsEitherOfThem) {
    const PatchSignature::KeyPair oldKey = PatchSignature::generateKeyPair(),
                                  newKey = PatchSignature::generateKeyPair();
    const std::string stranger = PatchSignature::generateKeyPair().publicKey;
    const std::string text =
        PatchSignature::sign(kList, "version.ini", kFiles, kRelease, {oldKey.secretKey, newKey.secretKey}).value();
    using Check = PatchSignature::Check;
    const std::vector<std::tuple<std::string, std::string, Check>> cases{
        {"the old key", oldKey.publicKey, Check::Good},
        {"the new key", newKey.publicKey, Check::Good},
        {"a stranger, then the new key", stranger + ", " + newKey.publicKey, Check::Good},
        {"a stranger alone", stranger, Check::UnknownKey},
        {"no key that is a key", "not base64", Check::UnknownKey},
    };
    std::optional<PatchSignature> parsed = PatchSignature::parse(text);
    ASSERT_TRUE(parsed);
    for (const auto& [name, keys, expected] : cases) EXPECT_EQ(parsed->check(kList, keys), expected) << name;
    // A known key whose signature does not fit is a forgery, not a key to update the launcher for.
    EXPECT_EQ(parsed->check(kList + "x", oldKey.publicKey), Check::Bad);
}

}  // namespace
}  // namespace nimbrel
