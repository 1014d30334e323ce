#include "network/NetworkConfigurator.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/ProcessIdentity.h"
#include "network/RouteDiscovery.h"
#include "support/TestSupport.h"
#include "tunnel/SessionRecovery.h"

namespace halvern {
namespace {

// An IPv4 address as the forwarding table stores it: network byte order in memory.
std::uint32_t ipv4(unsigned a, unsigned b, unsigned c, unsigned d) {
    const unsigned char bytes[4] = {static_cast<unsigned char>(a), static_cast<unsigned char>(b),
                                    static_cast<unsigned char>(c), static_cast<unsigned char>(d)};
    std::uint32_t value = 0;
    std::memcpy(&value, bytes, sizeof(value));
    return value;
}

ForwardRow defaultRow(std::uint32_t nextHop, std::uint32_t interfaceIndex, std::uint32_t metric) {
    return {0, 0, nextHop, interfaceIndex, metric};
}

// The choice of the system's default route, on hand-made tables. Index 3 is "Ethernet" at metric
// 30 in every case; the second row varies.
TEST(DefaultRouteChoice, Rules) {
    const std::uint32_t hop = ipv4(192, 0, 2, 1);
    const ForwardRow ethernet = defaultRow(hop, 3, 30);
    struct Case {
        const char* what;
        ForwardRow second;
        std::string secondName;
        std::string expected;  // the chosen interface, "" for nothing
    };
    const ForwardRow second = defaultRow(ipv4(198, 51, 100, 1), 4, 0);
    // clang-format off
    const std::vector<Case> cases = {
        {"lower metric wins",    defaultRow(second.nextHop, 4, 10), "Wi-Fi", "Wi-Fi"},
        {"later row wins a tie", defaultRow(second.nextHop, 4, 30), "Wi-Fi", "Wi-Fi"},
        {"higher metric loses",  defaultRow(second.nextHop, 4, 31), "Wi-Fi", "Ethernet"},
        {"tunnel adapter",       second, "Halvern_Tun_812", "Ethernet"},
        {"bare prefix",          second, "Halvern",         "Ethernet"},
        {"shorter prefix",       second, "Halver",          "Halver"},
        {"lower case",           second, "halvern_tun",     "halvern_tun"},
        {"not at the start",     second, "My Halvern",      "My Halvern"},
        {"network route",        {ipv4(192, 0, 2, 0), ipv4(255, 255, 255, 0), hop, 4, 0}, "Wi-Fi",
                                 "Ethernet"},
        {"host mask",            {0, ipv4(255, 255, 255, 255), hop, 4, 0}, "Wi-Fi", "Ethernet"},
        // The tunnel's halves and their dead ends (Linux): 0.0.0.0/1 is no default route.
        {"half of the space",    {0, ipv4(128, 0, 0, 0), hop, 4, 0}, "Wi-Fi", "Ethernet"},
        {"on-link",              defaultRow(0, 4, 0), "Wi-Fi", "Ethernet"},
        {"unknown interface",    defaultRow(second.nextHop, 77, 0), "Wi-Fi", "Ethernet"},
        {"nameless winner",      defaultRow(second.nextHop, 4, 10), "", ""},
        {"nameless loser",       defaultRow(second.nextHop, 4, 40), "", "Ethernet"},
    };
    // clang-format on
    for (const Case& c : cases) {
        const auto chosen =
            chooseDefaultRoute({ethernet, c.second}, {{3, "Ethernet"}, {4, c.secondName}});
        EXPECT_EQ(chosen ? chosen->interfaceName : std::string(), c.expected) << c.what;
        const std::uint32_t expectedHop = c.expected == "Ethernet" ? hop : c.second.nextHop;
        EXPECT_EQ(chosen ? chosen->nextHop : 0U, c.expected.empty() ? 0U : expectedHop) << c.what;
    }
    EXPECT_TRUE(chooseDefaultRoute({defaultRow(hop, 3, 0xFFFFFFFFU)}, {{3, "E"}}));
}

// A system with a made-up forwarding table that records the commands it is asked to run.
class RecordingSystem final : public NetworkSystem {
  public:
    bool readIpv4ForwardTable(std::vector<ForwardRow>& table) override {
        table = rows;
        return true;
    }
    AdapterNameMap listAdapterNames(int /*family*/) override {
        return {{12, "Ethernet 2"}, {40, "Halvern_Tun_812"}};
    }
    const NetworkCommandBuilder& commands() override { return *builder; }
    void runCommand(const CommandLine& commandLine, bool allowFailure) override {
        ran.push_back((allowFailure ? "[tolerated] " : "") + joinCommandLine(commandLine));
    }

