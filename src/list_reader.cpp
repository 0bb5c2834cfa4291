// The add-on list read once through: libxml2 judges it, a scanner of its markup places things.
#include "list_reader.hpp"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlreader.h>

#include <algorithm>
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

// The needles in a start tag, searched a few KB at a time so that a huge tag costs no memory:
// each search keeps the bytes that could start a needle cut by the next piece.
class tag_needles {
 public:
  void start() {
    bytes_.clear();
    element_ = name_ = addon_ = false_ = false;
  }
  void add(char c) {
    bytes_.push_back(c);
    if (bytes_.size() >= 4096)
      search();
  }
  void search() {
    element_ = element_ || contains(bytes_, needle_element);
    name_ = name_ || contains(bytes_, needle_name);
    addon_ = addon_ || contains(bytes_, needle_addon);
    false_ = false_ || contains(bytes_, needle_false);
    constexpr std::size_t keep = 15;  // one byte short of the longest needle
    if (bytes_.size() > keep)
      bytes_.erase(0, bytes_.size() - keep);
  }
  bool addon() const { return element_ && name_ && addon_; }
  bool disabled() const { return false_; }

 private:
  std::string bytes_;
  bool element_ = false;
  bool name_ = false;
  bool addon_ = false;
  bool false_ = false;
};

// Where a line starts and what stands at its start: a new entry can go before a line that starts
// outside any markup, in the root's content, with a tag.
struct line_state {
  std::uint64_t start = 0;
  bool clean = true;  // starts outside any markup
  int depth = 0;      // elements open at its start
  char first = 0;     // its first byte other than space, tab and CR
  bool blank = true;  // nothing but spaces, tabs and CRs so far
  std::uint64_t number = 1;
};

// The markup of a list, byte by byte, for lists that libxml2 finds well formed: on anything else
// its facts mean nothing, and nobody asks for them.
class markup_scanner {
 public:
  explicit markup_scanner(std::string_view origin)
      : install_value_(origin), url_value_(std::string(origin) + "/") {}

