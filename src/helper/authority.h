// Who a connection to the helper comes from, and whether polkit lets that
// process attach the phone.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace quor::helper {

// polkit's action for every request of the connector.
constexpr char POLKIT_ACTION[] = "org.kestrow.quor.connector.attach";

struct Peer {
    pid_t pid = 0;
    uid_t uid = 0;
    int pidfd = -1;           // pins the process; -1 where the kernel offers none
    uint64_t start_time = 0;  // field 22 of /proc/PID/stat
};

// The process at the other end of the connected socket FD, from its
// credentials at connect time: true, or false when it has gone already.
bool identify_peer(int fd, Peer* peer);
void release_peer(Peer* peer);

// True while PEER's process is still the one that connected: its pidfd
// still names a live process and the process id still has the same start
// time, so the id has not been reused.
bool peer_unchanged(const Peer& peer);

// Asks polkit (pkcheck, no interaction) whether PEER may use the helper,
// naming the process by id, start time and uid and checking afterwards that
// the id still names the same process. WHY receives the reason of a refusal.
bool polkit_allows(const Peer& peer, std::string* why);

}  // namespace quor::helper
