#include "network/NetworkConfigurator.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "network/RouteDiscovery.h"

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

// ---------------------------------------------------------------------------------------------
// The choice of the system's default route, on hand-made tables.

TEST(DefaultRouteChoice, NoDefaultRouteOrOnlyTunnelOnesGiveNothing) {
    const AdapterNameMap names = {{3, "Ethernet"}, {9, "Halvern_Tun_812"}};
    EXPECT_FALSE(chooseDefaultRoute({}, names));
    // A host route and a network route are not default routes, whatever their metric.
    EXPECT_FALSE(
        chooseDefaultRoute({{ipv4(192, 0, 2, 0), ipv4(255, 255, 255, 0), ipv4(192, 0, 2, 1), 3, 0},
                            {0, ipv4(255, 255, 255, 255), ipv4(192, 0, 2, 1), 3, 0}},
                           names));
    EXPECT_FALSE(chooseDefaultRoute({defaultRow(ipv4(10, 255, 0, 1), 9, 1)}, names));
    EXPECT_FALSE(chooseDefaultRoute({defaultRow(ipv4(192, 0, 2, 1), 3, 5)}, {}));
}

TEST(DefaultRouteChoice, LowestMetricWinsAndLaterRowWinsATie) {
    const AdapterNameMap names = {{3, "Ethernet"}, {4, "Wi-Fi"}, {5, "Backup"}};
    auto chosen = chooseDefaultRoute(
        {defaultRow(ipv4(192, 0, 2, 1), 3, 25), defaultRow(ipv4(198, 51, 100, 1), 4, 10),
         defaultRow(ipv4(203, 0, 113, 1), 5, 40)},
        names);
    ASSERT_TRUE(chosen);
    EXPECT_EQ(chosen->nextHop, ipv4(198, 51, 100, 1));
    EXPECT_EQ(chosen->interfaceName, "Wi-Fi");

    chosen = chooseDefaultRoute(
        {defaultRow(ipv4(192, 0, 2, 1), 3, 25), defaultRow(ipv4(198, 51, 100, 1), 4, 25)}, names);
    ASSERT_TRUE(chosen);
    EXPECT_EQ(chosen->interfaceName, "Wi-Fi");

    // The largest metric there is still qualifies.
    chosen = chooseDefaultRoute({defaultRow(ipv4(192, 0, 2, 1), 3, 0xFFFFFFFFU)}, names);
    ASSERT_TRUE(chosen);
    EXPECT_EQ(chosen->interfaceName, "Ethernet");
}

TEST(DefaultRouteChoice, OnlyNamesThatBeginWithTheExactWordArePassedOver) {
    const std::vector<ForwardRow> rows = {defaultRow(ipv4(192, 0, 2, 1), 3, 50),
                                          defaultRow(ipv4(10, 255, 0, 1), 9, 0)};
    const auto choose = [&rows](const std::string& secondName) {
        const auto chosen = chooseDefaultRoute(rows, {{3, "Ethernet"}, {9, secondName}});
        return chosen ? chosen->interfaceName : std::string("<none>");
    };
    EXPECT_EQ(choose("Halvern_Tun_812"), "Ethernet");
    EXPECT_EQ(choose("Halvern"), "Ethernet");
    EXPECT_EQ(choose("Halver"), "Halver");
    EXPECT_EQ(choose("halvern_tun"), "halvern_tun");
    EXPECT_EQ(choose("HALVERN"), "HALVERN");
    EXPECT_EQ(choose("My Halvern"), "My Halvern");
}

TEST(DefaultRouteChoice, UnknownInterfacesAndOnLinkRoutesArePassedOver) {
    const AdapterNameMap names = {{3, "Ethernet"}, {4, "Wi-Fi"}};
    const auto chosen =
        chooseDefaultRoute({defaultRow(ipv4(192, 0, 2, 1), 3, 30),
                            defaultRow(ipv4(198, 51, 100, 1), 77, 1), defaultRow(0, 4, 1)},
                           names);
    ASSERT_TRUE(chosen);
    EXPECT_EQ(chosen->interfaceName, "Ethernet");
    EXPECT_EQ(chosen->nextHop, ipv4(192, 0, 2, 1));
}

