// The soft-device thread of one attachment: it owns the device's named
// events and the playback and capture queues, starts the streaming
// workers and runs the bus reader until SOFTDEV_SHUTDOWN.
#pragma once

#include "platform/vbus.h"
#include "soft_dev/soft_dev_hooks.h"

namespace quor {

inline constexpr char EVENT_PB_COMPLETE[] = "Global\\KESTROW_QUOR_PB_COMPLETE";
inline constexpr char EVENT_CP_COMPLETE[] = "Global\\KESTROW_QUOR_CP_COMPLETE";
inline constexpr char EVENT_PB_START_STOP[] = "Global\\KESTROW_QUOR_PB_START_STOP_EVENT";
inline constexpr char EVENT_CP_START_STOP[] = "Global\\KESTROW_QUOR_CP_START_STOP_EVENT";
inline constexpr char EVENT_PB_SHUTDOWN[] = "Global\\KESTROW_QUOR_PB_SHUTDOWN";
inline constexpr char EVENT_CP_SHUTDOWN[] = "Global\\KESTROW_QUOR_CP_SHUTDOWN";
inline constexpr char EVENT_EP_INTR_SHUTDOWN[] = "Global\\KESTROW_QUOR_EP_INTR_SHUTDOWN";
inline constexpr char EVENT_INT_COMPLETE[] = "Global\\KESTROW_QUOR_INT_COMPLETE";
inline constexpr char EVENT_SOFTDEV_SHUTDOWN[] = "Global\\KESTROW_QUOR_SOFTDEV_SHUTDOWN";

// Thread body; returns 1 once the reader stopped, the workers ended and the
// queues and events are released.
int softdev_thread(DeviceContext& device, VirtualBus& bus);

}  // namespace quor
