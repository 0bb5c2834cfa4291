// The reader proper: one pass of expat's events over the list, which recognises the add-on's
// elements, collects the entries, refuses what passes a bound, and digests everything else.
#include "list_reader.hpp"

#include <expat.h>

#include <algorithm>
#include <functional>
#include <istream>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>

#include "addon_rules.hpp"
#include "list_digest.hpp"
#include "list_layout.hpp"
#include "printable.hpp"
#include "xml_events.hpp"

namespace list_reader {
namespace {

// The distinct names that expat keeps a table entry for, as far as the list was read: element
// names, attribute names, and each attribute that the document type declares. Names are told
// apart by a hash, which keeps no copy of a long name (two that collide count once, a few below
// the truth at worst). A real list repeats the same three elements and eight attributes
// throughout, and mostly in the same order, so what was seen last is asked first and nothing is
// hashed for it: the last few element names by their bytes (expat hands each tag's name as a
// copy of its own), and the attributes by their address at the same place of the last tag, then
// among the last few seen, since expat hands each attribute's name as the one copy in its table.
class name_count {
 public:
  // Counts the tag's names; false once the count passes max_names.
  bool add(std::string_view element, const XML_Char* const* attributes) {
    if (!seen_element(element))
      return false;
    for (std::size_t i = 0; attributes[2 * i] != nullptr; ++i) {
      const XML_Char* name = attributes[2 * i];
      if (i < recent && last_tag_[i] == name)
        continue;
      if (i < recent)
        last_tag_[i] = name;
      if (!seen_attribute(name))
        return false;
    }
    return true;
  }
  // An attribute the document type declares; false once the count passes max_names.
  bool add_declared() {
    ++declared_;
    return within();
  }

 private:
  static constexpr std::size_t recent = 8;
  // Set apart from an element's hash of the same name, as expat's tables are.
  static constexpr auto attribute_mark = static_cast<std::size_t>(0x9e3779b97f4a7c15ull);
  // Element names longer than this are not remembered, only counted by their hash.
  static constexpr std::size_t remembered_length = 32;

  bool seen_element(std::string_view name) {
    if (recent_elements_[last_element_] == name)
      return true;
    for (std::size_t i = 0; i < recent; ++i) {
      if (recent_elements_[i] == name) {
        last_element_ = i;
        return true;
      }
    }
    if (name.size() <= remembered_length) {
      last_element_ = next_element_++ % recent;
      recent_elements_[last_element_].assign(name);
    }
    names_.insert(std::hash<std::string_view>()(name));
    return within();
  }
  bool seen_attribute(const XML_Char* name) {
    if (std::find(recent_attributes_, recent_attributes_ + recent, name) !=
        recent_attributes_ + recent)
      return true;
    recent_attributes_[next_attribute_++ % recent] = name;
    names_.insert(std::hash<std::string_view>()(name) ^ attribute_mark);
    return within();
  }
  bool within() const { return declared_ + names_.size() <= max_names; }

  // Names of at most remembered_length bytes, so that none holds more than a few hundred bytes.
  std::string recent_elements_[recent];
  std::size_t last_element_ = 0;
  std::size_t next_element_ = 0;
  const XML_Char* last_tag_[recent] = {};
  const XML_Char* recent_attributes_[recent] = {};
  std::size_t next_attribute_ = 0;
  std::unordered_set<std::size_t> names_;
  std::size_t declared_ = 0;
};

class reader {
 public:
  reader(std::string_view origin, std::vector<listed_entry>* registered, bool digest)
      : origin_(origin), registered_(registered), rest_(digest) {}

  list_facts read(std::istream& in);

  // expat's events, as xml_events passes them.
  void start(const XML_Char* name, const XML_Char** attributes);
  void end(const XML_Char* name);
  void text(const XML_Char* s, int len);
  void comment(const XML_Char* text);
  void instruction(const XML_Char* target, const XML_Char* data);
  void section(bool opens);
  void doctype(const XML_Char* name, const XML_Char* system, const XML_Char* id);
  void entity_declared();
  void attribute_declared();
  void skipped(const XML_Char* name);
  void xml_declaration(const XML_Char* version, const XML_Char* encoding);
  void other() { see(false); }