TEST(DefaultRouteChoice, WinnerWithoutAFriendlyNameGivesNothing) {
    const AdapterNameMap names = {{3, "Ethernet"}, {4, ""}};
    EXPECT_FALSE(chooseDefaultRoute(
        {defaultRow(ipv4(192, 0, 2, 1), 3, 30), defaultRow(ipv4(198, 51, 100, 1), 4, 10)}, names));
    // Losing, the nameless adapter is harmless.
    EXPECT_TRUE(chooseDefaultRoute(
        {defaultRow(ipv4(192, 0, 2, 1), 3, 5), defaultRow(ipv4(198, 51, 100, 1), 4, 10)}, names));
}

// ---------------------------------------------------------------------------------------------
// The setup and restore sequences, followed command by command.

// A system with a made-up forwarding table that records the commands it is asked to run. Lines
// that contain `failOn` fail like a command with exit code 1 would.
class RecordingSystem final : public NetworkSystem {
  public:
    explicit RecordingSystem(const NetworkCommandBuilder& builder) : builder_(builder) {}

    bool readIpv4ForwardTable(std::vector<ForwardRow>& table) override {
        table = rows;
        return tableReadable;
    }
    AdapterNameMap listAdapterNames(int family) override {
        EXPECT_EQ(family, kIpv4Family);
        return names;
    }
    const NetworkCommandBuilder& commands() override { return builder_; }
    void runCommand(const CommandLine& commandLine, bool allowFailure) override {
        const std::string line = joinCommandLine(commandLine);
        ran.push_back((allowFailure ? "[tolerated] " : "") + line);
        if (throwAlways) {
            throw std::runtime_error("out of memory");
        }
        if (!failOn.empty() && line.find(failOn) != std::string::npos && !allowFailure) {
            throw std::runtime_error(exitFailureMessage(1, line));
        }
    }

    std::vector<ForwardRow> rows = {defaultRow(ipv4(192, 0, 2, 1), 12, 25),
                                    defaultRow(ipv4(10, 255, 0, 1), 40, 1)};
    AdapterNameMap names = {{12, "Ethernet 2"}, {40, "Halvern_Tun_812"}};
    bool tableReadable = true;
    std::string failOn;
    bool throwAlways = false;
    std::vector<std::string> ran;

  private:
    const NetworkCommandBuilder& builder_;
};

using Lines = std::vector<std::string>;

const std::string kAdapter = "Halvern_Tun_812";
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

Lines applyWithDns(const std::vector<std::string>& dnsServers) {
    RecordingSystem system(netshCommands());
    NetworkConfigurator network(system);
    network.apply(kAdapter, "203.0.113.5", "10.255.0.1", dnsServers, true);
    return system.ran;
}

TEST(NetshSetup, FullSequenceAndItsRestore) {
    RecordingSystem system(netshCommands());
    {
        NetworkConfigurator network(system);
        network.apply(kAdapter, "203.0.113.5", "10.255.0.1", {}, true);
        EXPECT_TRUE(network.applied());
        EXPECT_EQ(network.defaultGateway(), "192.0.2.1");
        EXPECT_EQ(network.defaultInterface(), "Ethernet 2");
        EXPECT_EQ(system.ran, (Lines{kSetAddress, setDns("1.1.1.1"), kNetbios, addDns("8.8.8.8"),
                                     kHostRoute, kTunnelRoute}));

        system.ran.clear();
        network.restore();
        EXPECT_EQ(system.ran, (Lines{kDeleteTunnelRoute, kDeleteHostRoute}));
        EXPECT_FALSE(network.applied());
        EXPECT_EQ(network.adapterName() + network.serverAddress() + network.tunnelAddress() +
                      network.defaultGateway() + network.defaultInterface(),
                  "");

        system.ran.clear();
        network.restore();
    }
    EXPECT_TRUE(system.ran.empty()) << "a second restore and the destructor must run nothing";
}

