// An object's list of the indexes that hold it (ObjectState::memberships): attribute writes
// update exactly these. Each live index appears once, in no particular order, marked whether it
// holds the object as a member or only reaches it through a member's nested objects, so that a
// write need not ask the index. Callers hold the object's lock.
//
// Entries of destroyed indexes are dropped once they are about as many as the live ones, on
// additions and on writes alike, so both cost amortised constant time per live index. Short lists
// are scanned; longer ones also keep the position of each entry by index address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace veldrake {

class IndexAPI;

class Memberships {
 public:
  // Records `index` unless it is recorded already; a new entry is no member. Only a new entry
  // takes a reference to it: a batch's two passes over every object would otherwise both touch
  // the index's count.
  void add(IndexAPI& index);
  void remove(const IndexAPI& index);
  // Marks whether recorded `index` holds the object as a member: called wherever the index's
  // members gain or lose it.
  void set_member(const IndexAPI& index, bool member);
  // True when no index, live or destroyed, is recorded.
  bool empty() const { return !lists_ || lists_->entries.empty(); }
  // Calls `visit(std::shared_ptr<IndexAPI>, bool member)` with a strong reference to each live
  // index.
  template <class Visit>
  void for_each_live(Visit&& visit) {
    if (!lists_) return;
    std::size_t live = 0;
    for (const Entry& entry : lists_->entries) {
      if (auto index = entry.index.lock()) {
        ++live;
        visit(std::move(index), entry.member());
      }
    }
    // Dropping the dead entries costs about what this walk did.
    if (2 * live < lists_->entries.size()) prune();
  }

 private:
  // Lists up to this long are scanned rather than kept in a position map.
  static constexpr std::size_t kScanned = 8;

  class Entry {
   public:
    explicit Entry(IndexAPI& held);
    // The index's, kept to find the entry when the index is gone.
    const IndexAPI* address() const {
      return reinterpret_cast<const IndexAPI*>(tagged_address_ & ~kMember);
    }
    bool member() const { return (tagged_address_ & kMember) != 0; }
    void set_member(bool member) {
      tagged_address_ = (tagged_address_ & ~kMember) | (member ? kMember : 0);
    }

    std::weak_ptr<IndexAPI> index;

   private:
    // The mark sits in the address's low bit, which an IndexAPI's alignment leaves clear: an
    // entry stays three words, as every object in an index has one.
    static constexpr std::uintptr_t kMember = 1;
    std::uintptr_t tagged_address_;
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
