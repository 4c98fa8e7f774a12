// An ordered index from numeric keys to object ids, answering range queries as bitmaps.
//
// It stores a set of entries (key, id), sorted by exact numeric value (integers and floats
// compare as numbers: 1 == 1.0 and the integer 2^53 + 1 is above the float 2^53), then integers
// before floats of equal value, then id. An id may have many entries; inserting an entry that is
// already stored changes nothing.
//
// Nodes hold 96 slots used as a centered run (nodes/centered_run.h explains both choices). Each
// internal node keeps, per child, the exact bitmap of ids below that child, so a range query
// reads whole children from their bitmaps and only scans the two boundary paths. A removal takes
// the id out of those bitmaps up to where another entry with the id remains; ids with a single
// entry (the common case) skip that search.
//
// NaN: a NaN key (of either sign) is never stored (insert and remove do nothing and return
// false), and a NaN bound selects nothing, so NaN matches no comparison.
//
// -0.0 and 0.0 are the same number, so they make the same float entry; it reads back as 0.0.
//
// Nodes never merge: removal leaves emptied leaves in place, which keeps removal cheap and the
// separators valid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <vector>

#include "base/structures/b_tree/bound.h"
#include "base/structures/b_tree/entry.h"
#include "base/structures/b_tree/id_entry_counts.h"
#include "base/structures/b_tree/iteration.h"
#include "base/structures/b_tree/nodes/node.h"
#include "base/structures/b_tree/numeric_key.h"
#include "base/structures/bitmap.h"

namespace veldrake {

class BitMapBTree {
 public:
  // An empty tree (one empty leaf).
  BitMapBTree();
  BitMapBTree(BitMapBTree&&) noexcept = default;
  BitMapBTree& operator=(BitMapBTree&&) noexcept = default;

  // Stores the entry (key, id); false if it was already stored or the key is NaN. Out of memory,
  // throws std::bad_alloc with the entries unchanged and the tree valid.
  bool insert(const NumericKey& key, uint32_t id);
  // Removes the entry (key, id); false if it was not stored or the key is NaN. `carriers` may
  // name keys of the id's other entries: when they name all of them, the removal need not
  // search the nodes on its path for another entry of the id. Never fails.
  bool remove(const NumericKey& key, uint32_t id, std::span<const NumericKey> carriers = {});
  // Whether the entry (key, id) is stored.
  bool contains(const Entry& entry) const;
  // The ids in `filter` having an entry whose number lies between the bounds.
  Bitmap query_range(const Bound& lower, const Bound& upper, const Bitmap& filter) const;
  // Every id having an entry whose number lies between the bounds.
  Bitmap query_range(const Bound& lower, const Bound& upper) const;
  // The ids of the entries between the bounds in the order of the entries, one per entry: for
  // bounds that select one number, ascending.
  std::vector<uint32_t> ids_in_range(const Bound& lower, const Bound& upper) const;
  // The size of query_range(lower, upper, *filter), or of query_range(lower, upper) without a
  // filter. While no id has two entries, the pieces of a range hold distinct ids, so their
  // sizes add up without uniting them.
  uint64_t count_range(const Bound& lower, const Bound& upper, const Bitmap* filter) const;

  // Whether no entry is stored.
  bool is_empty() const { return size_ == 0; }
  // Number of stored entries.
  size_t size() const { return size_; }
  // Number of node levels (1 for a lone leaf).
  size_t height() const;
  // The root node.
  const Node& root() const { return root_; }

  // First entry of the in-order walk.
  EntryIterator begin() const { return EntryIterator(root_); }
  // End of the in-order walk.
  std::default_sentinel_t end() const { return {}; }
  // Calls `visit(entry)` for every entry in ascending order.
  template <class F>
  void for_each(F&& visit) const {
    for (const Entry& entry : *this) visit(entry);
  }

 private:
  Node root_;
  // Lets a removal skip looking for other entries of an id that has none.
  IdEntryCounts id_counts_;
  size_t size_ = 0;
};

}  // namespace veldrake
