// The attributes of one object, by interned name id. Most objects have a handful of attributes, so
// up to eight live inline in insertion order and are found by a linear scan; the ninth distinct
// name moves them into a hash map for good. Attributes are removed only to undo a write that
// failed.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "base/structures/string_interner/fold_hasher.h"
#include "index/core/values/value.h"

namespace veldrake {

// `V` must be default-constructible (the unused inline slots hold default values).
template <class V>
class HybridHashmap {
 public:
  static constexpr std::size_t kInlineEntries = 8;
  static constexpr std::size_t kInitialMapCapacity = 16;

  const V* get(uint32_t key) const {
    if (const auto* small = std::get_if<Small>(&entries_)) {
      for (std::size_t i = 0; i < small->count; ++i) {
        if (small->entries[i].first == key) return &small->entries[i].second;
      }
      return nullptr;
    }
    const Map& map = std::get<Map>(entries_);
    auto found = map.find(key);
    return found == map.end() ? nullptr : &found->second;
  }

  // Stores `value` under `key`. Returns the value it replaces, so that the caller can drop it
  // after letting go of its locks. A replaced value keeps its place in the order.
  std::optional<V> insert(uint32_t key, V value) {
    if (auto* small = std::get_if<Small>(&entries_)) {
      for (std::size_t i = 0; i < small->count; ++i) {
        if (small->entries[i].first == key) {
          return std::exchange(small->entries[i].second, std::move(value));
        }
      }
      if (small->count < kInlineEntries) {
        small->entries[small->count++] = {key, std::move(value)};
        return std::nullopt;
      }
      Map map;
      map.reserve(kInitialMapCapacity);
      try {
        // A value moves only once its node is allocated.
        for (auto& [existing, stored] : small->entries) map.emplace(existing, std::move(stored));
        map.emplace(key, std::move(value));
      } catch (...) {
        for (auto& [existing, stored] : small->entries) {
          if (auto moved = map.find(existing); moved != map.end())
            stored = std::move(moved->second);
        }
        throw;
      }
      entries_ = std::move(map);
      return std::nullopt;
    }
    auto [slot, inserted] = std::get<Map>(entries_).try_emplace(key, std::move(value));
    if (inserted) return std::nullopt;
    return std::exchange(slot->second, std::move(value));
  }

  // Takes out `key`, to undo the insert that added it, and returns its value, for the caller to
  // drop after letting go of its locks; the others keep their order.
  std::optional<V> erase(uint32_t key) {
    std::optional<V> taken;
    if (auto* small = std::get_if<Small>(&entries_)) {
      auto* const end = small->entries.begin() + small->count;
      auto* found = std::find_if(small->entries.begin(), end,
                                 [key](const Entry& entry) { return entry.first == key; });
      if (found == end) return taken;
      taken = std::move(found->second);
      std::move(found + 1, end, found);
      small->entries[--small->count] = Entry();
      return taken;
    }
    Map& map = std::get<Map>(entries_);
    if (auto found = map.find(key); found != map.end()) {
      taken = std::move(found->second);
      map.erase(found);
    }
    return taken;
  }

  std::size_t size() const {
    if (const auto* small = std::get_if<Small>(&entries_)) return small->count;
    return std::get<Map>(entries_).size();
  }
  bool is_map() const { return std::holds_alternative<Map>(entries_); }

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
  struct Small {
    std::array<Entry, kInlineEntries> entries;
    std::size_t count = 0;
  };
  using Map = std::unordered_map<uint32_t, V, KeyHash>;

  std::variant<Small, Map> entries_;
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
  if (const auto* small = std::get_if<Small>(&entries_)) return Iterator(small->entries.data());
  return Iterator(std::get<Map>(entries_).begin());
}

template <class V>
auto HybridHashmap<V>::end() const -> Iterator {
  if (const auto* small = std::get_if<Small>(&entries_)) {
    return Iterator(small->entries.data() + small->count);
  }
  return Iterator(std::get<Map>(entries_).end());
}

// The attributes of one object.
using AttributeMap = HybridHashmap<PyValue>;

}  // namespace veldrake
