// TAsyncComm: the one serial-port object of a connection. It wraps a port that
// somebody else opened (and will close) and gives blocking reads and writes on
// top of overlapped transfers, one record and event per direction, so that a
// reader thread can wait in ReadData while the GUI thread writes.
#pragma once

#include <atomic>

#include "platform/serial_api.h"

class TAsyncComm {
 public:
  // The main window passes a null handle; the object is then unattached until
  // AttachPort.
  explicit TAsyncComm(plat::Handle handle);
  TAsyncComm(const TAsyncComm&) = delete;
  TAsyncComm& operator=(const TAsyncComm&) = delete;
  // Closes both events and purges an attached port; the port stays open.
  ~TAsyncComm();

  // Takes over a freshly opened port: new events, time-outs, purge.
  // plat::InvalidHandle() is stored and nothing else happens.
  void AttachPort(plat::Handle handle);
  // No read time-out; a write of n bytes ends after at most n + 2000 ms.
  bool SetTimeouts();
  // Line presets: 1 = 115200 8N1, 2 = 57600 8N1, 3 = 9600 8N1. Every preset
  // leaves the line without flow control of any kind, whatever ctsFlow says.
  bool SetLine(int selector, bool ctsFlow);
  // Discards what the driver has received; a pending read goes on waiting.
  void PurgeInput();
  // Aborts a pending read and write and discards both driver buffers.
  void PurgeAll();
  // Waits (at most 2 s) until what was written has left the port, so that a
  // purge or close that follows cannot discard a last command.
  bool Drain();
  // Bytes written (fewer after a write time-out), 0 on failure. After a
  // pending write has failed, this object refuses every later write silently.
  int WriteData(int length, const void* data);
  // Waits until all count bytes have arrived: returns count, or 0 when the
  // read failed or was aborted by a purge or by the reading thread's stop.
  // A read that fails at once leaves one debugger line per run of failures,
  // not one per call.
  int ReadData(int count, void* buffer);

  plat::Handle PortHandle;
  plat::Overlapped WriteOverlapped;
  plat::Overlapped ReadOverlapped;
  // Set when a pending write failed; refuses the connection's later writes.
  bool WriteFailed = false;
  // Set once a write error was shown on this connection (GUI thread only).
  bool WriteErrorShown = false;

 private:
  bool NoPort() const { return PortHandle == plat::InvalidHandle(); }
  void ShowWriteError();
  // After a transfer failed other than by its thread's stop: a driver set to
  // abort on error refuses every transfer until its error is cleared.
  void ClearLineError();
  std::atomic<bool> readFailShown_{false};
};
