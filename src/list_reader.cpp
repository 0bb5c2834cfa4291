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
#include "list_layout.hpp"
#include "printable.hpp"
#include "xml_events.hpp"

namespace list_reader {
namespace {

// The distinct names that expat keeps a table entry for, as far as the list was read: element
// names, attribute names, and each attribute that the document type declares. Names are told
// apart by a hash, which keeps no copy of a long name (two that collide count once, a few below
// the truth at worst). A real list repeats the same three elements and eight attributes
// throughout, so the last few of each are remembered: an element's by its hash, an attribute's by
// its address, since expat hands each attribute's name as the one copy in its table.
class name_count {
 public:
  // Counts the tag's names; false once the count passes max_names.
  bool add(std::string_view element, const XML_Char* const* attributes) {
    if (!seen_element(std::hash<std::string_view>()(element)))
      return false;
    for (const XML_Char* const* a = attributes; *a != nullptr; a += 2) {
      if (!seen_attribute(*a))
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

  bool seen_element(std::size_t hash) {
    if (std::find(recent_elements_, recent_elements_ + recent, hash) != recent_elements_ + recent)
      return true;
    recent_elements_[next_element_++ % recent] = hash;
    names_.insert(hash);
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

  std::size_t recent_elements_[recent] = {};
  std::size_t next_element_ = 0;
  const XML_Char* recent_attributes_[recent] = {};
  std::size_t next_attribute_ = 0;
  std::unordered_set<std::size_t> names_;
  std::size_t declared_ = 0;
};

class reader {
 public:
  reader(std::string_view origin, std::vector<listed_entry>* registered, bool digest)
      : origin_(origin), registered_(registered), digest_(digest) {}

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
  // Stops the read with `why`, unless it already stopped with another reason.
  void refuse(verdict why, std::string detail = {});
  // Whether `tag` passes a bound; when it does, the read stops.
  bool past_bound(const start_tag& tag);
  // Keeps the entry that `tag` registers for --list, unless that passes a bound.
  void keep_entry(const start_tag& tag, bool ours, bool enabled);
  void open_root(std::string_view name);
  void open_addon(const start_tag& tag, const line_state& before);
  void digest_start(const start_tag& tag);
  // A record of its own: text before it ends there.
  void record(char kind, std::string_view a, std::string_view b = {}, std::string_view c = {});
  void record_kind(char kind) { hash_.add(&kind, 1); }

  const std::string_view origin_;
  std::vector<listed_entry>* registered_;
  const bool digest_;  // the read keeps the digest of all but the add-on
  xml_events events_;
  list_layout layout_;
  list_facts facts_;
  name_count names_;
  std::size_t listed_bytes_ = 0;  // of the entries kept for --list
  stream_hash hash_;
  text_digest text_;
  std::uint64_t at_ = 0;    // the current event's first byte
  std::string_view bytes_;  // its bytes
  std::uint64_t last_tag_end_ = 0;
  int depth_ = 0;
  bool in_section_ = false;
  bool root_seen_ = false;
  bool root_closed_ = false;
  std::string root_name_;
  std::uint64_t root_line_ = 0;
  std::optional<addon_element> open_addon_;
  int addon_depth_ = 0;
  verdict refusal_ = verdict::ok;
  std::uint64_t refusal_line_ = 0;
  std::string refusal_detail_;
};

void reader::see(bool text) {
  const event e = events_.current();
  at_ = e.at;
  bytes_ = e.bytes;
  layout_.pass(at_, bytes_, text && depth_ == 1, facts_.addons);
}

void reader::refuse(verdict why, std::string detail) {
  if (refusal_ != verdict::ok)
    return;
  refusal_ = why;
  refusal_detail_ = std::move(detail);
  refusal_line_ = events_.line();
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
  if (depth_ == 1 && tag.listed() && !ours && root_name_ == "jsplugins")
    ++facts_.others;
  if (registered_ != nullptr && depth_ == 1 && tag.listed())
    keep_entry(tag, ours, ours ? open_addon_->enabled : tag.value("enable") != "false");
  ++depth_;
  if (!open_addon_)
    digest_start(tag);
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
  root_name_ = name;
  root_line_ = events_.line();
  layout_.root_opened(at_, bytes_);
}

void reader::open_addon(const start_tag& tag, const line_state& before) {
  open_addon_ = addon_of(tag, at_, origin_);
  facts_.entries += is_exact_entry(tag, *open_addon_) ? 1 : 0;
  addon_depth_ = depth_;
  layout_.addon_opened(before);
}

void reader::digest_start(const start_tag& tag) {
  if (!digest_)
    return;
  text_.flush(hash_);
  hash_.add_field(tag.name());
  for (const XML_Char* const* a = tag.attributes(); *a != nullptr; a += 2) {
    hash_.add_field(a[0]);
    hash_.add_field(a[1]);
  }
  hash_.add_number(tag.count());
  record_kind(start_record);
}

void reader::end(const XML_Char* name) {
  const line_state before = layout_.line();
  see(false);
  const std::uint64_t end = bytes_.empty() ? last_tag_end_ : at_ + bytes_.size();
  --depth_;
  if (depth_ == 0 && !root_closed_) {
    root_closed_ = true;
    layout_.root_closed(before, at_, bytes_.empty(), facts_);
  }
  if (open_addon_) {
    if (depth_ == addon_depth_) {
      open_addon_->bytes.end = end;
      layout_.addon_closed(*open_addon_);
      open_addon_.reset();
    }
    return;
  }
  if (!digest_)
    return;
  text_.flush(hash_);
  hash_.add_field(name);
  record_kind(end_record);
}

void reader::text(const XML_Char* s, int len) {
  see(!in_section_);
  if (!open_addon_ && digest_)
    text_.add(std::string_view(s, static_cast<std::size_t>(len)), hash_);
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
  if (open_addon_ || !digest_)
    return;
  text_.flush(hash_);
  hash_.add_field(a);
  hash_.add_field(b);
  hash_.add_field(c);
  record_kind(kind);
}

list_facts reader::read(std::istream& in) {
  if (events_.failed()) {
    facts_.status = verdict::read_failed;
    return facts_;
  }
  events_.listen(*this);
  switch (events_.feed(in, facts_.blank)) {
    case feed_end::done:
      break;
    case feed_end::read_failed:
      facts_.status = verdict::read_failed;
      return facts_;
    case feed_end::too_large:
      facts_.status = verdict::too_large;
      return facts_;
    case feed_end::too_many_attributes:
      facts_.status = verdict::too_many_attributes;
      facts_.line = events_.line();
      return facts_;
    case feed_end::parse_failed:
      if (!events_.unknown_encoding().empty() && refusal_ == verdict::ok)
        refuse(verdict::not_utf8, printable(events_.unknown_encoding()));
      const bool refused = refusal_ != verdict::ok;
      facts_.status = refused ? refusal_ : verdict::malformed;
      facts_.line = refused ? refusal_line_ : events_.line();
      facts_.detail = refused ? refusal_detail_ : events_.error();
      if (!refused && events_.markup_line() < facts_.line)
        facts_.begins_line = events_.markup_line();
      return facts_;
  }
  layout_.finish(events_.fed(), facts_.addons);
  text_.flush(hash_);
  facts_.rest = hash_.finish();
  if (root_name_ != "jsplugins") {
    facts_.status = verdict::not_jsplugins;
    facts_.line = root_line_;
  }
  return facts_;
}

}  // namespace

bool utf8_spelling(std::string_view encoding) {
  // The names of UTF-8 that libxml2, Python and Java all take, so that no other reader of the
  // list takes it for another encoding.
  static constexpr std::string_view spellings[] = {"utf-8", "utf8", "utf_8", "unicode-1-1-utf-8"};
  for (const std::string_view s : spellings) {
    if (s.size() == encoding.size() &&
        std::equal(s.begin(), s.end(), encoding.begin(), [](char a, char b) {
          return a == (b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : b);
        }))
      return true;
  }
  return false;
}

list_facts read_list(std::istream& in, std::string_view origin,
                     std::vector<listed_entry>* registered, purpose why) {
  reader r(origin, registered, why == purpose::edit);
  return r.read(in);
}

}  // namespace list_reader