  void feed(const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i)
      byte(data[i]);
  }

  void finish() {
    if (pending_)
      commit(pending_extends_, pos_);
    if (root_slash_) {
      facts_.place = placement::open_root;
      facts_.insert_at = *root_slash_;
    }
  }

  list_facts& facts() { return facts_; }
  const std::string& root_name() const { return root_name_; }
  std::uint64_t root_line() const { return root_line_; }

  // Whether the start tag with this number, counted from 0 in the order of the list, begins an
  // element of the add-on, and if so whether it is enabled. Numbers must be asked in order, each
  // once.
  std::optional<bool> addon(std::uint64_t ordinal) {
    if (ordinals_.empty() || ordinals_.front().first != ordinal)
      return std::nullopt;
    const bool enabled = ordinals_.front().second;
    ordinals_.pop_front();
    return enabled;
  }

 private:
  enum class mode {
    text,
    open,
    bang,
    comment,
    cdata,
    instruction,
    doctype,
    doctype_comment,
    start_tag,
    end_tag
  };
  // Where in a start tag: its name, between attributes, an attribute's name, before and after
  // its '=', in its value.
  enum class in_tag { name, between, attribute, before_equals, after_equals, value };

  void byte(char c) {
    const std::uint64_t at = pos_++;
    if (!is_space(c))
      facts_.blank = false;
    if (pending_ && !is_blank(c))
      commit(c == '\n' && pending_extends_, at + 1);

    switch (mode_) {
      case mode::text:
        if (c == '<') {
          mode_ = mode::open;
          markup_begin_ = at;
          markup_line_ = line_;
        }
        break;
      case mode::open:
        if (c == '/') {
          mode_ = mode::end_tag;
        } else if (c == '?') {
          mode_ = mode::instruction;
          p1_ = 0;
        } else if (c == '!') {
          mode_ = mode::bang;
          head_.clear();
        } else {
          begin_start_tag(c);
        }
        break;
      case mode::bang:
        head_.push_back(c);
        if (head_ == "--") {
          mode_ = mode::comment;
          p1_ = p2_ = 0;
        } else if (head_ == "[CDATA[") {
          mode_ = mode::cdata;
          p1_ = p2_ = 0;
        } else if (std::string_view("--").substr(0, head_.size()) != head_ &&
                   std::string_view("[CDATA[").substr(0, head_.size()) != head_) {
          mode_ = mode::doctype;
          quote_ = 0;
          brackets_ = 0;
          p1_ = p2_ = p3_ = 0;
          doctype_byte(c);
        }
        break;
      case mode::comment:
      case mode::doctype_comment:
        if (c == '>' && p1_ == '-' && p2_ == '-')
          mode_ = mode_ == mode::comment ? mode::text : mode::doctype;
        shift(c);
        break;
      case mode::cdata:
        if (c == '>' && p1_ == ']' && p2_ == ']')
          mode_ = mode::text;
        shift(c);
        break;
      case mode::instruction:
        if (c == '>' && p1_ == '?')
          mode_ = mode::text;
        shift(c);
        break;
      case mode::doctype:
        doctype_byte(c);
        break;
      case mode::start_tag:
        start_tag_byte(c, at);
        break;
      case mode::end_tag:
        if (c == '>')
          end_end_tag(at);
        break;
    }

    if (c == '\n') {
      line_.start = at + 1;
      line_.clean = mode_ == mode::text;
      line_.depth = depth_;
      line_.first = 0;
      line_.blank = true;
      ++line_.number;
    } else if (!is_blank(c)) {
      if (line_.first == 0)
        line_.first = c;
      line_.blank = false;
    }
  }

  void shift(char c) {
    p3_ = p2_;
    p2_ = p1_;
    p1_ = c;
  }

  // The document type, with its internal subset in brackets, quoted values and comments.
  void doctype_byte(char c) {
    if (quote_ != 0) {
      if (c == quote_)
        quote_ = 0;
    } else if (c == '-' && p1_ == '-' && p2_ == '!' && p3_ == '<') {
      mode_ = mode::doctype_comment;
      c = 0;  // the comment's end needs two dashes of its own
      p1_ = p2_ = 0;
    } else if (c == '"' || c == '\'') {
      quote_ = c;
    } else if (c == '[') {
      ++brackets_;
    } else if (c == ']') {
      --brackets_;
    } else if (c == '>' && brackets_ <= 0) {
      mode_ = mode::text;
    }
    shift(c);
  }

  void begin_start_tag(char first) {
    mode_ = mode::start_tag;
    where_ = in_tag::name;
    needles_.start();
    needles_.add('<');
    needles_.add(first);
    name_.assign(1, first);
    last_ = first;
  }

  void start_tag_byte(char c, std::uint64_t at) {
    if (where_ != in_tag::value && c == '>') {
      end_start_tag(at);
      return;
    }
    needles_.add(c);
    switch (where_) {
      case in_tag::name:
        if (is_space(c) || c == '/')
          where_ = in_tag::between;
        else
          name_.push_back(c);
        break;
      case in_tag::between:
        if (!is_space(c) && c != '/') {
          where_ = in_tag::attribute;
          attribute_.assign(1, c);
        }
        break;
      case in_tag::attribute:
        if (c == '=')
          where_ = in_tag::after_equals;
        else if (is_space(c))
          where_ = in_tag::before_equals;
        else
          attribute_.push_back(c);
        break;
      case in_tag::before_equals:
        if (c == '=')
          where_ = in_tag::after_equals;
        break;
      case in_tag::after_equals:
        if (c == '"' || c == '\'') {
          where_ = in_tag::value;
          quote_ = c;
          value_.clear();
        }
        break;
      case in_tag::value:
        if (c == quote_) {
          where_ = in_tag::between;
          if (attribute_ == "install")
            install_ = value_;
          else if (attribute_ == "url")
            url_ = value_;
        } else if (value_.size() <= url_value_.size()) {  // longer matches no origin anyway
          value_.push_back(c);
        }
        break;
    }
    last_ = c;
  }

  void end_start_tag(std::uint64_t at) {
    needles_.search();
    const bool empty = last_ == '/';
    const std::uint64_t ordinal = elements_++;
    if (depth_ == 0 && !root_seen_) {
      root_seen_ = true;
      root_name_ = name_;
      root_line_ = markup_line_.number;
      if (empty)
        root_slash_ = at - 1;
    }
    if (!open_addon_ && needles_.addon()) {
      addon_element element;
      element.bytes.begin = markup_begin_;
      element.enabled = !needles_.disabled();
      element.in_root = depth_ == 1;
      element.current = install_ && *install_ == install_value_ && url_ && *url_ == url_value_;
      ordinals_.emplace_back(ordinal, element.enabled);
      open_addon_ = element;
      addon_depth_ = depth_;
      addon_line_ = markup_line_;
      if (empty)
        end_addon(at + 1);
    }
    install_.reset();
    url_.reset();
    if (!empty)
      ++depth_;
    mode_ = mode::text;
  }

  void end_end_tag(std::uint64_t at) {
    mode_ = mode::text;
    --depth_;
    if (depth_ == 0 && !root_closed_) {
      root_closed_ = true;
      const bool starts_with_tag = markup_line_.first == 0 || markup_line_.first == '<';
      const bool before_line = markup_line_.clean && markup_line_.depth == 1 && starts_with_tag;
      facts_.place = before_line ? placement::before_line : placement::break_line;
      facts_.insert_at = before_line ? markup_line_.start : markup_begin_;
    }
    if (open_addon_ && depth_ == addon_depth_)
      end_addon(at + 1);
  }

  // The element is over; whether it had its lines to itself shows at the next byte that is no
  // space, tab or CR.
  void end_addon(std::uint64_t end) {
    open_addon_->bytes.end = end;
    pending_ = open_addon_;
    open_addon_.reset();
    pending_extends_ = addon_line_.blank;
  }

  // `whole_lines`: nothing else stood on the element's lines, which end before `end`.
  void commit(bool whole_lines, std::uint64_t end) {
    addon_element& element = *pending_;
    element.whole = whole_lines ? span{addon_line_.start, end} : element.bytes;
    facts_.addons.push_back(element);
    pending_.reset();
  }

  const std::string install_value_;
  const std::string url_value_;
  list_facts facts_;
  std::uint64_t pos_ = 0;
  mode mode_ = mode::text;
  line_state line_;
  line_state markup_line_;  // the line on which the current markup began
  std::uint64_t markup_begin_ = 0;
  std::string head_;
  char p1_ = 0, p2_ = 0, p3_ = 0;  // the bytes before, in a comment, section or instruction
  char quote_ = 0;
  int brackets_ = 0;
  int depth_ = 0;
  in_tag where_ = in_tag::name;
  tag_needles needles_;
  std::string name_;
  std::string attribute_;
  std::string value_;
  std::optional<std::string> install_;
  std::optional<std::string> url_;
  char last_ = 0;  // the start tag's last byte before '>'
  std::uint64_t elements_ = 0;
  bool root_seen_ = false;
  bool root_closed_ = false;
  std::string root_name_;
  std::uint64_t root_line_ = 0;
  std::optional<std::uint64_t> root_slash_;
  std::deque<std::pair<std::uint64_t, bool>> ordinals_;
  std::optional<addon_element> open_addon_;
  int addon_depth_ = 0;
  line_state addon_line_;
  std::optional<addon_element> pending_;
  bool pending_extends_ = false;
};

