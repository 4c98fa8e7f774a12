// Immutable UTF-8 text for string values, attribute paths and names in queries. Most such texts
// are short, so up to 23 bytes live inside the object without allocating; a longer text lives in
// one immutable heap buffer that copies share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace veldrake {

// An immutable piece of UTF-8 text.
class ShortText {
 public:
  static constexpr std::size_t kInlineCapacity = 23;

  ShortText() = default;
  explicit ShortText(std::string_view text) {
    if (text.size() <= kInlineCapacity) {
      std::memcpy(storage_, text.data(), text.size());
      tag_ = static_cast<uint8_t>(text.size());
    } else {
      new (storage_) Shared(std::make_shared<const std::string>(text));
      tag_ = kSharedTag;
    }
  }
  ShortText(const ShortText& other) { copy_from(other); }
  ShortText(ShortText&& other) noexcept { move_from(std::move(other)); }
  ShortText& operator=(const ShortText& other) {
    if (this != &other) {
      clear();
      copy_from(other);
    }
    return *this;
  }
  ShortText& operator=(ShortText&& other) noexcept {
    if (this != &other) {
      clear();
      move_from(std::move(other));
    }
    return *this;
  }
  ~ShortText() { clear(); }

  std::string_view view() const {
    if (is_inline()) return std::string_view(storage_, tag_);
    return *shared();
  }
  std::size_t size() const { return view().size(); }
  bool is_inline() const { return tag_ != kSharedTag; }

  friend bool operator==(const ShortText& a, const ShortText& b) { return a.view() == b.view(); }

 private:
  using Shared = std::shared_ptr<const std::string>;
  static constexpr uint8_t kSharedTag = 0xFF;
  static_assert(sizeof(Shared) <= kInlineCapacity);

  const Shared& shared() const { return *std::launder(reinterpret_cast<const Shared*>(storage_)); }
  Shared& shared() { return *std::launder(reinterpret_cast<Shared*>(storage_)); }

  void copy_from(const ShortText& other) {
    if (other.is_inline()) {
      std::memcpy(storage_, other.storage_, other.tag_);
    } else {
      new (storage_) Shared(other.shared());
    }
    tag_ = other.tag_;
  }
  void move_from(ShortText&& other) {
    if (other.is_inline()) {
      copy_from(other);
    } else {
      new (storage_) Shared(std::move(other.shared()));
      tag_ = kSharedTag;
    }
    other.clear();
  }
  // Leaves the empty text.
  void clear() {
    if (!is_inline()) shared().~Shared();
    tag_ = 0;
  }

  alignas(Shared) char storage_[kInlineCapacity];
  uint8_t tag_ = 0;  // the inline length, or kSharedTag
};

static_assert(sizeof(ShortText) == 24);

}  // namespace veldrake
