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

// What an answer taken from an index shows: its records admitted at or before `admitted_by` (a
// view's cut). `departures` were counted before the answer's ids were taken: while the count is
// unchanged no member has left since, so every id still names a member that is shown, without a
// look at its record.
struct AnswerStamp {
  const Admissions* admissions;
  uint64_t departures;
  uint64_t admitted_by = UINT64_MAX;

  bool unchanged() const { return admissions->departures() == departures; }
};

}  // namespace veldrake
