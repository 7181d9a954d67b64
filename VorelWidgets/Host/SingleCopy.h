// One copy of each widget on a desktop. A placed widget holds a lock of its kind and display for
// as long as it runs, with its process and the corner slot it stands in written in it: a second
// `place` of the same widget asks the first to come forward instead of stacking a copy on it,
// and a widget placed in the corner takes the first slot no other placed widget stands in.
//
// The locks live in $XDG_RUNTIME_DIR/vorel-widgets/ (the session's, gone at logout), else in the
// state folder.
#pragma once

#include <sys/types.h>

#include <expected>
#include <set>
#include <string>
#include <vector>

namespace widgethost {

class PlacedCopy {
 public:
  // This process's lock of the widget on the display; or, when another copy holds it, that
  // copy's process (0 when it cannot be told), or -1 when there is nowhere to keep a lock.
  static std::expected<PlacedCopy, pid_t> take(const std::string& kind, const std::string& display);
  PlacedCopy(PlacedCopy&& other) noexcept;
  PlacedCopy& operator=(PlacedCopy&&) = delete;
  PlacedCopy(const PlacedCopy&) = delete;
  ~PlacedCopy();

  // Says which corner slot the widget stands in (-1: a place of its own, where it was dragged).
  void standIn(int slot);

 private:
  explicit PlacedCopy(int fd) : fd_(fd) {}
  int fd_;
};

// The corner slots that placed widgets of these kinds stand in on the display.
std::set<int> takenSlots(const std::vector<std::string>& kinds, const std::string& display);

}  // namespace widgethost
