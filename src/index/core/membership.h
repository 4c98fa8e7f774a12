// An object's list of the indexes that hold it (ObjectState::memberships): attribute writes
// update exactly these. Each live index appears once, in no particular order. Callers hold the
// object's lock.
//
// Entries of destroyed indexes are dropped once they are about as many as the live ones, on
// additions and on writes alike, so both cost amortised constant time per live index. Short lists
// are scanned; longer ones also keep the position of each entry by index address.
#pragma once

#include <cstddef>
#include <memory>
#include <unordered_map>
#include <vector>

namespace veldrake {

class IndexAPI;

class Memberships {
 public:
  // Records `index` unless it is recorded already. Only a new entry takes a reference to it: a
  // batch's two passes over every object would otherwise both touch the index's count.
  void add(IndexAPI& index);
  void remove(const IndexAPI& index);
  // True when no index, live or destroyed, is recorded.
  bool empty() const { return !lists_ || lists_->entries.empty(); }
  // Calls `visit(std::shared_ptr<IndexAPI>)` with a strong reference to each live index.
  template <class Visit>
  void for_each_live(Visit&& visit) {
    if (!lists_) return;
    std::size_t live = 0;
    for (const Entry& entry : lists_->entries) {
      if (auto index = entry.index.lock()) {
        ++live;
        visit(std::move(index));
      }
    }
    // Dropping the dead entries costs about what this walk did.
    if (2 * live < lists_->entries.size()) prune();
  }

 private:
  // Lists up to this long are scanned rather than kept in a position map.
  static constexpr std::size_t kScanned = 8;

  struct Entry {
    const IndexAPI* address;  // the index's, kept to find the entry when the index is gone
    std::weak_ptr<IndexAPI> index;
  };
  struct Positions {
    std::unordered_map<const IndexAPI*, std::size_t> of;  // entry position by address
    std::size_t prune_at;                                 // entry count of the next pruning
  };

  struct Lists {
    std::vector<Entry> entries;
    std::unique_ptr<Positions> positions;  // only for lists longer than kScanned
  };

  // The position of the entry with `address` (of a live index, or of a destroyed one that had the
  // same address), or the number of entries. The lists exist.
  std::size_t position_of(const IndexAPI* address) const;
  void erase_at(std::size_t position);
  // Drops the entries of destroyed indexes.
  void prune();

  // None while the object is in no index: most objects never are, and each pays for this.
  std::unique_ptr<Lists> lists_;
};

}  // namespace veldrake
