// The connection with the plug as the serial link and the firmware update see
// it: the one serial-port object, the open port, the window that owns both,
// and the one way the workflows write to the plug. The main window creates,
// hands over and releases all of it (app/main.cpp); nothing here needs the
// window's own header.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/serial_api.h"

class TAsyncComm;
class TForm;

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

// The window that owns the connection and receives the plug's report frames;
// null while there is none.
TForm* ConnectionWindow();