 private:
  // Passes the current event's bytes; `text` says that they are character data in the content,
  // outside any markup.
  void see(bool text);
  // Stops the read with `why`, at the current line, unless it already stopped with another
  // reason.
  void refuse(verdict why, std::string detail = {});
  // Whether `tag` passes a bound; when it does, the read stops.
  bool past_bound(const start_tag& tag);
  // Keeps the entry that `tag` registers for --list, unless that passes a bound.
  void keep_entry(const start_tag& tag, bool ours, bool enabled);
  void open_root(std::string_view name);
  void open_addon(const start_tag& tag, const line_state& before);
  // A record of its own, outside the add-on: text before it ends there.
  void record(char kind, std::string_view a, std::string_view b = {}, std::string_view c = {});

  // An element of the add-on that is open, and its depth (the root's is 0).
  struct open_element {
    addon_element element;
    int depth = 0;
  };

  const std::string_view origin_;
  std::vector<listed_entry>* registered_;
  xml_events events_;
  list_layout layout_;
  list_facts facts_;  // a refusal's verdict, line and detail too, as soon as it stops the read
  name_count names_;
  std::size_t listed_bytes_ = 0;  // of the entries kept for --list
  rest_digest rest_;
  std::uint64_t at_ = 0;    // the current event's first byte
  std::string_view bytes_;  // its bytes
  std::uint64_t last_tag_end_ = 0;
  int depth_ = 0;
  bool in_section_ = false;
  bool root_seen_ = false;
  bool root_closed_ = false;
  bool root_is_list_ = false;  // the root is a jsplugins element
  std::uint64_t root_line_ = 0;
  std::optional<open_element> open_addon_;
};

void reader::see(bool text) {
  const event e = events_.current();
  at_ = e.at;
  bytes_ = e.bytes;
  layout_.pass(at_, bytes_, text && depth_ == 1, facts_.addons);
}

void reader::refuse(verdict why, std::string detail) {
  if (facts_.status != verdict::ok)
    return;
  facts_.status = why;
  facts_.detail = std::move(detail);
  facts_.line = events_.line();
  events_.stop();
}

bool reader::past_bound(const start_tag& tag) {
  if (tag.count() > max_attributes)
    refuse(verdict::too_many_attributes);
  else if (depth_ >= max_depth)
    refuse(verdict::too_deep);
  else if (!names_.add(tag.name(), tag.attributes()))
    refuse(verdict::too_many_names);
  else
    return false;
  return true;
}

void reader::start(const XML_Char* name, const XML_Char** attributes) {
  const line_state before = layout_.line();
  see(false);
  const start_tag tag(name, attributes, bytes_);
  if (past_bound(tag))
    return;
  last_tag_end_ = at_ + bytes_.size();
  if (depth_ == 0 && !root_seen_)
    open_root(tag.name());
  const bool ours = !open_addon_ && is_addon(tag, depth_ == 1);
  if (ours)
    open_addon(tag, before);
  if (depth_ == 1 && tag.listed() && !ours && root_is_list_)
    ++facts_.others;
  if (registered_ != nullptr && depth_ == 1 && tag.listed())
    keep_entry(tag, ours, ours ? open_addon_->element.enabled : tag.value("enable") != "false");
  ++depth_;
  if (!open_addon_)
    rest_.start(tag.name(), tag.attributes(), tag.count());
}

void reader::keep_entry(const start_tag& tag, bool ours, bool enabled) {
  listed_entry entry = entry_of(tag, ours, enabled);
  listed_bytes_ += entry.name.size() + entry.type.size() + entry.url.size();
  if (registered_->size() >= max_listed_entries || listed_bytes_ > max_listed_bytes)
    return refuse(verdict::too_many_entries);
  registered_->push_back(std::move(entry));
}

void reader::open_root(std::string_view name) {
  root_seen_ = true;
  root_is_list_ = name == "jsplugins";
  root_line_ = events_.line();
  layout_.root_opened(at_, bytes_);
}

void reader::open_addon(const start_tag& tag, const line_state& before) {
  open_addon_ = open_element{addon_of(tag, at_, origin_), depth_};
  facts_.entries += is_exact_entry(tag, open_addon_->element) ? 1 : 0;
  layout_.addon_opened(before);
}

void reader::end(const XML_Char* name) {
  const line_state before = layout_.line();
  see(false);
  const std::uint64_t end = bytes_.empty() ? last_tag_end_ : at_ + bytes_.size();
  --depth_;
  if (depth_ == 0 && !root_closed_) {
    root_closed_ = true;
    const entry_place place = layout_.root_closed(before, at_, bytes_.empty());
    facts_.place = place.place;
    facts_.insert_at = place.insert_at;
  }
  if (open_addon_) {
    if (depth_ == open_addon_->depth) {
      open_addon_->element.bytes.end = end;
      layout_.addon_closed(open_addon_->element);
      open_addon_.reset();
    }
    return;
  }
  rest_.end(name);
}

void reader::text(const XML_Char* s, int len) {
  see(!in_section_);
  if (!open_addon_)
    rest_.text(std::string_view(s, static_cast<std::size_t>(len)));
}

void reader::comment(const XML_Char* text) {
  see(false);
  record(comment_record, text);
}

void reader::instruction(const XML_Char* target, const XML_Char* data) {
  see(false);
  record(instruction_record, target, data);
}

void reader::section(bool opens) {
  see(false);
  in_section_ = opens;
}

void reader::doctype(const XML_Char* name, const XML_Char* system, const XML_Char* id) {
  see(false);
  record(doctype_record, name, system, id);
}

// Lists never declare entities; one that does is refused before any is expanded.
void reader::entity_declared() {
  see(false);
  refuse(verdict::entity_declared);
}

void reader::attribute_declared() {
  see(false);
  if (!names_.add_declared())
    refuse(verdict::too_many_names);
}

void reader::skipped(const XML_Char* name) {
  see(!in_section_);
  record(reference_record, name);
}

void reader::xml_declaration(const XML_Char* version, const XML_Char* encoding) {
  see(false);
  facts_.encoding = encoding;
  // expat takes any name for the version; XML has "1." and digits, as other readers ask.
  const std::string_view v = version != nullptr ? version : "1.0";
  if (v.size() < 3 || v.substr(0, 2) != "1." ||
      v.find_first_not_of("0123456789", 2) != std::string_view::npos)
    refuse(verdict::malformed, XML_ErrorString(XML_ERROR_XML_DECL));
}

void reader::record(char kind, std::string_view a, std::string_view b, std::string_view c) {
  if (!open_addon_)
    rest_.record(kind, a, b, c);
}

list_facts reader::read(std::istream& in) {
  if (events_.failed()) {
    facts_.status = verdict::read_failed;
    return facts_;
  }
  events_.listen(*this);
  const verdict fed = events_.feed(in, facts_.blank);
  switch (fed) {
    case verdict::ok:
      break;
    case verdict::malformed:
      // Where a handler refused the list, that stopped the parse and its reason stands.
      if (!events_.unknown_encoding().empty())
        refuse(verdict::not_utf8, printable(events_.unknown_encoding()));
      if (facts_.status == verdict::ok) {
        refuse(verdict::malformed, events_.error());
        if (events_.markup_line() < facts_.line)
          facts_.begins_line = events_.markup_line();
      }
      return facts_;
    case verdict::too_many_attributes:
      refuse(fed);
      return facts_;
    default:  // read_failed, too_large: no line
      facts_.status = fed;
      return facts_;
  }
  layout_.finish(events_.fed(), facts_.addons);
  facts_.rest = rest_.finish();
  if (!root_is_list_) {
    facts_.status = verdict::not_jsplugins;
    facts_.line = root_line_;
  }
  return facts_;
}

}  // namespace

list_facts read_list(std::istream& in, std::string_view origin,
                     std::vector<listed_entry>* registered, purpose why) {
  reader r(origin, registered, why == purpose::edit);
  return r.read(in);
}

}  // namespace list_reader
