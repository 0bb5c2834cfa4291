// Recognises the add-on's state in its start tag, by the values as XML reads them, and reads the
// entries that --list shows.
#include "addon_rules.hpp"

#include <string>

namespace list_reader {
namespace {

// At most max_entry_value bytes of `value`, cut where a character starts, with "…" behind
// when cut: a value of megabytes shows nothing more, and kept whole would cost as much again.
std::string shown(std::optional<std::string_view> value) {
  std::string_view v = value.value_or("");
  if (v.size() <= max_entry_value)
    return std::string(v);
  std::size_t cut = max_entry_value;
  while (cut > 0 && (static_cast<unsigned char>(v[cut]) & 0xC0) == 0x80)
    --cut;
  return std::string(v.substr(0, cut)) + "…";
}

}  // namespace

addon_element addon_of(const start_tag& tag, std::uint64_t at, std::string_view origin) {
  addon_element found;
  found.bytes.begin = at;
  // The suite loads an add-on unless its enable says "false"; another attribute's "false" (a
  // debug="false") is no word on it.
  found.enabled = tag.value("enable") != "false";
  const std::optional<std::string_view> url = tag.value("url");
  found.current = tag.value("install") == origin && url && url->size() == origin.size() + 1 &&
                  url->substr(0, origin.size()) == origin && url->back() == '/';
  return found;
}

bool is_exact_entry(const start_tag& tag, const addon_element& element) {
  return tag.name() == online_element && tag.value("enable") == "true" && element.current &&
         tag.value("type") == "wps" && tag.value("name") == addon_name;
}

listed_entry entry_of(const start_tag& tag, bool ours, bool enabled) {
  listed_entry entry;
  entry.name = shown(tag.value("name"));
  entry.online = tag.name() == online_element;
  entry.type = shown(tag.value("type"));
  entry.url = shown(tag.value("url"));
  entry.quillora = ours;
  entry.enabled = enabled;
  return entry;
}

}  // namespace list_reader
