#include "platform/firewall.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/diag_log.h"

namespace {

constexpr const char* FW_NAME = "org.fedoraproject.FirewallD1";
constexpr const char* FW_PATH = "/org/fedoraproject/FirewallD1";
constexpr const char* FW_CONFIG_PATH = "/org/fedoraproject/FirewallD1/config";
constexpr const char* FW_IFACE = "org.fedoraproject.FirewallD1";
constexpr const char* FW_CONFIG_IFACE = "org.fedoraproject.FirewallD1.config";
constexpr const char* FW_ZONE_IFACE = "org.fedoraproject.FirewallD1.config.zone";
constexpr const char* FW_SERVICE_IFACE = "org.fedoraproject.FirewallD1.config.service";

// Start-up waits for these calls on the UI thread.
constexpr uint64_t CALL_TIMEOUT_US = 5'000'000;
// A reload rebuilds every rule and may take longer.
constexpr uint64_t RELOAD_TIMEOUT_US = 30'000'000;

using HResult = uint32_t;
constexpr HResult FW_OK = 0;
constexpr HResult FW_E_OUTOFMEMORY = 0x8007000E;

HResult failure_of(int negative_errno) {
    return 0x80070000u | (static_cast<uint32_t>(-negative_errno) & 0xFFFFu);
}

void log_failed(const char* step, HResult hr) {
    quor_log("%s failed: 0x%08lx\n", step, static_cast<unsigned long>(hr));
}

// One method call and its answer.
struct Call {
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;

    Call() = default;
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    ~Call() {
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
    }

    // FW_OK for R >= 0; otherwise logs the D-Bus error and returns R as a
    // failure code.
    HResult result(int r) {
        if (r >= 0) return FW_OK;
        quor_log("Quor ERR: firewalld: %s: %s\n", error.name ? error.name : "no answer",
                 error.message ? error.message : strerror(-r));
        return failure_of(r);
    }

    // Sends M (consumed) and waits for the answer.
    HResult send(sd_bus* bus, sd_bus_message* m, int r, uint64_t timeout_us = CALL_TIMEOUT_US) {
        if (r >= 0) r = sd_bus_call(bus, m, timeout_us, &error, &reply);
        sd_bus_message_unref(m);
        return result(r);
    }

    // MEMBER of firewalld with no argument, or the one string ARG.
    HResult invoke(sd_bus* bus, const char* path, const char* iface, const char* member,
                   const char* arg = nullptr, uint64_t timeout_us = CALL_TIMEOUT_US) {
        sd_bus_message* m = nullptr;
        int r = sd_bus_message_new_method_call(bus, &m, FW_NAME, path, iface, member);
        if (r >= 0 && arg) r = sd_bus_message_append(m, "s", arg);
        return send(bus, m, r, timeout_us);
    }

    // The answer's next value of the basic TYPE into OUT.
    HResult read(char type, void* out) {
        const int r = sd_bus_message_read_basic(reply, type, out);
        return result(r == 0 ? -EBADMSG : r);
    }

