// The update check against an HTTP server on 127.0.0.1:8080, in a network
// namespace of its own with only loopback: offers, silence, and servers that
// never answer.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/ids.h"
#include "base/strings.h"
#include "settings/update_check.h"
#include "support/controller_fixture.h"
#include "unit/soft_dev_test_support.h"
#include "unit/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

int listen_on_8080(int backlog) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(UPDATE_PORT);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || listen(fd, backlog) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// An HTTP server that answers every request with one canned response, or
// accepts connections and never answers.
class HttpStub {
  public:
    explicit HttpStub(std::string response, bool answer = true)
        : response_(std::move(response)), answer_(answer), listener_(listen_on_8080(8)) {
        if (listener_ >= 0) thread_ = std::thread([this] { Run(); });
    }
    ~HttpStub() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        for (int fd : held_) close(fd);
        if (listener_ >= 0) close(listener_);
    }
    bool ok() const { return listener_ >= 0; }
    std::string FirstRequest() {
        std::lock_guard lk(mu_);
        return requests_.empty() ? std::string() : requests_[0];
    }
    int Connections() const { return connections_; }

  private:
    void Run() {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            ++connections_;
            if (!answer_) {
                held_.push_back(fd);
                continue;
            }
            std::string request;
            char buf[2048];
            while (request.find("\r\n\r\n") == std::string::npos) {
                const ssize_t n = recv(fd, buf, sizeof(buf), 0);
                if (n <= 0) break;
                request.append(buf, size_t(n));
            }
            {
                std::lock_guard lk(mu_);
                requests_.push_back(request);
            }
            send(fd, response_.data(), response_.size(), MSG_NOSIGNAL);
            close(fd);
        }
    }

    std::string response_;
    bool answer_;
    int listener_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::vector<int> held_;
    std::mutex mu_;
    std::vector<std::string> requests_;
};

std::string http(const std::string& status, const std::string& body) {
    return "HTTP/1.1 " + status +
           "\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

std::string upgrade_xml(const std::string& version_element, const std::string& setup_element) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<upgrade>\n  " + version_element + "\n  " +
           setup_element + "\n</upgrade>\n";
}

const std::string SETUP = "https://downloads.example.test/Quor/Setup 2.1.exe?lang=en&x=%20";

class UpdateCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        set_language(UiLanguage::English);
        setenv("QUOR_UPDATE_HOST", "127.0.0.1", 1);
        setenv("TMPDIR", tmp.path.c_str(), 1);
        for (const char* v : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) unsetenv(v);
    }
    void TearDown() override {
        unsetenv("QUOR_UPDATE_HOST");
        unsetenv("TMPDIR");
    }

    // Runs the check as start-up does, answering the question with ANSWER.
    int Check(int answer = quor::IDYES) {
        UpdateUi ui;
        ui.ask_yes_no = [this, answer](const std::string& text, const std::string& caption) {
            questions.push_back(caption + ": " + text);
            return answer;
        };
        ui.open = [this](const std::string& address) { opened.push_back(address); };
        const auto begin = Clock::now();
        const int result = run_update_check(update_url(), update_file_dir(), ui);
        elapsed = Clock::now() - begin;
        return result;
    }
    // True when a server answering with RESPONSE leads to a question.
    bool Offers(const std::string& response) {
        HttpStub server(response);
        EXPECT_TRUE(server.ok());
        questions.clear();
        opened.clear();
        Check();
        return !questions.empty();
    }

    TempDir tmp;
    std::vector<std::string> questions, opened;
    Clock::duration elapsed{};
};

TEST_F(UpdateCheck, ANewerVersionIsOfferedAndItsInstallerOpenedUnchanged) {
    HttpStub server(
        http("200 OK", upgrade_xml("<version>2.0.14.1</version>", "<setup>" + SETUP + "</setup>")));
    ASSERT_TRUE(server.ok());
    EXPECT_EQ(Check(quor::IDYES), 0);
    EXPECT_EQ(questions,
              std::vector<std::string>{
                  "Update Info: A new version 2.0.14.1 was found. Do you want to update?"});
    EXPECT_EQ(opened, std::vector<std::string>{SETUP});
    const std::string request = server.FirstRequest();
    EXPECT_EQ(request.rfind("GET /Quor/upgrade.xml HTTP/1.1\r\n", 0), 0u) << request;
    EXPECT_NE(request.find("Host: 127.0.0.1:8080\r\n"), std::string::npos) << request;
    // The local copy is gone again.
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path));
}