// The list's bytes on their way to libxml2, which pulls them: the scanner sees each first, and
// the count keeps a huge file or one that never ends from being read whole.
struct source {
  std::istream& in;
  markup_scanner& scanner;
  std::uint64_t total = 0;
  bool failed = false;
  bool too_large = false;
};

int read_some(void* context, char* buffer, int size) {
  source& s = *static_cast<source*>(context);
  if (size <= 0 || s.in.eof())
    return 0;
  s.in.read(buffer, size);
  const std::streamsize got = s.in.gcount();
  if (s.in.bad()) {
    s.failed = true;
    return -1;
  }
  s.total += static_cast<std::uint64_t>(got);
  if (s.total > max_list_size) {
    s.too_large = true;
    return -1;
  }
  s.scanner.feed(buffer, static_cast<std::size_t>(got));
  return static_cast<int>(got);
}

// The first error that libxml2 reports; its messages end in a newline of their own.
struct parse_error {
  bool seen = false;
  std::uint64_t line = 0;
  std::string message;
};

struct reader_deleter {
  void operator()(xmlTextReader* reader) const { xmlFreeTextReader(reader); }
};
using reader_ptr = std::unique_ptr<xmlTextReader, reader_deleter>;

// libxml2 says what it finds through the reader's handler; nothing may reach the console on its
// own, where every line is the program's.
void say_nothing(void*, const char*, ...) {}

