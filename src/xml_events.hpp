// The expat adapter: one parser for one list, its events passed to a handler's methods, the
// list fed in pieces up to the size bound, and where in the list's bytes each event stands.
#pragma once

#include <expat.h>

#include <algorithm>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

#include "expat_compat.hpp"
#include "list_facts.hpp"

namespace list_reader {

// The bytes of the current event, as the list holds them, and where they start.
struct event {
  std::uint64_t at = 0;
  std::string_view bytes;
};

class xml_events {
 public:
  // A parser salted without a system call; failed() when none could be made.
  xml_events();
  bool failed() const { return !parser_; }

  // Passes each event to `handler`, which outlives the parse: start(name, attributes),
  // end(name), text(data, size), comment(text), instruction(target, data), section(opens),
  // doctype(name, system, id), entity_declared(), attribute_declared(), skipped(name),
  // xml_declaration(version, encoding) and other() for everything else. An encoding that expat does
  // not know is read as UTF-8 where its name spells UTF-8; any other stops the parse, its name
  // kept.
  template <class Handler>
  void listen(Handler& handler);

  // The current event's bytes; the list counts as read up to their end.
  event current();
  std::uint64_t line() const;
  // No event follows the current one, and the feed ends as malformed.
  void stop();
  // expat's words for what it found wrong.
  std::string error() const;
  // After expat found the list malformed: the line of the '<' that opened the markup it was
  // reading, where that markup began before the fault (a tag left open on an earlier line), else
  // the fault's own line. expat names only where it noticed the fault.
  std::uint64_t markup_line() const;
  // The encoding that the list declares, when expat does not know it and it is no spelling of
  // UTF-8: the parse stopped there. Empty otherwise.
  const std::string& unknown_encoding() const { return unknown_encoding_; }

  // Feeds `in` to its end. `blank` goes false at the first byte other than space. A start tag
  // that expat holds unfinished is refused as soon as it has more than max_attributes: expat
  // keeps every attribute of a tag, and each name, before any handler could refuse it. Says how
  // the feed ended: ok (read to its end, well formed so far as expat saw), read_failed (the
  // stream went bad), too_large (past max_list_size), too_many_attributes (that unfinished tag),
  // or malformed (expat stopped: the list is malformed, or a handler stopped it, which then
  // knows why).
  verdict feed(std::istream& in, bool& blank);
  // The bytes fed so far.
  std::uint64_t fed() const { return fed_; }

 private:
  struct parser_free {
    void operator()(XML_ParserStruct* p) const { XML_ParserFree(p); }
  };
  void read_unknown_encodings();
  // The token that expat holds unfinished after a parse, as far as the list was fed.
  std::string_view unfinished() const;

  std::unique_ptr<XML_ParserStruct, parser_free> parser_;
  std::string unknown_encoding_;
  std::uint64_t seen_to_ = 0;  // the end of the last event
  std::uint64_t fed_ = 0;
};

namespace events_detail {

inline const char* or_empty(const XML_Char* text) {
  return text != nullptr ? text : "";
}

template <class Handler>
Handler& of(void* data) {
  return *static_cast<Handler*>(data);
}

}  // namespace events_detail

// Inline: it runs for every event.
inline event xml_events::current() {
  event e;
  e.at = static_cast<std::uint64_t>(expat_compat::byte_index(parser_.get()));
  const std::uint64_t count = expat_compat::byte_count(parser_.get());
  std::int64_t offset = 0;
  std::uint64_t size = 0;
  const char* buffer = expat_compat::input_context(parser_.get(), offset, size);
  if (buffer != nullptr && count > 0 && offset >= 0 && static_cast<std::uint64_t>(offset) <= size &&
      count <= size - static_cast<std::uint64_t>(offset))
    e.bytes = std::string_view(buffer + offset, static_cast<std::size_t>(count));
  seen_to_ = std::max(seen_to_, e.at + e.bytes.size());
  return e;
}

template <class Handler>
void xml_events::listen(Handler& handler) {
  using events_detail::of;
  using events_detail::or_empty;
  XML_Parser p = parser_.get();
  XML_SetUserData(p, &handler);
  XML_SetElementHandler(
      p, [](void* d, const XML_Char* n, const XML_Char** a) { of<Handler>(d).start(n, a); },
      [](void* d, const XML_Char* n) { of<Handler>(d).end(n); });
  XML_SetCharacterDataHandler(
      p, [](void* d, const XML_Char* s, int len) { of<Handler>(d).text(s, len); });
  XML_SetCommentHandler(p, [](void* d, const XML_Char* text) { of<Handler>(d).comment(text); });
  XML_SetProcessingInstructionHandler(p, [](void* d, const XML_Char* target, const XML_Char* data) {
    of<Handler>(d).instruction(target, data);
  });
  XML_SetCdataSectionHandler(
      p, [](void* d) { of<Handler>(d).section(true); },
      [](void* d) { of<Handler>(d).section(false); });
  XML_SetStartDoctypeDeclHandler(
      p, [](void* d, const XML_Char* name, const XML_Char* system, const XML_Char* id, int) {
        of<Handler>(d).doctype(or_empty(name), or_empty(system), or_empty(id));
      });
  XML_SetEntityDeclHandler(
      p, [](void* d, const XML_Char*, int, const XML_Char*, int, const XML_Char*, const XML_Char*,
            const XML_Char*, const XML_Char*) { of<Handler>(d).entity_declared(); });
  XML_SetAttlistDeclHandler(p, [](void* d, const XML_Char*, const XML_Char*, const XML_Char*,
                                  const XML_Char*, int) { of<Handler>(d).attribute_declared(); });
  XML_SetSkippedEntityHandler(
      p, [](void* d, const XML_Char* name, int) { of<Handler>(d).skipped(name); });
  XML_SetXmlDeclHandler(p, [](void* d, const XML_Char* version, const XML_Char* encoding, int) {
    of<Handler>(d).xml_declaration(version, or_empty(encoding));
  });
  XML_SetDefaultHandler(p, [](void* d, const XML_Char*, int) { of<Handler>(d).other(); });
  read_unknown_encodings();
}

}  // namespace list_reader
