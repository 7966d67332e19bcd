// The HTTP client against a real server on 127.0.0.1: what counts as a complete body, what
// ends a transfer, and what the requests carry.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <thread>

#include "platform/HttpClient.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempGameFolder.h"
#include "tests/support/TestHttpServer.h"

namespace nimbrel {
namespace {

using test::TempGameFolder;
using test::TestHttpServer;
using Delivery = TestHttpServer::Delivery;
using Outcome = HttpClient::Outcome;

// The two ways the product fetches: one GET at a time (the install check) and many together
// (the downloader). Every behaviour below holds for both.
enum class Entry { One, Together };
constexpr Entry kEntries[] = {Entry::One, Entry::Together};
const char* nameOf(Entry entry) { return entry == Entry::One ? "one at a time" : "together"; }

HttpClient::Result perform(Entry entry, const HttpClient::Request& request, const HttpClient::Handlers& handlers,
                           const HttpClient::Timeouts& timeouts = {}) {
    if (entry == Entry::One) {
        HttpClient client;
        client.setTimeouts(timeouts);
        return client.get(request, handlers);
    }
    HttpTransfers transfers;
    const int id = transfers.start(request, handlers, timeouts);
    for (;;)
        for (auto& [ended, result] : transfers.run(100))
            if (ended == id) return result;
}

HttpClient::Result fetch(Entry entry, const std::string& url, std::string* body = nullptr,
                         const HttpClient::Timeouts& timeouts = {}) {
    HttpClient::Request request;
    request.url = url;
    HttpClient::Handlers handlers;
    handlers.onData = [body](const char* data, std::size_t size) {
        if (body) body->append(data, size);
        return true;
    };
    return perform(entry, request, handlers, timeouts);
}

struct OutcomeCase {
    const char* what;
    TestHttpServer::Reply reply;
    Outcome expected;
};

TEST(HttpClientTest, OnlyAWholeTwoHundredBodyIsComplete) {
    auto reply = [](int status, Delivery delivery, std::size_t size, std::size_t cut = 0) {
        TestHttpServer::Reply r;
        r.status = status;
        r.delivery = delivery;
        r.content = std::string(size, 'q');
        r.truncateAt = cut;
        return r;
    };
    const OutcomeCase cases[] = {
        {"plain", reply(200, Delivery::Normal, 2048), Outcome::Complete},
        {"chunked", reply(200, Delivery::Chunked, 70000), Outcome::Complete},
        {"until close", reply(200, Delivery::NoContentLength, 70000), Outcome::Complete},
        {"cut in the middle", reply(200, Delivery::Truncated, 70000, 1000), Outcome::Failed},
        {"cut before the body", reply(200, Delivery::Truncated, 10, 0), Outcome::Failed},
        {"cut one byte short", reply(200, Delivery::Truncated, 4096, 4095), Outcome::Failed},
        {"not found", reply(404, Delivery::Normal, 20), Outcome::HttpError},
        {"server error", reply(500, Delivery::Normal, 0), Outcome::HttpError},
        {"no content", reply(204, Delivery::Normal, 0), Outcome::Complete},
    };
    TestHttpServer server;
    for (Entry entry : kEntries)
        for (const auto& c : cases) {
            server.setReply("/f", c.reply);
            std::string body;
            HttpClient::Result result = fetch(entry, server.url("/f"), &body);
            EXPECT_EQ(result.outcome, c.expected) << nameOf(entry) << ", " << c.what << ": " << result.error;
            if (c.expected == Outcome::Complete) {
                EXPECT_EQ(body, c.reply.content) << nameOf(entry) << ", " << c.what;
            }
            if (c.expected == Outcome::HttpError) {
                // An error page is never taken for the file.
                EXPECT_TRUE(body.empty()) << nameOf(entry) << ", " << c.what;
                EXPECT_EQ(result.response.status, c.reply.status) << nameOf(entry) << ", " << c.what;
            }
        }
}

TEST(HttpClientTest, HeadIsKnownBeforeTheFirstBodyByte) {
    TestHttpServer server;
    server.setFile("/f", std::string(100000, 'z'));
    HttpClient::Request request;
    request.url = server.url("/f");
    HttpClient::Handlers handlers;
    std::vector<std::string> events;
    handlers.onResponse = [&](const HttpClient::Response& response) {
        events.push_back("head " + std::to_string(response.status) + " " +
                         std::to_string(response.contentLength.value_or(0)) +
                         (response.etag.empty() ? " no-etag" : " etag"));
        return true;
    };
    handlers.onData = [&](const char*, std::size_t) {
        if (events.size() == 1) events.push_back("data");
        return true;
    };
    for (Entry entry : kEntries) {
        events.clear();
        ASSERT_TRUE(perform(entry, request, handlers).complete()) << nameOf(entry);
        EXPECT_EQ(events, (std::vector<std::string>{"head 200 100000 etag", "data"})) << nameOf(entry);
    }
}

TEST(HttpClientTest, RefusingTheHeadOrTheDataFailsTheTransfer) {
    TestHttpServer server;
    server.setFile("/f", std::string(5000, 'z'));
    HttpClient::Request request;
    request.url = server.url("/f");
    HttpClient::Handlers refuseHead;
    refuseHead.onResponse = [](const HttpClient::Response&) { return false; };
    HttpClient::Handlers refuseData;
    refuseData.onData = [](const char*, std::size_t) { return false; };
    for (Entry entry : kEntries) {
        EXPECT_EQ(perform(entry, request, refuseHead).outcome, Outcome::Failed) << nameOf(entry);
        EXPECT_EQ(perform(entry, request, refuseData).outcome, Outcome::Failed) << nameOf(entry);
    }
}

TEST(HttpClientTest, RedirectsAreFollowedToTheFile) {
    TestHttpServer server;
    server.setFile("/real", "moved content");
    TestHttpServer::Reply redirect;
    redirect.status = 302;
    redirect.headers = {{"Location", "/real"}};
    server.setReply("/old", redirect);
    for (Entry entry : kEntries) {
        std::string body;
        EXPECT_TRUE(fetch(entry, server.url("/old"), &body).complete()) << nameOf(entry);
        EXPECT_EQ(body, "moved content") << nameOf(entry);
    }
}

TEST(HttpClientTest, ConditionalRequestGetsNotModifiedAndNoBody) {
    TestHttpServer server;
    server.setFile("/f", "cached");
    HttpClient::Result first = fetch(Entry::One, server.url("/f"));
    ASSERT_TRUE(first.complete());
    ASSERT_FALSE(first.response.etag.empty());
    ASSERT_FALSE(first.response.lastModified.empty());

    HttpClient::Request request;
    request.url = server.url("/f");
    request.ifNoneMatch = first.response.etag;
    std::string body;
    HttpClient::Handlers handlers;
    handlers.onData = [&](const char* d, std::size_t n) { return body.append(d, n), true; };
    for (Entry entry : kEntries) {
        request.ifNoneMatch = first.response.etag;
        request.ifModifiedSince.clear();
        EXPECT_EQ(perform(entry, request, handlers).outcome, Outcome::NotModified) << nameOf(entry);
        EXPECT_TRUE(body.empty()) << nameOf(entry);

        request.ifNoneMatch.clear();
        request.ifModifiedSince = first.response.lastModified;
        EXPECT_EQ(perform(entry, request, handlers).outcome, Outcome::NotModified) << nameOf(entry);
    }
}

TEST(HttpClientTest, ReloadAsksCachesOnTheWayForTheOrigin) {
    TestHttpServer server;
    server.setFile("/f", "x");
    HttpClient::Request request;
    request.url = server.url("/f");
    request.reload = true;
    ASSERT_TRUE(perform(Entry::Together, request, {}).complete());
    auto seen = server.requests("/f");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].cacheControl, "no-cache");
    EXPECT_EQ(seen[0].pragma, "no-cache");
}

