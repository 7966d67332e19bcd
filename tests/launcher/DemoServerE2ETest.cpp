// The demo's patch server, run as the real program: it must serve its folder and nothing
// outside it, answer folders with their page, and let the launcher's download cache revalidate.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/TempGameFolder.h"

using nimbrel::test::TempGameFolder;
using namespace std::chrono_literals;

#ifdef DEMO_SERVER_PATH

namespace {

class DemoServer {
public:
    explicit DemoServer(const std::string& folder) {
        nimbrel::test::ChildProcess::Options options;
        options.outputFolder = logFolder_.path();
        process_ = std::make_unique<nimbrel::test::ChildProcess>(
            std::vector<std::string>{DEMO_SERVER_PATH, "--port", "0", folder}, options);
        // The first line names the port it bound; a server that ends without it has failed.
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (port_ == 0 && std::chrono::steady_clock::now() < deadline) {
            const bool ended = !process_->running();
            std::string text = logFolder_.read("out.txt");
            auto colon = text.rfind(':', text.find('\n'));
            if (text.find('\n') != std::string::npos && colon != std::string::npos)
                port_ = std::stoi(text.substr(colon + 1));
            else if (ended)
                break;
            else
                std::this_thread::sleep_for(25ms);
        }
    }
    ~DemoServer() { process_->signal(SIGTERM); }
    int port() const { return port_; }

    // One raw request, so the path reaches the server exactly as written.
    std::string get(const std::string& path, const std::string& extraHeaders = std::string()) const {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port_));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::string reply;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            std::string request =
                "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + extraHeaders + "\r\n";
            if (::write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
                char buffer[4096];
                for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) reply.append(buffer, n);
            }
        }
        ::close(fd);
        return reply;
    }

private:
    TempGameFolder logFolder_;
    std::unique_ptr<nimbrel::test::ChildProcess> process_;
    int port_ = 0;
};

std::string statusOf(const std::string& reply) { return reply.substr(0, reply.find("\r\n")); }
std::string bodyOf(const std::string& reply) {
    auto end = reply.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : reply.substr(end + 4);
}
std::string headerOf(const std::string& reply, const std::string& name) {
    auto at = reply.find("\r\n" + name + ": ");
    if (at == std::string::npos) return std::string();
    at += name.size() + 4;
    return reply.substr(at, reply.find("\r\n", at) - at);
}

}  // namespace

TEST(DemoServer, ServesItsFolderAndNothingOutsideIt) {
    TempGameFolder root;
    root.write("secret.txt", "outside");
    root.write("public/quorlanpatch/plus_real/version.ini", "CUR_VERSION = 3\r\n");
    DemoServer server(root.file("public"));
    ASSERT_GT(server.port(), 0);

    std::string reply = server.get("/quorlanpatch/plus_real/version.ini");
    EXPECT_EQ(statusOf(reply), "HTTP/1.1 200 OK");
    EXPECT_EQ(bodyOf(reply), "CUR_VERSION = 3\r\n");

    for (const char* path : {"/../secret.txt", "/%2e%2e/secret.txt", "/quorlanpatch/../../secret.txt",
                             "/..%2fsecret.txt", "/quorlanpatch/plus_real/missing.zip"}) {
        reply = server.get(path);
        EXPECT_EQ(bodyOf(reply).find("outside"), std::string::npos) << path;
        EXPECT_NE(statusOf(reply).find(" 40"), std::string::npos) << path << ": " << statusOf(reply);
    }
}

TEST(DemoServer, FoldersAnswerWithTheirPageAfterARedirect) {
    TempGameFolder root;
    root.write("news/index.html", "<h1>news</h1>");
    DemoServer server(root.path());
    ASSERT_GT(server.port(), 0);

    std::string reply = server.get("/news");
    EXPECT_NE(statusOf(reply).find(" 30"), std::string::npos) << statusOf(reply);
    EXPECT_NE(headerOf(reply, "Location").find("/news/"), std::string::npos);
    EXPECT_EQ(bodyOf(server.get("/news/")), "<h1>news</h1>");
}

TEST(DemoServer, UnchangedFileRevalidatesWithoutABody) {
    TempGameFolder root;
    root.write("root_1.zip", std::string(5000, 'z'));
    DemoServer server(root.path());
    ASSERT_GT(server.port(), 0);

    std::string first = server.get("/root_1.zip");
    ASSERT_EQ(bodyOf(first).size(), 5000u);
    std::string etag = headerOf(first, "ETag");
    std::string lastModified = headerOf(first, "Last-Modified");
    ASSERT_FALSE(etag.empty());
    ASSERT_FALSE(lastModified.empty());

    std::string byTag = server.get("/root_1.zip", "If-None-Match: " + etag + "\r\n");
    EXPECT_EQ(statusOf(byTag), "HTTP/1.1 304 Not Modified");
    EXPECT_TRUE(bodyOf(byTag).empty());
    std::string byDate = server.get("/root_1.zip", "If-Modified-Since: " + lastModified + "\r\n");
    EXPECT_EQ(statusOf(byDate), "HTTP/1.1 304 Not Modified");
    std::string stale = server.get("/root_1.zip", "If-None-Match: \"other\"\r\n");
    EXPECT_EQ(bodyOf(stale).size(), 5000u);
}

#endif
