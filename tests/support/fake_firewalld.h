// A stand-in for firewalld on a private bus: starts a dbus-daemon of its own,
// points DBUS_SYSTEM_BUS_ADDRESS at it, and keeps the default zone's runtime
// rich rules in memory. Any of its calls can be made to fail with firewalld's
// error name.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace quor::test {

class FakeFirewalld {
  public:
    static constexpr const char* ZONE = "public";

    // SERVE false: the bus runs but nobody owns firewalld's name.
    explicit FakeFirewalld(bool serve = true) {
        char tmpl[] = "/tmp/quor_bus_XXXXXX";
        if (!mkdtemp(tmpl)) return;
        dir_ = tmpl;
        std::ofstream(dir_ + "/bus.conf")
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
               "1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>session</type><listen>unix:dir="
            << dir_
            << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
               "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
               "<allow own=\"*\"/></policy></busconfig>\n";
        if (!StartDaemon()) return;
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
        if (!serve) {
            ok_ = true;
            return;
        }
        std::atomic<int> ready{0};
        thread_ = std::thread([this, &ready] { Serve(&ready); });
        while (ready == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ok_ = ready == 1;
    }

    ~FakeFirewalld() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (daemon_ > 0) {
            kill(daemon_, SIGTERM);
            waitpid(daemon_, nullptr, 0);
        }
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }
    FakeFirewalld(const FakeFirewalld&) = delete;
    FakeFirewalld& operator=(const FakeFirewalld&) = delete;

    bool ok() const { return ok_; }

    // Makes METHOD answer with an error.
    void Fail(const std::string& method) {
        std::lock_guard lk(mu_);
        failing_ = method;
    }
    std::vector<std::string> Calls() {
        std::lock_guard lk(mu_);
        return calls_;
    }
    // The default zone's runtime rich rules.
    std::set<std::string> RuntimeRules() {
        std::lock_guard lk(mu_);
        return rich_rules_;
    }

  private:
    bool StartDaemon() {
        int out[2];
        if (pipe(out) != 0) return false;
        daemon_ = fork();
        if (daemon_ == 0) {
            close(out[0]);
            // Its complaint that it may not raise its file limit is noise.
            const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
            if (null_fd >= 0) dup2(null_fd, STDERR_FILENO);
            const std::string conf = "--config-file=" + dir_ + "/bus.conf";
            const std::string print = "--print-address=" + std::to_string(out[1]);
            execlp("dbus-daemon", "dbus-daemon", conf.c_str(), "--nofork", print.c_str(),
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        char c;
        while (daemon_ > 0 && read(out[0], &c, 1) == 1 && c != '\n') address_ += c;
        close(out[0]);
        return !address_.empty();
    }

    // Called with the lock held: records METHOD and tells whether it fails.
    bool Enter(const char* method, sd_bus_error* error) {
        calls_.push_back(method);
        if (failing_ != method) return false;
        sd_bus_error_set(error, "org.fedoraproject.FirewallD1.Exception",
                         "ACCESS_DENIED: injected");
        return true;
    }

    static FakeFirewalld& Self(void* userdata) { return *static_cast<FakeFirewalld*>(userdata); }

    // addRichRule and removeRichRule of the runtime zone interface, for the
    // default zone ("") only.
    static int ChangeRichRule(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        FakeFirewalld& f = Self(userdata);
        const std::string member = sd_bus_message_get_member(m);
        const char* zone = nullptr;
        const char* rule = nullptr;
        int32_t timeout = 0;
        int r = sd_bus_message_read(m, "ss", &zone, &rule);
        if (r >= 0 && member == "addRichRule") r = sd_bus_message_read(m, "i", &timeout);
        if (r < 0) return -EINVAL;
        std::lock_guard lk(f.mu_);
        if (f.Enter(member.c_str(), error)) return -EIO;
        if (*zone != '\0' || timeout != 0)
            return sd_bus_error_set(error, "org.fedoraproject.FirewallD1.Exception",
                                    "INVALID_ZONE");
        const bool add = member == "addRichRule";
        const bool changed = add ? f.rich_rules_.insert(rule).second : f.rich_rules_.erase(rule);
        if (!changed)
            return sd_bus_error_set(error, "org.fedoraproject.FirewallD1.Exception",
                                    add ? "ALREADY_ENABLED" : "NOT_ENABLED");
        return sd_bus_reply_method_return(m, "s", ZONE);
    }

    void Serve(std::atomic<int>* ready) {
        static const sd_bus_vtable runtime_zone_vtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("addRichRule", "ssi", "s", ChangeRichRule, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("removeRichRule", "ss", "s", ChangeRichRule, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_VTABLE_END};
        sd_bus* bus = nullptr;
        int r = sd_bus_new(&bus);
        if (r >= 0) r = sd_bus_set_address(bus, address_.c_str());
        if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
        if (r >= 0) r = sd_bus_start(bus);
        if (r >= 0)
            r = sd_bus_add_object_vtable(bus, nullptr, "/org/fedoraproject/FirewallD1",
                                         "org.fedoraproject.FirewallD1.zone", runtime_zone_vtable,
                                         this);
        if (r >= 0) r = sd_bus_request_name(bus, "org.fedoraproject.FirewallD1", 0);
        *ready = r >= 0 ? 1 : -1;
        while (r >= 0 && !stop_) {
            r = sd_bus_process(bus, nullptr);
            if (r == 0) r = sd_bus_wait(bus, 50'000);
        }
        sd_bus_flush_close_unref(bus);
    }

    std::string dir_;
    std::string address_;
    pid_t daemon_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    bool ok_ = false;

    std::mutex mu_;
    std::string failing_;
    std::set<std::string> rich_rules_;
    std::vector<std::string> calls_;
};

}  // namespace quor::test
