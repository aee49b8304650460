// Who is at the other end of a connection to the helper: the process that
// connected, named by id and start time, and only while it lives.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "helper/authority.h"
#include "unit/temp_dir.h"

namespace quor::helper {
namespace {

TEST(HelperAuthority, PeerIsTheConnectingProcessWhateverItsNameAndOnlyWhileItLives) {
    TempDir tmp;
    const std::string path = tmp.path + "helper.sock";
    const int listener = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof(sa.sun_path), "%s", path.c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
    ASSERT_EQ(listen(listener, 2), 0);
    int renamed[2], done[2];
    ASSERT_EQ(pipe(renamed), 0);
    ASSERT_EQ(pipe(done), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char b;
        const int first = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        if (connect(first, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) _exit(1);
        if (read(renamed[0], &b, 1) != 1) _exit(1);
        // A command name that looks like the fields after it.
        prctl(PR_SET_NAME, "q) R 1 2 (x");
        const int second = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        if (connect(second, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) _exit(1);
        if (read(done[0], &b, 1) != 1) _exit(1);
        _exit(0);
    }
    const int a1 = accept(listener, nullptr, nullptr);
    Peer before;
    ASSERT_TRUE(identify_peer(a1, &before));
    EXPECT_EQ(before.pid, child);
    EXPECT_EQ(before.uid, getuid());
    EXPECT_NE(before.start_time, 0u);
    ASSERT_EQ(write(renamed[1], "r", 1), 1);
    const int a2 = accept(listener, nullptr, nullptr);
    Peer after;
    ASSERT_TRUE(identify_peer(a2, &after));
    EXPECT_EQ(after.start_time, before.start_time);
    EXPECT_TRUE(peer_unchanged(before));

    ASSERT_EQ(write(done[1], "d", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    // Gone: its id may be reused by the next process, which is not it.
    EXPECT_FALSE(peer_unchanged(before));
    std::string why;
    EXPECT_FALSE(polkit_allows(before, &why));
    EXPECT_EQ(why, "the calling process has gone");
    Peer none;
    EXPECT_FALSE(identify_peer(a1, &none));
    release_peer(&before);
    release_peer(&after);
    for (int fd : {a1, a2, listener, renamed[0], renamed[1], done[0], done[1]}) close(fd);
}

}  // namespace
}  // namespace quor::helper
