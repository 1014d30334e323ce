// The Linux DNS backends for real: a private mount namespace, a scratch /etc, a fresh /run a row;
// and the text of the resolv.conf backend's backup.
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "common/ChildProcess.h"
#include "integration/ResolverSandbox.h"
#include "integration/SequenceNetwork.h"
#include "network/DnsBackends.h"
#include "network/NetworkSystem.h"
#include "network/ResolvConfBackup.h"
#include "support/TestSupport.h"

namespace halvern::testing {
namespace {

namespace fs = std::filesystem;

const std::string kOriginal = "nameserver 192.0.2.1\noptions edns0\n";
const std::string kOurLines = "nameserver 198.51.100.53\nnameserver 198.51.100.54\n";

// /etc/resolv.conf as a resolver sees it: mode, owner, kind, and the text it reads.
std::string described() {
    return commandOutput("stat -c '%a %u:%g %N' /etc/resolv.conf 2>&1; cat /etc/resolv.conf 2>&1");
}

// oversized: plain, past 1 MiB; readOnly: a symlink in an /etc mounted read-only
enum class Shape { plain, oversized, symlink, readOnly, bindMounted, absent, directory };
// pinned: ours held in place by a bind mount; torn: as if cut off before the second write;
// crashed: never restored, as under kill -9, then undone from the record as a restart does
enum class WhileUp { untouched, replaced, pinned, torn, crashed };
constexpr DnsBackend kFile = DnsBackend::resolvConfFile;

struct Row {
    const char* what;  // the case's name
    Shape shape;
    DnsBackend backend;
    WhileUp whileUp = WhileUp::untouched;
    const char* error = nullptr;  // the message when the change cannot be made
};

// The resolver files in the row's shape; PATH and /run such that the row's backend is chosen.
void prepare(const Row& row, const std::string& savedPath) {
    fs::remove("/etc/resolv.conf");
    fs::remove_all("/etc/resolvconf");
    // resolvectl alone, without systemd-resolved's socket, does not count.
    fs::create_directories("/run/bin");
    writeFileBytes("/run/bin/resolvectl", "#!/bin/sh\necho \"$*\" >>/run/resolvectl.calls\n");
    fs::permissions("/run/bin/resolvectl", fs::perms::owner_all);
    std::string path = "/run/bin:" + pathWithout(savedPath, "resolvconf");
    if (row.backend == DnsBackend::resolvconf) {
        fs::create_directories("/etc/resolvconf");
        writeFileBytes("/etc/resolvconf/interface-order", "lo.inet\ntun*\neth*\n");
        path = savedPath;
    } else if (row.backend == DnsBackend::resolved) {
        commandOutput(
            "mkdir -p /run/systemd/resolve && python3 -c \"import socket; "
            "socket.socket(socket.AF_UNIX).bind('/run/systemd/resolve/io.systemd.Resolve')\"");
    }
    ::setenv("PATH", path.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    if (row.shape == Shape::symlink || row.shape == Shape::readOnly) {
        fs::create_directories("/run/stub");
        writeFileBytes("/run/stub/resolv.conf", kOriginal);
        fs::create_symlink("../run/stub/resolv.conf", "/etc/resolv.conf");
    } else if (row.shape == Shape::plain || row.shape == Shape::oversized) {
        writeFileBytes("/etc/resolv.conf",
                       row.shape == Shape::plain ? kOriginal : std::string(1048577, '#'));
        fs::permissions("/etc/resolv.conf", static_cast<fs::perms>(0640));
        ASSERT_EQ(::chown("/etc/resolv.conf", 0, 4), 0);
    } else if (row.shape == Shape::bindMounted) {
        writeFileBytes("/run/bound", kOriginal);
        writeFileBytes("/etc/resolv.conf", "");
        ASSERT_EQ(::mount("/run/bound", "/etc/resolv.conf", nullptr, MS_BIND, nullptr), 0);
    }
    if (row.shape == Shape::readOnly) {
        ASSERT_EQ(::mount(nullptr, "/etc", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
    } else if (row.shape == Shape::directory) {
        fs::create_directory("/etc/resolv.conf");
    }
}

void expectOurServers(const Row& row, const std::string& adapter) {
    if (row.backend == DnsBackend::resolved) {
        EXPECT_EQ(readFileBytes("/run/resolvectl.calls"),
                  "dns " + adapter + " 198.51.100.53\ndomain " + adapter + " ~.\ndns " + adapter +
                      " 198.51.100.53 198.51.100.54\n");
        return;
    }
    EXPECT_NE(readFileBytes("/etc/resolv.conf").find(kOurLines), std::string::npos) << described();
    if (row.backend == DnsBackend::resolvconf) {
        EXPECT_NE(commandOutput("resolvconf -l").find("tun." + adapter), std::string::npos);
    }
}

const Row kRows[] = {
    {"plainFile", Shape::plain, kFile},
    {"symlink", Shape::symlink, kFile},
    {"bindMountedFile", Shape::bindMounted, kFile},
    {"symlinkInAReadOnlyEtc", Shape::readOnly, kFile, WhileUp(),
     "Failed to write /etc/resolv.conf (error 40)"},
    {"tooLarge", Shape::oversized, kFile, WhileUp(), "Failed to read /etc/resolv.conf (error 27)"},
    {"aDirectory", Shape::directory, kFile, {}, "Failed to read /etc/resolv.conf (error 22)"},
    {"replacedBySomeoneElse", Shape::plain, kFile, WhileUp::replaced},
    {"pinnedByABindMount", Shape::symlink, kFile, WhileUp::pinned},
    {"absent", Shape::absent, kFile},
    {"absentThenPinned", Shape::absent, kFile, WhileUp::pinned},
    {"tornSecondWrite", Shape::symlink, kFile, WhileUp::torn},
    {"crashThenRestart", Shape::symlink, kFile, WhileUp::crashed},
    {"crashInAContainer", Shape::bindMounted, kFile, WhileUp::crashed},
    {"systemdResolved", Shape::plain, DnsBackend::resolved},
    {"resolvconf", Shape::plain, DnsBackend::resolvconf},
    {"resolvconfCrash", Shape::plain, DnsBackend::resolvconf, WhileUp::crashed},
};

using DnsBackends = ::testing::TestWithParam<Row>;

TEST_P(DnsBackends, PutTheOriginalBackExactly) {
    const Row& row = GetParam();
    const ResolverSandbox sandbox;
    if (!sandbox.unavailable().empty()) {
        GTEST_SKIP() << sandbox.unavailable();
    }
    const std::string adapter = "Halvern_" + std::to_string(::getpid());
    const std::string choices[] = {"systemd-resolved, through resolvectl on " + adapter,
                                   "resolvconf, record tun." + adapter,
                                   "/etc/resolv.conf, written directly"};
    const ScopedRuntimeDirectory runtime;
    ASSERT_NO_FATAL_FAILURE(prepare(row, sandbox.savedPath()));
    if (row.backend == DnsBackend::resolvconf && commandOutput("command -v resolvconf").empty()) {
        GTEST_SKIP() << "no resolvconf (scripts/install-deps installs openresolv)";
    }
    const std::string before = described();
    std::string firstWrite;
    const auto bringUp = [&] {
        auto change = hostNetworkSystem().dnsChange(adapter);
        change->setFirstServer("198.51.100.53");
        firstWrite = readFileBytes("/etc/resolv.conf");
        change->addSecondServer("198.51.100.53", "198.51.100.54");
        return change;
    };
    ::testing::internal::CaptureStderr();  // the service's status lines
    [&] {
        if (row.whileUp == WhileUp::crashed) {
            const pid_t child = ::fork();
            if (child == 0) {  // no restore, as under kill -9: the change is let go
                ::_exit(errorFrom([&] { static_cast<void>(bringUp().release()); }) != "<no error>");
            }
            ASSERT_EQ(ChildProcess(child).waitForExit(60000), 0U);
            expectOurServers(row, adapter);
            EXPECT_TRUE(undoRecordedDnsChange(row.backend, adapter));
        } else {
            std::unique_ptr<DnsChange> change;
            EXPECT_EQ(errorFrom([&] { change = bringUp(); }),
                      row.error != nullptr ? row.error : "<no error>");
            if (change) {
                expectOurServers(row, adapter);
                if (row.whileUp == WhileUp::replaced) {
                    writeFileBytes("/etc/resolv.conf.new", "nameserver 203.0.113.99\n");
                    fs::permissions("/etc/resolv.conf.new", static_cast<fs::perms>(0644));
                    fs::rename("/etc/resolv.conf.new", "/etc/resolv.conf");
                } else if (row.whileUp == WhileUp::torn) {
                    writeFileBytes("/etc/resolv.conf", firstWrite);
                } else if (row.whileUp == WhileUp::pinned) {
                    fs::copy_file("/etc/resolv.conf", "/run/pinned");
                    ASSERT_EQ(::mount("/run/pinned", "/etc/resolv.conf", nullptr, MS_BIND, nullptr),
                              0);
                }
                EXPECT_EQ(change->restore(), row.whileUp != WhileUp::pinned);
            }
        }
    }();
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("HalvernService DNS: " + choices[static_cast<int>(row.backend)] + "\n"),
              std::string::npos)
        << log;
    const bool pinned = row.whileUp == WhileUp::pinned;
    EXPECT_EQ(undoRecordedDnsChange(row.backend, adapter), !pinned);  // a retry finds nothing
    EXPECT_EQ(log.find("replaced") != std::string::npos, row.whileUp == WhileUp::replaced) << log;
    // A restore that cannot replace the file says so and keeps the backup for the next try.
    EXPECT_EQ(log.find("could not put") != std::string::npos, pinned) << log;
    if (!pinned) {
        EXPECT_EQ(described(), row.whileUp == WhileUp::replaced
                                   ? "644 0:0 '/etc/resolv.conf'\nnameserver 203.0.113.99\n"
                                   : before);
    }
    EXPECT_EQ(fs::exists(resolvConfBackupPath()), pinned);
    EXPECT_EQ(commandOutput("ls -a /etc | grep halvern; resolvconf -l 2>/dev/null | grep Halvern"),
              "");
}

INSTANTIATE_TEST_SUITE_P(EachRow, DnsBackends, ::testing::ValuesIn(kRows),
                         [](const auto& instance) { return std::string(instance.param.what); });

// The reader takes what the writer wrote, bytes of any kind included, and nothing else: a backup
// it misreads would put a wrong /etc/resolv.conf in place.
TEST(ResolvConfBackup, TheReaderTakesWhatTheWriterWroteAndNothingElse) {
    using Kind = ResolvConfEntry::Kind;
    const ResolvConfBackup backup{{Kind::symlink, 07777, 4294967295U, 4, "a b\n\n"}, {"", "x\n"}};
    const std::string text =
        "halvern resolv.conf backup 1\noriginal symlink 4095 4294967295 4 5\n"
        "a b\n\n\nours 0\n\nours 2\nx\n\n";
    EXPECT_EQ(encodeResolvConfBackup(backup), text);
    EXPECT_EQ(decodeResolvConfBackup(text), backup);
    const std::string header = "halvern resolv.conf backup 1\noriginal";
    const std::string none = header + " none 0 0 0 0\n\n";
    // Another version; a block shorter than its size; a torn last block; a line of other words or
    // too few; eleven digits; more than the permission bits.
    for (const std::string& damaged :
         {std::string("halvern resolv.conf backup 2\noriginal none 0 0 0 0\n\n"),
          header + " none 0 0 0 1\n\n", none + "ours 0\n", none + "ours 0 0\n\n",
          none + "our 0\n\n", header + "s none 0 0 0 0\n\n", header + " dir 0 0 0 0\n\n",
          header + " none 0 x 0 0\n\n", header + " none 0 0 -1 0\n\n", header + " none 0 0 0\n\n",
          header + " none 0 0 0 00000000001\nx\n", header + " none 4096 0 0 0\n\n"}) {
        EXPECT_EQ(decodeResolvConfBackup(damaged), std::nullopt) << damaged;
    }
}

}  // namespace
}  // namespace halvern::testing
