#include "network/ResolvConfBackup.h"

#include <gtest/gtest.h>

namespace halvern {
namespace {

// The reader takes what the writer wrote, bytes of any kind included, and nothing else: a backup
// it misreads would put a wrong /etc/resolv.conf in place.
TEST(ResolvConfBackup, TheReaderTakesWhatTheWriterWroteAndNothingElse) {
    using Kind = ResolvConfEntry::Kind;
    const ResolvConfBackup backup{{Kind::symlink, 07777, 4294967295U, 4, "a b\n\n"}, {"", "x\n"}};
    const std::string text = encodeResolvConfBackup(backup);
    ASSERT_EQ(text,
              "halvern resolv.conf backup 1\noriginal symlink 4095 4294967295 4 5\na b\n\n\n"
              "ours 0\n\nours 2\nx\n\n");
    EXPECT_EQ(decodeResolvConfBackup(text), backup);
    const std::string header = "halvern resolv.conf backup 1\n";
    for (const std::string& damaged : {
             std::string("halvern resolv.conf backup 2\noriginal none 0 0 0 0\n\n"),
             header + "original none 0 0 0 0\n",            // a block without its line feed
             header + "original none 0 0 0 1\n\n",          // shorter than its size
             header + "original none 0 0 0 0\n\nours 0\n",  // a torn last block
             header + "original none 0 0 0 0\n\nours 0 0\n\n",
             header + "original none 0 0 0 0\n\nour 0\n\n",
             header + "originals none 0 0 0 0\n\n",
             header + "original dir 0 0 0 0\n\n",
             header + "original none 4096 0 0 0\n\n",  // more than permission bits
             header + "original none 0 x 0 0\n\n",
             header + "original none 0 0 -1 0\n\n",
             header + "original none 0 0 0 00000000001\nx\n",  // eleven digits
             header + "original none 0 0 0\n\n",
         }) {
        EXPECT_EQ(decodeResolvConfBackup(damaged), std::nullopt) << damaged;
    }
}

}  // namespace
}  // namespace halvern
