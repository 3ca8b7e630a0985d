// The connection with the plug as the serial link, the update and the window
// logic share it: the one serial-port object, the open port, and the one way
// the workflows write to the plug. The window logic creates, hands over and
// releases all of it; nothing here knows the window.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/serial_api.h"

class TAsyncComm;

// The one serial-port object of the current connection, null without one.
// Reader threads look it up before every read.
extern std::atomic<TAsyncComm*> SharedComm;
// The open port on which the plug answered, null without one. The window alone
// closes it.
extern plat::Handle PlugPort;

// SharedComm as it stands now; null without a connection.
inline TAsyncComm* CurrentComm() { return SharedComm.load(std::memory_order_acquire); }

// Writes count bytes through SharedComm; the count written, or 0 (also when
// there is no connection).
int SendToPlug(std::uint16_t count, const void* data);
