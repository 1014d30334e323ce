#include "tunnel/SessionRecovery.h"

#include <gtest/gtest.h>

#include "common/ProcessIdentity.h"
#include "journal/JournalStore.h"
#include "journal/SessionJournal.h"
#include "network/NetworkConfigurator.h"
#include "support/TestSupport.h"
#include "unit/RecordingNetworkSystem.h"

namespace halvern {
namespace {

// An undo that could not run keeps its record until a retry (teardown's or next start's) does it.
TEST(SessionRecovery, AnUndoThatCouldNotRunKeepsItsRecordUntilARetryDoesIt) {
    const testing::ScopedJournalPlace place;
    SessionJournal journal(place.path());
    RecordingSystem system;
    NetworkConfigurator network(system, &journal);
    network.apply("Halvern_Tun_802", "203.0.113.5", "10.255.0.1", {},
                  NetworkConfigurator::AdapterAddress::set);
    system.failing = "delete route 203.0.113.5";
    network.restore();  // the tunnel route's record goes, the host route's stays
    Lines report;
    for (const std::size_t left : {1U, 0U}) {
        EXPECT_EQ(retryNetworkUndos(journal, system,
                                    [&](const std::string& line) { report.push_back(line); }),
                  left);
        system.failing.clear();
    }
    const std::string route = "the host route to 203.0.113.5 via 192.0.2.1";
    EXPECT_EQ(report, (Lines{"could not run the delete of " + route, "deleted " + route}));
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
        {head + "dns resolved Halvern_1\nserver-route 203.0.113.5 Ethernet%20Z 192.0.2.1\n"
                "tunnel-route Halvern_Tun_802 10.255.0.1\nend\n",
         {kDeleteTunnelRoute, kDeleteHostRoute},
         {replaying, "deleted the tunnel routes of Halvern_Tun_802",
          "deleted the host route to 203.0.113.5 via 192.0.2.1",
          "put back the DNS settings that Halvern_1 changed (resolved)"}},
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
        {head.substr(0, 42) + std::string(20, '0') + "1 1\nend\n", {}, {damaged}},  // 21 digits
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
