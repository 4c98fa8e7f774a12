// A frozen table of interned names. Readers share it without locking: it never changes once
// published, and the names themselves are shared with every later table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace veldrake {

class ImmutableInterner {
 public:
  explicit ImmutableInterner(std::size_t capacity = 0);

  std::optional<uint32_t> lookup(std::string_view name) const;
  // The name with `id`; an id this table does not have is an internal error.
  std::string_view name_of(uint32_t id) const;
  uint32_t size() const { return static_cast<uint32_t>(names_.size()); }

 private:
  friend class MutableInterner;

  // Names are found by hash and byte length first; the few ids sharing both are compared by text.
  struct Key {
    uint64_t hash;
    std::size_t length;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    std::size_t operator()(const Key& key) const {
      return static_cast<std::size_t>(key.hash) ^ key.length;
    }
  };
  static Key key_of(std::string_view name);

  std::vector<std::shared_ptr<const std::string>> names_;  // indexed by id
  std::unordered_map<Key, std::vector<uint32_t>, KeyHash> ids_;
};

}  // namespace veldrake
