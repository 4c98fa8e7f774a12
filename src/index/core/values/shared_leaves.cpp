#include "index/core/values/shared_leaves.h"

#include <algorithm>
#include <memory>
#include <new>

#include "index/core/python/python_ref.h"
#include "index/core/values/value.h"

namespace veldrake {
namespace {

constexpr std::size_t round_up(std::size_t size, std::size_t alignment) {
  return (size + alignment - 1) / alignment * alignment;
}

}  // namespace

PyValue* SharedLeaves::leaves_of(Block* block) {
  static_assert(alignof(PyValue) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
  return reinterpret_cast<PyValue*>(reinterpret_cast<unsigned char*>(block) +
                                    round_up(sizeof(Block), alignof(PyValue)));
}

SharedLeaves::SharedLeaves(IterableKind kind, PyObject* container, std::vector<PyValue>&& leaves) {
  void* memory =
      ::operator new(round_up(sizeof(Block), alignof(PyValue)) + leaves.size() * sizeof(PyValue));
  auto* block = new (memory) Block{{1}, static_cast<uint32_t>(leaves.size()), container, kind};
  // Moving a PyValue cannot throw.
  std::uninitialized_move(leaves.begin(), leaves.end(), leaves_of(block));
  Py_XINCREF(container);
  block_ = block;
}

std::span<const PyValue> SharedLeaves::leaves() const {
  if (!block_) return {};
  return {leaves_of(block_), block_->size};
}

bool SharedLeaves::any_indexable() const {
  return std::ranges::any_of(leaves(),
                             [](const PyValue& leaf) { return leaf.kind() == ValueKind::Ind; });
}

void SharedLeaves::destroy() {
  std::destroy_n(leaves_of(block_), block_->size);
  if (block_->container) release_reference(block_->container);
  block_->~Block();
  ::operator delete(block_);
}

}  // namespace veldrake
