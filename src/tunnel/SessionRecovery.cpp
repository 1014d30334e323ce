#include "tunnel/SessionRecovery.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/AddressText.h"
#include "common/ProcessIdentity.h"
#include "common/SessionNames.h"
#include "journal/JournalFormat.h"
#include "journal/JournalStore.h"
#include "journal/SessionJournal.h"
#include "network/DnsChange.h"
#include "network/NetworkSystem.h"
#include "processes/ChildLaunch.h"

namespace halvern {
namespace {

using Fields = std::vector<std::string>;

constexpr std::size_t kMaxNameBytes = 255;

// A non-zero decimal of at most 20 digits (no sign, no space) that fits `max`.
bool isNumber(const std::string& text, std::uint64_t max) {
    const auto value = text.size() <= 20 ? wholeNumber(text, max) : std::nullopt;
    return value.has_value() && *value != 0;
}

// Only the service's own adapters: the prefix that route discovery also passes over.
bool isAdapterName(const std::string& text) {
    return text.starts_with(session::kAdapterPrefix) && text.size() <= 64 &&
           std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '_' || c == '-';
           });
}

// A name as the system reports an interface: not empty, no control characters, nothing that
// could end the quotes around it in a netsh line, and nothing an ip argument would read as an
// option. Windows names may hold spaces and UTF-8.
bool isInterfaceName(const std::string& text) {
    return !text.empty() && text.size() <= kMaxNameBytes && text[0] != '-' &&
           std::none_of(text.begin(), text.end(), [](char c) {
               const auto byte = static_cast<unsigned char>(c);
               return byte < 0x20 || byte == 0x7F || c == '"';
           });
}

// Each undo returns the line to report and sets `done` when its change is certainly undone.
std::string deleteProxyConfig(const Fields& /*f*/, NetworkSystem& /*system*/, bool& done) {
    done = true;
    deleteFileQuietly(tempFilePath(session::kCoreConfigFileName).string());
    return "deleted the proxy configuration of the previous instance";
}

bool validChild(const Fields& f) {
    return isNumber(f[0], 0xFFFFFFFFU) && isNumber(f[1], UINT64_MAX);
}

std::string endChild(const Fields& f, NetworkSystem& /*system*/, bool& done) {
    done = true;
    const auto pid = static_cast<std::uint32_t>(*wholeNumber(f[0], 0xFFFFFFFFU));
    return endRecordedProcess(pid, f[1]) == RecordedProcessOutcome::ended
               ? "ended process " + f[0] + " of the previous instance"
               : "process " + f[0] + " of the previous instance had already ended";
}

bool validServerRoute(const Fields& f) {
    return isIpv4Text(f[0]) && isInterfaceName(f[1]) && isIpv4Text(f[2]);
}

std::string deleteServerRoute(const Fields& f, NetworkSystem& system, bool& done) {
    done = system.runAll(system.commands().deleteServerRoute(f[0], f[1], f[2]),
                         FailurePolicy::tolerate);
    return (done ? "deleted the host route to "
                 : "could not run the delete of the host route to ") +
           f[0] + " via " + f[2];
}

bool validTunnelRoute(const Fields& f) {
    return isAdapterName(f[0]) && isIpv4Text(f[1]);
}

std::string deleteTunnelRoute(const Fields& f, NetworkSystem& system, bool& done) {
    done = system.runAll(system.commands().deleteTunnelRoute(f[0], f[1]), FailurePolicy::tolerate);
    return (done ? "deleted the tunnel routes of "
                 : "could not run every delete of the tunnel routes of ") +
           f[0];
}

bool validDnsChange(const Fields& f) {
    return dnsBackendNamed(f[0]).has_value() && isAdapterName(f[1]);
}

std::string undoDnsChange(const Fields& f, NetworkSystem& /*system*/, bool& done) {
    done = undoRecordedDnsChange(*dnsBackendNamed(f[0]), f[1]);
    return (done ? "put back the DNS settings that "
                 : "could not put back the DNS settings that ") +
           f[1] + " changed (" + f[0] + ")";
}

