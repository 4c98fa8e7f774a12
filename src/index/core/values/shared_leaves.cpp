#include "index/core/values/shared_leaves.h"

#include <algorithm>
#include <memory>
#include <new>
#include <type_traits>

#include "index/core/python/python_ref.h"
#include "index/core/values/value.h"

namespace veldrake {
namespace {

constexpr std::size_t round_up(std::size_t size, std::size_t alignment) {
  return (size + alignment - 1) / alignment * alignment;
}

}  // namespace

template <class Leaf>
Leaf* SharedLeaves::leaves_of(Block* block) {
  static_assert(alignof(Leaf) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
  return reinterpret_cast<Leaf*>(reinterpret_cast<unsigned char*>(block) +
                                 round_up(sizeof(Block), alignof(Leaf)));
}

template <class Leaf>
SharedLeaves::Block* SharedLeaves::allocate(IterableKind kind, PyObject* container,
                                            std::size_t size) {
  if (size > kMaxLeaves) throw std::bad_alloc();
  void* memory = ::operator new(round_up(sizeof(Block), alignof(Leaf)) + size * sizeof(Leaf));
  constexpr bool texts = std::is_same_v<Leaf, PyObject*>;
  auto* block = new (memory)
      Block{{1}, static_cast<uint32_t>(size), texts, static_cast<uint32_t>(kind), container};
  Py_XINCREF(container);
  return block;
}

SharedLeaves::SharedLeaves(IterableKind kind, PyObject* container, std::vector<PyValue>&& leaves)
    : block_(allocate<PyValue>(kind, container, leaves.size())) {
  // Moving a PyValue cannot throw.
  std::uninitialized_move(leaves.begin(), leaves.end(), leaves_of<PyValue>(block_));
}

SharedLeaves SharedLeaves::of_texts(IterableKind kind, PyObject* container,
                                    std::span<PyObject* const> texts) {
  Block* block = allocate<PyObject*>(kind, container, texts.size());
  PyObject** leaves = leaves_of<PyObject*>(block);
  for (PyObject* text : texts) {
    Py_INCREF(text);
    *leaves++ = text;
  }
  return SharedLeaves(block);
}

std::span<const PyValue> SharedLeaves::cells() const {
  if (!block_ || block_->texts) return {};
  return {leaves_of<PyValue>(block_), block_->size};
}

std::span<PyObject* const> SharedLeaves::texts() const {
  if (!block_ || !block_->texts) return {};
  return {leaves_of<PyObject*>(block_), block_->size};
}

bool SharedLeaves::any_indexable() const {
  return std::ranges::any_of(cells(),
                             [](const PyValue& leaf) { return leaf.kind() == ValueKind::Ind; });
}

void SharedLeaves::destroy() {
  if (block_->texts) {
    for (PyObject* text : texts()) release_reference(text);
  } else {
    std::destroy_n(leaves_of<PyValue>(block_), block_->size);
  }
  if (block_->container) release_reference(block_->container);
  block_->~Block();
  ::operator delete(block_);
}

}  // namespace veldrake
