// The attributes of one object, by interned name id. Most objects have a handful of attributes, so
// up to eight live in a short array in insertion order and are found by a linear scan; the ninth
// distinct name moves them into a hash map for good. Attributes are removed only to undo a write
// that failed. An object without attributes allocates nothing, and the array grows only as far as
// it is filled.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
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

  V* get(uint32_t key) { return const_cast<V*>(std::as_const(*this).get(key)); }
  const V* get(uint32_t key) const {
    if (const auto* small = std::get_if<Small>(&entries_)) {
      for (const Entry& entry : *small) {
        if (entry.first == key) return &entry.second;
      }
      return nullptr;
    }
    const Map& map = *std::get<MapPtr>(entries_);
    auto found = map.find(key);
    return found == map.end() ? nullptr : &found->second;
  }

  // Stores `value` under `key`. Returns the value it replaces, so that the caller can drop it
  // after letting go of its locks. A replaced value keeps its place in the order.
  std::optional<V> insert(uint32_t key, V&& value) {
    if (auto* small = std::get_if<Small>(&entries_)) {
      for (Entry& entry : *small) {
        if (entry.first == key) return std::exchange(entry.second, std::move(value));
      }
      if (small->size() < kInlineEntries) {
        if (small->size() == small->capacity())
          small->reserve(std::min(kInlineEntries, std::max<std::size_t>(2, 2 * small->size())));
        small->emplace_back(key, std::move(value));
        return std::nullopt;
      }
      auto map = std::make_unique<Map>();
      map->reserve(kInitialMapCapacity);
      try {
        // A value moves only once its node is allocated.
        for (auto& [existing, stored] : *small) map->emplace(existing, std::move(stored));
        map->emplace(key, std::move(value));
      } catch (...) {
        for (auto& [existing, stored] : *small) {
          if (auto moved = map->find(existing); moved != map->end())
            stored = std::move(moved->second);
        }
        throw;
      }
      entries_ = std::move(map);
      return std::nullopt;
    }
    auto [slot, inserted] = std::get<MapPtr>(entries_)->try_emplace(key, std::move(value));
    if (inserted) return std::nullopt;
    return std::exchange(slot->second, std::move(value));
  }

  // Room for `count` attributes in all, when they will fit in the array: an object made with its
  // attributes at once takes no more memory than they need.
  void reserve(std::size_t count) {
    auto* small = std::get_if<Small>(&entries_);
    if (small && count <= kInlineEntries) small->reserve(count);
  }

  // Takes out `key`, to undo the insert that added it, and returns its value, for the caller to
  // drop after letting go of its locks; the others keep their order.
  std::optional<V> erase(uint32_t key) {
    std::optional<V> taken;
    if (auto* small = std::get_if<Small>(&entries_)) {
      auto found = std::find_if(small->begin(), small->end(),
                                [key](const Entry& entry) { return entry.first == key; });
      if (found == small->end()) return taken;
      taken = std::move(found->second);
      small->erase(found);
      return taken;
    }
    Map& map = *std::get<MapPtr>(entries_);
    if (auto found = map.find(key); found != map.end()) {
      taken = std::move(found->second);
      map.erase(found);
    }
    return taken;
  }

  std::size_t size() const {
    if (const auto* small = std::get_if<Small>(&entries_)) return small->size();
    return std::get<MapPtr>(entries_)->size();
  }
  bool is_map() const { return std::holds_alternative<MapPtr>(entries_); }

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
  using Entry = std::pair<uint32_t, V>;
  using Small = std::vector<Entry>;
  using Map = std::unordered_map<uint32_t, V, KeyHash>;
  using MapPtr = std::unique_ptr<Map>;

  std::variant<Small, MapPtr> entries_;
};

template <class V>
class HybridHashmap<V>::Iterator {
 public:
  using value_type = std::pair<uint32_t, const V&>;

  value_type operator*() const {
    if (const auto* entry = std::get_if<const Entry*>(&position_)) {
      return {(*entry)->first, (*entry)->second};
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
  if (const auto* small = std::get_if<Small>(&entries_)) return Iterator(small->data());
  return Iterator(std::get<MapPtr>(entries_)->cbegin());
}

template <class V>
auto HybridHashmap<V>::end() const -> Iterator {
  if (const auto* small = std::get_if<Small>(&entries_)) {
    return Iterator(small->data() + small->size());
  }
  return Iterator(std::get<MapPtr>(entries_)->cend());
}

// The attributes of one object.
using AttributeMap = HybridHashmap<StoredValue>;

}  // namespace veldrake
