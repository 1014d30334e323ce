// "status" round trips per second over the service's real Unix socket endpoint, one connection
// per request as the protocol has it, against the limit for that shape: a bare server of the
// same transport that accepts, reads up to the line feed, writes a fixed answer of the same
// length and closes. Both are driven by the same client.
//
// Also the service's peak RSS while it answers the largest "readLogDelta" there is: a sparse
// 64 MiB log (the children's file size bound; all zero bytes, so each one is escaped to six)
// with maxBytes 4294967295. Target: at most 16 MiB above the RSS before the request.
//
// And how long the stop sequence (the disconnect under the controller's lock, then the server's
// end) takes while a client that asked for that log has read 32 MiB of it and stopped reading.
// Target: at most 1 s.
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "common/UniqueFd.h"
#include "control/ControlServer.h"
#include "control/TunnelService.h"

namespace {

constexpr char kRequest[] = "{\"command\":\"status\"}\n";
constexpr char kAnswer[] = R"({"ok":true,"status":"disconnected","activeProtocol":""})";

sockaddr_un socketAddress(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

halvern::UniqueFd connectTo(const sockaddr_un& address) {
    halvern::UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) !=
        0) {
        socket.reset();
    }
    return socket;
}

// One request, the whole answer, closed. Returns the answer's length.
std::size_t roundTrip(const sockaddr_un& address) {
    const halvern::UniqueFd socket = connectTo(address);
    if (!socket.valid() || ::send(socket.get(), kRequest, sizeof(kRequest) - 1, MSG_NOSIGNAL) < 0) {
        return 0;
    }
    char buffer[4096];
    std::size_t total = 0;
    for (;;) {
        const ssize_t count = ::recv(socket.get(), buffer, sizeof(buffer), 0);
        if (count <= 0) {
            return total;
        }
        total += static_cast<std::size_t>(count);
    }
}

// The service's socket path is fixed (/run/halvern), so the benchmark moves into a mount
// namespace of its own with an empty tmpfs on /run for the time of one benchmark: the machine's
// /run is never touched. Needs root.
struct PrivateRun {
    PrivateRun() {
        static const bool entered =
            ::unshare(CLONE_NEWNS) == 0 &&
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        if (!entered || ::mount("halvern-bench", "/run", "tmpfs", 0, "mode=0755") != 0) {
            throw std::runtime_error("cannot mount a /run of its own (run as root)");
        }
    }
    ~PrivateRun() { ::umount2("/run", MNT_DETACH); }
    PrivateRun(const PrivateRun&) = delete;
    PrivateRun& operator=(const PrivateRun&) = delete;
};

// The service's endpoint on its own thread, as the service runs it, with a controller of its own
// and a /run of its own; stopped as the service stops it.
struct ServedEndpoint {
    ServedEndpoint() {
        service.setController(std::make_unique<halvern::TunnelController>(nullptr));
        server = std::thread(halvern::runControlServer, std::ref(service));
        while (!connectTo(address).valid()) {  // until it listens (the probe is answered, unread)
            std::this_thread::yield();
        }
        log = makeSparseLog();  // in the runtime directory, which the server has made
    }
    ~ServedEndpoint() { stop(); }
    // As the service's stop handler, then its runtime.
    void stop() {
        service.disconnect();
        service.setStopping(true);
        halvern::wakeControlEndpoint();
        if (server.joinable()) {
            server.join();
        }
    }
    // The largest log a child can write: 64 MiB, sparse, all zero bytes, so each one is escaped
    // to six.
    static halvern::UniqueFd makeSparseLog() {
        halvern::UniqueFd file(::open("/run/halvern/halvern_xray_output.log",
                                      O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640));
        if (file.valid() && ::ftruncate(file.get(), std::int64_t{64} << 20) != 0) {
            file.reset();
        }
        return file;
    }
    ServedEndpoint(const ServedEndpoint&) = delete;
    ServedEndpoint& operator=(const ServedEndpoint&) = delete;

    const PrivateRun run;
    halvern::UniqueFd log;
    halvern::TunnelService service;
    const sockaddr_un address = socketAddress(halvern::controlEndpointAddress().string());
    std::thread server;
};

