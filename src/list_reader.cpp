// The add-on list read once through by expat, which judges it and, with its position of each
// event, says where the add-on's elements and the closing tag are.
#include "list_reader.hpp"

#include <expat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <istream>
#include <memory>
#include <optional>
#include <utility>

namespace list_reader {
namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

bool is_space(char c) {
  return is_blank(c) || c == '\n';
}

bool contains(std::string_view hay, std::string_view needle) {
  return hay.find(needle) != std::string_view::npos;
}

std::uint64_t rotl(std::uint64_t x, int b) {
  return (x << b) | (x >> (64 - b));
}

// SipHash-1-3 with its 128-bit result, fed a stream in pieces of any size: the same bytes give
// the same digest however they were cut. Small pieces gather in a block first, since records
// are mostly a few bytes each.
class stream_hash {
 public:
  void add(const char* data, std::size_t size) {
    if (size == 0)
      return;
    total_ += size;
    while (size > 0) {
      const std::size_t take = std::min(size, sizeof block_ - filled_);
      std::memcpy(block_ + filled_, data, take);
      filled_ += take;
      data += take;
      size -= take;
      if (filled_ == sizeof block_) {
        for (std::size_t i = 0; i < sizeof block_; i += 8)
          word(block_ + i);
        filled_ = 0;
      }
    }
  }
  void add(std::string_view text) { add(text.data(), text.size()); }
  void add_number(std::uint64_t n) {
    char bytes[8];
    std::memcpy(bytes, &n, 8);
    add(bytes, 8);
  }
  // A field of a record: its bytes, then their count, so that no two streams of fields meet.
  void add_field(std::string_view text) {
    add(text);
    add_number(text.size());
  }

  digest finish() {
    std::size_t i = 0;
    for (; i + 8 <= filled_; i += 8)
      word(block_ + i);
    std::uint64_t last = static_cast<std::uint64_t>(total_ & 0xFF) << 56;
    for (std::size_t j = 0; i + j < filled_; ++j)
      last |= static_cast<std::uint64_t>(static_cast<unsigned char>(block_[i + j])) << (8 * j);
    v3_ ^= last;
    rounds(1);
    v0_ ^= last;
    v2_ ^= 0xEE;
    rounds(3);
    digest d;
    d.high = v0_ ^ v1_ ^ v2_ ^ v3_;
    v1_ ^= 0xDD;
    rounds(3);
    d.low = v0_ ^ v1_ ^ v2_ ^ v3_;
    *this = stream_hash();
    return d;
  }

 private:
  // Words in the machine's order: a digest is only ever compared with one made on this machine.
  void word(const char* bytes) {
    std::uint64_t m = 0;
    std::memcpy(&m, bytes, 8);
    v3_ ^= m;
    rounds(1);
    v0_ ^= m;
  }
  void rounds(int n) {
    for (int i = 0; i < n; ++i) {
      v0_ += v1_;
      v1_ = rotl(v1_, 13) ^ v0_;
      v0_ = rotl(v0_, 32);
      v2_ += v3_;
      v3_ = rotl(v3_, 16) ^ v2_;
      v0_ += v3_;
      v3_ = rotl(v3_, 21) ^ v0_;
      v2_ += v1_;
      v1_ = rotl(v1_, 17) ^ v2_;
      v2_ = rotl(v2_, 32);
    }
  }

