// The expat adapter: the parser's creation and salt, UTF-8's other spellings, the feed
// loop with its piece sizing and size bound, and each event's bytes.
#include "xml_events.hpp"

#include <algorithm>
#include <chrono>
#include <istream>

#include "list_digest.hpp"
#include "list_facts.hpp"

namespace list_reader {
namespace {

// A spelling of UTF-8 that expat does not know ("UTF8") is read as UTF-8, and bytes that are no
// UTF-8 make the list malformed.
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

// Any other encoding that expat does not know (GBK, windows-1252) is no UTF-8: read as UTF-8,
// a well-formed list would be taken for a malformed one, so the parse stops with its name.
int read_as_utf8(void* data, const XML_Char* name, XML_Encoding* info) {
  if (!utf8_spelling(name)) {
    *static_cast<std::string*>(data) = name;
    return XML_STATUS_ERROR;
  }
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

// The attributes begun in `token`, a start tag that is not finished yet: each '=' outside a
// quoted value begins one. Anything else counts none.
std::size_t attributes_begun(std::string_view token) {
  if (token.size() < 2 || token[0] != '<' || token[1] == '/' || token[1] == '!' || token[1] == '?')
    return 0;
  std::size_t count = 0;
  char quote = 0;
  for (const char c : token) {
    if (quote != 0)
      quote = c == quote ? 0 : quote;
    else if (c == '"' || c == '\'')
      quote = c;
    else
      count += c == '=';
  }
  return count;
}

}  // namespace

xml_events::xml_events() : parser_(XML_ParserCreate(nullptr)) {
  if (!parser_)
    return;
  // expat's own salt for its tables comes from getrandom, and glibc ends the process when that
  // fails; a salt of the clock and the stack's place needs no system call that could.
  const int here = 0;
  expat_compat::set_salt(
      parser_.get(),
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()),
      static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&here)));
}

void xml_events::read_unknown_encodings() {
  XML_SetUnknownEncodingHandler(parser_.get(), read_as_utf8, &unknown_encoding_);
}

std::string_view xml_events::unfinished() const {
  std::int64_t offset = 0;
  std::uint64_t size = 0;
  const char* buffer = expat_compat::input_context(parser_.get(), offset, size);
  if (buffer == nullptr || offset < 0 || static_cast<std::uint64_t>(offset) > size)
    return {};
  return std::string_view(buffer + offset, static_cast<std::size_t>(size - offset));
}

std::uint64_t xml_events::line() const {
  return expat_compat::line(parser_.get());
}

std::uint64_t xml_events::markup_line() const {
  const std::uint64_t fault = line();
  std::int64_t offset = 0;
  std::uint64_t size = 0;
  const char* buffer = expat_compat::input_context(parser_.get(), offset, size);
  const std::int64_t index = expat_compat::byte_index(parser_.get());
  if (buffer == nullptr || offset < 0 || static_cast<std::uint64_t>(offset) > size ||
      index < offset)
    return fault;
  // The markup began after the last event, whose token expat finished; expat keeps the unfinished
  // token in its buffer, so its '<' is there even where the fault lies pieces later. Before the
  // '<', at most text, which holds none.
  const auto at = static_cast<std::uint64_t>(index);
  const std::uint64_t buffer_at = at - static_cast<std::uint64_t>(offset);
  const std::uint64_t from = std::max(seen_to_, buffer_at);
  if (from >= at)
    return fault;
  const std::string_view before(buffer + (from - buffer_at), static_cast<std::size_t>(at - from));
  const std::size_t open = before.find('<');
  if (open == std::string_view::npos)
    return fault;
  // Lines end as expat counts them: at an LF, a CR, or both together.
  std::uint64_t breaks = 0;
  for (std::size_t i = open; i < before.size(); ++i) {
    if (before[i] == '\n' || before[i] == '\r')
      ++breaks;
    if (before[i] == '\r' && i + 1 < before.size() && before[i + 1] == '\n')
      ++i;
  }
  return breaks < fault ? fault - breaks : fault;
}

void xml_events::stop() {
  XML_StopParser(parser_.get(), XML_FALSE);
}

std::string xml_events::error() const {
  return XML_ErrorString(XML_GetErrorCode(parser_.get()));
}

verdict xml_events::feed(std::istream& in, bool& blank) {
  constexpr std::size_t piece = 64 * 1024;
  for (;;) {
    // expat reads an unfinished token again from its start at each piece: a piece at least as
    // long as what it holds keeps a huge tag or comment from costing its length squared.
    const std::size_t held = static_cast<std::size_t>(fed_ - std::min(fed_, seen_to_));
    const std::size_t want = std::max(piece, held);
    void* buffer = XML_GetBuffer(parser_.get(), static_cast<int>(want));
    if (buffer == nullptr)
      return verdict::malformed;
    in.read(static_cast<char*>(buffer), static_cast<std::streamsize>(want));
    const auto got = static_cast<std::size_t>(in.gcount());
    if (in.bad())
      return verdict::read_failed;
    fed_ += got;
    if (fed_ > max_list_size)
      return verdict::too_large;
    const char* bytes = static_cast<const char*>(buffer);
    if (blank)
      blank = std::all_of(bytes, bytes + got, is_space);
    const bool last = got < want;
    if (XML_ParseBuffer(parser_.get(), static_cast<int>(got), last) != XML_STATUS_OK)
      return verdict::malformed;
    if (last)
      return verdict::ok;
    // Only a tag longer than a piece is held over: a short one costs nothing to look at.
    const std::size_t now_held = static_cast<std::size_t>(fed_ - std::min(fed_, seen_to_));
    if (now_held >= piece && attributes_begun(unfinished()) > max_attributes)
      return verdict::too_many_attributes;
  }
}

}  // namespace list_reader
