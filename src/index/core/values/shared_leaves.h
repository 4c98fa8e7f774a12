// The leaf values of one container value and the container they were read from, in one immutable
// block that every copy of the value shares. Containers are stored by the hundred thousand, so a
// single allocation holds the container's reference, its kind and its leaves: no separate handle
// for the container, no vector beside its buffer. The block's address is the iterable's identity.
#pragma once

#include <Python.h>

#include <atomic>
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

  IterableKind kind() const { return block_->kind; }
  // The container, borrowed; null for a value made without one.
  PyObject* container() const { return block_->container; }
  std::span<const PyValue> leaves() const;
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
  // The leaves follow the header, at an offset fit for their alignment.
  struct Block {
    std::atomic<uint32_t> count;
    uint32_t size;
    PyObject* container;
    IterableKind kind;
  };

  explicit SharedLeaves(Block* block) : block_(block) {}
  static Block* counted_again(Block* block) {
    if (block) block->count.fetch_add(1, std::memory_order_relaxed);
    return block;
  }
  static PyValue* leaves_of(Block* block);
  void destroy();

  Block* block_ = nullptr;
};

}  // namespace veldrake