  // The key is fixed: the digest guards against faults of the rewrite, not against the list.
  std::uint64_t v0_ = 0x736f6d6570736575ull ^ 0x0706050403020100ull;
  std::uint64_t v1_ = 0x646f72616e646f6dull ^ 0x0f0e0d0c0b0a0908ull ^ 0xEE;
  std::uint64_t v2_ = 0x6c7967656e657261ull ^ 0x0706050403020100ull;
  std::uint64_t v3_ = 0x7465646279746573ull ^ 0x0f0e0d0c0b0a0908ull;
  char block_[64] = {};
  std::size_t filled_ = 0;
  std::uint64_t total_ = 0;
};

// The kinds of record in the digest, each written after its fields.
enum record : char {
  start_record = 'S',
  end_record = 'E',
  text_record = 'T',
  comment_record = 'C',
  instruction_record = 'P',
  doctype_record = 'D',
  reference_record = 'R',
};

// Text into the digest without the space at its ends: a run of space inside it goes in as one
// mark, once text follows it, so that memory stays flat for any run.
class text_digest {
 public:
  void add(std::string_view text, stream_hash& out) {
    while (!text.empty()) {
      std::size_t i = 0;
      while (i < text.size() && is_space(text[i]))
        ++i;
      if (kept_ > 0 && i > 0)
        space_size_ += i;
      text.remove_prefix(i);
      std::size_t j = 0;
      while (j < text.size() && !is_space(text[j]))
        ++j;
      if (j == 0)
        continue;
      // XML text holds no NUL: it marks a run of space between words. Which space it was
      // does not count: taking an entry out with its line, or putting one in on a line of its
      // own, changes the space around it, and the text before and after it is one text.
      if (space_size_ > 0) {
        out.add("", 1);
        kept_ += 1;
        space_size_ = 0;
      }
      out.add(text.data(), j);
      kept_ += j;
      text.remove_prefix(j);
    }
  }
  // Ends the text, if there was any.
  void flush(stream_hash& out) {
    if (kept_ > 0) {
      out.add_number(kept_);
      const char kind = text_record;
      out.add(&kind, 1);
    }
    kept_ = 0;
    space_size_ = 0;
  }

