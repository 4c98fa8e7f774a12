// The leaf values of one container value and the container they were read from, in one immutable
// block that every copy of the value shares. Containers are stored by the hundred thousand, so a
// single allocation holds the container's reference, its kind and its leaves: no separate handle
// for the container, no vector beside its buffer. The block's address is the iterable's identity.
// Most containers hold only text (tags, names), whose leaves the block keeps as references to the
// str objects themselves, a pointer each, rather than as values six times that size; such leaves
// hold nothing the cycle collector or an index follows, and are made into values on demand.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace veldrake {

class PyValue;

// The kind of container an iterable value was made from.
enum class IterableKind : uint8_t { List, Dict, Tuple, Set };

class SharedLeaves {
 public:
  // No block: only a moved-from one.
  SharedLeaves() = default;
  // A block holding `leaves` and a new reference to `container` (null for none, else with the
  // interpreter lock held).
  SharedLeaves(IterableKind kind, PyObject* container, std::vector<PyValue>&& leaves);
  // A block holding new references to `texts`, str objects whose UTF-8 form is made, and to
  // `container`; interpreter lock held.
  static SharedLeaves of_texts(IterableKind kind, PyObject* container,
                               std::span<PyObject* const> texts);

  SharedLeaves(const SharedLeaves& other) noexcept : block_(counted_again(other.block_)) {}
  SharedLeaves(SharedLeaves&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
  SharedLeaves& operator=(SharedLeaves other) noexcept {
    std::swap(block_, other.block_);
    return *this;
  }
  // The last copy releases the container: at once with the interpreter lock held, else queued.
  ~SharedLeaves() {
    if (block_ && block_->count.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy();
  }

  IterableKind kind() const { return static_cast<IterableKind>(block_->kind); }
  // The container, borrowed; null for a value made without one.
  PyObject* container() const { return block_->container; }
  // The leaves kept as values: every leaf, except in a block of texts, which has none.
  std::span<const PyValue> cells() const;
  // The str objects of a block of texts, borrowed; empty for other blocks.
  std::span<PyObject* const> texts() const;
  // Whether a leaf is an Indexable.
  bool any_indexable() const;
  const void* identity() const { return block_; }
  friend bool operator==(const SharedLeaves& a, const SharedLeaves& b) {
    return a.block_ == b.block_;
  }

  // The block as one opaque word, for holders that pack it beside a tag, and back; the word owns
  // what the handle owned.
  void* into_word() && { return std::exchange(block_, nullptr); }
  static SharedLeaves from_word(void* word) { return SharedLeaves(static_cast<Block*>(word)); }

 private:
  // The leaves follow the header, at an offset fit for their alignment. Sixteen bytes on 64-bit
  // targets: a block of three texts then fits a 48-byte malloc chunk rather than a 64-byte one.
  struct Block {
    std::atomic<uint32_t> count;
    uint32_t size : 29;
    uint32_t texts : 1;  // the leaves are str objects, not values
    uint32_t kind : 2;   // an IterableKind
    PyObject* container;
  };
  static_assert(sizeof(Block) == 2 * sizeof(uint32_t) + sizeof(PyObject*));
  static constexpr std::size_t kMaxLeaves = (std::size_t{1} << 29) - 1;

  explicit SharedLeaves(Block* block) : block_(block) {}
  static Block* counted_again(Block* block) {
    if (block) block->count.fetch_add(1, std::memory_order_relaxed);
    return block;
  }
  // The leaves, values or str objects, behind the header.
  template <class Leaf>
  static Leaf* leaves_of(Block* block);
  // A block of `size` leaves of type `Leaf`, and a new reference to `container`; the leaves are
  // left for the caller to fill. A container of more leaves than a block counts is refused as
  // out of memory (std::bad_alloc).
  template <class Leaf>
  static Block* allocate(IterableKind kind, PyObject* container, std::size_t size);
  void destroy();

  Block* block_ = nullptr;
};

}  // namespace veldrake
