#include "network/NetworkConfigurator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/ProcessIdentity.h"
#include "journal/JournalStore.h"
#include "journal/SessionJournal.h"
#include "support/TestSupport.h"
#include "tunnel/SessionRecovery.h"

namespace halvern {
namespace {

using Lines = std::vector<std::string>;

// Records the commands. The default route is 192.0.2.1 on "Ethernet Z": lower metrics are our
// tunnel's, not default, gatewayless or on an unknown adapter; of the two at 25 the later wins.
class RecordingSystem final : public NetworkSystem {
  public:
    bool readIpv4ForwardTable(std::vector<ForwardRow>& table) override {
        table = rows;
        return true;
    }
    AdapterNameMap listAdapterNames(int /*family*/) override { return names; }
    AdapterNameMap listUpAdapterNames(int /*family*/) override {
        AdapterNameMap up = names;
        up.erase(down);
        return up;
    }
    const NetworkCommandBuilder& commands() override { return *builder; }
    CommandOutcome runCommand(const CommandLine& commandLine, FailurePolicy policy) override {
        const std::string line = joinCommandLine(commandLine);
        const bool fails = !failing.empty() && line.find(failing) != std::string::npos;
        if (fails && policy == FailurePolicy::throwOnFailure) {
            throw std::runtime_error("failed: " + line);
        }
        ran.push_back((policy == FailurePolicy::tolerate ? "[tolerated] " : "") + line +
                      (fails ? " [not run]" : ""));
        return fails ? CommandOutcome::notRun : CommandOutcome::succeeded;
    }

