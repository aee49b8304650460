// The firewall exception against a stand-in firewalld on a private bus.
#include "platform/firewall.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "support/fake_firewalld.h"

namespace quor::test {
namespace {

const std::string IMAGE = "/opt/Kestrow Quor/KestrowQuorConnector";
const std::string NAME = "KestrowQuorConnector";
const std::vector<std::pair<std::string, std::string>> PORTS = {
    {"14897", "udp"}, {"514", "udp"}, {"18747", "udp"}};

struct Outcome {
    int result;
    std::string lines;   // the step texts
    std::string detail;  // the "Quor ERR: firewalld:" lines naming D-Bus errors
};

Outcome add_exception(const std::string& image = IMAGE, const std::string& name = NAME) {
    testing::internal::CaptureStdout();
    Outcome o{AddFirewallException(image, name), {}, {}};
    std::istringstream out(testing::internal::GetCapturedStdout());
    for (std::string line; std::getline(out, line);)
        (line.rfind("Quor ERR: firewalld: ", 0) == 0 ? o.detail : o.lines) += line + "\n";
    return o;
}

const std::string DISABLED = "Authorized application " + IMAGE + " is disabled in the firewall.\n";
const std::string ENABLED = "Authorized application " + IMAGE + " is enabled in the firewall.\n";
const std::string NOW_ENABLED =
    "Authorized application " + IMAGE + " is now enabled in the firewall.\n";

TEST(Firewall, FirstStartAddsTheEntryAndTheSecondFindsItEnabled) {
    FakeFirewalld fw;
    ASSERT_TRUE(fw.ok());
    const Outcome first = add_exception();
    EXPECT_EQ(first.result, 0);
    EXPECT_EQ(first.lines, DISABLED + NOW_ENABLED);
    EXPECT_EQ(first.detail, "");
    const auto services = fw.Services();
    ASSERT_EQ(services.count(NAME), 1u);
    EXPECT_EQ(services.at(NAME).ports, PORTS);
    EXPECT_EQ(services.at(NAME).description, IMAGE);
    EXPECT_EQ(services.at(NAME).short_name, NAME);
    EXPECT_EQ(fw.ZoneServices(), std::set<std::string>{NAME});
    EXPECT_EQ(fw.Reloads(), 1);

    const Outcome second = add_exception();
    EXPECT_EQ(second.result, 0);
    EXPECT_EQ(second.lines, ENABLED);
    EXPECT_EQ(fw.Services().size(), 1u);
    EXPECT_EQ(fw.Reloads(), 1) << "nothing changed, nothing reloaded";
}

TEST(Firewall, ADisabledEntryIsAddedAgainUnderTheSameName) {
    FakeFirewalld fw;
    ASSERT_TRUE(fw.ok());
    fw.AddService(NAME, {"old", "/old/place/KestrowQuorConnector", {{"514", "udp"}}});
    fw.AddService("ssh", {"SSH", "", {{"22", "tcp"}}});
    fw.Enable("ssh", true);
    const Outcome o = add_exception();
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.lines, DISABLED + NOW_ENABLED);
    const auto calls = fw.Calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "addService2"), 0);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "getServiceByName"), 1);
    EXPECT_EQ(fw.Services().at(NAME).description, IMAGE);
    EXPECT_EQ(fw.Services().at(NAME).short_name, NAME);
    EXPECT_EQ(fw.ZoneServices(), (std::set<std::string>{"ssh", NAME}));
    EXPECT_EQ(fw.Reloads(), 1);
}

TEST(Firewall, WithoutABusOrWithoutFirewalldItOnlyLogs) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/quor-test-bus", 1);
    const Outcome no_bus = add_exception();
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    EXPECT_EQ(no_bus.result, -1);
    EXPECT_EQ(no_bus.lines, "CoInitializeEx failed: 0x80070002\n");

    FakeFirewalld bus_only(false);
    ASSERT_TRUE(bus_only.ok());
    const Outcome absent = add_exception();
    EXPECT_EQ(absent.result, -1);
    EXPECT_TRUE(
        std::regex_match(absent.lines, std::regex("CoCreateInstance failed: (0x8007[0-9a-f]{4})\n"
                                                  "WindowsFirewallInitialize failed: \\1\n")))
        << absent.lines;
    EXPECT_NE(absent.detail.find("org.freedesktop.DBus.Error.ServiceUnknown"), std::string::npos)
        << absent.detail;
}

// Every step's failure writes its own text, then those of the steps around
// it, each with the same code (an error that firewalld names is an I/O
// error, 5).
TEST(Firewall, EachFailingStepWritesItsTexts) {
    const std::string IO = ": 0x80070005\n";
    const std::string INIT = "WindowsFirewallInitialize failed" + IO;
    const std::string ADD = "WindowsFirewallAddApp failed" + IO;
    const std::string CHECK = "WindowsFirewallAppIsEnabled failed" + IO;
    struct Case {
        const char* method;
        bool listed;  // the entry exists, disabled
        std::string lines;
    };
    const Case cases[] = {
        {"version", false, "CoCreateInstance failed" + IO + INIT},
        {"getDefaultZone", false, "get_localPolicy failed" + IO + INIT},
        {"getZoneByName", false, "get_CurrentProfile failed" + IO + INIT},
        {"getServiceNames", false, "get_AuthorizedApplications failed" + IO + CHECK + ADD},
        {"queryService", true, "get_Enabled failed" + IO + CHECK + ADD},
        {"addService2", false, DISABLED + "CoCreateInstance failed" + IO + ADD},
        {"getServiceByName", true, DISABLED + "CoCreateInstance failed" + IO + ADD},
        {"setDescription", false, DISABLED + "put_ProcessImageFileName failed" + IO + ADD},
        {"setShort", true, DISABLED + "put_Name failed" + IO + ADD},
        {"addService", false, DISABLED + "Add failed" + IO + ADD},
        {"reload", false, DISABLED + "Add failed" + IO + ADD},
    };
    for (const Case& c : cases) {
        FakeFirewalld fw;
        ASSERT_TRUE(fw.ok());
        if (c.listed) fw.AddService(NAME, {NAME, IMAGE, PORTS});
        fw.Fail(c.method);
        const Outcome o = add_exception();
        EXPECT_EQ(o.result, -1) << c.method;
        EXPECT_EQ(o.lines, c.lines) << c.method;
        EXPECT_NE(o.detail.find("org.fedoraproject.FirewallD1.Exception: ACCESS_DENIED"),
                  std::string::npos)
            << c.method << ": " << o.detail;
    }
}

TEST(Firewall, AnEmptyPathOrNameIsRefusedBeforeAnythingIsAdded) {
    FakeFirewalld fw;
    ASSERT_TRUE(fw.ok());
    const std::string NOMEM = ": 0x8007000e\n";
    const Outcome no_path = add_exception("", NAME);
    EXPECT_EQ(no_path.result, -1);
    EXPECT_EQ(no_path.lines, "SysAllocString failed" + NOMEM +
                                 "WindowsFirewallAppIsEnabled failed" + NOMEM +
                                 "WindowsFirewallAddApp failed" + NOMEM);
    const Outcome no_name = add_exception(IMAGE, "");
    EXPECT_EQ(no_name.result, -1);
    EXPECT_EQ(no_name.lines,
              DISABLED + "SysAllocString failed" + NOMEM + "WindowsFirewallAddApp failed" + NOMEM);
    EXPECT_TRUE(fw.Services().empty());
    EXPECT_TRUE(fw.ZoneServices().empty());
}

}  // namespace
}  // namespace quor::test