TEST(NetshSetup, DnsServerChoice) {
    EXPECT_EQ(applyWithDns({"9.9.9.9"}), (Lines{kSetAddress, setDns("9.9.9.9"), kNetbios,
                                                addDns("8.8.8.8"), kHostRoute, kTunnelRoute}));
    EXPECT_EQ(applyWithDns({"8.8.8.8"}),
              (Lines{kSetAddress, setDns("8.8.8.8"), kNetbios, kHostRoute, kTunnelRoute}));
    EXPECT_EQ(applyWithDns({"9.9.9.9", "9.9.9.9"}),
              (Lines{kSetAddress, setDns("9.9.9.9"), kNetbios, kHostRoute, kTunnelRoute}));
    EXPECT_EQ(applyWithDns({"9.9.9.9", ""}),
              (Lines{kSetAddress, setDns("9.9.9.9"), kNetbios, kHostRoute, kTunnelRoute}));
    EXPECT_EQ(applyWithDns({"9.9.9.9", "149.112.112.112", "1.0.0.1", "x"}),
              (Lines{kSetAddress, setDns("9.9.9.9"), kNetbios, addDns("149.112.112.112"),
                     kHostRoute, kTunnelRoute}));
    // Entries go in as they stand, even an empty first one.
    EXPECT_EQ(applyWithDns({""}), (Lines{kSetAddress, setDns(""), kNetbios, addDns("8.8.8.8"),
                                         kHostRoute, kTunnelRoute}));
}

TEST(NetshSetup, OptionalStepsAndDefaults) {
    {
        // No server address: no host route to add, and none to delete.
        RecordingSystem system(netshCommands());
        NetworkConfigurator network(system);
        network.apply(kAdapter, "", "10.255.0.1", {}, true);
        EXPECT_EQ(system.ran, (Lines{kSetAddress, setDns("1.1.1.1"), kNetbios, addDns("8.8.8.8"),
                                     kTunnelRoute}));
        system.ran.clear();
        network.restore();
        EXPECT_EQ(system.ran, (Lines{kDeleteTunnelRoute}));
    }
    {
        RecordingSystem system(netshCommands());
        NetworkConfigurator network(system);
        network.apply(kAdapter, "203.0.113.5", "10.255.0.1", {}, false);
        EXPECT_EQ(system.ran, (Lines{setDns("1.1.1.1"), kNetbios, addDns("8.8.8.8"), kHostRoute,
                                     kTunnelRoute}));
    }
    {
        RecordingSystem system(netshCommands());
        NetworkConfigurator network(system);
        network.apply(kAdapter, "203.0.113.5", "", {}, true);
        EXPECT_EQ(network.tunnelAddress(), "10.255.0.1");
        EXPECT_EQ(system.ran, (Lines{kSetAddress, setDns("1.1.1.1"), kNetbios, addDns("8.8.8.8"),
                                     kHostRoute, kTunnelRoute}));
    }
    {
        RecordingSystem system(netshCommands());
        NetworkConfigurator network(system);
        network.apply(kAdapter, "203.0.113.5", "10.9.8.7", {}, true);
        EXPECT_EQ(system.ran.front(),
                  "netsh interface ipv4 set address name=\"Halvern_Tun_812\" source=static "
                  "addr=10.9.8.7 mask=255.255.255.0");
        EXPECT_EQ(system.ran.back(),
                  "netsh interface ipv4 add route 0.0.0.0/0 \"Halvern_Tun_812\" 10.9.8.7 metric=1");
    }
}

TEST(NetshSetup, NoDefaultRouteRunsNothing) {
    RecordingSystem system(netshCommands());
    system.rows = {defaultRow(ipv4(10, 255, 0, 1), 40, 1), defaultRow(0, 12, 5)};
    NetworkConfigurator network(system);
    try {
        network.apply(kAdapter, "203.0.113.5", "", {"9.9.9.9"}, true);
        FAIL() << "apply succeeded without a default route";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Could not determine the default route");
    }
    EXPECT_TRUE(system.ran.empty());
    EXPECT_FALSE(network.applied());
    EXPECT_EQ(network.adapterName(), kAdapter);
    EXPECT_EQ(network.serverAddress(), "203.0.113.5");
    EXPECT_EQ(network.tunnelAddress(), "10.255.0.1");
    EXPECT_EQ(network.defaultGateway(), "");

    system.tableReadable = false;
    system.rows = {defaultRow(ipv4(192, 0, 2, 1), 12, 25)};
    EXPECT_FALSE(network.findDefaultRoute());
    network.restore();
    EXPECT_TRUE(system.ran.empty());
}