    std::vector<ForwardRow> rows = {
        {0, 0, 9, 40, 1}, {5, 0, 9, 12, 1},  {0, 5, 9, 12, 1},  {0, 0, 0, 12, 1},
        {0, 0, 9, 77, 1}, {0, 0, 9, 14, 26}, {0, 0, 9, 13, 25}, {0, 0, 0x010200C0U, 12, 25}};
    AdapterNameMap names = {
        {12, "Ethernet Z"}, {13, "My Halvern"}, {14, "Wi-Fi"}, {40, "Halvern_Tun_802"}};
    std::uint32_t down = 0;  // an adapter that is down
    Lines ran;
    std::string failing;  // a command that holds this text fails
    const NetworkCommandBuilder* builder = &netshCommands();
};

const std::string kNetsh = "netsh interface ipv4 ";
const std::string kHostRoute =
    kNetsh + "add route 203.0.113.5/32 \"Ethernet Z\" 192.0.2.1 metric=1";
const std::string kDeleteHostRoute =
    "[tolerated] " + kNetsh + "delete route 203.0.113.5/32 \"Ethernet Z\" 192.0.2.1";
const std::string kDeleteTunnelRoute =
    "[tolerated] " + kNetsh + "delete route 0.0.0.0/0 \"Halvern_Tun_802\" 10.255.0.1";

// With and without the host route and the address step; a repeated or third server is not used.
TEST(NetshSetup, ApplyThenRestore) {
    const Lines full = {
        kNetsh +
            "set address name=\"Halvern_Tun_802\" source=static addr=10.255.0.1 mask=255.255.255.0",
        kNetsh +
            "set dnsservers name=\"Halvern_Tun_802\" static address=1.1.1.1 register=none "
            "validate=no",
        "[tolerated] powershell -NoProfile -Command \"$i=(Get-NetAdapter -Name "
        "'Halvern_Tun_802').InterfaceIndex;Get-CimInstance "
        "Win32_NetworkAdapterConfiguration|Where-Object{$_.InterfaceIndex -eq "
        "$i}|ForEach-Object{Invoke-CimMethod -InputObject $_ -MethodName SetTcpipNetbios "
        "-Arguments @{TcpipNetbiosOptions=[uint32]2}}\"",
        kNetsh + "add dnsservers name=\"Halvern_Tun_802\" address=8.8.8.8 index=2 validate=no",
        kHostRoute,
        kNetsh + "add route 0.0.0.0/0 \"Halvern_Tun_802\" 10.255.0.1 metric=1"};
    for (const bool withServer : {true, false}) {
        RecordingSystem system;
        {
            NetworkConfigurator network(system);
            network.apply(
                "Halvern_Tun_802", withServer ? "203.0.113.5" : "", withServer ? "10.255.0.1" : "",
                withServer ? Lines{} : Lines{"1.1.1.1", "1.1.1.1", "8.8.8.8"}, withServer);
            EXPECT_TRUE(network.applied());
            EXPECT_EQ(system.ran, (withServer ? full : Lines{full[1], full[2], full[5]}));
            system.ran.clear();
            network.restore();
            EXPECT_EQ(system.ran, (withServer ? Lines{kDeleteTunnelRoute, kDeleteHostRoute}
                                              : Lines{kDeleteTunnelRoute}));
            EXPECT_EQ(network.dnsChange(), nullptr);
            EXPECT_EQ(network.defaultInterface() + network.defaultGateway(), "");
            system.ran.clear();
            network.restore();
        }
        EXPECT_EQ(system.ran, Lines{}) << "a second restore and the destructor run nothing";
    }
    RecordingSystem nameless;  // the best route's adapter has no name: there is no default route
    nameless.names[12] = "";
    EXPECT_THROW(NetworkConfigurator(nameless).apply("H", "", "", {}, false), std::runtime_error);
    RecordingSystem ip;  // on Linux a server must be an address; the message escapes the rest
    ip.builder = &ipCommands();
    for (const Lines& servers : {Lines{"1.1.1.1", "-x\"\x7F"}, Lines{"-x\"\x7F"}}) {
        EXPECT_EQ(
            testing::errorFrom([&] { NetworkConfigurator(ip).apply("H", "", "", servers, false); }),
            R"(DNS server is not an IP address: "-x\"\x7F")");
    }
}

// A DNS server is an address as glibc's inet_pton reads it, on every platform.
TEST(NetworkSetup, ADnsServerIsAnAddressAsInetPtonReadsIt) {
    for (const std::string server :
         {"0.0.0.0", "255.255.255.255", "::", "1::", "::1", "fe80::1:A:b", "1:2:3:4:5:6:7:8",
          "1:2:3:4:5:6:7::", "::2:3:4:5:6:7:8", "::ffff:1.2.3.4", "1:2:3:4:5:6:1.2.3.4"}) {
        EXPECT_NO_THROW(ipCommands().checkDnsServer(server)) << server;
    }
    for (const std::string server :
         {"", "1.2.3", "1.2.3.4.", "01.2.3.4", "1.2.3.256", " 1.2.3.4", "::g", ":1",
          "1:", ":::", "1::2::3", "00000::", "1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7::8", "::1.2.3",
          "1.2.3.4::", "::1.2.3.4:1", "1:2:3:4:5:6:7:1.2.3.4", "::01.2.3.4"}) {
        EXPECT_THROW(ipCommands().checkDnsServer(server), std::runtime_error) << server;
    }
    EXPECT_THROW(ipCommands().checkDnsServer(std::string("1.2.3.4\0", 8)), std::runtime_error);
}

// Route snapshots after a change of network (addresses in network byte order): what runs, and
// where the host route that went in via 192.0.2.1 on "Ethernet Z" then leads.
TEST(NetworkFollow, TheHostRouteFollowsTheDefaultRouteAddingBeforeDeleting) {
    constexpr std::uint32_t kGateway = 0x010200C0U;  // 192.0.2.1
    constexpr std::uint32_t kMoved = 0x090200C0U;    // 192.0.2.9
    constexpr std::uint32_t kServer = 0x057100CBU;   // 203.0.113.5
    const ForwardRow defaultRoute{0, 0, kGateway, 12, 25};
    const ForwardRow hostRoute{kServer, 0xFFFFFFFFU, kGateway, 12, 1};
    const ForwardRow ourDefault{0, 0, 0x0100FF0AU, 40, 0};  // through our own adapter
    const ForwardRow movedRoute{0, 0, kMoved, 12, 25};
    const ForwardRow wifiRoute{0, 0, kMoved, 14, 50};
    const Lines toMoved = {kNetsh + "add route 203.0.113.5/32 \"Ethernet Z\" 192.0.2.9 metric=1",
                           kDeleteHostRoute};
    const Lines toWifi = {kNetsh + "add route 203.0.113.5/32 \"Wi-Fi\" 192.0.2.9 metric=1",
                          kDeleteHostRoute};
    const Uplink start{"192.0.2.1", "Ethernet Z"};
    const Uplink moved{"192.0.2.9", "Ethernet Z"};
    const Uplink wifi{"192.0.2.9", "Wi-Fi"};
    const struct {
        const char* what;
        std::vector<ForwardRow> rows;
        std::uint32_t down;
        Lines ran;
        Uplink now;
    } cases[] = {
        {"no change", {defaultRoute, hostRoute}, 0, {}, start},
        {"our own adapter's default route", {ourDefault, defaultRoute, hostRoute}, 0, {}, start},
        {"the host route vanished", {defaultRoute}, 0, {kHostRoute}, start},
        {"the gateway moved", {movedRoute, hostRoute}, 0, toMoved, moved},
        {"the old link down, routes left", {defaultRoute, hostRoute, wifiRoute}, 12, toWifi, wifi},
        {"the old link gone with its routes", {wifiRoute}, 0, toWifi, wifi},
        {"no default route left", {hostRoute}, 0, {}, start},
        {"no default route but through ourselves", {ourDefault}, 0, {}, start},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testing::ScopedJournalPlace place;
        SessionJournal journal(place.path());
        RecordingSystem system;
        NetworkConfigurator network(system, &journal);
        network.apply("Halvern_Tun_802", "203.0.113.5", "10.255.0.1", {}, false);
        system.rows = {defaultRoute, hostRoute};  // the table as the connect left it
        EXPECT_EQ(network.followDefaultRoute(), std::nullopt);
        system.ran.clear();
        system.rows = c.rows;
        system.down = c.down;
        EXPECT_EQ(network.followDefaultRoute().has_value(), !c.ran.empty());
        EXPECT_EQ(system.ran, c.ran);
        EXPECT_EQ(network.uplink(), c.now);
        const JournalEntry route{JournalKind::serverRoute,
                                 {"203.0.113.5", c.now.interfaceName, c.now.gateway}};
        const JournalEntry tunnel{JournalKind::tunnelRoute, {"Halvern_Tun_802", "10.255.0.1"}};
        EXPECT_TRUE(std::ranges::is_permutation(journal.entries(), std::vector{route, tunnel}))
            << "the journal names the route that exists";
        system.ran.clear();
        network.restore();
        EXPECT_EQ(system.ran.back(), "[tolerated] " + kNetsh + "delete route 203.0.113.5/32 \"" +
                                         c.now.interfaceName + "\" " + c.now.gateway);
    }
    RecordingSystem failing;  // a refused add keeps the old route as the current one
    NetworkConfigurator network(failing);
    network.apply("Halvern_Tun_802", "203.0.113.5", "10.255.0.1", {}, false);
    failing.rows = {movedRoute, hostRoute};
    failing.failing = "192.0.2.9";
    EXPECT_THROW(network.followDefaultRoute(), std::runtime_error);
    EXPECT_EQ(network.uplink(), start);
    failing.rows = {defaultRoute};  // a host route never seen in the table is not put back
    failing.ran.clear();
    EXPECT_EQ(network.followDefaultRoute(), std::nullopt);
    EXPECT_EQ(failing.ran, Lines{});
    failing.builder = &ipCommands();  // given up: the routes go now, the leak guard at stop
    network.retreat();
    EXPECT_EQ(failing.ran.size(), 3U);
    failing.ran.clear();
    network.restore();
    EXPECT_EQ(failing.ran.size(), 4U);
}

// Newest first, not the one in its way; a host route that got in stays journaled for next time,
// one whose add failed (maybe the same route, there before) does not.
TEST(NetworkSetup, AFailedRouteStepTakesBackOnlyItsOwnRowsAndRecords) {
    const std::string del = "[tolerated] ip route del ";
    const std::string viaTunnel = "/1 via 10.255.0.1 dev Halvern_Tun_802 metric 1";
    const std::vector<JournalEntry> hostRoute = {
        {JournalKind::serverRoute, {"203.0.113.5", "Ethernet Z", "192.0.2.1"}}};
    const Lines takenBack = {"ip route add 128.0.0.0" + viaTunnel, del + "128.0.0.0" + viaTunnel,
                             del + "0.0.0.0" + viaTunnel};
    const struct {
        const NetworkCommandBuilder* builder;
        std::string failing;
        Lines tail;  // the last commands run
        std::vector<JournalEntry> left;
    } cases[] = {
        {&netshCommands(), "add route 0.0.0.0/0", {kHostRoute}, hostRoute},
        {&ipCommands(), "add unreachable 0.0.0.0/1", takenBack, hostRoute},
        {&ipCommands(), "route add 203.0.113.5", {}, {}},
    };
    for (const auto& c : cases) {
        testing::ScopedJournalPlace place;
        SessionJournal journal(place.path());
        RecordingSystem system;
        system.builder = c.builder;
        system.failing = c.failing;
        NetworkConfigurator network(system, &journal);
        EXPECT_THROW(network.apply("Halvern_Tun_802", "203.0.113.5", "10.255.0.1", {}, true),
                     std::runtime_error);
        EXPECT_TRUE(std::equal(c.tail.rbegin(), c.tail.rend(), system.ran.rbegin()));
        EXPECT_EQ(journal.entries(), c.left);
    }
}

// An undo that could not run keeps its record until a retry (teardown's or next start's) does it.
TEST(NetworkSetup, AnUndoThatCouldNotRunKeepsItsRecordUntilARetryDoesIt) {
    const testing::ScopedJournalPlace place;
    SessionJournal journal(place.path());
    RecordingSystem system;
    NetworkConfigurator network(system, &journal);
    network.apply("Halvern_Tun_802", "203.0.113.5", "10.255.0.1", {}, true);
    system.failing = "delete route 203.0.113.5";
    network.restore();
    ASSERT_EQ(journal.entries().size(), 1U) << "the tunnel route's record went, not the host's";
    Lines report;
    for (const std::size_t left : {1U, 0U}) {
        EXPECT_EQ(retryNetworkUndos(journal, system,
                                    [&](const std::string& line) { report.push_back(line); }),
                  left);
        system.failing.clear();
    }
    EXPECT_EQ(journal.entries().size(), 0U);
    EXPECT_EQ(report, (Lines{"could not run the delete of the host route to 203.0.113.5 via "
                             "192.0.2.1",
                             "deleted the host route to 203.0.113.5 via 192.0.2.1"}));
}

// Each entry one line; a mark that is no number is written as 0.
TEST(SessionJournal, FieldsOfAnyBytesComeBackAsTheyWere) {
    const std::vector<JournalEntry> entries = {
        {JournalKind::serverRoute, {"", "Eth \"x\"\n%", std::string("\xC3\xA9\x00\x7F 1", 6)}},
        {JournalKind::proxyConfig, {}}};
    const std::string text = formatJournal(4000000000U, "12x", entries);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 5);
    EXPECT_EQ(parseJournal(text), (ParsedJournal{4000000000U, "0", {entries[0], entries[1]}}));
}

// No journal line runs as it stands; a damaged, foreign or still-running journal is not used.
TEST(SessionRecovery, UsesOnlyJournalEntriesThatCheckOut) {
    const testing::ScopedJournalPlace place;
    const auto& path = place.path();
    const std::string head =  // the start mark as long as 2^64 - 1
        "HalvernService session journal 1\ninstance 4000000000 18446744073709551615\n";
    const std::string replaying = "replaying the session journal of instance 4000000000";
    const std::string damaged = "ignored the session journal " + path.string() + ": damaged";
    const std::string self = std::to_string(ownProcessId());
    Lines invalid(12, "passed over an entry that is not valid");
    invalid.insert(invalid.begin(), replaying);
    const struct {
        std::string text;
        Lines ran, report;
    } cases[] = {
        {head + "server-route 203.0.113.5 Ethernet%20Z 192.0.2.1\ntunnel-route Halvern_Tun_802 "
                "10.255.0.1\nend\n",
         {kDeleteTunnelRoute, kDeleteHostRoute},
         {replaying, "deleted the tunnel routes of Halvern_Tun_802",
          "deleted the host route to 203.0.113.5 via 192.0.2.1"}},
        {head +
             "server-route 203.0.113.5 Eth%22%20x 192.0.2.1\n"
             "server-route 203.0.113.05 Ethernet 192.0.2.1\n"
             "server-route 1.2.3.4%26calc Ethernet 192.0.2.1\n"
             "server-route 203.0.113.5 Ethernet%ZZ 192.0.2.1\n"
             "server-route 203.0.113.5 Ethernet\ntunnel-route Other_1 10.255.0.1\n"
             "tunnel-route Halvern_1 10.255.0.256\ntunnel-route Halvern_1%3B 10.255.0.1\n"
             "child 12x 5\nchild 0 5\ndns bogus Halvern_1\ntunnel-route Halvern_" +
             std::string(57, 'x') + " 10.255.0.1\nend\n",  // a name one byte too long
         {},
         invalid},
        {head + "end\n", {}, {replaying}},                              // nothing to undo
        {head + "tunnel-route Halvern_1 10.255.0.1\n", {}, {damaged}},  // torn: no end line
        {"HalvernService session journal 2\ninstance 1 1\nend\n", {}, {damaged}},
        {"HalvernService session journal 1\ninstance " + self + " " +
             processStartMark(ownProcessId()) + "\ntunnel-route Halvern_1 10.255.0.1\nend\n",
         {},
         {"left the session journal " + path.string() + " alone: its instance " + self +
          " still runs"}},
    };
    RecordingSystem system;
    const auto replay = [&] {
        Lines report;
        system.ran.clear();
        replaySessionJournal(path, system, [&](const std::string& line) {
            if (line.find(" leftover processes of ") == std::string::npos) {  // the daemon test's
                report.push_back(line);
            }
        });
        return report;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_EQ(writeJournalStore(path, c.text), 0U);
        EXPECT_EQ(replay(), c.report);
        EXPECT_EQ(system.ran, c.ran);
        EXPECT_EQ(place.holdsJournal(), c.report[0].rfind("left", 0) == 0);
    }
    // A journal that others may change is not the service's own, nor on Linux a link to one.
    for (const bool link : {false, !testing::kOnWindows}) {
        ASSERT_EQ(writeJournalStore(path, head + "end\n"), 0U);
        testing::letOthersChangeJournal(path);
        if (link) {
            std::filesystem::rename(path, path.parent_path() / "elsewhere");
            std::filesystem::create_symlink(path.parent_path() / "elsewhere", path);
        }
        EXPECT_EQ(replay(), Lines{"ignored the session journal " + path.string() +
                                  ": not the service's own file"});
    }
}

}  // namespace
}  // namespace halvern