void BM_StatusRoundTrip_ControlServer(benchmark::State& state) {
    const ServedEndpoint endpoint;
    while (state.KeepRunning()) {
        if (roundTrip(endpoint.address) != sizeof(kAnswer) - 1) {
            state.SkipWithError("wrong answer");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM").
long statusKib(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

constexpr char kReadWholeLog[] =
    "{\"command\":\"readLogDelta\",\"source\":\"windows_xray\",\"maxBytes\":4294967295}\n";

void BM_ReadLogDeltaOfA64MiBSparseLog_PeakRss(benchmark::State& state) {
    const ServedEndpoint endpoint;
    const halvern::UniqueFd& log = endpoint.log;
    double aboveIdleMib = 0;
    double answerMib = 0;
    while (state.KeepRunning()) {
        if (!log.valid() || ::ftruncate(log.get(), std::int64_t{64} << 20) != 0) {
            state.SkipWithError("cannot make the log");
            break;
        }
        const long idle = statusKib("VmRSS");
        std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from now
        const halvern::UniqueFd socket = connectTo(endpoint.address);
        std::size_t total = 0;
        if (socket.valid() &&
            ::send(socket.get(), kReadWholeLog, sizeof(kReadWholeLog) - 1, MSG_NOSIGNAL) > 0) {
            static char buffer[65536];
            for (;;) {
                const ssize_t count = ::recv(socket.get(), buffer, sizeof(buffer), 0);
                if (count <= 0) {
                    break;
                }
                total += static_cast<std::size_t>(count);
            }
        }
        aboveIdleMib = static_cast<double>(statusKib("VmHWM") - idle) / 1024;
        answerMib = static_cast<double>(total) / (1 << 20);
    }
    state.counters["peak_above_idle_MiB"] = aboveIdleMib;
    state.counters["answer_MiB"] = answerMib;
    if (answerMib < 384 || aboveIdleMib > 16) {
        state.SkipWithError("short answer, or a peak over the 16 MiB target");
    }
}

void BM_StopWhileALogReaderStalls(benchmark::State& state) {
    while (state.KeepRunning()) {
        ServedEndpoint endpoint;
        const halvern::UniqueFd socket = connectTo(endpoint.address);
        std::size_t total = 0;
        if (endpoint.log.valid() && socket.valid() &&
            ::send(socket.get(), kReadWholeLog, sizeof(kReadWholeLog) - 1, MSG_NOSIGNAL) > 0) {
            static char buffer[65536];
            for (ssize_t count = 1; count > 0 && total < (std::size_t{32} << 20);) {
                count = ::recv(socket.get(), buffer, sizeof(buffer), 0);
                total += static_cast<std::size_t>(std::max<ssize_t>(count, 0));
            }
        }
        const auto start = std::chrono::steady_clock::now();
        endpoint.stop();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
        state.counters["stop_ms"] = took.count() * 1000;
        if (total < (std::size_t{32} << 20) || took.count() > 1.0) {
            state.SkipWithError("the reader got less than 32 MiB, or the stop took over 1 s");
            break;
        }
    }
}

void serveBare(int listener, const std::atomic<bool>& done) {
    char buffer[4096];
    for (;;) {
        const halvern::UniqueFd client(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
        if (!client.valid()) {
            if (done) {
                return;
            }
            continue;
        }
        std::string request;
        for (;;) {
            const ssize_t count = ::recv(client.get(), buffer, sizeof(buffer), 0);
            if (count <= 0) {
                break;
            }
            request.append(buffer, static_cast<std::size_t>(count));
            if (request.find('\n') != std::string::npos) {
                break;
            }
        }
        const ssize_t ignored = ::send(client.get(), kAnswer, sizeof(kAnswer) - 1, MSG_NOSIGNAL);
        static_cast<void>(ignored);
    }
}

void BM_StatusRoundTrip_BareServer(benchmark::State& state) {
    const PrivateRun run;
    const std::string path = "/run/bare.sock";
    const sockaddr_un address = socketAddress(path);
    const halvern::UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listener.get(), SOMAXCONN) != 0) {
        state.SkipWithError("cannot listen");
        return;
    }
    std::atomic<bool> done{false};
    std::thread server(serveBare, listener.get(), std::cref(done));
    while (state.KeepRunning()) {
        if (roundTrip(address) != sizeof(kAnswer) - 1) {
            state.SkipWithError("wrong answer");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    done = true;
    ::shutdown(listener.get(), SHUT_RDWR);  // wakes the accept
    server.join();
}

}  // namespace

BENCHMARK(BM_StatusRoundTrip_BareServer)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_StatusRoundTrip_ControlServer)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_ReadLogDeltaOfA64MiBSparseLog_PeakRss)->UseRealTime()->Iterations(1);
BENCHMARK(BM_StopWhileALogReaderStalls)->UseManualTime()->Iterations(5);
BENCHMARK_MAIN();