// A certificate nobody vouches for must end the transfer: the launcher trusts what it fetches.
TEST(HttpClientTest, HttpsServerWithAnUntrustedCertificateIsRefused) {
    TempGameFolder folder;
    const std::string cert = folder.file("cert.pem");
    const std::string key = folder.file("key.pem");
    const test::ProcessOutput made = test::ChildProcess::run(
        {"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1",
         "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert},
        test::ChildProcess::collectOutput());
    if (made.exitCode != 0) GTEST_SKIP() << "openssl cannot make a test certificate";
    TestHttpServer server(cert, key);
    ASSERT_GT(server.port(), 0);
    server.setFile("/f", "secret");
    ASSERT_EQ(server.baseUrl().rfind("https://", 0), 0u);

    for (Entry entry : kEntries) {
        std::string body;
        HttpClient::Result result = fetch(entry, server.url("/f"), &body);
        EXPECT_EQ(result.outcome, Outcome::Failed) << nameOf(entry);
        EXPECT_NE(result.error.find("certificate"), std::string::npos) << nameOf(entry) << ": " << result.error;
        EXPECT_TRUE(body.empty()) << nameOf(entry);
    }
    EXPECT_EQ(server.requestCount("/f"), 0);
}

TEST(HttpClientTest, UnreachableServerFailsInsteadOfHanging) {
    int port = 0;
    {
        TestHttpServer gone;
        port = gone.port();
    }
    for (Entry entry : kEntries) {
        HttpClient::Result result = fetch(entry, "http://127.0.0.1:" + std::to_string(port) + "/f");
        EXPECT_EQ(result.outcome, Outcome::Failed) << nameOf(entry);
        EXPECT_FALSE(result.error.empty()) << nameOf(entry);
    }
}

TEST(HttpClientTest, ServerThatGoesQuietIsDroppedByTheLowSpeedLimit) {
    TestHttpServer server;
    TestHttpServer::Reply reply;
    reply.content = std::string(100000, 's');
    reply.delivery = Delivery::Slow;
    reply.slowChunk = 1;
    reply.slowInterval = std::chrono::milliseconds(1000);
    server.setReply("/stall", reply);
    for (Entry entry : kEntries)  // production values are far more patient
        EXPECT_EQ(fetch(entry, server.url("/stall"), nullptr, {5, 100, 2}).outcome, Outcome::Failed) << nameOf(entry);
}

// The worst silent server: the connection is taken (by the kernel's backlog) and nothing ever
// comes back, not even a status line.
TEST(HttpClientTest, ServerThatNeverAnswersIsDroppedByTheLowSpeedLimit) {
    struct Socket {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ~Socket() {
            if (fd >= 0) ::close(fd);
        }
    } socket;
    const int listener = socket.fd;
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);

    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/f";
    for (Entry entry : kEntries)
        EXPECT_EQ(fetch(entry, url, nullptr, {5, 100, 2}).outcome, Outcome::Failed) << nameOf(entry);
}

