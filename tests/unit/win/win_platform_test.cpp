// The Windows back ends of the platform: the single-instance marker (a
// named mutex and a pipe) and the HTTP download through the internet calls,
// against a server on the loopback address, and the update check that
// uses it.
// The program's headers first: the system's define macros (IDYES, ...)
// that would clash with the program's own names.
#include "platform/http_get.h"
#include "platform/single_instance.h"
#include "settings/update_check.h"
// winsock2.h before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>
// The rest.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace {

// Counts the toggles asked of an instance and lets a test wait for them.
struct Toggles {
    void add() {
        std::lock_guard lk(mu);
        ++count;
        cv.notify_all();
    }
    bool wait_for(int n) {
        std::unique_lock lk(mu);
        return cv.wait_for(lk, std::chrono::seconds(20), [&] { return count >= n; });
    }
    std::mutex mu;
    std::condition_variable cv;
    int count = 0;
};

TEST(WinSingleInstance, ASecondStartTogglesTheRunningOneAndLeaves) {
    const std::string name = "QuorTest-" + std::to_string(GetCurrentProcessId());
    Toggles toggles;
    auto running = quor::SingleInstance::acquire(name, [&] { toggles.add(); });
    ASSERT_NE(running, nullptr);
    EXPECT_EQ(quor::SingleInstance::acquire(name, [] {}), nullptr);
    ASSERT_TRUE(toggles.wait_for(1));
    EXPECT_EQ(quor::SingleInstance::acquire(name, [] {}), nullptr);
    ASSERT_TRUE(toggles.wait_for(2));
    // Another marker is another program.
    EXPECT_NE(quor::SingleInstance::acquire(name + "-other", [] {}), nullptr);
    // Once the running instance ends, the next start runs.
    running.reset();
    EXPECT_NE(quor::SingleInstance::acquire(name, [] {}), nullptr);
    EXPECT_EQ(toggles.count, 2);
}

// A one-connection HTTP server on a free loopback port: it answers the
// first request with ANSWER and keeps the request's text.
class OneShotServer {
  public:
    explicit OneShotServer(std::string answer) : answer_(std::move(answer)) {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
        int len = sizeof(sa);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len);
        port = ntohs(sa.sin_port);
        listen(listener_, 4);
        thread_ = std::thread([this] { serve(); });
    }
    ~OneShotServer() {
        closesocket(listener_);
        thread_.join();
        WSACleanup();
    }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }
    int port = 0;
    std::string request;

  private:
    void serve() {
        const SOCKET c = accept(listener_, nullptr, nullptr);
        if (c == INVALID_SOCKET) return;
        char buf[2048];
        while (request.find("\r\n\r\n") == std::string::npos) {
            const int n = recv(c, buf, sizeof(buf), 0);
            if (n <= 0) break;
            request.append(buf, size_t(n));
        }
        send(c, answer_.data(), int(answer_.size()), 0);
        shutdown(c, SD_SEND);
        closesocket(c);
    }
    std::string answer_;
    SOCKET listener_;
    std::thread thread_;
};

const quor::HttpGetOptions OPTIONS{"QuorTest/1", 2000, 2, 10000};

int fetch(const std::string& url, std::string* body, std::string* why) {
    return quor::http_get(
        url, OPTIONS,
        [body](const char* data, size_t size) {
            body->append(data, size);
            return true;
        },
        why);
}

TEST(WinHttpGet, TheBodyOfAnyStatusComesFromTheServerAndNoRedirectIsFollowed) {
    const std::string body(30000, 'v');  // more than one block
    OneShotServer server("HTTP/1.0 200 OK\r\nContent-Length: 30000\r\n\r\n" + body);
    std::string got, why;
    ASSERT_EQ(fetch(server.url("/Quor/upgrade.xml"), &got, &why), 0) << why;
    EXPECT_EQ(got, body);
    EXPECT_EQ(server.request.rfind("GET /Quor/upgrade.xml HTTP/1.1\r\n", 0), 0u);

    OneShotServer moved(
        "HTTP/1.0 302 Found\r\nLocation: http://127.0.0.1:1/elsewhere\r\n"
        "Content-Length: 5\r\n\r\nmoved");
    got.clear();
    ASSERT_EQ(fetch(moved.url("/Quor/upgrade.xml"), &got, &why), 0) << why;
    EXPECT_EQ(got, "moved");
}

TEST(WinHttpGet, NoServerOrAnotherSchemeIsAFailure) {
    std::string got, why;
    EXPECT_EQ(fetch("http://127.0.0.1:1/Quor/upgrade.xml", &got, &why), -1);
    EXPECT_FALSE(why.empty());
    EXPECT_EQ(fetch("ftp://127.0.0.1/x", &got, &why), -1);
}

TEST(WinUpdateCheck, TheOfferComesThroughAndTheLocalCopyIsRemoved) {
    const std::string file =
        "<version>9.0.0.0</version><setup>http://example.invalid/setup.exe</setup>";
    OneShotServer server("HTTP/1.0 200 OK\r\n\r\n" + file);
    char base[MAX_PATH + 1];
    GetTempPathA(sizeof(base), base);
    const std::string dir = std::string(base) + "quor update " +
                            std::to_string(GetCurrentProcessId()) + "-" +
                            std::to_string(GetTickCount64()) + "\\";
    ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr));
    std::string opened;
    UpdateUi ui;
    ui.ask_yes_no = [](const std::string&, const std::string&) { return IDYES; };
    ui.open = [&opened](const std::string& address) { opened = address; };
    EXPECT_EQ(run_update_check(server.url("/Quor/upgrade.xml"), dir, ui), 0);
    EXPECT_EQ(opened, "http://example.invalid/setup.exe");
    // The folder is empty again, so it can be removed.
    EXPECT_TRUE(RemoveDirectoryA(dir.c_str()));
}

}  // namespace