    std::vector<ForwardRow> rows = {defaultRow(ipv4(192, 0, 2, 1), 12, 25),
                                    defaultRow(ipv4(10, 255, 0, 1), 40, 1)};
    std::vector<std::string> ran;
    const NetworkCommandBuilder* builder = &netshCommands();
};

using Lines = std::vector<std::string>;

const std::string kSetAddress =
    "netsh interface ipv4 set address name=\"Halvern_Tun_812\" source=static addr=10.255.0.1 "
    "mask=255.255.255.0";
const std::string kNetbios =
    "[tolerated] powershell -NoProfile -Command \"$i=(Get-NetAdapter -Name "
    "'Halvern_Tun_812').InterfaceIndex;Get-CimInstance "
    "Win32_NetworkAdapterConfiguration|Where-Object{$_.InterfaceIndex -eq "
    "$i}|ForEach-Object{Invoke-CimMethod -InputObject $_ -MethodName SetTcpipNetbios -Arguments "
    "@{TcpipNetbiosOptions=[uint32]2}}\"";
const std::string kHostRoute =
    "netsh interface ipv4 add route 203.0.113.5/32 \"Ethernet 2\" 192.0.2.1 metric=1";
const std::string kTunnelRoute =
    "netsh interface ipv4 add route 0.0.0.0/0 \"Halvern_Tun_812\" 10.255.0.1 metric=1";
const std::string kDeleteTunnelRoute =
    "[tolerated] netsh interface ipv4 delete route 0.0.0.0/0 \"Halvern_Tun_812\" 10.255.0.1";
const std::string kDeleteHostRoute =
    "[tolerated] netsh interface ipv4 delete route 203.0.113.5/32 \"Ethernet 2\" 192.0.2.1";

std::string setDns(const std::string& server) {
    return "netsh interface ipv4 set dnsservers name=\"Halvern_Tun_812\" static address=" + server +
           " register=none validate=no";
}

std::string addDns(const std::string& server) {
    return "netsh interface ipv4 add dnsservers name=\"Halvern_Tun_812\" address=" + server +
           " index=2 validate=no";
}

// The whole sequence for a given first and second DNS server ("" for no second one).
Lines fullSequence(const std::string& first, const std::string& second) {
    Lines lines = {kSetAddress, setDns(first), kNetbios};
    if (!second.empty()) {
        lines.push_back(addDns(second));
    }
    lines.insert(lines.end(), {kHostRoute, kTunnelRoute});
    return lines;
}

TEST(NetshSetup, CommandLinesForEachCase) {
    struct Case {
        Lines dns;
        std::string server;
        std::string tunnel;
        bool setAddress;
        Lines apply;
    };
    const std::string server = "203.0.113.5";
    const std::string tunnel = "10.255.0.1";
    // clang-format off
    const std::vector<Case> cases = {
        {{},                     server, tunnel, true, fullSequence("1.1.1.1", "8.8.8.8")},
        {{"9.9.9.9"},            server, tunnel, true, fullSequence("9.9.9.9", "8.8.8.8")},
        {{"8.8.8.8"},            server, tunnel, true, fullSequence("8.8.8.8", "")},
        {{"9.9.9.9", "9.9.9.9"}, server, tunnel, true, fullSequence("9.9.9.9", "")},
        {{"9.9.9.9", ""},        server, tunnel, true, fullSequence("9.9.9.9", "")},
        {{"9.9.9.9", "149.112.112.112", "1.0.0.1"}, server, tunnel, true,
         fullSequence("9.9.9.9", "149.112.112.112")},
        {{""},                   server, tunnel, true, fullSequence("", "8.8.8.8")},
        {{},                     server, "",     true, fullSequence("1.1.1.1", "8.8.8.8")},
        {{},                     "",     tunnel, true,
         {kSetAddress, setDns("1.1.1.1"), kNetbios, addDns("8.8.8.8"), kTunnelRoute}},
        {{},                     server, tunnel, false,
         {setDns("1.1.1.1"), kNetbios, addDns("8.8.8.8"), kHostRoute, kTunnelRoute}},
    };
    // clang-format on
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        const Case& c = cases[i];
        RecordingSystem system;
        {
            NetworkConfigurator network(system);
            network.apply("Halvern_Tun_812", c.server, c.tunnel, c.dns, c.setAddress);
            EXPECT_TRUE(network.applied());
            EXPECT_EQ(system.ran, c.apply);
            system.ran.clear();
            network.restore();
            EXPECT_EQ(system.ran, (c.server.empty() ? Lines{kDeleteTunnelRoute}
                                                    : Lines{kDeleteTunnelRoute, kDeleteHostRoute}));
            system.ran.clear();
            network.restore();
        }
        EXPECT_TRUE(system.ran.empty()) << "a second restore and the destructor run nothing";
    }
}

// On Linux a DNS server becomes an argument, a resolvconf input line or a resolv.conf line, so
// it must be an address; anything else fails before the first command. Windows takes any text.
TEST(IpSetup, DnsServersMustBeAddresses) {
    struct Case {
        std::vector<std::string> dns;
        std::string rejected;  // as the message shows it; "" when accepted
    };
    // clang-format off
    const std::vector<Case> cases = {
        {{"1.1.1.1\nnameserver 6.6.6.6"}, "\"1.1.1.1\\x0Anameserver 6.6.6.6\""},
        {{"9.9.9.9", "1.1.1.1 2.2.2.2"},   "\"1.1.1.1 2.2.2.2\""},
        {{"-x"},                           "\"-x\""},
        {{"dns.example"},                  "\"dns.example\""},
        {{std::string("1.1.1.1\0", 8)},    "\"1.1.1.1\\x00\""},
        {{""},                             "\"\""},
        {{"2001:db8::53", ""},             ""},
        {{"9.9.9.9", "9.9.9.9", "junk"},   ""},
    };
    // clang-format on
    for (const Case& c : cases) {
        RecordingSystem system;
        system.builder = &ipCommands();
        NetworkConfigurator network(system);
        try {
            network.apply("Halvern_812", "203.0.113.5", "", c.dns, true);
            EXPECT_EQ(c.rejected, "") << c.dns[0];
            EXPECT_EQ(system.ran.at(2), "resolvectl dns Halvern_812 " + c.dns[0]);
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(error.what(), "DNS server is not an IP address: " + c.rejected);
            EXPECT_TRUE(system.ran.empty());
            EXPECT_FALSE(network.applied());
        }
    }
}

// The routes are journalled before they are added and dropped once deleted; what a service that
// died while connected left is deleted by the next start, with lines built afresh.
TEST(NetshSetup, TheNextStartDeletesWhatADeadInstanceJournalled) {
    testing::ScopedTempDirectory directory;
    const auto path = directory.path() / "session.journal";
    RecordingSystem system;
    SessionJournal journal(path);
    NetworkConfigurator network(system, &journal);
    network.apply("Halvern_Tun_812", "203.0.113.5", "10.255.0.1", {}, true);
    const std::string leftByACrash = testing::journalOfADeadInstance(testing::readFileBytes(path));
    network.restore();
    EXPECT_FALSE(std::filesystem::exists(path)) << "nothing is left to undo";

    testing::writeFileBytes(path, leftByACrash);
    system.ran.clear();
    Lines report;
    replaySessionJournal(path, system, [&](const std::string& line) { report.push_back(line); });
    EXPECT_EQ(system.ran, (Lines{kDeleteTunnelRoute, kDeleteHostRoute}));
    EXPECT_EQ(report, (Lines{"replaying the session journal of instance 4000000000",
                             "deleted the tunnel routes of Halvern_Tun_812",
                             "deleted the host route to 203.0.113.5 via 192.0.2.1"}));
    EXPECT_FALSE(std::filesystem::exists(path));
}

// Nothing in a journal is run as it stands: each entry's fields must check out, and a journal
// that is damaged, not the service's own, or of an instance that still runs is not used.
TEST(NetshSetup, ARecoveryUsesOnlyEntriesThatCheckOut) {
    testing::ScopedTempDirectory directory;
    const auto path = directory.path() / "session.journal";
    const std::string head = "HalvernService session journal 1\ninstance 4000000000 7\n";
    const std::string replaying = "replaying the session journal of instance 4000000000";
    const std::string invalid = "passed over an entry that is not valid";
    const std::string damaged = "ignored the session journal " + path.string() + ": damaged";
    struct Case {
        std::string text;
        Lines ran;
        Lines report;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {head + "server-route 203.0.113.5 Ethernet%202 192.0.2.1\nend\n", {kDeleteHostRoute},
         {replaying, "deleted the host route to 203.0.113.5 via 192.0.2.1"}},
        {head + "server-route 203.0.113.5 Eth%22%20x 192.0.2.1\n"    // a quote in the name
                "server-route 203.0.113.05 Ethernet 192.0.2.1\n"      // a leading zero
                "server-route 1.2.3.4%26calc Ethernet 192.0.2.1\n"
                "server-route 203.0.113.5 Ethernet%ZZ 192.0.2.1\n"    // a broken escape
                "server-route 203.0.113.5 Ethernet\n"
                "tunnel-route Other_1 10.255.0.1\n"
                "tunnel-route Halvern_1 10.255.0.256\ntunnel-route Halvern_1 10.255.0\n"
                "child 12x 5\nchild 0 5\nroute add 0.0.0.0\nend\n", {},
         {replaying, invalid, invalid, invalid, invalid, invalid, invalid, invalid, invalid,
          invalid, invalid, invalid}},
        {head + "tunnel-route Halvern_1 10.255.0.1\n", {}, {damaged}},   // torn: no end line
        {"HalvernService session journal 2\ninstance 1 1\nend\n", {}, {damaged}},
        {"HalvernService session journal 1\ninstance " + std::to_string(ownProcessId()) + " " +
             processStartMark(ownProcessId()) + "\ntunnel-route Halvern_1 10.255.0.1\nend\n", {},
         {"left the session journal " + path.string() + " alone: its instance " +
          std::to_string(ownProcessId()) + " still runs"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        testing::writeFileBytes(path, c.text);
        RecordingSystem system;
        Lines report;
        replaySessionJournal(path, system,
                             [&](const std::string& line) { report.push_back(line); });
        EXPECT_EQ(system.ran, c.ran);
        EXPECT_EQ(report, c.report);
        EXPECT_EQ(std::filesystem::exists(path), c.report[0].rfind("left", 0) == 0);
    }
    // A file that others may write, or a link, is not the service's own (Linux; Windows checks
    // the file's owner).
    if (testing::programFileName("x") == "x") {
        testing::writeFileBytes(directory.path() / "elsewhere", head + "end\n");
        std::filesystem::permissions(directory.path() / "elsewhere",
                                     std::filesystem::perms::others_write,
                                     std::filesystem::perm_options::add);
        for (const bool link : {false, true}) {
            std::filesystem::remove(path);
            link ? std::filesystem::create_symlink(directory.path() / "elsewhere", path)
                 : std::filesystem::copy(directory.path() / "elsewhere", path);
            Lines report;
            RecordingSystem system;
            replaySessionJournal(path, system,
                                 [&](const std::string& line) { report.push_back(line); });
            EXPECT_EQ(report, Lines{"ignored the session journal " + path.string() +
                                    ": not the service's own file"});
        }
    }
}

}  // namespace
}  // namespace halvern
