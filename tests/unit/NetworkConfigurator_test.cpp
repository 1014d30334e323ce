#include "network/NetworkConfigurator.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "journal/SessionJournal.h"
#include "support/TestSupport.h"
#include "unit/RecordingNetworkSystem.h"

namespace halvern {
namespace {

constexpr auto kSetAddress = NetworkConfigurator::AdapterAddress::set;
constexpr auto kLeaveAddress = NetworkConfigurator::AdapterAddress::leave;

// With and without the host route and the address step; a repeated or third server is not used.
TEST(NetworkSetup, StepsRunInTheirOrderAndRestoreDeletesOnlyTheRoutes) {
    const std::string name = "name=\"Halvern_Tun_802\" ";
    const Lines full = {
        kNetsh + "set address " + name + "source=static addr=10.255.0.1 mask=255.255.255.0",
        kNetsh + "set dnsservers " + name + "static address=1.1.1.1 register=none validate=no",
        ("[tolerated] powershell -NoProfile -Command \"$i=(Get-NetAdapter -Name 'Halvern_Tun_802')"
         ".InterfaceIndex;Get-CimInstance Win32_NetworkAdapterConfiguration|Where-Object{"
         "$_.InterfaceIndex -eq $i}|ForEach-Object{Invoke-CimMethod -InputObject $_ -MethodName "
         "SetTcpipNetbios -Arguments @{TcpipNetbiosOptions=[uint32]2}}\""),
        kNetsh + "add dnsservers " + name + "address=8.8.8.8 index=2 validate=no",
        kHostRoute,
        kNetsh + "add route 0.0.0.0/0 \"Halvern_Tun_802\" 10.255.0.1 metric=1"};
    for (const bool withServer : {true, false}) {
        RecordingSystem system;
        {
            NetworkConfigurator network(system);
            network.apply("Halvern_Tun_802", withServer ? "203.0.113.5" : "",
                          withServer ? "10.255.0.1" : "",
                          withServer ? Lines{} : Lines{"1.1.1.1", "1.1.1.1", "8.8.8.8"},
                          withServer ? kSetAddress : kLeaveAddress);
            EXPECT_TRUE(network.applied());
            EXPECT_EQ(system.ran, (withServer ? full : Lines{full[1], full[2], full[5]}));
            system.ran.clear();
            network.restore();
            EXPECT_EQ(system.ran, (withServer ? Lines{kDeleteTunnelRoute, kDeleteHostRoute}
                                              : Lines{kDeleteTunnelRoute}));
            EXPECT_EQ(network.defaultInterface() + network.defaultGateway(), "");
            system.ran.clear();
            network.restore();
        }
        EXPECT_EQ(system.ran, Lines{}) << "a second restore and the destructor run nothing";
    }
    RecordingSystem nameless;  // the best route's adapter has no name: there is no default route
    nameless.names[12] = "";
    EXPECT_THROW(NetworkConfigurator(nameless).apply("H", "", "", {}, kLeaveAddress),
                 std::runtime_error);
    RecordingSystem ip;  // on Linux a server must be an address; the message escapes the rest
    ip.builder = &ipCommands();
    for (const Lines& servers : {Lines{"1.1.1.1", "-x\"\x7F"}, Lines{"-x\"\x7F"}}) {
        EXPECT_EQ(testing::errorFrom(
                      [&] { NetworkConfigurator(ip).apply("H", "", "", servers, kLeaveAddress); }),
                  R"(DNS server is not an IP address: "-x\"\x7F")");
    }
}

// Route snapshots after a change of network (addresses in network byte order): what runs, and
// where the host route that went in via 192.0.2.1 on "Ethernet Z" then leads.
TEST(NetworkFollow, TheHostRouteFollowsTheDefaultRouteAddingBeforeDeleting) {
    constexpr std::uint32_t kGateway = 0x010200C0U;  // 192.0.2.1
    constexpr std::uint32_t kMoved = 0x090200C0U;    // 192.0.2.9
    const ForwardRow defaultRoute{0, 0, kGateway, 12, 25}, movedRoute{0, 0, kMoved, 12, 25};
    const ForwardRow hostRoute{0x057100CBU, 0xFFFFFFFFU, kGateway, 12, 1};  // to 203.0.113.5
    const ForwardRow wifi{0, 0, kMoved, 14, 50}, ourDefault{0, 0, 0x0100FF0AU, 40, 0};
    const Lines toMoved = {kNetsh + "add route 203.0.113.5/32 \"Ethernet Z\" 192.0.2.9 metric=1",
                           kDeleteHostRoute};
    const Lines toWifi = {kNetsh + "add route 203.0.113.5/32 \"Wi-Fi\" 192.0.2.9 metric=1",
                          kDeleteHostRoute};
    const Uplink start{"192.0.2.1", "Ethernet Z"}, moved{"192.0.2.9", "Ethernet Z"},
        onWifi{"192.0.2.9", "Wi-Fi"};
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
        {"the old link down, routes left", {defaultRoute, hostRoute, wifi}, 12, toWifi, onWifi},
        {"the old link gone with its routes", {wifi}, 0, toWifi, onWifi},
        {"no default route left", {hostRoute}, 0, {}, start},
        {"no default route but through ourselves", {ourDefault}, 0, {}, start},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testing::ScopedJournalPlace place;
        SessionJournal journal(place.path());
        RecordingSystem system;
        NetworkConfigurator network(system, &journal);
        network.apply("Halvern_Tun_802", "203.0.113.5", "10.255.0.1", {}, kLeaveAddress);
        system.rows = {defaultRoute, hostRoute};  // the table as the connect left it
        EXPECT_EQ(network.followDefaultRoute(), std::nullopt);
        system.ran.clear();
        system.rows = c.rows;
        system.down = c.down;
        EXPECT_EQ(network.followDefaultRoute().has_value(), !c.ran.empty());
        EXPECT_EQ(system.ran, c.ran);
        EXPECT_EQ(network.uplink(), c.now);
        const std::vector<JournalEntry> records = {
            {JournalKind::serverRoute, {"203.0.113.5", c.now.interfaceName, c.now.gateway}},
            {JournalKind::tunnelRoute, {"Halvern_Tun_802", "10.255.0.1"}}};
        EXPECT_TRUE(std::ranges::is_permutation(journal.entries(), records))
            << "the journal names the route that exists";
        system.ran.clear();
        network.restore();
        EXPECT_EQ(system.ran.back(), "[tolerated] " + kNetsh + "delete route 203.0.113.5/32 \"" +
                                         c.now.interfaceName + "\" " + c.now.gateway);
    }
    RecordingSystem failing;  // a refused add keeps the old route as the current one
    NetworkConfigurator network(failing);
    network.apply("Halvern_Tun_802", "203.0.113.5", "10.255.0.1", {}, kLeaveAddress);
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
        EXPECT_THROW(network.apply("Halvern_Tun_802", "203.0.113.5", "10.255.0.1", {}, kSetAddress),
                     std::runtime_error);
        EXPECT_TRUE(std::equal(c.tail.rbegin(), c.tail.rend(), system.ran.rbegin()));
        EXPECT_EQ(journal.entries(), c.left);
    }
}

}  // namespace
}  // namespace halvern
