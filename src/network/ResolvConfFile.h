#pragma once

#include <string>

// POSIX only: /etc/resolv.conf itself as the tunnel's DNS backend, for systems where no resolver
// manager runs (a plain Debian, Devuan, Alpine, most containers).
//
// Before each change the backup file "halvern_resolv_conf.backup" in the runtime directory (mode
// 0600, written whole, synced and renamed into place) records the original exactly: its bytes,
// mode and owner, or that it was a symlink and to what, or that there was none; and with it each
// content of ours that may be in place. Ours then replaces the file atomically: a temporary file
// in /etc, renamed over it. Where /etc/resolv.conf is a mount point (containers, "ip netns exec",
// systemd's ProtectSystem=strict with the file alone in ReadWritePaths=, which leaves /etc itself
// read-only) a rename cannot work, and the file is rewritten in place instead. Putting the
// original back needs nothing but the backup, so the next start after a crash can do it just as
// the disconnect does. Every file is opened with O_NOFOLLOW and O_CLOEXEC.
namespace halvern {

// Puts `content` in place as /etc/resolv.conf, a new file of mode 0644 (a file rewritten in place
// keeps its mode). Throws std::runtime_error "Failed to read PATH (error N)" or "Failed to write
// PATH (error N)"; the file is then either the original or a content of ours, and
// restoreResolvConf() handles both.
void writeResolvConf(const std::string& content);

enum class ResolvConfRestore {
    nothing,   // no backup, or the original is still in place
    restored,  // the original is back
    replaced,  // someone else replaced our file while it was up: theirs stays
    failed,    // the original could not be put back; the backup stays for a later try
};

// Puts the original back if what is in place is still ours, then deletes the backup (unless
// that failed). Never throws.
ResolvConfRestore restoreResolvConf() noexcept;

// Where the backup is kept, for messages.
std::string resolvConfBackupPath();

}  // namespace halvern
