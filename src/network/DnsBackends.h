#pragma once

#include <memory>
#include <string>

#include "network/DnsChange.h"

// POSIX only: the Linux DNS backends, one per file. Linux has no one way to give a link its
// resolvers: systemd-resolved takes them per link and drops them with it; elsewhere
// /etc/resolv.conf is the system's single list, either managed by a resolvconf program or by
// nobody. platformDnsChange() chooses one per connect.
namespace halvern {

class NetworkSystem;

// A change that outlives the adapter: the servers as "nameserver" lines in a place of the
// system's. The object holds nothing that its crash record does not, so the next start undoes a
// recorded change through a new object just as restore() does.
class OutlivingDnsChange : public DnsChange {
  public:
    void setFirstServer(const std::string& firstDns) final;
    void addSecondServer(const std::string& firstDns, const std::string& secondDns) final;
    bool restore() noexcept final;
    // Puts back what a change of this backend did, whether or not this object made it; false
    // when that could not be done.
    virtual bool undo() const = 0;

  protected:
    virtual void put(const std::string& lines) = 0;

  private:
    bool changed_ = false;
};

// resolvectl on the adapter's link where systemd-resolved runs and resolvectl is found, else
// nothing (DnsResolved_posix.cpp).
std::unique_ptr<DnsChange> resolvedDnsChange(NetworkSystem& system, const std::string& adapterName);
// A resolvconf program's record named after the adapter (DnsResolvconf_posix.cpp).
std::unique_ptr<OutlivingDnsChange> resolvconfDnsChange(const std::string& adapterName);
// /etc/resolv.conf itself (DnsResolvConfFile_posix.cpp).
std::unique_ptr<OutlivingDnsChange> resolvConfFileDnsChange();
// Where that backend keeps the original while its file is in place, for messages.
std::string resolvConfBackupPath();

// One "HalvernService DNS: " line of the service's trace.
void dnsLogLine(const std::string& text);

}  // namespace halvern
