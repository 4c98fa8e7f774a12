// The attributes of one object, by interned name id. Most objects have a handful of attributes, so
// up to eight live in a short array in insertion order and are found by a linear scan; the ninth
// distinct name moves them into a hash map for good. Attributes are removed only to undo a write
// that failed. An object without attributes allocates nothing, and the array grows only as far as
// it is filled.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "base/structures/string_interner/fold_hasher.h"
#include "index/core/values/stored_value.h"

namespace veldrake {

template <class V>
class HybridHashmap {
 public:
  static constexpr std::size_t kInlineEntries = 8;
  static constexpr std::size_t kInitialMapCapacity = 16;

  HybridHashmap() = default;
  HybridHashmap(HybridHashmap&& other) noexcept : word_(std::exchange(other.word_, 0)) {}
  HybridHashmap& operator=(HybridHashmap&& other) noexcept {
    std::swap(word_, other.word_);
    return *this;
  }
  HybridHashmap(const HybridHashmap&) = delete;
  HybridHashmap& operator=(const HybridHashmap&) = delete;
  ~HybridHashmap() {
    if (is_map()) {
      delete map();
    } else if (Array* array = this->array()) {
      std::destroy_n(array->entries(), array->size);
      ::operator delete(array);
    }
  }

  V* get(uint32_t key) { return const_cast<V*>(std::as_const(*this).get(key)); }
  const V* get(uint32_t key) const {
    if (!is_map()) {
      for (const Entry& entry : entries()) {
        if (entry.key() == key) return &entry.value;
      }
      return nullptr;
    }
    auto found = map()->find(key);
    return found == map()->end() ? nullptr : &found->second;
  }

  // Stores `value` under `key`. Returns the value it replaces, so that the caller can drop it
  // after letting go of its locks. A replaced value keeps its place in the order. Inline up to a
  // new name that fits the array, as when an object is made with its attributes.
  std::optional<V> insert(uint32_t key, V&& value) {
    if (is_map()) return insert_in_map(key, std::move(value));
    for (Entry& entry : entries()) {
      if (entry.key() == key) return std::exchange(entry.value, std::move(value));
    }
    if (Array* array = this->array(); array && array->size < array->capacity) {
      new (array->entries() + array->size) Entry(key, std::move(value));
      ++array->size;
    } else {
      add_beyond_capacity(key, std::move(value));
    }
    return std::nullopt;
  }

  // Room for `count` attributes in all, when they will fit in the array: an object made with its
  // attributes at once takes no more memory than they need.
  void reserve(std::size_t count) {
    if (!is_map() && count <= kInlineEntries && count > capacity()) grow(count);
  }

  // Takes out `key`, to undo the insert that added it, and returns its value, for the caller to
  // drop after letting go of its locks; the others keep their order.
  std::optional<V> erase(uint32_t key) {
    std::optional<V> taken;
    if (!is_map()) {
      std::span<Entry> all = entries();
      auto found = std::find_if(all.begin(), all.end(),
                                [key](const Entry& entry) { return entry.key() == key; });
      if (found == all.end()) return taken;
      taken = std::move(found->value);
      std::move(found + 1, all.end(), found);
      std::destroy_at(&all.back());
      --array()->size;
      return taken;
    }
    if (auto found = map()->find(key); found != map()->end()) {
      taken = std::move(found->second);
      map()->erase(found);
    }
    return taken;
  }

  std::size_t size() const {
    if (is_map()) return map()->size();
    return array() ? array()->size : 0;
  }
  bool is_map() const { return (word_ & kMapTag) != 0; }

  class Iterator;
  // Iteration yields (key, value) pairs: in insertion order while inline, in the hash map's
  // order after.
  Iterator begin() const;
  Iterator end() const;

  std::vector<uint32_t> keys() const {
    std::vector<uint32_t> out;
    out.reserve(size());
    for (const auto& [key, value] : *this) out.push_back(key);
    return out;
  }

 private:
  struct KeyHash {
    std::size_t operator()(uint32_t key) const {
      return static_cast<std::size_t>(FoldHasher().add(key).finish());
    }
  };
  // A name and its value. The name is kept as bytes, so that an entry is aligned only as its
  // value is: values made of bytes (see stored_value.h) pack four entries with their count into
  // 54 bytes, which malloc serves from its 64-byte chunks rather than its 80-byte ones.
  struct Entry {
    Entry(uint32_t key, V&& stored) : value(std::move(stored)) {
      std::memcpy(key_bytes, &key, sizeof key);
    }
    uint32_t key() const {
      uint32_t key;
      std::memcpy(&key, key_bytes, sizeof key);
      return key;
    }

