// The Linux verbs against a recording systemctl stand-in first on PATH, each test in a private
// mount namespace with a tmpfs over the unit directory: the real halvern-service writes its unit
// where systemd would look, and nothing reaches the host.
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>

#include "service/ServiceExecutable.h"
#include "support/TestSupport.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;
using testing::readFileBytes;

constexpr const char* kUnitDirectory = "/etc/systemd/system";
constexpr const char* kUnitPath = "/etc/systemd/system/HalvernService.service";

struct RunResult {
    int exitCode = -1;
    std::string output;  // stdout and stderr together
};

class ServiceVerbs : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0 || !fs::is_directory(kUnitDirectory)) {
            GTEST_SKIP() << "needs root and " << kUnitDirectory;
        }
        ASSERT_EQ(unshare(CLONE_NEWNS), 0) << errno;
        ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << errno;
        ASSERT_EQ(mount("tmpfs", kUnitDirectory, "tmpfs", 0, "mode=0755"), 0) << errno;
        fs::create_directory(work_.path() / "bin");
        // Records each call with whether the unit file was there at that moment, and fails the
        // one subcommand named in "fail" with the code given there.
        const fs::path standIn = work_.path() / "bin" / "systemctl";
        const std::string fail = (work_.path() / "fail").string();
        std::ofstream(standIn) << "#!/bin/sh\n[ -e " << kUnitPath
                               << " ] && unit=present || unit=absent\n"
                               << "echo \"$* $unit\" >> '" << calls().string() << "'\n"
                               << "[ -f '" << fail << "' ] && read verb code < '" << fail
                               << "' && [ \"$1\" = \"$verb\" ] && exit \"$code\"\nexit 0\n";
        fs::permissions(standIn, fs::perms::owner_all);
        savedPath_ = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe)
        setPath((work_.path() / "bin").string() + ":" + savedPath_);
    }

    void TearDown() override {
        if (!savedPath_.empty()) {
            setPath(savedPath_);
            umount2(kUnitDirectory, MNT_DETACH);
        }
    }

    static void setPath(const std::string& path) {
        setenv("PATH", path.c_str(), 1);  // NOLINT(concurrency-mt-unsafe): one thread
    }

    fs::path calls() const { return work_.path() / "calls"; }

    void failSubcommand(const std::string& subcommand, int code) const {
        std::ofstream(work_.path() / "fail") << subcommand << ' ' << code << '\n';
    }

    // Runs a command line through the shell, each word single-quoted, with its output in a file.
    RunResult run(std::initializer_list<std::string> words) const {
        std::string command;
        for (const std::string& argument : words) {
            command += "'";
            for (const char c : argument) {
                command += c == '\'' ? std::string("'\\''") : std::string(1, c);
            }
            command += "' ";
        }
        const fs::path output = work_.path() / "output";
        command += ">'" + output.string() + "' 2>&1";
        const int status =
            std::system(command.c_str());  // NOLINT(cert-env33-c,concurrency-mt-unsafe)
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFileBytes(output)};
    }

    RunResult verb(const std::string& word,
                   const fs::path& executable = test::serviceExecutable()) const {
        return run({executable.string(), word});
    }

    // systemd-analyze checks, among others, that ExecStart names an executable file.
    void expectUnitVerifies() const {
        const RunResult verify = run({"systemd-analyze", "verify", kUnitPath});
        EXPECT_EQ(verify.exitCode, 0) << verify.output << readFileBytes(kUnitPath);
        EXPECT_EQ(verify.output, "");  // it exits 0 even for ignored settings; those are printed
    }

    testing::ScopedTempDirectory work_;
    std::string savedPath_;
};

