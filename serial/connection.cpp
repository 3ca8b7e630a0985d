#include "serial/connection.h"

#include "serial/asynccomm.h"

std::atomic<TAsyncComm*> SharedComm{nullptr};
plat::Handle PlugPort = nullptr;

int SendToPlug(std::uint16_t count, const void* data) {
  TAsyncComm* comm = CurrentComm();
  return comm != nullptr ? comm->WriteData(count, data) : 0;
}
