#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "common/MonotonicClock.h"
#include "common/UniqueFd.h"
#include "control/ControlPipeServer.h"
#include "integration/ControlTestSupport.h"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace halvern::test {

struct TestClient::State {
    UniqueFd socket;
};

TestClient::TestClient() : state_(std::make_unique<State>()) {
    const std::string path = controlEndpointAddress().string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // A server thread that has just started may not listen yet.
    const auto start = MonotonicClock::now();
    do {
        UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) ==
            0) {
            state_->socket = std::move(socket);
            return;
        }
        sleepMilliseconds(20);
    } while (elapsedMilliseconds(start) < 10000);
}

TestClient::~TestClient() = default;

bool TestClient::connected() const {
    return state_->socket.valid();
}

void TestClient::send(std::string_view bytes) {
    // Returns once the server has taken everything or closed the connection at its size limit.
    while (!bytes.empty()) {
        const ssize_t sent = ::send(state_->socket.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    ::shutdown(state_->socket.get(), SHUT_WR);  // the end of the message, as a pipe has it
}

std::string TestClient::receiveAll() {
    std::string received;
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::recv(state_->socket.get(), buffer, sizeof(buffer), 0);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {  // a read error is no clean end
            return count == 0 ? received : received + " (read error " + std::to_string(errno) + ")";
        }
        received.append(buffer, static_cast<std::size_t>(count));
    }
}

int runProgram(const std::vector<std::string>& arguments, const std::filesystem::path& output,
               const std::filesystem::path& errors) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw std::runtime_error("posix_spawn " + arguments.front() + ": " + std::strerror(error));
    }
    // ctest's time-out bounds the wait.
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace halvern::test