TEST_F(ServiceVerbs, InstallWritesAUnitThatSystemdAcceptsAndEnablesItAgainAndAgain) {
    const mode_t oldMask = umask(077);  // the unit must stay readable all the same
    const RunResult first = verb("install");
    umask(oldMask);
    ASSERT_EQ(first.exitCode, 0) << first.output;
    EXPECT_EQ(first.output, "");  // the verbs print nothing of their own
    const std::string installCalls =
        "daemon-reload present\nenable HalvernService.service present\n";
    EXPECT_EQ(readFileBytes(calls()), installCalls);
    const std::string unit = readFileBytes(kUnitPath);
    EXPECT_NE(unit.find("\nExecStart=\"" + test::serviceExecutable().string() + "\"\n"),
              std::string::npos)
        << unit;
    EXPECT_EQ(unit.find("@HALVERN_"), std::string::npos) << unit;  // every placeholder filled
    struct stat info {};
    ASSERT_EQ(stat(kUnitPath, &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644U);
    expectUnitVerifies();

    ASSERT_EQ(verb("install").exitCode, 0);
    EXPECT_EQ(readFileBytes(kUnitPath), unit);
    EXPECT_EQ(readFileBytes(calls()), installCalls + installCalls);
    EXPECT_EQ(std::distance(fs::directory_iterator(kUnitDirectory), fs::directory_iterator{}), 1);
}

TEST_F(ServiceVerbs, AnAwkwardInstallPathReachesSystemdUnchangedOrNotAtAll) {
    // Spaces, a %-sequence and a variable, which systemd would split or expand if left bare.
    const fs::path awkward = work_.path() / "opt dir %h $HOME";
    fs::create_directories(awkward);
    fs::copy_file(test::serviceExecutable(), awkward / "halvern-service");
    ASSERT_EQ(verb("install", awkward / "halvern-service").exitCode, 0);
    expectUnitVerifies();

    // A quote in the name is refused by systemd itself: no unit is written then.
    ASSERT_EQ(verb("uninstall").exitCode, 0);
    fs::remove(calls());
    const fs::path quoted = work_.path() / "it's here";
    fs::create_directories(quoted);
    fs::copy_file(test::serviceExecutable(), quoted / "halvern-service");
    EXPECT_EQ(verb("install", quoted / "halvern-service").exitCode, EINVAL);
    EXPECT_FALSE(fs::exists(kUnitPath));
    EXPECT_FALSE(fs::exists(calls()));
}

TEST_F(ServiceVerbs, UninstallStopsDisablesRemovesAndReloadsOnce) {
    ASSERT_EQ(verb("install").exitCode, 0);
    fs::remove(calls());
    EXPECT_EQ(verb("uninstall").exitCode, 0);
    EXPECT_FALSE(fs::exists(kUnitPath));
    const std::string removed =
        "stop HalvernService.service present\ndisable HalvernService.service present\n"
        "daemon-reload absent\n";
    EXPECT_EQ(readFileBytes(calls()), removed);

    // Removing what is not there succeeds without asking systemd anything; the package's unit
    // belongs to dpkg: uninstall leaves it alone, stop stops it.
    const char* packaged = "/usr/lib/systemd/system";
    ASSERT_EQ(mount("tmpfs", packaged, "tmpfs", 0, "mode=0755"), 0) << errno;
    std::ofstream(std::string(packaged) + "/HalvernService.service") << "[Unit]\n";
    EXPECT_EQ(verb("uninstall").exitCode, 0);
    EXPECT_EQ(verb("stop").exitCode, 0);
    umount2(packaged, MNT_DETACH);
    EXPECT_EQ(readFileBytes(calls()), removed + "stop HalvernService.service absent\n");
}

TEST_F(ServiceVerbs, AFailingStepEndsTheVerbWithItsCode) {
    // Not installed: stop succeeds without asking systemd; start reports its "no such unit".
    EXPECT_EQ(verb("stop").exitCode, 0);
    EXPECT_FALSE(fs::exists(calls()));
    failSubcommand("start", 5);
    EXPECT_EQ(verb("start").exitCode, 5);
    fs::remove(calls());
    failSubcommand("daemon-reload", 3);
    EXPECT_EQ(verb("install").exitCode, 3);
    EXPECT_EQ(readFileBytes(calls()), "daemon-reload present\n");

    fs::remove(work_.path() / "fail");
    ASSERT_EQ(verb("install").exitCode, 0);
    failSubcommand("stop", 1);  // a failed stop is still no failure of the verb
    EXPECT_EQ(verb("stop").exitCode, 0);
    failSubcommand("disable", 4);
    EXPECT_EQ(verb("uninstall").exitCode, 4);
    EXPECT_TRUE(fs::exists(kUnitPath));  // still enabled, so it is not pulled from under systemd

    // systemctl missing altogether: the code is that of the failed start of systemctl.
    setPath((work_.path() / "nowhere").string());
    EXPECT_EQ(verb("start").exitCode, ENOENT);
    setPath((work_.path() / "bin").string() + ":" + savedPath_);

    // A unit directory that cannot be written: the errno, and systemd is never asked.
    fs::remove(kUnitPath);
    fs::remove(calls());
    ASSERT_EQ(mount(nullptr, kUnitDirectory, nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    EXPECT_EQ(verb("install").exitCode, EROFS);
    EXPECT_FALSE(fs::exists(calls()));
}

}  // namespace
}  // namespace halvern
