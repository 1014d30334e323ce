#pragma once

#include <string>
#include <vector>

namespace halvern {

// One change that a tunnel session made to the system, kept as data: a kind and its fields.
// A journal never holds a command line. Whoever undoes an entry checks its fields and builds
// the command afresh from them (tunnel/SessionRecovery.cpp).
struct JournalEntry {
    std::string kind;
    std::vector<std::string> fields;
    bool operator==(const JournalEntry& other) const = default;
};

// The kinds and their fields, in order. A new kind takes a name here, the call that records it
// before its change and forgets it after the undo, and one row in the recovery's table.
namespace JournalKind {
inline constexpr const char* proxyConfig = "proxy-config";  // none: the file's name is fixed
inline constexpr const char* child = "child";               // process id, start mark
inline constexpr const char* serverRoute = "server-route";  // server, interface, gateway
inline constexpr const char* tunnelRoute = "tunnel-route";  // adapter name, tunnel address
inline constexpr const char* dns = "dns";                   // backend name, adapter name
}  // namespace JournalKind

// What the pieces that change the system (processes/, network/) see of the crash journal: an
// entry is recorded before its change is made and forgotten once the change is undone.
class JournalRecorder {
  public:
    // Throws std::runtime_error when the entry cannot be kept; the change must then not be made.
    virtual void record(const JournalEntry& entry) = 0;
    virtual void forget(const JournalEntry& entry) noexcept = 0;

  protected:
    JournalRecorder() = default;
    ~JournalRecorder() = default;
    JournalRecorder(const JournalRecorder&) = default;
    JournalRecorder& operator=(const JournalRecorder&) = default;
};

}  // namespace halvern
