#include "helper/firewall_rules.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quor::helper {

namespace {

constexpr const char* FW_NAME = "org.fedoraproject.FirewallD1";
constexpr const char* FW_PATH = "/org/fedoraproject/FirewallD1";
constexpr const char* FW_ZONE_IFACE = "org.fedoraproject.FirewallD1.zone";
constexpr const char* PHONE_PORTS[] = {"14897", "514", "18747"};
constexpr uint64_t CALL_TIMEOUT_US = 5'000'000;

// firewalld's answer when the rule is there already, or is not there.
constexpr const char* ALREADY_ENABLED = "ALREADY_ENABLED";
constexpr const char* NOT_ENABLED = "NOT_ENABLED";

// One rule change: 0, 1 when firewalld said the rule was already in the
// state asked for, or a negative errno value.
int change_rule(sd_bus* bus, const char* member, const std::string& rule, std::string* why) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = 0;
    // The default zone (""); a timeout of 0 keeps the rule until removed
    // or until firewalld reloads.
    if (strcmp(member, "addRichRule") == 0)
        r = sd_bus_call_method(bus, FW_NAME, FW_PATH, FW_ZONE_IFACE, member, &error, &reply, "ssi",
                               "", rule.c_str(), 0);
    else
        r = sd_bus_call_method(bus, FW_NAME, FW_PATH, FW_ZONE_IFACE, member, &error, &reply, "ss",
                               "", rule.c_str());
    if (r < 0) {
        const char* message = error.message ? error.message : "";
        const bool same = strstr(message, ALREADY_ENABLED) || strstr(message, NOT_ENABLED);
        if (!same)
            *why = std::string(error.name ? error.name : "no answer") + ": " +
                   (error.message ? error.message : strerror(-r));
        sd_bus_error_free(&error);
        return same ? 1 : r;
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return 0;
}

bool firewalld_running(sd_bus* bus) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int has_owner = 0;
    sd_bus_message* reply = nullptr;
    int r =
        sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s", FW_NAME);
    if (r >= 0) r = sd_bus_message_read(reply, "b", &has_owner);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return r >= 0 && has_owner;
}

int change_all(uint32_t addr, bool add, std::string* why) {
    sd_bus* bus = nullptr;
    if (const int r = sd_bus_open_system(&bus); r < 0) {
        *why = std::string("no system bus: ") + strerror(-r);
        return 0;
    }
    sd_bus_set_method_call_timeout(bus, CALL_TIMEOUT_US);
    if (!firewalld_running(bus)) {
        *why = "firewalld is not running";
        sd_bus_flush_close_unref(bus);
        return 0;
    }
    int result = 0;
    size_t added = 0;
    for (const char* port : PHONE_PORTS) {
        const int rc =
            change_rule(bus, add ? "addRichRule" : "removeRichRule", phone_rule(addr, port), why);
        if (rc < 0 && result == 0) result = -rc;
        // Removing goes on past a failure, so that no rule is left behind.
        if (rc < 0 && add) break;
        ++added;
    }
    if (result != 0 && add) {
        // All or nothing: take back the rules added before the failure.
        std::string ignored;
        for (size_t i = 0; i < added; ++i)
            change_rule(bus, "removeRichRule", phone_rule(addr, PHONE_PORTS[i]), &ignored);
    }
    sd_bus_flush_close_unref(bus);
    return result;
}

}  // namespace

std::string phone_rule(uint32_t addr, const char* port) {
    char text[160];
    snprintf(text, sizeof(text),
             "rule family=\"ipv4\" source address=\"%u.%u.%u.%u\" port port=\"%s\" "
             "protocol=\"udp\" accept",
             addr >> 24, (addr >> 16) & 0xFF, (addr >> 8) & 0xFF, addr & 0xFF, port);
    return text;
}

int firewall_add(uint32_t addr, std::string* why) {
    return change_all(addr, true, why);
}

int firewall_remove(uint32_t addr, std::string* why) {
    return change_all(addr, false, why);
}

}  // namespace quor::helper
