// The Linux verbs against a recording systemctl stand-in first on PATH. Each test runs in a
// private mount namespace with a tmpfs over the unit directory, so the real
// halvern-service writes its unit where systemd would look, and nothing reaches the host.
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
#include <sstream>
#include <string>
#include <vector>

#include "service/ServiceExecutable.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;

constexpr const char* kUnitDirectory = "/etc/systemd/system";
constexpr const char* kUnitPath = "/etc/systemd/system/HalvernService.service";
constexpr const char* kPackagedUnitDirectory = "/usr/lib/systemd/system";

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct RunResult {
    int exitCode = -1;
    std::string output;  // stdout and stderr together
};

// Runs a program through the shell and waits for it, gathering its output through a file.
RunResult run(const std::vector<std::string>& arguments, const fs::path& outputFile) {
    std::string command;
    for (const std::string& word : arguments) {  // each word single-quoted for the shell
        std::string quoted = "'";
        for (const char c : word) {
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        command += quoted + "' ";
    }
    const std::string line = command + ">'" + outputFile.string() + "' 2>&1";
    const int status = std::system(line.c_str());  // NOLINT(cert-env33-c,concurrency-mt-unsafe)
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(outputFile)};
}

class ServiceVerbs : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0 || !fs::is_directory(kUnitDirectory)) {
            GTEST_SKIP() << "needs root and " << kUnitDirectory;
        }
        ASSERT_EQ(unshare(CLONE_NEWNS), 0) << errno;
        ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << errno;
        ASSERT_EQ(mount("tmpfs", kUnitDirectory, "tmpfs", 0, "mode=0755"), 0) << errno;
        mounted_ = true;

        std::string pattern = (fs::temp_directory_path() / "halvern-verbs-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        work_ = pattern;
        fs::create_directory(work_ / "bin");
        // Records each call with whether the unit file was there at that moment, and fails the
        // one subcommand named in "fail" with the code given there.
        const fs::path standIn = work_ / "bin" / "systemctl";
        std::ofstream(standIn) << "#!/bin/sh\n"
                               << "if [ -e " << kUnitPath << " ]; then unit=present; "
                               << "else unit=absent; fi\n"
                               << "printf '%s %s\\n' \"$*\" \"$unit\" >> '" << calls().string()
                               << "'\n"
                               << "if [ -f '" << (work_ / "fail").string() << "' ]; then\n"
                               << "  read verb code < '" << (work_ / "fail").string() << "'\n"
                               << "  [ \"$1\" = \"$verb\" ] && exit \"$code\"\n"
                               << "fi\n"
                               << "exit 0\n";
        fs::permissions(standIn, fs::perms::owner_all);

        const char* path = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe)
        savedPath_ = path != nullptr ? path : "/usr/bin:/bin";
        setPath((work_ / "bin").string() + ":" + savedPath_);
    }

    void TearDown() override {
        if (!savedPath_.empty()) {
            setPath(savedPath_);
        }
        if (mounted_) {
            umount2(kUnitDirectory, MNT_DETACH);
        }
        if (!work_.empty()) {
            std::error_code ignored;
            fs::remove_all(work_, ignored);
        }
    }

    static void setPath(const std::string& value) {
        setenv("PATH", value.c_str(), 1);  // NOLINT(concurrency-mt-unsafe): one thread
    }

    fs::path calls() const { return work_ / "calls"; }

    void failSubcommand(const std::string& subcommand, int code) const {
        std::ofstream(work_ / "fail") << subcommand << ' ' << code << '\n';
    }

    RunResult verb(const std::string& word,
                   const fs::path& executable = test::serviceExecutable()) {
        return run({executable.string(), word}, work_ / "output");
    }

    fs::path work_;
    std::string savedPath_;
    bool mounted_ = false;
};