 private:
  std::uint64_t kept_ = 0;
  std::uint64_t space_size_ = 0;
};

// Where the current line starts and what stands at its start: a new entry can go before a line
// that starts in the root's content, outside any markup, with a tag.
struct line_state {
  std::uint64_t start = 0;
  bool clean = false;  // starts in the root's content, outside any markup
  char first = 0;      // its first byte other than space, tab and CR; 0: none yet
  // The same, as the line will stand once the add-on's elements that started it are gone: where
  // a new entry goes is decided on these.
  std::uint64_t place_start = 0;
  bool place_clean = false;
  char place_first = 0;
};

// An encoding that expat does not know is read as UTF-8: a list's ASCII markup reads the same,
// the add-on's UTF-8 entry is found, and bytes that are no UTF-8 make the list malformed.
int utf8_code_point(void*, const char* s) {
  const auto b = [s](int i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char first = b(0);
  const int length = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : 2;
  int point = first & (0x7F >> length);
  for (int i = 1; i < length; ++i) {
    if ((b(i) & 0xC0) != 0x80)
      return -1;
    point = (point << 6) | (b(i) & 0x3F);
  }
  const int least = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
  if (point < least || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
    return -1;
  return point;
}

int read_as_utf8(void*, const XML_Char*, XML_Encoding* info) {
  for (int c = 0; c < 256; ++c) {
    info->map[c] = c < 0x80                 ? c
                   : c >= 0xC2 && c <= 0xDF ? -2
                   : c >= 0xE0 && c <= 0xEF ? -3
                   : c >= 0xF0 && c <= 0xF4 ? -4
                                            : -1;
  }
  info->data = nullptr;
  info->convert = utf8_code_point;
  info->release = nullptr;
  return XML_STATUS_OK;
}

struct parser_free {
  void operator()(XML_ParserStruct* p) const { XML_ParserFree(p); }
};

std::string text_of(const XML_Char* text) {
  return text != nullptr ? text : "";
}

class reader {
 public:
  reader(std::string_view origin, std::vector<listed_entry>* registered)
      : origin_(origin), url_(std::string(origin) + "/"), registered_(registered) {}

  list_facts read(std::istream& in);

 private:
  // The bytes of the current event, as the list holds them, and where they start.
  void event_bytes(std::uint64_t& at, std::string_view& bytes) const {
    at = static_cast<std::uint64_t>(XML_GetCurrentByteIndex(parser_.get()));
    const int count = XML_GetCurrentByteCount(parser_.get());
    int offset = 0;
    int size = 0;
    const char* buffer = XML_GetInputContext(parser_.get(), &offset, &size);
    bytes = buffer != nullptr && count > 0 && offset >= 0 && offset + count <= size
                ? std::string_view(buffer + offset, static_cast<std::size_t>(count))
                : std::string_view();
  }

  // Passes the current event's bytes: ends a pending element of the add-on, follows the lines.
  // `text` says that they are character data in the content, outside any markup.
  void see(bool text) {
    event_bytes(at_, bytes_);
    seen_to_ = std::max(seen_to_, at_ + bytes_.size());
    if (pending_) {
      for (std::size_t i = 0; i < bytes_.size(); ++i) {
        if (!is_blank(bytes_[i])) {
          commit(bytes_[i] == '\n' && pending_whole_, at_ + i + 1);
          break;
        }
      }
    }
    std::string_view rest = bytes_;
    const std::size_t lf = bytes_.rfind('\n');
    if (lf != std::string_view::npos) {
      line_.start = line_.place_start = at_ + lf + 1;
      line_.clean = line_.place_clean = text && depth_ == 1;
      line_.first = line_.place_first = 0;
      rest = bytes_.substr(lf + 1);
    }
    for (std::size_t i = 0; line_.place_first == 0 && i < rest.size(); ++i) {
      if (!is_blank(rest[i])) {
        if (line_.first == 0)
          line_.first = rest[i];
        line_.place_first = rest[i];
      }
    }
  }

  // `whole_lines`: nothing else stood on the element's lines, which end before `end`.
  void commit(bool whole_lines, std::uint64_t end) {
    addon_element& element = *pending_;
    element.whole = whole_lines ? span{pending_line_, end} : element.bytes;
    facts_.addons.push_back(element);
    pending_.reset();
  }

  void refuse(verdict why, std::string detail = {}) {
    if (refusal_ != verdict::ok)
      return;
    refusal_ = why;
    refusal_detail_ = std::move(detail);
    refusal_line_ = XML_GetCurrentLineNumber(parser_.get());
    XML_StopParser(parser_.get(), XML_FALSE);
  }

  void on_start(const XML_Char* name, const XML_Char** atts) {
    const line_state before = line_;
    see(false);
    std::size_t count = 0;
    while (atts[2 * count] != nullptr)
      ++count;
    if (count > max_attributes) {
      refuse(verdict::too_many_attributes);
      return;
    }
    if (depth_ >= max_depth) {
      refuse(verdict::too_deep);
      return;
    }
    const auto value = [atts](std::string_view attribute) -> std::optional<std::string_view> {
      for (const XML_Char** a = atts; *a != nullptr; a += 2) {
        if (attribute == a[0])
          return std::string_view(a[1]);
      }
      return std::nullopt;
    };
    const std::string_view element = name;
    last_tag_end_ = at_ + bytes_.size();
    if (depth_ == 0 && !root_seen_) {
      root_seen_ = true;
      root_name_ = element;
      root_line_ = XML_GetCurrentLineNumber(parser_.get());
      if (bytes_.size() >= 2 && bytes_.substr(bytes_.size() - 2) == "/>")
        root_slash_ = at_ + bytes_.size() - 2;
    }
    const bool listed = element == "jsplugin" || element == needle_element;
    const bool by_needles = contains(bytes_, needle_addon) && contains(bytes_, needle_element) &&
                            contains(bytes_, needle_name);
    const bool by_name = listed && value("name") == needle_addon;
    bool ours = false;
    if (!open_addon_ && (by_needles || by_name)) {
      ours = true;
      addon_element found;
      found.bytes.begin = at_;
      found.enabled = by_needles ? !contains(bytes_, needle_false) : value("enable") != "false";
      found.in_root = depth_ == 1;
      found.current = value("install") == origin_ && value("url") == url_;
      const bool exact = found.in_root && element == needle_element && count == 5 &&
                         value("enable") == "true" && found.current && value("type") == "wps" &&
                         by_name;
      facts_.entries += exact ? 1 : 0;
      open_addon_ = found;
      addon_depth_ = depth_;
      addon_line_ = before.start;
      addon_line_blank_ = before.first == 0;
      addon_place_ = {before.place_start, before.place_clean, before.place_first == 0};
    }
    if (registered_ != nullptr && depth_ == 1 && listed) {
      listed_entry entry;
      entry.name = value("name").value_or("");
      entry.online = element == needle_element;
      entry.type = value("type").value_or("");
      entry.url = value("url").value_or("");
      entry.quillora = ours;
      entry.enabled = ours ? open_addon_->enabled : value("enable") != "false";
      registered_->push_back(std::move(entry));
    }
    ++depth_;
    if (open_addon_)
      return;
    text_.flush(hash_);
    hash_.add_field(element);
    for (const XML_Char** a = atts; *a != nullptr; a += 2) {
      hash_.add_field(a[0]);
      hash_.add_field(a[1]);
    }
    hash_.add_number(count);
    record_kind(start_record);
  }

  void on_end(const XML_Char* name) {
    const line_state before = line_;
    see(false);
    const std::uint64_t end = bytes_.empty() ? last_tag_end_ : at_ + bytes_.size();
    --depth_;
    if (depth_ == 0 && !root_closed_) {
      root_closed_ = true;
      if (bytes_.empty() && root_slash_) {
        facts_.place = placement::open_root;
        facts_.insert_at = *root_slash_;
      } else {
        const bool before_line =
            before.place_clean && (before.place_first == 0 || before.place_first == '<');
        facts_.place = before_line ? placement::before_line : placement::break_line;
        facts_.insert_at = before_line ? before.place_start : at_;
      }
    }
    if (open_addon_) {
      if (depth_ == addon_depth_) {
        open_addon_->bytes.end = end;
        pending_ = open_addon_;
        pending_line_ = addon_line_;
        pending_whole_ = addon_line_blank_;
        open_addon_.reset();
        // The element goes: what follows it on its line then starts the line it started, which
        // decides where a new entry may go.
        if (addon_place_.starts_line) {
          line_.place_start = addon_place_.start;
          line_.place_clean = addon_place_.clean;
          line_.place_first = 0;
        }
      }
      return;
    }
    text_.flush(hash_);
    hash_.add_field(name);
    record_kind(end_record);
  }

  void on_text(const XML_Char* s, int len) {
    see(!in_section_);
    if (!open_addon_)
      text_.add(std::string_view(s, static_cast<std::size_t>(len)), hash_);
  }

  // A record of its own: text before it ends there.
  void record(char kind, std::string_view a, std::string_view b = {}, std::string_view c = {}) {
    if (open_addon_)
      return;
    text_.flush(hash_);
    hash_.add_field(a);
    hash_.add_field(b);
    hash_.add_field(c);
    record_kind(kind);
  }

  void record_kind(char kind) { hash_.add(&kind, 1); }

  static reader& of(void* data) { return *static_cast<reader*>(data); }

  void set_handlers() {
    XML_Parser p = parser_.get();
    XML_SetUserData(p, this);
    XML_SetElementHandler(
        p, [](void* d, const XML_Char* n, const XML_Char** a) { of(d).on_start(n, a); },
        [](void* d, const XML_Char* n) { of(d).on_end(n); });
    XML_SetCharacterDataHandler(p,
                                [](void* d, const XML_Char* s, int len) { of(d).on_text(s, len); });
    XML_SetCommentHandler(p, [](void* d, const XML_Char* text) {
      of(d).see(false);
      of(d).record(comment_record, text);
    });
    XML_SetProcessingInstructionHandler(p,
                                        [](void* d, const XML_Char* target, const XML_Char* text) {
                                          of(d).see(false);
                                          of(d).record(instruction_record, target, text);
                                        });
    XML_SetCdataSectionHandler(
        p,
        [](void* d) {
          of(d).see(false);
          of(d).in_section_ = true;
        },
        [](void* d) {
          of(d).see(false);
          of(d).in_section_ = false;
        });
    XML_SetStartDoctypeDeclHandler(
        p, [](void* d, const XML_Char* name, const XML_Char* system, const XML_Char* id, int) {
          of(d).see(false);
          of(d).record(doctype_record, text_of(name), text_of(system), text_of(id));
        });
    // Lists never declare entities; one that does is refused before any is expanded.
    XML_SetEntityDeclHandler(
        p, [](void* d, const XML_Char*, int, const XML_Char*, int, const XML_Char*, const XML_Char*,
              const XML_Char*, const XML_Char*) {
          of(d).see(false);
          of(d).refuse(verdict::entity_declared);
        });
    XML_SetSkippedEntityHandler(p, [](void* d, const XML_Char* name, int) {
      of(d).see(!of(d).in_section_);
      of(d).record(reference_record, name);
    });
    XML_SetXmlDeclHandler(p, [](void* d, const XML_Char* version, const XML_Char* encoding, int) {
      of(d).see(false);
      of(d).facts_.encoding = text_of(encoding);
      // expat takes any name for the version; XML has "1." and digits, as other readers ask.
      const std::string_view v = version != nullptr ? version : "1.0";
      if (v.size() < 3 || v.substr(0, 2) != "1." ||
          v.find_first_not_of("0123456789", 2) != std::string_view::npos)
        of(d).refuse(verdict::malformed, XML_ErrorString(XML_ERROR_XML_DECL));
    });
    // Everything else still passes the line's bookkeeping.
    XML_SetDefaultHandler(p, [](void* d, const XML_Char*, int) { of(d).see(false); });
    XML_SetUnknownEncodingHandler(p, read_as_utf8, nullptr);
  }

  const std::string origin_;
  const std::string url_;
  std::vector<listed_entry>* registered_;
  std::unique_ptr<XML_ParserStruct, parser_free> parser_;
  list_facts facts_;
  stream_hash hash_;
  text_digest text_;
  std::uint64_t at_ = 0;       // the current event's first byte
  std::string_view bytes_;     // its bytes
  std::uint64_t seen_to_ = 0;  // the end of the last event
  std::uint64_t last_tag_end_ = 0;
  line_state line_;
  int depth_ = 0;
  bool in_section_ = false;
  bool root_seen_ = false;
  bool root_closed_ = false;
  std::string root_name_;
  std::uint64_t root_line_ = 0;
  std::optional<std::uint64_t> root_slash_;
  std::optional<addon_element> open_addon_;
  int addon_depth_ = 0;
  std::uint64_t addon_line_ = 0;
  bool addon_line_blank_ = false;
  // Where the open element of the add-on stands for placing: the start of its line, whether
  // that starts in the root's content, and whether nothing but the add-on comes before it there.
  struct {
    std::uint64_t start = 0;
    bool clean = false;
    bool starts_line = false;
  } addon_place_;
  std::optional<addon_element> pending_;
  std::uint64_t pending_line_ = 0;
  bool pending_whole_ = false;
  verdict refusal_ = verdict::ok;
  std::uint64_t refusal_line_ = 0;
  std::string refusal_detail_;
};

list_facts reader::read(std::istream& in) {
  parser_.reset(XML_ParserCreate(nullptr));
  if (!parser_) {
    facts_.status = verdict::read_failed;
    return facts_;
  }
  // expat's own salt for its tables comes from getrandom, and glibc ends the process when that
  // fails; a salt of the clock and the stack's place needs no system call that could.
  const int here = 0;
  const auto salt =
      static_cast<unsigned long>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
      static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(&here));
  XML_SetHashSalt(parser_.get(), salt);
  set_handlers();
  constexpr std::size_t piece = 64 * 1024;
  std::uint64_t fed = 0;
  for (;;) {
    // expat reads an unfinished token again from its start at each piece: a piece at least as
    // long as what it holds keeps a huge tag or comment from costing its length squared.
    const std::size_t held = static_cast<std::size_t>(fed - std::min(fed, seen_to_));
    const std::size_t want = std::max(piece, held);
    void* buffer = XML_GetBuffer(parser_.get(), static_cast<int>(want));
    if (buffer == nullptr) {
      facts_.status = verdict::malformed;
      facts_.line = XML_GetCurrentLineNumber(parser_.get());
      facts_.detail = XML_ErrorString(XML_GetErrorCode(parser_.get()));
      return facts_;
    }
    in.read(static_cast<char*>(buffer), static_cast<std::streamsize>(want));
    const auto got = static_cast<std::size_t>(in.gcount());
    if (in.bad()) {
      facts_.status = verdict::read_failed;
      return facts_;
    }
    fed += got;
    if (fed > max_list_size) {
      facts_.status = verdict::too_large;
      return facts_;
    }
    const char* bytes = static_cast<const char*>(buffer);
    if (facts_.blank)
      facts_.blank = std::all_of(bytes, bytes + got, is_space);
    const bool last = got < want;
    if (XML_ParseBuffer(parser_.get(), static_cast<int>(got), last) != XML_STATUS_OK) {
      if (refusal_ != verdict::ok) {
        facts_.status = refusal_;
        facts_.line = refusal_line_;
        facts_.detail = refusal_detail_;
      } else {
        facts_.status = verdict::malformed;
        facts_.line = XML_GetCurrentLineNumber(parser_.get());
        facts_.detail = XML_ErrorString(XML_GetErrorCode(parser_.get()));
      }
      return facts_;
    }
    if (last)
      break;
  }
  if (pending_)
    commit(pending_whole_, fed);
  text_.flush(hash_);
  facts_.rest = hash_.finish();
  if (root_name_ != "jsplugins") {
    facts_.status = verdict::not_jsplugins;
    facts_.line = root_line_;
  }
  return facts_;
}

}  // namespace

list_facts read_list(std::istream& in, std::string_view origin,
                     std::vector<listed_entry>* registered) {
  reader r(origin, registered);
  return r.read(in);
}

}  // namespace list_reader