TEST_F(UpdateCheck, AnsweringNoOpensNothing) {
    HttpStub server(
        http("200 OK", upgrade_xml("<version>2.1.0.0</version>", "<setup>" + SETUP + "</setup>")));
    ASSERT_TRUE(server.ok());
    EXPECT_EQ(Check(quor::IDNO), -1);
    EXPECT_EQ(questions.size(), 1u);
    EXPECT_TRUE(opened.empty());
}

TEST_F(UpdateCheck, WhichFilesLeadToAQuestion) {
    const std::string setup = "<setup>" + SETUP + "</setup>";
    EXPECT_TRUE(Offers(http("200 OK", upgrade_xml("<version>2.0.14.1</version>", setup))));
    EXPECT_TRUE(Offers(http("200 OK", upgrade_xml("<version>2.1.0.0</version>", setup))));
    EXPECT_TRUE(Offers(
        http("200 OK", upgrade_xml("<version channel=\"stable\">2.1.0.0</version>", setup))));
    EXPECT_EQ(questions,
              std::vector<std::string>{
                  "Update Info: A new version 2.1.0.0 was found. Do you want to update?"});
    for (const char* version : {"2.0.14.0", "2.0.13.9", "255.255.255.255", "abc"})
        EXPECT_FALSE(Offers(
            http("200 OK", upgrade_xml("<version>" + std::string(version) + "</version>", setup))))
            << version;
    const std::string newer = "<version>2.1.0.0</version>";
    EXPECT_FALSE(Offers(http("200 OK", upgrade_xml(newer, ""))));
    EXPECT_FALSE(Offers(http("200 OK", upgrade_xml(newer, "<setup></setup>"))));
    EXPECT_FALSE(
        Offers(http("200 OK", upgrade_xml(newer, "<setup>file:///usr/bin/xterm</setup>"))));
    EXPECT_FALSE(Offers(http("200 OK", upgrade_xml(newer, "<setup>/usr/bin/xterm</setup>"))));
    EXPECT_TRUE(opened.empty());
}

TEST_F(UpdateCheck, AnErrorPageEndsTheCheckSilently) {
    const std::string page = "<html><head><title>404 Not Found</title></head></html>\n";
    HttpStub server(http("404 Not Found", page));
    ASSERT_TRUE(server.ok());
    EXPECT_EQ(Check(), -1);
    EXPECT_EQ(server.Connections(), 1);
    EXPECT_TRUE(questions.empty());
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path));
}

TEST_F(UpdateCheck, NoServerOrAnOversizedAnswerEndsTheCheck) {
    EXPECT_EQ(Check(), -1);  // nothing listens: refused
    HttpStub server(http(
        "200 OK", std::string(UPDATE_FILE_MAX + 1, 'x') +
                      upgrade_xml("<version>9.0.0.0</version>", "<setup>" + SETUP + "</setup>")));
    ASSERT_TRUE(server.ok());
    EXPECT_EQ(Check(), -1);
    EXPECT_TRUE(questions.empty());
}

// What another user left in the shared temporary folder, under the name
// earlier versions used, neither stops the check nor is written through.
TEST_F(UpdateCheck, FilesPlantedInTheTemporaryFolderAreNeitherInTheWayNorWrittenThrough) {
    const std::string setup = "<setup>" + SETUP + "</setup>";
    const std::string answer = http("200 OK", upgrade_xml("<version>2.1.0.0</version>", setup));
    const std::string planted = tmp.path + "upgrade.xml";
    write_text(tmp.path + "victim", "precious");
    std::filesystem::create_symlink(tmp.path + "victim", planted);
    EXPECT_TRUE(Offers(answer));
    EXPECT_EQ(read_text(tmp.path + "victim"), "precious");
    EXPECT_EQ(std::filesystem::read_symlink(planted), tmp.path + "victim");

    if (geteuid() != 0) GTEST_SKIP() << "another user's file needs root to plant";
    std::filesystem::remove(planted);
    write_text(planted, "someone else's");
    ASSERT_EQ(chmod(planted.c_str(), 0600), 0);
    ASSERT_EQ(chown(planted.c_str(), 65534, 65534), 0);
    EXPECT_TRUE(Offers(answer));
    EXPECT_EQ(read_text(planted), "someone else's");
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(tmp.path))
        left.push_back(entry.path().filename());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"upgrade.xml", "victim"}));
}

