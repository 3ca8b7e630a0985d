// The priority of the calling thread, raised for a stretch of work that must
// keep a device fed (the upload streams lines that a small transmit FIFO runs
// through in a few milliseconds), and restored when the stretch ends.
#pragma once

namespace plat {

// Raises the calling thread's priority for as long as it lives, and puts the
// priority back on destruction, however the stretch ends. Where the system
// refuses the higher priority (no right to it), nothing changes. Only the
// calling thread is touched; it must also be the one that destroys it.
class RaisedThreadPriority {
 public:
  RaisedThreadPriority();
  ~RaisedThreadPriority();
  RaisedThreadPriority(const RaisedThreadPriority&) = delete;
  RaisedThreadPriority& operator=(const RaisedThreadPriority&) = delete;

  // Whether the priority was raised (and will be restored).
  bool Raised() const { return raised_; }

 private:
  int saved_ = 0;
  bool raised_ = false;
};

}  // namespace plat