// One row per kind of entry: how many fields it has, their check (none where there are none),
// and its undo, which returns the line to report.
struct EntryUndo {
    const char* kind;
    std::size_t fieldCount;
    bool (*valid)(const Fields&);
    std::string (*undo)(const Fields&, NetworkSystem&, bool&);
};

constexpr EntryUndo kUndoByKind[] = {
    {JournalKind::proxyConfig, 0, nullptr, deleteProxyConfig},
    {JournalKind::child, 2, validChild, endChild},
    {JournalKind::serverRoute, 3, validServerRoute, deleteServerRoute},
    {JournalKind::tunnelRoute, 2, validTunnelRoute, deleteTunnelRoute},
    {JournalKind::dns, 2, validDnsChange, undoDnsChange},
};

std::string undoEntry(const std::optional<JournalEntry>& entry, NetworkSystem& system, bool& done) {
    done = false;
    if (entry) {
        for (const EntryUndo& row : kUndoByKind) {
            if (entry->kind == row.kind && entry->fields.size() == row.fieldCount &&
                (row.valid == nullptr || row.valid(entry->fields))) {
                return row.undo(entry->fields, system, done);
            }
        }
    }
    return "passed over an entry that is not valid";
}

}  // namespace

void replaySessionJournal(const std::filesystem::path& path, NetworkSystem& system,
                          const RecoveryReport& report) noexcept {
    try {
        std::string text;
        const JournalStoreState state = readJournalStore(path, text);
        if (state == JournalStoreState::absent) {
            return;
        }
        const std::optional<ParsedJournal> journal =
            state == JournalStoreState::read ? parseJournal(text) : std::nullopt;
        if (!journal) {
            report(
                "ignored the session journal " + path.string() + ": " +
                (state == JournalStoreState::foreign ? "not the service's own file" : "damaged"));
            removeJournalStore(path);
            return;
        }
        if (processStartMark(journal->instancePid) == journal->instanceMark) {
            report("left the session journal " + path.string() + " alone: its instance " +
                   std::to_string(journal->instancePid) + " still runs");
            return;
        }
        report("replaying the session journal of instance " + std::to_string(journal->instancePid));
        // First of all: no process of the children's account may copy the configuration or
        // keep CAP_NET_ADMIN while the rest is undone, wherever it went.
        if (const auto ended = endLeftoverChildren()) {
            report("ended " + std::to_string(*ended) +
                   " leftover processes of the children's account");
        }
        for (std::size_t i = journal->entries.size(); i-- > 0;) {
            try {
                bool done = false;
                report(undoEntry(journal->entries[i], system, done));
            } catch (...) {  // NOLINT(bugprone-empty-catch): out of memory; the next entry
            }
        }
        removeJournalStore(path);
    } catch (...) {  // NOLINT(bugprone-empty-catch): out of memory; the service starts all the same
    }
}

std::size_t retryNetworkUndos(SessionJournal& journal, NetworkSystem& system,
                              const RecoveryReport& report) noexcept {
    std::size_t left = 0;
    try {
        // Newest first, like a disconnect; a copy, as forget() changes the journal's own list.
        std::vector<JournalEntry> entries = journal.entries();
        std::reverse(entries.begin(), entries.end());
        for (const JournalEntry& entry : entries) {
            if (entry.kind != JournalKind::serverRoute && entry.kind != JournalKind::tunnelRoute &&
                entry.kind != JournalKind::dns) {
                continue;
            }
            bool done = false;
            report(undoEntry(entry, system, done));
            if (done) {
                journal.forget(entry);
            } else {
                ++left;
            }
        }
    } catch (...) {  // NOLINT(bugprone-empty-catch): out of memory; the records stay
    }
    return left;
}

}  // namespace halvern
