// Byte ranges from a real HTTP server: a span or a tail comes back exactly as asked; a server that
// ignores ranges is told apart (the caller then fetches the whole file); a reply that names other
// bytes than the ones asked for, or a missing file, fails the piece instead of splicing foreign
// bytes in. A flaky server's piece is asked for again.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/HttpRangeReader.h"
#include "tests/support/TestHttpServer.h"

namespace nimbrel {
namespace {

using Status = HttpRangeReader::Reply::Status;

TEST(HttpRangeReaderTest, EachPieceIsTheBytesAskedForOrFailsWithoutForeignBytes) {
    test::TestHttpServer http;
    std::string file;
    for (int i = 0; i < 5000; ++i) file += static_cast<char>('a' + i % 23);
    http.setFile("/a.zip", file);
    test::TestHttpServer::Reply flaky;
    flaky.content = file;
    flaky.failFirst = 1;
    http.setReply("/flaky.zip", flaky);
    test::TestHttpServer::Reply elsewhere;  // a 206 that names the file's first bytes, whatever was asked
    elsewhere.status = 206;
    elsewhere.content = file.substr(0, 100);
    elsewhere.headers = {{"Content-Range", "bytes 0-99/5000"}};
    http.setReply("/elsewhere.zip", elsewhere);

    struct Case {
        const char* what;
        HttpRangeReader::Piece piece;
        bool ignoreRanges;
        Status status;
        std::string bytes;
        std::uint64_t offset;
    };
    const std::vector<Case> cases{
        {"a span", {http.url("/a.zip"), 1000, 1099, 0}, false, Status::Bytes, file.substr(1000, 100), 1000},
        {"the last bytes", {http.url("/a.zip"), 0, 0, 300}, false, Status::Bytes, file.substr(4700), 4700},
        {"a tail longer than the file", {http.url("/a.zip"), 0, 0, 9000}, false, Status::Bytes, file, 0},
        {"a server without ranges", {http.url("/a.zip"), 1000, 1099, 0}, true, Status::RangesIgnored, "", 0},
        {"other bytes than asked", {http.url("/elsewhere.zip"), 1000, 1099, 0}, false, Status::Failed, "", 0},
        {"a missing file", {http.url("/none.zip"), 0, 9, 0}, false, Status::Failed, "", 0},
        {"a flaky server", {http.url("/flaky.zip"), 10, 19, 0}, false, Status::Bytes, file.substr(10, 10), 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        http.setIgnoreRanges(c.ignoreRanges);
        std::vector<int> paused;  // the attempts that waited their pause first
        HttpRangeReader reader(2, HttpClient::Timeouts(), nullptr, 3, [&](int attempt) {
            paused.push_back(attempt);
            return std::chrono::milliseconds(1);
        });
        HttpRangeReader::Reply got;
        ASSERT_EQ(reader.fetch({c.piece}, [&](std::size_t, HttpRangeReader::Reply& reply) { got = std::move(reply); }),
                  HttpRangeReader::Outcome::Done);
        EXPECT_EQ(got.status, c.status) << got.reason;
        // A failed piece waits its pause before each new attempt; a 404 is not asked for again.
        const std::vector<int> pauses = c.piece.url == http.url("/flaky.zip")       ? std::vector<int>{2}
                                        : c.piece.url == http.url("/elsewhere.zip") ? std::vector<int>{2, 3}
                                                                                     : std::vector<int>{};
        EXPECT_EQ(paused, pauses);
        if (c.status != Status::Bytes) continue;
        EXPECT_EQ(got.bytes, c.bytes);
        EXPECT_EQ(got.offset, c.offset);
        EXPECT_EQ(got.fileSize, file.size());
    }
}

}  // namespace
}  // namespace nimbrel