    // The answer's text of TYPE 's' or 'o'.
    HResult read_text(char type, std::string* out) {
        const char* text = nullptr;
        const HResult hr = read(type, &text);
        if (hr == FW_OK) *out = text;
        return hr;
    }
};

// The default zone's permanent settings object: the profile the entry goes
// into.
HResult firewall_initialize(sd_bus* bus, std::string* zone_path) {
    {
        Call c;
        char* version = nullptr;
        const HResult hr = c.result(sd_bus_get_property_string(bus, FW_NAME, FW_PATH, FW_IFACE,
                                                               "version", &c.error, &version));
        free(version);
        if (hr != FW_OK) {
            log_failed("CoCreateInstance", hr);
            return hr;
        }
    }
    std::string zone;
    {
        Call c;
        HResult hr = c.invoke(bus, FW_PATH, FW_IFACE, "getDefaultZone");
        if (hr == FW_OK) hr = c.read_text('s', &zone);
        if (hr != FW_OK) {
            log_failed("get_localPolicy", hr);
            return hr;
        }
    }
    Call c;
    HResult hr = c.invoke(bus, FW_CONFIG_PATH, FW_CONFIG_IFACE, "getZoneByName", zone.c_str());
    if (hr == FW_OK) hr = c.read_text('o', zone_path);
    if (hr != FW_OK) log_failed("get_CurrentProfile", hr);
    return hr;
}

HResult read_service_names(Call& c, std::vector<std::string>* names) {
    int r = sd_bus_message_enter_container(c.reply, 'a', "s");
    const char* name = nullptr;
    while (r > 0 && (r = sd_bus_message_read_basic(c.reply, 's', &name)) > 0)
        names->push_back(name);
    return c.result(r);
}

// Whether NAME is listed, and whether ZONE_PATH's zone holds it.
HResult firewall_app_is_enabled(sd_bus* bus, const std::string& zone_path,
                                const std::string& image_path, const std::string& name,
                                bool* listed, bool* enabled) {
    *listed = false;
    *enabled = false;
    std::vector<std::string> names;
    {
        Call c;
        HResult hr = c.invoke(bus, FW_CONFIG_PATH, FW_CONFIG_IFACE, "getServiceNames");
        if (hr == FW_OK) hr = read_service_names(c, &names);
        if (hr != FW_OK) {
            log_failed("get_AuthorizedApplications", hr);
            return hr;
        }
    }
    if (image_path.empty()) {
        log_failed("SysAllocString", FW_E_OUTOFMEMORY);
        return FW_E_OUTOFMEMORY;
    }
    *listed = std::find(names.begin(), names.end(), name) != names.end();
    if (*listed) {
        Call c;
        HResult hr = c.invoke(bus, zone_path.c_str(), FW_ZONE_IFACE, "queryService", name.c_str());
        int held = 0;
        if (hr == FW_OK) hr = c.read('b', &held);
        if (hr != FW_OK) {
            log_failed("get_Enabled", hr);
            return hr;
        }
        *enabled = held != 0;
    }
    quor_log("Authorized application %s is %s in the firewall.\n", image_path.c_str(),
             *enabled ? "enabled" : "disabled");
    return FW_OK;
}

// addService2 for NAME with the program's ports.
HResult create_service(sd_bus* bus, const std::string& name, std::string* service_path) {
    Call c;
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(bus, &m, FW_NAME, FW_CONFIG_PATH, FW_CONFIG_IFACE,
                                           "addService2");
    if (r >= 0) r = sd_bus_message_append(m, "s", name.c_str());
    if (r >= 0) r = sd_bus_message_open_container(m, 'a', "{sv}");
    if (r >= 0) r = sd_bus_message_open_container(m, 'e', "sv");
    if (r >= 0) r = sd_bus_message_append(m, "s", "ports");
    if (r >= 0) r = sd_bus_message_open_container(m, 'v', "a(ss)");
    if (r >= 0) r = sd_bus_message_open_container(m, 'a', "(ss)");
    for (const char* port : FIREWALL_PORTS) {
        if (r >= 0) r = sd_bus_message_append(m, "(ss)", port, FIREWALL_PROTOCOL);
    }
    for (int level = 0; level < 4 && r >= 0; ++level) r = sd_bus_message_close_container(m);
    HResult hr = c.send(bus, m, r);
    if (hr == FW_OK) hr = c.read_text('o', service_path);
    return hr;
}

HResult firewall_add_app(sd_bus* bus, const std::string& zone_path, const std::string& image_path,
                         const std::string& name) {
    bool listed = false;
    bool enabled = false;
    HResult hr = firewall_app_is_enabled(bus, zone_path, image_path, name, &listed, &enabled);
    if (hr != FW_OK) {
        log_failed("WindowsFirewallAppIsEnabled", hr);
        return hr;
    }
    if (enabled) return FW_OK;
    if (name.empty()) {
        log_failed("SysAllocString", FW_E_OUTOFMEMORY);
        return FW_E_OUTOFMEMORY;
    }
    std::string service_path;
    if (listed) {
        Call c;
        hr = c.invoke(bus, FW_CONFIG_PATH, FW_CONFIG_IFACE, "getServiceByName", name.c_str());
        if (hr == FW_OK) hr = c.read_text('o', &service_path);
    } else {
        hr = create_service(bus, name, &service_path);
    }
    if (hr != FW_OK) {
        log_failed("CoCreateInstance", hr);
        return hr;
    }
    const struct {
        const char* method;
        const char* value;
        const char* step;
    } properties[] = {{"setDescription", image_path.c_str(), "put_ProcessImageFileName"},
                      {"setShort", name.c_str(), "put_Name"}};
    for (const auto& p : properties) {
        Call c;
        hr = c.invoke(bus, service_path.c_str(), FW_SERVICE_IFACE, p.method, p.value);
        if (hr != FW_OK) {
            log_failed(p.step, hr);
            return hr;
        }
    }
    {
        Call c;
        hr = c.invoke(bus, zone_path.c_str(), FW_ZONE_IFACE, "addService", name.c_str());
    }
    // The permanent configuration takes effect at the reload.
    if (hr == FW_OK) {
        Call c;
        hr = c.invoke(bus, FW_PATH, FW_IFACE, "reload", nullptr, RELOAD_TIMEOUT_US);
    }
    if (hr != FW_OK) {
        log_failed("Add", hr);
        return hr;
    }
    quor_log("Authorized application %s is now enabled in the firewall.\n", image_path.c_str());
    return FW_OK;
}

}  // namespace

int AddFirewallException(const std::string& image_path, const std::string& name) {
    sd_bus* bus = nullptr;
    const int r = sd_bus_open_system(&bus);
    if (r < 0) {
        log_failed("CoInitializeEx", failure_of(r));
        return -1;
    }
    int result = -1;
    std::string zone_path;
    HResult hr = firewall_initialize(bus, &zone_path);
    if (hr != FW_OK) {
        log_failed("WindowsFirewallInitialize", hr);
    } else if ((hr = firewall_add_app(bus, zone_path, image_path, name)) != FW_OK) {
        log_failed("WindowsFirewallAddApp", hr);
    } else {
        result = 0;
    }
    sd_bus_flush_close_unref(bus);
    return result;
}
