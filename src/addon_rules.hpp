// The rules that recognise the add-on in a start tag and read a listed add-on's entry from it:
// no parser, no state, only the tag as expat gives it and where it stands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "list_facts.hpp"

namespace list_reader {

// A start tag: its element's name, its attributes as expat gives them (name, value, ..., null)
// and its bytes as the list holds them.
class start_tag {
 public:
  start_tag(std::string_view name, const char* const* attributes, std::string_view bytes);

  std::string_view name() const { return name_; }
  std::string_view bytes() const { return bytes_; }
  const char* const* attributes() const { return attributes_; }
  std::size_t count() const { return count_; }
  // The value of `attribute`, as XML reads it; none when the tag has no such attribute.
  std::optional<std::string_view> value(std::string_view attribute) const;
  // A jsplugin or jspluginonline element: an add-on's entry, where it is a child of the root.
  bool listed() const;

 private:
  std::string_view name_;
  const char* const* attributes_;
  std::string_view bytes_;
  std::size_t count_ = 0;
};

// Inline: they run for every start tag.

inline start_tag::start_tag(std::string_view name, const char* const* attributes,
                            std::string_view bytes)
    : name_(name), attributes_(attributes), bytes_(bytes) {
  while (attributes_[2 * count_] != nullptr)
    ++count_;
}

inline std::optional<std::string_view> start_tag::value(std::string_view attribute) const {
  // The first byte first: most names differ there, and it spares measuring each name.
  for (const char* const* a = attributes_; *a != nullptr; a += 2) {
    if (!attribute.empty() && a[0][0] == attribute[0] && attribute == a[0])
      return std::string_view(a[1]);
  }
  return std::nullopt;
}

inline bool start_tag::listed() const {
  return name_ == "jsplugin" || name_ == online_element;
}

// Whether `tag`, a child of the root when `in_root`, starts an element of the add-on, as
// addon_element describes it: the suite knows an add-on by its name alone, so a name that only
// begins or holds ours (another add-on's, "Quillora插件助手") is another add-on's.
inline bool is_addon(const start_tag& tag, bool in_root) {
  return in_root && tag.listed() && tag.value("name") == addon_name;
}

// The element of the add-on that `tag` starts at `at`, for this build's `origin`; its bytes' end
// and whole lines are not known yet.
addon_element addon_of(const start_tag& tag, std::uint64_t at, std::string_view origin);

// Whether the element of the add-on registers this build's enabled entry: an online one whose
// enable, install, url, type and name have this build's values, in any order and quoting; any
// further attribute is the user's and changes nothing.
bool is_exact_entry(const start_tag& tag, const addon_element& element);

// The entry that `tag`, a listed element and a child of the root, registers; `ours` when it is
// an element of the add-on, whose `enabled` the add-on's rules gave.
listed_entry entry_of(const start_tag& tag, bool ours, bool enabled);

}  // namespace list_reader