reader_ptr open_reader(source& s, parse_error& error) {
  static const bool ready = [] {
    xmlInitParser();
    return true;
  }();
  (void)ready;
  // Per thread in libxml2: the window edits in a thread of its own.
  xmlSetGenericErrorFunc(nullptr, say_nothing);
  // No network, no external files, entities left as references: the list is read as it stands.
  reader_ptr reader(xmlReaderForIO(read_some, nullptr, &s, nullptr, nullptr, XML_PARSE_NONET));
  if (!reader)
    return reader;
  // The handler's error is const in newer libxml2: a generic lambda fits either.
  const auto on_error = [](void* context, auto problem) {
    auto& first = *static_cast<parse_error*>(context);
    if (first.seen || problem == nullptr || problem->level < XML_ERR_ERROR)
      return;
    first.seen = true;
    // One error decides; libxml2 would go on and report the same fault at every byte of a long
    // comment, which costs seconds.
    if (problem->domain == XML_FROM_PARSER && problem->ctxt != nullptr)
      xmlStopParser(static_cast<xmlParserCtxtPtr>(problem->ctxt));
    first.line = problem->line > 0 ? static_cast<std::uint64_t>(problem->line) : 1;
    // The first line: what follows it (the bytes at fault, say) is no text for a console line.
    first.message = problem->message != nullptr ? problem->message : "";
    first.message.erase(std::min(first.message.find('\n'), first.message.size()));
    while (!first.message.empty() && is_space(first.message.back()))
      first.message.pop_back();
  };
  xmlTextReaderSetStructuredErrorHandler(reader.get(), on_error, &error);
  return reader;
}

// Tells what a read of the whole list, which ended with `status` from libxml2, found wrong.
void judge(list_facts& facts, const source& s, const parse_error& error, int status,
           const markup_scanner& scanner) {
  if (s.failed) {
    facts.status = verdict::read_failed;
  } else if (s.too_large) {
    facts.status = verdict::too_large;
  } else if (status != 0 || error.seen) {
    facts.status = verdict::malformed;
    facts.line = error.seen ? error.line : 1;
    facts.detail = error.seen ? error.message : "无法解析";
  } else if (scanner.root_name() != "jsplugins") {
    facts.status = verdict::not_jsplugins;
    facts.line = scanner.root_line();
  }
}

}  // namespace

list_facts read_list(std::istream& in, std::string_view origin) {
  markup_scanner scanner(origin);
  source s{in, scanner};
  parse_error error;
  const reader_ptr reader = open_reader(s, error);
  int status = -1;
  if (reader) {
    do
      status = xmlTextReaderRead(reader.get());
    while (status == 1 && !error.seen);
  }
  scanner.finish();
  list_facts facts = std::move(scanner.facts());
  judge(facts, s, error, status, scanner);
  return facts;
}

// ---------------------------------------------------------------------------------------------

namespace {

enum kind {
  element_start = 1,
  element_end,
  text_run,
  comment_node,
  instruction_node,
  doctype_node,
  entity_node
};

std::string as_string(const xmlChar* text) {
  return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

std::string trimmed(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && is_space(text[begin]))
    ++begin;
  while (end > begin && is_space(text[end - 1]))
    --end;
  return text.substr(begin, end - begin);
}

}  // namespace

struct suite_view::impl {
  impl(std::istream& in, std::string_view origin)
      : scanner(origin), src{in, scanner}, reader(open_reader(src, error)), origin(origin) {}

  // Whether the add-on's element that the reader stands on is exactly the entry install writes.
  bool is_entry() {
    const auto value = [this](const char* name) {
      xmlChar* got =
          xmlTextReaderGetAttribute(reader.get(), reinterpret_cast<const xmlChar*>(name));
      std::string text = as_string(got);
      xmlFree(got);
      return text;
    };
    return xmlTextReaderDepth(reader.get()) == 1 &&
           as_string(xmlTextReaderConstName(reader.get())) == needle_element &&
           value("enable") == "true" && value("install") == origin &&
           value("url") == origin + "/" && value("name") == needle_addon;
  }

  // The text gathered so far, as one event, if there is any.
  void flush_text() {
    std::string kept = trimmed(text);
    text.clear();
    if (!kept.empty())
      queue.push_back({text_run, {}, std::move(kept)});
  }

  void push(int what, std::string name, std::string value = {}) {
    flush_text();
    queue.push_back({what, std::move(name), std::move(value)});
  }

