// One control connection as the desk phone serves it. Each received frame is
// recorded, checked against the catalogue, and dispatched by type in one
// place (handle_frame in sim_session.cpp); services that live as long as a
// connection (call audio for MEDIA_OFFER, a log sender for LOG_ROUTE) belong
// there and end when serve_connection returns.
#pragma once

#include "sim_state.h"

// Serves FD until the connector closes it, an unpair completes, the
// connection is dropped or the simulator quits; then closes it.
void serve_connection(SimState& st, int fd);

// MODEL_NAME, VENDOR_ID, PRODUCT_ID and DEVICE_RELEASE, each its own frame;
// only the first COUNT of them when COUNT is given.
int send_identity(SimState& st, int count = SIM_IDENTITY_FRAMES);
