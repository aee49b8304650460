// A stand-in for firewalld on a private bus: starts a dbus-daemon of its own,
// points DBUS_SYSTEM_BUS_ADDRESS at it, and answers the calls of the
// firewall exception from state kept in memory. Any of its calls can be made
// to fail with firewalld's error name.
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
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace quor::test {

class FakeFirewalld {
  public:
    struct Service {
        std::string short_name;
        std::string description;
        std::vector<std::pair<std::string, std::string>> ports;
    };

    static constexpr const char* ZONE = "public";
    static constexpr const char* ZONE_PATH = "/org/fedoraproject/FirewallD1/config/zone/0";

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

    // Makes METHOD (or the property "version") answer with an error.
    void Fail(const std::string& method) {
        std::lock_guard lk(mu_);
        failing_ = method;
    }
    void AddService(const std::string& name, const Service& s) {
        std::lock_guard lk(mu_);
        services_[name] = s;
        order_.push_back(name);
    }
    void Enable(const std::string& name, bool on) {
        std::lock_guard lk(mu_);
        if (on)
            zone_.insert(name);
        else
            zone_.erase(name);
    }
    std::map<std::string, Service> Services() {
        std::lock_guard lk(mu_);
        return services_;
    }
    std::set<std::string> ZoneServices() {
        std::lock_guard lk(mu_);
        return zone_;
    }
    std::vector<std::string> Calls() {
        std::lock_guard lk(mu_);
        return calls_;
    }
    int Reloads() {
        std::lock_guard lk(mu_);
        return reloads_;
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

    static int Version(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                       void* userdata, sd_bus_error* error) {
        FakeFirewalld& f = Self(userdata);
        std::lock_guard lk(f.mu_);
        if (f.Enter("version", error)) return -EIO;
        return sd_bus_message_append(reply, "s", "1.3.0");
    }
    static int GetDefaultZone(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        FakeFirewalld& f = Self(userdata);
        std::lock_guard lk(f.mu_);
        if (f.Enter("getDefaultZone", error)) return -EIO;
        return sd_bus_reply_method_return(m, "s", ZONE);
    }
    static int Reload(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        FakeFirewalld& f = Self(userdata);
        std::lock_guard lk(f.mu_);
        if (f.Enter("reload", error)) return -EIO;
        ++f.reloads_;
        return sd_bus_reply_method_return(m, "");
    }
    static int GetZoneByName(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        FakeFirewalld& f = Self(userdata);
        const char* zone = nullptr;
        if (sd_bus_message_read(m, "s", &zone) < 0) return -EINVAL;
        std::lock_guard lk(f.mu_);
        if (f.Enter("getZoneByName", error)) return -EIO;
        if (std::string(zone) != ZONE)
            return sd_bus_error_set(error, "org.fedoraproject.FirewallD1.Exception",
                                    "INVALID_ZONE");
        return sd_bus_reply_method_return(m, "o", ZONE_PATH);
    }
    static int GetServiceNames(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        FakeFirewalld& f = Self(userdata);
        std::lock_guard lk(f.mu_);
        if (f.Enter("getServiceNames", error)) return -EIO;
        sd_bus_message* reply = nullptr;
        int r = sd_bus_message_new_method_return(m, &reply);
        if (r >= 0) r = sd_bus_message_open_container(reply, 'a', "s");
        for (const auto& [name, s] : f.services_)
            if (r >= 0) r = sd_bus_message_append(reply, "s", name.c_str());
        if (r >= 0) r = sd_bus_message_close_container(reply);
        if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
        sd_bus_message_unref(reply);
        return r;
    }
    std::string ServicePath(const std::string& name) const {
        for (size_t i = 0; i < order_.size(); ++i)
            if (order_[i] == name)
                return "/org/fedoraproject/FirewallD1/config/service/" + std::to_string(i);
        return {};
    }
    static int GetServiceByName(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        FakeFirewalld& f = Self(userdata);
        const char* name = nullptr;
        if (sd_bus_message_read(m, "s", &name) < 0) return -EINVAL;
        std::lock_guard lk(f.mu_);
        if (f.Enter("getServiceByName", error)) return -EIO;
        if (!f.services_.count(name))
            return sd_bus_error_set(error, "org.fedoraproject.FirewallD1.Exception",
                                    "INVALID_SERVICE");
        return sd_bus_reply_method_return(m, "o", f.ServicePath(name).c_str());
    }
    static int ReadSettings(sd_bus_message* m, Service* s) {
        int r = sd_bus_message_enter_container(m, 'a', "{sv}");
        while (r > 0 && (r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
            const char* key = nullptr;
            if ((r = sd_bus_message_read(m, "s", &key)) < 0) return r;
            if (std::string(key) == "ports") {
                r = sd_bus_message_enter_container(m, 'v', "a(ss)");
                if (r > 0) r = sd_bus_message_enter_container(m, 'a', "(ss)");
                const char* port = nullptr;
                const char* protocol = nullptr;
                while (r > 0 && (r = sd_bus_message_read(m, "(ss)", &port, &protocol)) > 0)
                    s->ports.emplace_back(port, protocol);
                if (r >= 0) r = sd_bus_message_exit_container(m);
                if (r >= 0) r = sd_bus_message_exit_container(m);
            } else {
                r = sd_bus_message_skip(m, "v");
            }
            if (r >= 0) r = sd_bus_message_exit_container(m);
        }
        return r < 0 ? r : sd_bus_message_exit_container(m);
    }
    static int AddService2(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        FakeFirewalld& f = Self(userdata);
        const char* name = nullptr;
        Service s;
        if (sd_bus_message_read(m, "s", &name) < 0 || ReadSettings(m, &s) < 0) return -EINVAL;
        std::lock_guard lk(f.mu_);
        if (f.Enter("addService2", error)) return -EIO;
        if (f.services_.count(name))
            return sd_bus_error_set(error, "org.fedoraproject.FirewallD1.Exception",
                                    "NAME_CONFLICT");
        f.services_[name] = s;
        f.order_.push_back(name);
        return sd_bus_reply_method_return(m, "o", f.ServicePath(name).c_str());
    }
    static int QueryService(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        FakeFirewalld& f = Self(userdata);
        const char* name = nullptr;
        if (sd_bus_message_read(m, "s", &name) < 0) return -EINVAL;
        std::lock_guard lk(f.mu_);
        if (f.Enter("queryService", error)) return -EIO;
        return sd_bus_reply_method_return(m, "b", int(f.zone_.count(name)));
    }
    static int ZoneAddService(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        FakeFirewalld& f = Self(userdata);
        const char* name = nullptr;
        if (sd_bus_message_read(m, "s", &name) < 0) return -EINVAL;
        std::lock_guard lk(f.mu_);
        if (f.Enter("addService", error)) return -EIO;
        if (!f.zone_.insert(name).second)
            return sd_bus_error_set(error, "org.fedoraproject.FirewallD1.Exception",
                                    "ALREADY_ENABLED");
        return sd_bus_reply_method_return(m, "");
    }
    // setDescription and setShort of the service at the message's path.
    static int SetServiceText(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        FakeFirewalld& f = Self(userdata);
        const std::string member = sd_bus_message_get_member(m);
        const std::string path = sd_bus_message_get_path(m);
        const char* text = nullptr;
        if (sd_bus_message_read(m, "s", &text) < 0) return -EINVAL;
        std::lock_guard lk(f.mu_);
        if (f.Enter(member.c_str(), error)) return -EIO;
        const size_t index = std::stoul(path.substr(path.rfind('/') + 1));
        if (index >= f.order_.size())
            return sd_bus_error_set(error, "org.fedoraproject.FirewallD1.Exception",
                                    "INVALID_SERVICE");
        Service& s = f.services_[f.order_[index]];
        (member == "setShort" ? s.short_name : s.description) = text;
        return sd_bus_reply_method_return(m, "");
    }

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
        static const sd_bus_vtable main_vtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_PROPERTY("version", "s", Version, 0, SD_BUS_VTABLE_PROPERTY_CONST),
            SD_BUS_METHOD("getDefaultZone", "", "s", GetDefaultZone, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("reload", "", "", Reload, SD_BUS_VTABLE_UNPRIVILEGED), SD_BUS_VTABLE_END};
        static const sd_bus_vtable config_vtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("getZoneByName", "s", "o", GetZoneByName, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("getServiceNames", "", "as", GetServiceNames, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("getServiceByName", "s", "o", GetServiceByName,
                          SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("addService2", "sa{sv}", "o", AddService2, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_VTABLE_END};
        static const sd_bus_vtable zone_vtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("queryService", "s", "b", QueryService, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("addService", "s", "", ZoneAddService, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_VTABLE_END};
        static const sd_bus_vtable runtime_zone_vtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("addRichRule", "ssi", "s", ChangeRichRule, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("removeRichRule", "ss", "s", ChangeRichRule, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_VTABLE_END};
        static const sd_bus_vtable service_vtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("setDescription", "s", "", SetServiceText, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("setShort", "s", "", SetServiceText, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_VTABLE_END};

        sd_bus* bus = nullptr;
        int r = sd_bus_new(&bus);
        if (r >= 0) r = sd_bus_set_address(bus, address_.c_str());
        if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
        if (r >= 0) r = sd_bus_start(bus);
        if (r >= 0)
            r = sd_bus_add_object_vtable(bus, nullptr, "/org/fedoraproject/FirewallD1",
                                         "org.fedoraproject.FirewallD1", main_vtable, this);
        if (r >= 0)
            r = sd_bus_add_object_vtable(bus, nullptr, "/org/fedoraproject/FirewallD1",
                                         "org.fedoraproject.FirewallD1.zone", runtime_zone_vtable,
                                         this);
        if (r >= 0)
            r = sd_bus_add_object_vtable(bus, nullptr, "/org/fedoraproject/FirewallD1/config",
                                         "org.fedoraproject.FirewallD1.config", config_vtable,
                                         this);
        if (r >= 0)
            r = sd_bus_add_object_vtable(bus, nullptr, ZONE_PATH,
                                         "org.fedoraproject.FirewallD1.config.zone", zone_vtable,
                                         this);
        if (r >= 0)
            r = sd_bus_add_fallback_vtable(
                bus, nullptr, "/org/fedoraproject/FirewallD1/config/service",
                "org.fedoraproject.FirewallD1.config.service", service_vtable, nullptr, this);
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
    std::map<std::string, Service> services_;
    std::vector<std::string> order_;  // object path index -> name
    std::set<std::string> zone_;
    std::set<std::string> rich_rules_;
    std::vector<std::string> calls_;
    int reloads_ = 0;
};

}  // namespace quor::test
