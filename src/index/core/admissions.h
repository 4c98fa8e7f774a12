// The clock that lets views tell the members they were cut from apart from later ones.
//
// Every record gets the next tick when its object joins the index (a member added again keeps
// its tick). A view remembers the tick current when it was cut and shows only records with a
// tick at or below it: an object that left and came back, or a new object that was handed the
// id of one that left, is newer than the view and stays out of it. Departures are counted so a
// view with no departure since its cut knows without looking that all its ids are still there.
#pragma once

#include <atomic>
#include <cstdint>

namespace veldrake {

class Admissions {
 public:
  // The tick of an object joining now.
  uint64_t next() { return last_tick_.fetch_add(1, std::memory_order_acq_rel) + 1; }
  // The tick of the latest admission.
  uint64_t now() const { return last_tick_.load(std::memory_order_acquire); }

  // Counts a member that has left (after its record and index entries are gone).
  void departed() { departures_.fetch_add(1, std::memory_order_acq_rel); }
  uint64_t departures() const { return departures_.load(std::memory_order_acquire); }

 private:
  std::atomic<uint64_t> last_tick_{0};
  std::atomic<uint64_t> departures_{0};
};

}  // namespace veldrake
