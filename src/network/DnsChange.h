#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace halvern {

class NetworkSystem;

// Where a connect's DNS servers went on Linux, by the names a crash record keeps.
enum class DnsBackend { resolved, resolvconf, resolvConfFile };

// "resolved", "resolvconf", "file", and back; nothing for any other text.
const char* dnsBackendName(DnsBackend backend);
std::optional<DnsBackend> dnsBackendNamed(std::string_view name);

// One connect's change to the system's name resolution: the tunnel's servers become the ones the
// system asks. NetworkConfigurator makes one per connect and runs its two steps in its fixed
// order; restore() puts back whatever the steps changed beyond the tunnel adapter itself.
class DnsChange {
  public:
    DnsChange() = default;
    virtual ~DnsChange() = default;
    DnsChange(const DnsChange&) = delete;
    DnsChange& operator=(const DnsChange&) = delete;

    // Both throw std::runtime_error with the runner's messages, or "Failed to write PATH (error
    // N)" for a file.
    virtual void setFirstServer(const std::string& firstDns) = 0;
    virtual void addSecondServer(const std::string& firstDns, const std::string& secondDns) = 0;

    // Undoes what the steps changed outside the adapter, tolerating every failure; a second call
    // does nothing. False when the undo could not be done (its command could not be launched or
    // failed), so that its record stays for a later try.
    virtual bool restore() noexcept = 0;

    // What a crash record must keep, together with the adapter name, so that the next start can
    // undo this change with undoRecordedDnsChange(): the backend when the change outlives the
    // adapter, nothing when it goes away with it.
    virtual std::optional<DnsBackend> outlivesAdapter() const { return std::nullopt; }

    // Which backend, and where, for the line that names the choice.
    virtual std::string describe() const = 0;
};

// Windows: the adapter's own DNS settings, by netsh lines through the system's runner. They go
// with the adapter, so restore() does nothing.
std::unique_ptr<DnsChange> netshDnsChange(NetworkSystem& system, const std::string& adapterName);

// This platform's DNS change for one connect. Windows: netshDnsChange(). Linux, chosen in this
// order and named in one "HalvernService DNS: " line: systemd-resolved when it runs and
// resolvectl is found; else a resolvconf program (Debian's or openresolv), fed the servers for a
// record named after the adapter; else /etc/resolv.conf itself (see DnsBackends.h).
std::unique_ptr<DnsChange> platformDnsChange(NetworkSystem& system, const std::string& adapterName);

// Undoes a DNS change that an instance recorded before it died, from the recorded fields alone:
// a resolvconf record is deleted, /etc/resolv.conf put back from the runtime directory's backup.
// An adapter name that is not "Halvern_" and digits is refused, and nothing runs. Never throws.
// Nothing to do on Windows, where the settings died with the adapter. False when the undo could
// not be done.
bool undoRecordedDnsChange(DnsBackend backend, const std::string& adapterName) noexcept;

}  // namespace halvern