// The stop flag is raised once the first body byte is in; the next one is seconds away.
TEST(HttpClientTest, StopFlagEndsAStalledTransfer) {
    TestHttpServer server;
    TestHttpServer::Reply reply;
    reply.content = std::string(100000, 's');
    reply.delivery = Delivery::Slow;
    reply.slowChunk = 1;
    reply.slowInterval = std::chrono::milliseconds(5000);
    server.setReply("/stall", reply);
    for (Entry entry : kEntries) {
        std::atomic<int> stop{0};
        HttpClient::Request request;
        request.url = server.url("/stall");
        request.stopFlag = &stop;
        HttpClient::Handlers handlers;
        handlers.onData = [&stop](const char*, std::size_t) { return stop = 1, true; };
        EXPECT_EQ(perform(entry, request, handlers).outcome, Outcome::Stopped) << nameOf(entry);
    }
}

TEST(HttpClientTest, TransfersRunTogetherAndEachEndsUnderItsOwnId) {
    TestHttpServer server;
    server.setFile("/a", std::string(300000, 'a'));
    server.setFile("/b", "small b");
    HttpTransfers transfers;
    std::map<std::string, std::string> bodies;
    std::map<int, std::string> pathOf;
    for (const char* path : {"/a", "/missing", "/b"}) {
        HttpClient::Request request;
        request.url = server.url(path);
        HttpClient::Handlers handlers;
        handlers.onData = [&bodies, path](const char* data, std::size_t size) {
            return bodies[path].append(data, size), true;
        };
        pathOf[transfers.start(request, handlers)] = path;
    }
    ASSERT_EQ(pathOf.size(), 3u);
    std::map<std::string, Outcome> ended;
    while (ended.size() < pathOf.size())
        for (auto& [id, result] : transfers.run(100)) ended[pathOf.at(id)] = result.outcome;
    EXPECT_EQ(transfers.running(), 0u);
    EXPECT_EQ(ended, (std::map<std::string, Outcome>{
                         {"/a", Outcome::Complete}, {"/b", Outcome::Complete}, {"/missing", Outcome::HttpError}}));
    EXPECT_EQ(bodies, (std::map<std::string, std::string>{{"/a", std::string(300000, 'a')}, {"/b", "small b"}}));
}

TEST(HttpClientTest, ClientsOnSeveralThreadsDoNotDisturbEachOther) {
    TestHttpServer server;
    for (int i = 0; i < 4; ++i)
        server.setFile("/f" + std::to_string(i), std::string(200000 + i, static_cast<char>('a' + i)));
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&, i] {
            for (int round = 0; round < 5; ++round) {
                std::string body;
                if (fetch(Entry::One, server.url("/f" + std::to_string(i)), &body).complete() &&
                    body == std::string(200000 + i, static_cast<char>('a' + i)))
                    ++good;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(good, 20);
}

}  // namespace
}  // namespace nimbrel
