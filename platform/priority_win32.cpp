// The Win32 thread priority: THREAD_PRIORITY_HIGHEST for the calling thread,
// within its process's priority class.
#include "platform/priority.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace plat {

RaisedThreadPriority::RaisedThreadPriority() {
  const HANDLE self = ::GetCurrentThread();
  const int now = ::GetThreadPriority(self);
  if (now == THREAD_PRIORITY_ERROR_RETURN || now >= THREAD_PRIORITY_HIGHEST) return;
  if (!::SetThreadPriority(self, THREAD_PRIORITY_HIGHEST)) return;
  saved_ = now;
  raised_ = true;
}

RaisedThreadPriority::~RaisedThreadPriority() {
  if (raised_) ::SetThreadPriority(::GetCurrentThread(), saved_);
}

}  // namespace plat