  // Reads on until an event is queued or the list ends.
  bool fill() {
    while (queue.empty()) {
      if (done)
        return false;
      const int status = reader ? xmlTextReaderRead(reader.get()) : -1;
      if (status != 1 || error.seen) {
        done = true;
        complete = status == 0 && !error.seen && !src.failed && !src.too_large;
        flush_text();
        continue;
      }
      xmlTextReader* r = reader.get();
      const int type = xmlTextReaderNodeType(r);
      const int depth = xmlTextReaderDepth(r);
      if (skip_depth >= 0) {  // inside an element of the add-on
        if (type == XML_READER_TYPE_ELEMENT)
          ++elements;
        if (type == XML_READER_TYPE_END_ELEMENT && depth == skip_depth)
          skip_depth = -1;
        continue;
      }
      switch (type) {
        case XML_READER_TYPE_ELEMENT: {
          if (scanner.addon(elements++)) {
            ++addons;
            entries += is_entry() ? 1 : 0;
            if (!xmlTextReaderIsEmptyElement(r))
              skip_depth = depth;
            break;
          }
          std::string attributes;
          while (xmlTextReaderMoveToNextAttribute(r) == 1) {
            attributes += as_string(xmlTextReaderConstName(r)) + '=' +
                          as_string(xmlTextReaderConstValue(r)) + '\0';
          }
          xmlTextReaderMoveToElement(r);
          const bool empty = xmlTextReaderIsEmptyElement(r) == 1;
          std::string name = as_string(xmlTextReaderConstName(r));
          push(element_start, name, std::move(attributes));
          if (empty)
            push(element_end, std::move(name));
          break;
        }
        case XML_READER_TYPE_END_ELEMENT:
          push(element_end, as_string(xmlTextReaderConstName(r)));
          break;
        case XML_READER_TYPE_TEXT:
        case XML_READER_TYPE_CDATA:
        case XML_READER_TYPE_WHITESPACE:
        case XML_READER_TYPE_SIGNIFICANT_WHITESPACE:
          text += as_string(xmlTextReaderConstValue(r));
          break;
        case XML_READER_TYPE_COMMENT:
          push(comment_node, {}, as_string(xmlTextReaderConstValue(r)));
          break;
        case XML_READER_TYPE_PROCESSING_INSTRUCTION:
          push(instruction_node, as_string(xmlTextReaderConstName(r)),
               as_string(xmlTextReaderConstValue(r)));
          break;
        case XML_READER_TYPE_DOCUMENT_TYPE:
          push(doctype_node, as_string(xmlTextReaderConstName(r)));
          break;
        case XML_READER_TYPE_ENTITY_REFERENCE:
          push(entity_node, as_string(xmlTextReaderConstName(r)));
          break;
        default:
          break;
      }
    }
    return true;
  }

  markup_scanner scanner;
  source src;
  parse_error error;
  reader_ptr reader;
  std::string origin;
  std::deque<what_the_suite_reads> queue;
  std::string text;
  std::uint64_t elements = 0;
  std::uint64_t addons = 0;
  std::uint64_t entries = 0;
  int skip_depth = -1;
  bool done = false;
  bool complete = false;
};

suite_view::suite_view(std::istream& in, std::string_view origin) : impl_(new impl(in, origin)) {}

suite_view::~suite_view() {
  delete impl_;
}

bool suite_view::next(what_the_suite_reads& event) {
  if (!impl_->fill())
    return false;
  event = std::move(impl_->queue.front());
  impl_->queue.pop_front();
  return true;
}

bool suite_view::complete() const {
  return impl_->done && impl_->complete;
}

std::uint64_t suite_view::addons() const {
  return impl_->addons;
}

std::uint64_t suite_view::entries() const {
  return impl_->entries;
}

std::vector<listed_entry> entries_of(std::istream& in, std::string_view origin, list_facts& facts) {
  markup_scanner scanner(origin);
  source s{in, scanner};
  parse_error error;
  const reader_ptr reader = open_reader(s, error);
  std::vector<listed_entry> entries;
  std::uint64_t elements = 0;
  int status = -1;
  while (reader && (status = xmlTextReaderRead(reader.get())) == 1 && !error.seen) {
    xmlTextReader* r = reader.get();
    if (xmlTextReaderNodeType(r) != XML_READER_TYPE_ELEMENT)
      continue;
    const std::optional<bool> addon = scanner.addon(elements++);
    const std::string name = as_string(xmlTextReaderConstName(r));
    if (xmlTextReaderDepth(r) != 1 || (name != "jsplugin" && name != needle_element))
      continue;
    const auto value = [r](const char* attribute) {
      xmlChar* got = xmlTextReaderGetAttribute(r, reinterpret_cast<const xmlChar*>(attribute));
      std::string text = as_string(got);
      xmlFree(got);
      return text;
    };
    listed_entry entry;
    entry.name = value("name");
    entry.online = name == needle_element;
    entry.type = value("type");
    entry.url = value("url");
    entry.quillora = addon.has_value();
    entry.enabled = addon ? *addon : value("enable") != "false";
    entries.push_back(std::move(entry));
  }
  scanner.finish();
  facts = std::move(scanner.facts());
  judge(facts, s, error, status, scanner);
  return entries;
}

}  // namespace list_reader