TEST(NetshSetup, FailureStopsWithoutUndoing) {
    RecordingSystem system(netshCommands());
    {
        NetworkConfigurator network(system);
        system.failOn = "0.0.0.0/0";
        try {
            network.apply(kAdapter, "203.0.113.5", "10.255.0.1", {}, true);
            FAIL() << "apply succeeded";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(error.what(), "Command failed with exit code 1: " + kTunnelRoute);
        }
        EXPECT_EQ(system.ran.at(4), kHostRoute);
        EXPECT_EQ(system.ran.size(), 6U);
        EXPECT_FALSE(network.applied());
        system.ran.clear();
        network.restore();
        EXPECT_TRUE(system.ran.empty()) << "the host route stays";
        EXPECT_EQ(network.defaultInterface(), "Ethernet 2");
    }
    EXPECT_TRUE(system.ran.empty());

    // A failing NetBIOS step is no failure.
    RecordingSystem tolerant(netshCommands());
    tolerant.failOn = "powershell";
    NetworkConfigurator network(tolerant);
    network.apply(kAdapter, "203.0.113.5", "10.255.0.1", {}, true);
    EXPECT_TRUE(network.applied());
    EXPECT_EQ(tolerant.ran.size(), 6U);
}

TEST(NetshSetup, DestructorRestoresAndSwallowsFailures) {
    RecordingSystem system(netshCommands());
    {
        NetworkConfigurator network(system);
        network.apply(kAdapter, "203.0.113.5", "10.255.0.1", {}, true);
        system.ran.clear();
        system.throwAlways = true;
    }
    EXPECT_EQ(system.ran, (Lines{kDeleteTunnelRoute}));
}

TEST(IpSetup, FullSequenceAndItsRestore) {
    RecordingSystem system(ipCommands());
    system.names = {{12, "eth0"}, {40, "Halvern_812"}};
    NetworkConfigurator network(system);
    network.apply("Halvern_812", "203.0.113.5", "10.255.0.1", {"9.9.9.9", "149.112.112.112"}, true);
    EXPECT_EQ(system.ran, (Lines{
                              "ip address replace 10.255.0.1/24 dev Halvern_812",
                              "ip link set dev Halvern_812 up",
                              "resolvectl dns Halvern_812 9.9.9.9",
                              "resolvectl domain Halvern_812 ~.",
                              "resolvectl dns Halvern_812 9.9.9.9 149.112.112.112",
                              "ip route add 203.0.113.5/32 via 192.0.2.1 dev eth0 metric 1",
                              "ip route add 0.0.0.0/1 via 10.255.0.1 dev Halvern_812 metric 1",
                              "ip route add 128.0.0.0/1 via 10.255.0.1 dev Halvern_812 metric 1",
                          }));
    system.ran.clear();
    network.restore();
    EXPECT_EQ(system.ran,
              (Lines{
                  "[tolerated] ip route del 0.0.0.0/1 via 10.255.0.1 dev Halvern_812 metric 1",
                  "[tolerated] ip route del 128.0.0.0/1 via 10.255.0.1 dev Halvern_812 metric 1",
                  "[tolerated] ip route del 203.0.113.5/32 via 192.0.2.1 dev eth0 metric 1",
              }));
    // Argument vectors, not lines: a name with a space stays one argument.
    EXPECT_EQ(ipCommands().addServerRoute("203.0.113.5", "my link", "192.0.2.1").at(0).at(7),
              "my link");
}

TEST(CommandText, PiecesJoinWithSingleSpaces) {
    EXPECT_EQ(joinCommandLine({"ip", "route", "add"}), "ip route add");
    EXPECT_EQ(joinCommandLine({"netsh a \"b c\""}), "netsh a \"b c\"");
    EXPECT_EQ(joinCommandLine({"resolvectl", "", "x"}), "resolvectl  x");
    EXPECT_EQ(exitFailureMessage(0xC0000005U, "netsh x"),
              "Command failed with exit code 3221225477: netsh x");
    EXPECT_EQ(launchFailureMessage(2, "netsh x"), "Failed to launch command (error 2): netsh x");
}

}  // namespace
}  // namespace halvern