    unsigned char key_bytes[sizeof(uint32_t)];
    V value;
  };
  using Map = std::unordered_map<uint32_t, V, KeyHash>;
  // The inline entries, in one block behind their count: the map of every object is one word.
  struct Array {
    uint8_t size;
    uint8_t capacity;
    Entry* entries() {
      return reinterpret_cast<Entry*>(reinterpret_cast<unsigned char*>(this) + kEntriesOffset);
    }
  };
  static constexpr std::size_t kEntriesOffset =
      (sizeof(Array) + alignof(Entry) - 1) / alignof(Entry) * alignof(Entry);
  static_assert(kInlineEntries <= UINT8_MAX && alignof(Entry) <= alignof(std::max_align_t));
  static constexpr uintptr_t kMapTag = 1;

  Array* array() const { return reinterpret_cast<Array*>(word_); }
  Map* map() const { return reinterpret_cast<Map*>(word_ & ~kMapTag); }
  std::size_t capacity() const { return array() ? array()->capacity : 0; }
  std::span<Entry> entries() const {
    Array* array = this->array();
    return array ? std::span<Entry>(array->entries(), array->size) : std::span<Entry>();
  }
  // Adds `key`, which is not in the full array: grows the array, or moves the entries to a map.
  // Out of line, so that insert stays small enough to inline.
  [[gnu::noinline]] void add_beyond_capacity(uint32_t key, V&& value) {
    const std::size_t size = this->size();
    if (size < kInlineEntries) {
      grow(std::min(kInlineEntries, std::max<std::size_t>(2, 2 * size)));
      new (array()->entries() + size) Entry(key, std::move(value));
      ++array()->size;
      return;
    }
    auto map = std::make_unique<Map>();
    map->reserve(kInitialMapCapacity);
    try {
      // A value moves only once its node is allocated.
      for (Entry& entry : entries()) map->emplace(entry.key(), std::move(entry.value));
      map->emplace(key, std::move(value));
    } catch (...) {
      for (Entry& entry : entries()) {
        if (auto moved = map->find(entry.key()); moved != map->end())
          entry.value = std::move(moved->second);
      }
      throw;
    }
    HybridHashmap emptied(std::move(*this));
    word_ = reinterpret_cast<uintptr_t>(map.release()) | kMapTag;
  }
  std::optional<V> insert_in_map(uint32_t key, V&& value) {
    auto [slot, inserted] = map()->try_emplace(key, std::move(value));
    if (inserted) return std::nullopt;
    return std::exchange(slot->second, std::move(value));
  }
  // Moves the inline entries into a block for `capacity` of them; throws before moving any.
  void grow(std::size_t capacity) {
    void* memory = ::operator new(kEntriesOffset + capacity * sizeof(Entry));
    auto* grown = new (memory) Array{0, static_cast<uint8_t>(capacity)};
    for (Entry& entry : entries()) {
      new (grown->entries() + grown->size) Entry(entry.key(), std::move(entry.value));
      ++grown->size;
    }
    HybridHashmap emptied;
    emptied.word_ = std::exchange(word_, reinterpret_cast<uintptr_t>(grown));
  }

  // Null (no attributes), an Array, or the Map tagged with kMapTag.
  uintptr_t word_ = 0;
};

template <class V>
class HybridHashmap<V>::Iterator {
 public:
  using value_type = std::pair<uint32_t, const V&>;

  value_type operator*() const {
    if (const auto* entry = std::get_if<const Entry*>(&position_)) {
      return {(*entry)->key(), (*entry)->value};
    }
    const auto& slot = std::get<MapIterator>(position_);
    return {slot->first, slot->second};
  }
  Iterator& operator++() {
    std::visit([](auto& position) { ++position; }, position_);
    return *this;
  }
  bool operator==(const Iterator&) const = default;

 private:
  friend class HybridHashmap;
  using MapIterator = typename Map::const_iterator;
  template <class Position>
  explicit Iterator(Position position) : position_(position) {}

  std::variant<const Entry*, MapIterator> position_;
};

template <class V>
auto HybridHashmap<V>::begin() const -> Iterator {
  if (is_map()) return Iterator(std::as_const(*map()).cbegin());
  return Iterator(static_cast<const Entry*>(entries().data()));
}

template <class V>
auto HybridHashmap<V>::end() const -> Iterator {
  if (is_map()) return Iterator(std::as_const(*map()).cend());
  std::span<Entry> all = entries();
  return Iterator(static_cast<const Entry*>(all.data() + all.size()));
}

// The attributes of one object.
using AttributeMap = HybridHashmap<StoredValue>;

}  // namespace veldrake
