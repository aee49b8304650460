// The phone announces its address in a 6-byte UDP datagram on port 14897.
#pragma once

#include <atomic>
#include <cstdint>

namespace quor {

// The socket of the attempt that is waiting, or -1.
extern std::atomic<int> g_autoip_socket;

// One receive attempt: 0 with the address (host order) when a valid datagram
// arrived, -1 otherwise.
int get_phone_address(uint32_t* addr);
// A new search starts: attempts wait until stop_address_search.
void begin_address_search();
// Makes the waiting attempt fail, and every later one until the next search
// begins (Stop in the address search).
void stop_address_search();

}  // namespace quor