TEST_F(ServiceVerbs, InstallWritesAUnitThatSystemdAcceptsAndEnablesIt) {
    const mode_t oldMask = umask(077);  // the unit must stay readable all the same
    const RunResult first = verb("install");
    umask(oldMask);
    ASSERT_EQ(first.exitCode, 0) << first.output;
    EXPECT_EQ(first.output, "");  // the verbs print nothing of their own
    const std::string installCalls =
        "daemon-reload present\nenable HalvernService.service present\n";
    EXPECT_EQ(readFile(calls()), installCalls);

    const std::string unit = readFile(kUnitPath);
    EXPECT_NE(unit.find("\nExecStart=\"" + test::serviceExecutable().string() + "\"\n"),
              std::string::npos)
        << unit;
    for (const char* line :
         {"Type=simple", "Restart=on-failure", "RuntimeDirectory=halvern", "KillMode=control-group",
          "RuntimeDirectoryPreserve=yes",
          "CapabilityBoundingSet=CAP_NET_ADMIN CAP_CHOWN CAP_SETUID CAP_SETGID CAP_KILL",
          "ReadWritePaths=-/run/resolvconf -/etc/resolv.conf", "ProtectSystem=strict",
          "WantedBy=multi-user.target"}) {
        EXPECT_NE(unit.find(std::string("\n") + line + "\n"), std::string::npos) << line;
    }
    EXPECT_EQ(unit.find("@HALVERN_"), std::string::npos) << unit;  // every placeholder filled
    struct stat info {};
    ASSERT_EQ(stat(kUnitPath, &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644U);

    const RunResult verify = run({"systemd-analyze", "verify", kUnitPath}, work_ / "verify");
    EXPECT_EQ(verify.exitCode, 0) << verify.output;
    EXPECT_EQ(verify.output, "");  // it exits 0 even for ignored settings; those are printed

    // A second install is harmless: the same unit, the same two calls again, nothing left over.
    const RunResult second = verb("install");
    ASSERT_EQ(second.exitCode, 0) << second.output;
    EXPECT_EQ(readFile(kUnitPath), unit);
    EXPECT_EQ(readFile(calls()), installCalls + installCalls);
    EXPECT_EQ(std::distance(fs::directory_iterator(kUnitDirectory), fs::directory_iterator{}), 1);
}

TEST_F(ServiceVerbs, AnAwkwardInstallPathReachesSystemdUnchanged) {
    // Spaces, a %-sequence and a variable, which systemd would split or expand if left bare.
    const fs::path directory = work_ / "opt dir %h $HOME";
    fs::create_directories(directory);
    const fs::path copy = directory / "halvern-service";
    fs::copy_file(test::serviceExecutable(), copy);

    const RunResult install = verb("install", copy);
    ASSERT_EQ(install.exitCode, 0) << install.output;
    // verify checks that ExecStart names an executable file: a mangled path fails here.
    const RunResult verify = run({"systemd-analyze", "verify", kUnitPath}, work_ / "verify");
    EXPECT_EQ(verify.exitCode, 0) << verify.output << readFile(kUnitPath);
    EXPECT_EQ(verify.output, "");

    // A quote or backslash in the name is refused by systemd itself: no unit is written then.
    ASSERT_EQ(verb("uninstall").exitCode, 0);
    fs::remove(calls());
    const fs::path quoted = work_ / "it's here";
    fs::create_directories(quoted);
    fs::copy_file(test::serviceExecutable(), quoted / "halvern-service");
    EXPECT_EQ(verb("install", quoted / "halvern-service").exitCode, EINVAL);
    EXPECT_FALSE(fs::exists(kUnitPath));
    EXPECT_FALSE(fs::exists(calls()));
}

TEST_F(ServiceVerbs, UninstallStopsDisablesRemovesAndReloadsOnce) {
    ASSERT_EQ(verb("install").exitCode, 0);
    fs::remove(calls());

    const RunResult first = verb("uninstall");
    EXPECT_EQ(first.exitCode, 0) << first.output;
    EXPECT_FALSE(fs::exists(kUnitPath));
    const std::string removed =
        "stop HalvernService.service present\ndisable HalvernService.service present\n"
        "daemon-reload absent\n";
    EXPECT_EQ(readFile(calls()), removed);

    // Removing what is not there succeeds without asking systemd anything.
    const RunResult second = verb("uninstall");
    EXPECT_EQ(second.exitCode, 0) << second.output;
    EXPECT_EQ(readFile(calls()), removed);

    // The package's unit belongs to dpkg: uninstall leaves it alone, stop stops it.
    ASSERT_EQ(mount("tmpfs", kPackagedUnitDirectory, "tmpfs", 0, "mode=0755"), 0) << errno;
    std::ofstream(std::string(kPackagedUnitDirectory) + "/HalvernService.service") << "[Unit]\n";
    EXPECT_EQ(verb("uninstall").exitCode, 0);
    EXPECT_EQ(verb("stop").exitCode, 0);
    umount2(kPackagedUnitDirectory, MNT_DETACH);
    EXPECT_EQ(readFile(calls()), removed + "stop HalvernService.service absent\n");
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
    EXPECT_EQ(readFile(calls()), "daemon-reload present\n");

    fs::remove(work_ / "fail");
    ASSERT_EQ(verb("install").exitCode, 0);
    failSubcommand("stop", 1);  // a failed stop is still no failure of the verb
    EXPECT_EQ(verb("stop").exitCode, 0);
    failSubcommand("disable", 4);
    EXPECT_EQ(verb("uninstall").exitCode, 4);
    EXPECT_TRUE(fs::exists(kUnitPath));  // still enabled, so it is not pulled from under systemd

    // systemctl missing altogether: the code is that of the failed start of systemctl.
    setPath((work_ / "nowhere").string());
    EXPECT_EQ(verb("start").exitCode, ENOENT);
    setPath((work_ / "bin").string() + ":" + savedPath_);

    // A unit directory that cannot be written: the errno, and systemd is never asked.
    fs::remove(kUnitPath);
    fs::remove(calls());
    ASSERT_EQ(mount(nullptr, kUnitDirectory, nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    EXPECT_EQ(verb("install").exitCode, EROFS);
    EXPECT_FALSE(fs::exists(calls()));
}

}  // namespace
}  // namespace halvern
