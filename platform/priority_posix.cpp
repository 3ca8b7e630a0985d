// The POSIX thread priority: a lower nice value for the calling thread. On
// Linux each thread has its own nice value, set through its thread id; a
// process without the right to lower it keeps what it has. Elsewhere nice
// belongs to the whole process, and nothing is changed.
#include "platform/priority.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace plat {

#ifdef __linux__

namespace {

// How much nicer than its own value the raised thread runs.
constexpr int kRaiseBy = 10;
constexpr int kHighest = -20;

}  // namespace

RaisedThreadPriority::RaisedThreadPriority() {
  const id_t self = static_cast<id_t>(::gettid());
  errno = 0;
  const int now = ::getpriority(PRIO_PROCESS, self);
  if (now == -1 && errno != 0) return;
  const int wanted = std::max(now - kRaiseBy, kHighest);
  if (wanted == now || ::setpriority(PRIO_PROCESS, self, wanted) != 0) return;
  saved_ = now;
  raised_ = true;
}

RaisedThreadPriority::~RaisedThreadPriority() {
  // A higher nice value is always allowed: the way back cannot be refused.
  if (raised_) ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), saved_);
}

#else

RaisedThreadPriority::RaisedThreadPriority() = default;
RaisedThreadPriority::~RaisedThreadPriority() = default;

#endif

}  // namespace plat