TEST_F(UpdateCheck, ATemporaryFolderThatCannotBeWrittenEndsTheCheckBeforeAnyConnection) {
    HttpStub server(
        http("200 OK", upgrade_xml("<version>2.1.0.0</version>", "<setup>" + SETUP + "</setup>")));
    ASSERT_TRUE(server.ok());
    setenv("TMPDIR", (tmp.path + "missing").c_str(), 1);
    quor::test::LogCapture log;
    EXPECT_EQ(Check(), -1);
    EXPECT_EQ(server.Connections(), 0);
    EXPECT_TRUE(questions.empty());
    EXPECT_NE(log.text().find("NETWORK: Update check: cannot create a file in " + tmp.path +
                              "missing/: No such file or directory\n"),
              std::string::npos)
        << log.text();
}

// The server's accept queue is full, so the connection is never made: two
// connect time-outs of 2 s end the check. Only the lower bound is checked
// here: how long a loaded machine adds is no fault of the check's (a check
// that waited on without a time-out would meet the test's own).
TEST_F(UpdateCheck, AServerThatNeverAnswersTheConnectionEndsTheCheckInAboutFourSeconds) {
    const int listener = listen_on_8080(0);
    ASSERT_GE(listener, 0);
    const int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(UPDATE_PORT);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
    EXPECT_EQ(Check(), -1);
    EXPECT_TRUE(questions.empty());
    EXPECT_GT(elapsed, 3500ms);
    close(filler);
    close(listener);
}

// The connection is made but no answer ever comes: the transfer limit ends
// the check, and the connection is not tried again.
TEST_F(UpdateCheck, AServerThatAcceptsButNeverAnswersIsGivenUpAfterTheTransferLimit) {
    HttpStub server("", false);
    ASSERT_TRUE(server.ok());
    EXPECT_EQ(Check(), -1);
    EXPECT_TRUE(questions.empty());
    EXPECT_GT(elapsed, std::chrono::milliseconds(UPDATE_TRANSFER_TIMEOUT_MS - 500));
    EXPECT_EQ(server.Connections(), 1);
}

// Threads of this process.
size_t thread_count() {
    return size_t(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                std::filesystem::directory_iterator()));
}

// Polls DONE until it holds; false after 10 s.
template <typename Done>
bool wait_for(Done done) {
    for (int waited = 0; !done(); waited += 5) {
        if (waited >= 10000) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// Through the main window: the question is a Yes/No box captioned "Update
// Info", and the installer is opened on the UI thread.
class UpdatePrompt : public quor::test::ControllerFixture {
  protected:
    void SetUp() override {
        ControllerFixture::SetUp();
        Start();
        setenv("QUOR_UPDATE_HOST", "127.0.0.1", 1);
        setenv("TMPDIR", home.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("QUOR_UPDATE_HOST");
        unsetenv("TMPDIR");
        ControllerFixture::TearDown();
    }
};

TEST_F(UpdatePrompt, TheWindowAsksYesOrNoAndOpensTheInstallerOnItsUiThread) {
    HttpStub server(
        http("200 OK", upgrade_xml("<version>2.1.0.0</version>", "<setup>" + SETUP + "</setup>")));
    ASSERT_TRUE(server.ok());
    view.answer = quor::IDOK;  // Yes
    EXPECT_EQ(update_check_thread(dlg.get()), 0);
    EXPECT_EQ(view.Messages(),
              std::vector<std::string>{"A new version 2.1.0.0 was found. Do you want to update?"});
    EXPECT_EQ(view.captions.back(), "Update Info");
    EXPECT_EQ(view.styles.back(), quor::MB_YESNO);
    EXPECT_TRUE(view.opened.empty());
    Settle();
    EXPECT_EQ(view.opened, std::vector<std::string>{SETUP});
}

TEST_F(UpdatePrompt, StartUpChecksOnAThreadOfItsOwn) {
    HttpStub server(
        http("200 OK", upgrade_xml("<version>2.0.14.1</version>", "<setup>" + SETUP + "</setup>")));
    ASSERT_TRUE(server.ok());
    view.answer = quor::IDCANCEL;  // No
    const size_t threads = thread_count();
    start_update_check(*dlg);
    // Asked on a thread of its own, which ends once answered No; whatever it
    // posted before has then reached the loop.
    ASSERT_TRUE(wait_for([&] { return !view.Messages().empty(); }));
    EXPECT_EQ(view.Messages().size(), 1u);
    ASSERT_TRUE(wait_for([&] { return thread_count() == threads; }));
    Settle();
    EXPECT_TRUE(view.opened.empty());
}

}  // namespace
