// The add-on list editor: the line tests and the streamed rewrite, which touch no file, then
// write_file, which finds, locks, reads and safely replaces the list on disk.
#include "addon_list.hpp"

#include <fcntl.h>
#include <string.h>  // memmem
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "fd_streambuf.hpp"

#ifndef QUILLORA_ORIGIN
#error "QUILLORA_ORIGIN, the publishing server's origin, is set by the build"
#endif

namespace {

constexpr std::string_view entry_text =
    "<jspluginonline enable=\"true\" install=\"" QUILLORA_ORIGIN "\" url=\"" QUILLORA_ORIGIN
    "/\" type=\"wps\" name=\"Quillora插件\"/>";

constexpr std::string_view needle_element = "jspluginonline";
constexpr std::string_view needle_name = "name=\"";
constexpr std::string_view needle_addon = "Quillora插件";
constexpr std::string_view needle_false = "false";
constexpr std::string_view needle_closing = "</jsplugins>";
constexpr std::string_view needle_opening = "<jsplugins";  // then a byte that ends the name

// Enough bytes to hold any needle cut across two pieces of a line, with one byte after it.
constexpr std::size_t overlap = 15;

bool contains(std::string_view hay, std::string_view needle) {
  return hay.size() >= needle.size() &&
         ::memmem(hay.data(), hay.size(), needle.data(), needle.size()) != nullptr;
}

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

// Bytes that may continue an XML name, so that "<jspluginsX" is not the root's opening tag.
bool is_name_byte(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '-' ||
         u == '_' || u == '.' || u == ':' || u >= 0x80;
}

// Bytes that may start an XML name: after '<', they make an element's tag, where "</", "<!" and
// "<?" start a closing tag, a comment or section, or an instruction, which may go on over lines.
bool is_name_start(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '_' || u == ':' || u >= 0x80;
}

// Finds the root's opening tag where the byte after the name is in `window`; a tag at the very
// end of the window is left for a later window or for the end of the line.
bool holds_opening_tag(std::string_view window) {
  std::size_t from = 0;
  while (from < window.size()) {
    const void* hit = ::memmem(window.data() + from, window.size() - from, needle_opening.data(),
                               needle_opening.size());
    if (hit == nullptr)
      return false;
    const std::size_t after = static_cast<const char*>(hit) - window.data() + needle_opening.size();
    if (after < window.size() && !is_name_byte(window[after]))
      return true;
    from = after - needle_opening.size() + 1;
  }
  return false;
}

// Equal but for the case of ASCII letters, as XML compares encoding names.
bool same_letters(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool is_xml_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The encoding that an XML declaration at the start of `head` names: `<?xml` and a space, after
// a UTF-8 byte order mark or nothing, up to the first "?>", holding a space, "encoding", '=' and
// a quoted value (spaces allowed around '='). Nothing when there is no such declaration.
std::optional<std::string_view> declared_encoding(std::string_view head) {
  if (head.substr(0, 3) == "\xEF\xBB\xBF")
    head.remove_prefix(3);
  if (head.size() < 6 || head.substr(0, 5) != "<?xml" || !is_xml_space(head[5]))
    return std::nullopt;
  const std::size_t end = head.find("?>");
  if (end == std::string_view::npos)
    return std::nullopt;
  const std::string_view declaration = head.substr(0, end);
  constexpr std::string_view name = "encoding";
  for (std::size_t at = declaration.find(name); at != std::string_view::npos;
       at = declaration.find(name, at + 1)) {
    if (!is_xml_space(declaration[at - 1]))
      continue;
    std::size_t i = at + name.size();
    while (i < declaration.size() && is_xml_space(declaration[i]))
      ++i;
    if (i == declaration.size() || declaration[i] != '=')
      continue;
    ++i;
    while (i < declaration.size() && is_xml_space(declaration[i]))
      ++i;
    if (i == declaration.size() || (declaration[i] != '"' && declaration[i] != '\''))
      continue;
    const std::size_t close = declaration.find(declaration[i], i + 1);
    if (close == std::string_view::npos)
      continue;
    return declaration.substr(i + 1, close - i - 1);
  }
  return std::nullopt;
}

// How often a byte turns up in add-on lists, rarest first: capitals and the letters that few
// words use, then other letters, bytes of non-ASCII text and other punctuation, then digits, and
// most of all the markup and space that every line is made of.
int commonness(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u >= 'A' && u <= 'Z')
    return 0;
  if (u == 'j' || u == 'q' || u == 'x' || u == 'z')
    return 1;
  if (u >= 'a' && u <= 'z')
    return 2;
  if (u >= '0' && u <= '9')
    return 4;
  if (u == '<' || u == '>' || u == '/' || u == '=' || u == '"' || u == ' ')
    return 5;
  return 3;
}

// Where `needle` first starts in [begin, end), or null; an empty needle is found nowhere. The
// lines passed over in bulk are nearly all of a list, so every byte of it comes through here:
// memchr runs far faster than memmem, and in a byte the needle's rarest, it stops at few places.
const char* find_needle(const char* begin, const char* end, std::string_view needle) {
  if (needle.empty() || end - begin < static_cast<std::ptrdiff_t>(needle.size()))
    return nullptr;
  std::size_t rare = 0;
  for (std::size_t i = 1; i < needle.size(); ++i) {
    if (commonness(needle[i]) < commonness(needle[rare]))
      rare = i;
  }
  const char* const last = end - needle.size() + rare;  // past it, the needle would not fit
  for (const char* at = begin + rare;; ++at) {
    at = static_cast<const char*>(std::memchr(at, needle[rare], last - at + 1));
    if (at == nullptr)
      return nullptr;
    // The rare byte may still be in every line, as the 'j' of each entry's element is for the
    // root's tags: the needle's first and last bytes tell most such places apart without a call.
    const char* const place = at - rare;
    if (place[0] == needle.front() && place[needle.size() - 1] == needle.back() &&
        std::memcmp(place, needle.data(), needle.size()) == 0) {
      return place;
    }
    if (at == last)
      return nullptr;
  }
}

// The number of LFs in [at, end). Like the search, it goes over every byte that is passed over in
// bulk, where one memchr call a line would cost more than the line's bytes.
std::uint64_t count_lfs(const char* at, const char* end) {
  std::uint64_t count = 0;
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n');
  const auto block = [&lf](const char* p) {
    return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), lf);
  };
  // Each byte of `counts` gathers the LFs at one place of the 16-byte blocks, up to four a step:
  // after 63 steps they are added up, before a byte can wrap.
  for (std::size_t steps = (end - at) / 64; steps > 0;) {
    const std::size_t run = std::min<std::size_t>(steps, 63);
    steps -= run;
    __m128i counts = _mm_setzero_si128();
    for (const char* const stop = at + run * 64; at != stop; at += 64) {
      counts = _mm_sub_epi8(counts, block(at));
      counts = _mm_sub_epi8(counts, block(at + 16));
      counts = _mm_sub_epi8(counts, block(at + 32));
      counts = _mm_sub_epi8(counts, block(at + 48));
    }
    const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());  // one for each half
    count += static_cast<std::uint64_t>(_mm_extract_epi16(sums, 0) + _mm_extract_epi16(sums, 4));
  }
#endif
  return count + static_cast<std::uint64_t>(std::count(at, end, '\n'));
}

// What the editor needs to know of one line.
struct line_facts {
  bool element = false;    // "jspluginonline"
  bool name = false;       // name="
  bool addon = false;      // "Quillora插件"
  bool has_false = false;  // "false"
  bool closing = false;    // "</jsplugins>"
  bool opening = false;    // "<jsplugins" as a whole tag name
  bool nonblank = false;   // a byte other than space, tab or CR
  bool alone = false;      // one element and nothing else: '<' and a name first, no other '<',
                           // "/>" last and no other '>' outside quoted values, no value left open
  bool tag_first = false;  // the first non-blank byte is '<'

  bool entry() const { return element && name && addon; }
  bool enabled() const { return entry() && !has_false; }
};

// Gathers a line's facts from its bytes, given whole or in pieces.
class line_probe {
 public:
  void feed(std::string_view piece) {
    if (piece.empty())
      return;
    if (!tail_.empty()) {
      std::string joined = tail_;
      joined.append(piece.substr(0, overlap));
      search(joined);
    }
    search(piece);
    if (piece.size() >= overlap - 1) {
      tail_.assign(piece.substr(piece.size() - (overlap - 1)));
    } else {
      tail_.append(piece);
      if (tail_.size() > overlap - 1)
        tail_.erase(0, tail_.size() - (overlap - 1));
    }
    note_shape(piece);
  }

  line_facts finish() {
    const std::string_view tail = tail_;
    if (tail.size() >= needle_opening.size() &&
        tail.substr(tail.size() - needle_opening.size()) == needle_opening) {
      facts_.opening = true;  // the tag's name ends with the line
    }
    facts_.tag_first = facts_.nonblank && first_ == '<';
    facts_.alone = facts_.tag_first && is_name_start(second_) && less_thans_ == 1 && quote_ == 0 &&
                   greater_thans_ == 1 && last_[0] == '/' && last_[1] == '>';
    return facts_;
  }

 private:
  void search(std::string_view window) {
    facts_.element = facts_.element || contains(window, needle_element);
    facts_.name = facts_.name || contains(window, needle_name);
    facts_.addon = facts_.addon || contains(window, needle_addon);
    facts_.has_false = facts_.has_false || contains(window, needle_false);
    facts_.closing = facts_.closing || contains(window, needle_closing);
    facts_.opening = facts_.opening || holds_opening_tag(window);
  }

  void note_shape(std::string_view piece) {
    less_thans_ += static_cast<std::uint64_t>(std::count(piece.begin(), piece.end(), '<'));
    // A '>' in a quoted value ends nothing, and a value still open goes on on the next line.
    for (const char c : piece) {
      if (quote_ != 0) {
        if (c == quote_)
          quote_ = 0;
      } else if (c == '"' || c == '\'') {
        quote_ = c;
      } else if (c == '>') {
        ++greater_thans_;
      }
    }
    if (want_second_) {
      second_ = piece.front();
      want_second_ = false;
    }
    if (!facts_.nonblank) {
      const auto first = std::find_if_not(piece.begin(), piece.end(), is_blank);
      if (first == piece.end())
        return;
      facts_.nonblank = true;
      first_ = *first;
      if (first + 1 != piece.end()) {
        second_ = *(first + 1);
      } else {
        want_second_ = true;  // the next piece starts with it
      }
    }
    // The last two non-blank bytes of the line so far.
    char found[2];
    int count = 0;
    for (auto it = piece.rbegin(); it != piece.rend() && count < 2; ++it) {
      if (!is_blank(*it))
        found[count++] = *it;
    }
    if (count == 2) {
      last_[0] = found[1];
      last_[1] = found[0];
    } else if (count == 1) {
      last_[0] = last_[1];
      last_[1] = found[0];
    }
  }

  line_facts facts_;
  std::string tail_;  // the line's last bytes so far, for needles cut between two pieces
  std::uint64_t less_thans_ = 0;
  char first_ = 0;   // the line's first non-blank byte
  char second_ = 0;  // and the byte after it
  bool want_second_ = false;
  char quote_ = 0;  // the quote that opened the value the line is in, if any
  std::uint64_t greater_thans_ = 0;
  char last_[2] = {0, 0};
};

line_facts facts_of(std::string_view line) {
  line_probe probe;
  probe.feed(line);
  return probe.finish();
}

// Reads a stream line by line with a buffer of fixed size. A line that does not fit is streamed
// through the probe and, when it is to be copied, read a second time from its place in the stream.
class line_reader {
 public:
  // A reader that is not `numbered` leaves the lines passed over in bulk out of number(): counting
  // them is one more pass over nearly every byte of the list, wasted where no line is named.
  line_reader(std::istream& in, bool numbered)
      : in_(in), numbered_(numbered), buffer_(buffer_size) {
    const std::streamoff start = in_.tellg();
    buffer_start_ = start < 0 ? 0 : start;
  }

  // Passes over the whole lines ahead that hold neither needle, copying them unchanged to
  // `out` when given: lines that no test can pass cost one search for all of them together,
  // not one each. False when the copy failed.
  bool skip_lines_without(std::string_view needle, std::string_view other, std::ostream* out) {
    for (;;) {
      const char* begin = buffer_.data() + pos_;
      const auto* last_lf = static_cast<const char*>(::memrchr(begin, '\n', end_ - pos_));
      if (last_lf == nullptr)
        return true;
      const std::size_t whole = last_lf - begin + 1;
      std::size_t stop = whole;
      for (const std::string_view n : {needle, other}) {
        if (const char* hit = find_needle(begin, begin + stop, n); hit != nullptr)
          stop = hit - begin;
      }
      if (stop < whole) {  // back to the start of the line that holds the first hit
        const void* lf = ::memrchr(begin, '\n', stop);
        stop = lf != nullptr ? static_cast<const char*>(lf) - begin + 1 : 0;
      }
      if (stop > 0) {
        if (numbered_)
          number_ += count_lfs(begin, begin + stop);
        saw_content_ = saw_content_ || std::any_of(begin, begin + stop, [](char c) {
                         return !is_blank(c) && c != '\n';
                       });
        if (out != nullptr && !out->write(begin, static_cast<std::streamsize>(stop)))
          return false;
        pos_ += stop;
      }
      if (stop < whole || !refill())
        return true;
    }
  }

  // Reads the next line and learns its facts; false at the end of the stream.
  bool next() {
    line_probe probe;
    std::size_t searched = 0;  // bytes after pos_ known to hold no LF
    for (;;) {
      const char* begin = buffer_.data() + pos_;
      const auto* lf =
          static_cast<const char*>(std::memchr(begin + searched, '\n', end_ - pos_ - searched));
      if (lf != nullptr) {
        hold(probe, std::string_view(begin, lf - begin));
        pos_ += held_.size() + 1;
        break;
      }
      searched = end_ - pos_;
      if (searched == buffer_.size()) {
        stream_long_line(probe);
        break;
      }
      if (!refill()) {
        if (searched == 0)
          return false;
        hold(probe, std::string_view(buffer_.data() + pos_, searched));  // no LF at the end
        pos_ = end_;
        break;
      }
    }
    ++number_;
    facts_ = probe.finish();
    saw_content_ = saw_content_ || facts_.nonblank;
    return true;
  }

  const line_facts& facts() const { return facts_; }
  std::uint64_t number() const { return number_; }
  // Whether anything but spaces, tabs, CRs and LFs has gone by.
  bool saw_content() const { return saw_content_; }
  bool failed() const { return in_.bad() || copy_failed_; }

  // Writes the line just read and one LF.
  bool copy_to(std::ostream& out) {
    if (held_whole_) {
      out.write(held_.data(), static_cast<std::streamsize>(held_.size()));
    } else if (!copy_long_line(out)) {
      return false;
    }
    out.put('\n');
    return static_cast<bool>(out);
  }

 private:
  static constexpr std::size_t buffer_size = 128 * 1024;

  void hold(line_probe& probe, std::string_view line) {
    probe.feed(line);
    held_ = line;
    held_whole_ = true;
  }

  // Moves the unread bytes to the front of the buffer and reads more behind them.
  bool refill() {
    if (in_.bad())
      return false;
    std::memmove(buffer_.data(), buffer_.data() + pos_, end_ - pos_);
    buffer_start_ += static_cast<std::streamoff>(pos_);
    end_ -= pos_;
    pos_ = 0;
    in_.read(buffer_.data() + end_, static_cast<std::streamsize>(buffer_.size() - end_));
    const auto got = static_cast<std::size_t>(in_.gcount());
    end_ += got;
    return got > 0;
  }

  void stream_long_line(line_probe& probe) {
    held_whole_ = false;
    long_start_ = buffer_start_ + static_cast<std::streamoff>(pos_);
    long_size_ = 0;
    for (;;) {
      const char* begin = buffer_.data() + pos_;
      const auto* lf = static_cast<const char*>(std::memchr(begin, '\n', end_ - pos_));
      const std::size_t size = lf != nullptr ? lf - begin : end_ - pos_;
      probe.feed(std::string_view(begin, size));
      long_size_ += size;
      pos_ += size;
      if (lf != nullptr) {
        ++pos_;
        return;
      }
      if (!refill())
        return;
    }
  }

  bool copy_long_line(std::ostream& out) {
    if (in_.bad()) {
      copy_failed_ = true;
      return false;
    }
    const std::streamoff resume = buffer_start_ + static_cast<std::streamoff>(end_);
    std::vector<char> chunk(64 * 1024);
    in_.clear();
    in_.seekg(long_start_);
    for (std::uint64_t left = long_size_; left > 0 && in_ && out;) {
      const auto want = static_cast<std::streamsize>(std::min<std::uint64_t>(left, chunk.size()));
      in_.read(chunk.data(), want);
      if (in_.gcount() != want)
        break;
      out.write(chunk.data(), want);
      left -= static_cast<std::uint64_t>(want);
      if (left == 0) {
        in_.seekg(resume);
        if (in_)
          return static_cast<bool>(out);
      }
    }
    copy_failed_ = static_cast<bool>(out);  // a short read, not a write that went wrong
    return false;
  }

  std::istream& in_;
  const bool numbered_;
  std::vector<char> buffer_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  std::streamoff buffer_start_ = 0;  // where buffer_[0] stands in the stream
  line_facts facts_;
  std::uint64_t number_ = 0;
  std::string_view held_;  // the line just read, while it fits in the buffer
  bool held_whole_ = true;
  std::streamoff long_start_ = 0;  // else its place and size in the stream
  std::uint64_t long_size_ = 0;
  bool copy_failed_ = false;
  bool saw_content_ = false;
};

}  // namespace

std::string_view addon_entry() {
  return entry_text;
}

std::string_view server_origin() {
  return QUILLORA_ORIGIN;
}

std::string list_skeleton() {
  std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<jsplugins>\n";
  text.append(entry_text);
  text.append("\n</jsplugins>\n");
  return text;
}

bool is_entry_line(std::string_view line) {
  return facts_of(line).entry();
}
bool is_enabled_entry(std::string_view line) {
  return facts_of(line).enabled();
}
bool is_closing_line(std::string_view line) {
  return facts_of(line).closing;
}

scan_result scan_list(std::istream& in) {
  scan_result result;
  line_reader reader(in, /*numbered=*/false);
  while (reader.skip_lines_without(needle_addon, {}, nullptr) && reader.next()) {
    result.entry = result.entry || reader.facts().entry();
    if (reader.facts().enabled()) {
      result.enabled_entry = true;
      break;
    }
  }
  result.blank = !reader.saw_content();
  result.read_failed = reader.failed();
  return result;
}

rewrite_result rewrite_list(std::istream& in, std::ostream& out, bool install) {
  if (install) {
    // The entry is UTF-8; in a list declared in another encoding it would break the list.
    const std::streampos start = in.tellg();
    std::string head(declaration_limit, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    if (in.bad())
      return {rewrite_status::read_failed, 0};
    head.resize(static_cast<std::size_t>(in.gcount()));
    in.clear();
    if (!in.seekg(start))
      return {rewrite_status::read_failed, 0};
    const std::optional<std::string_view> encoding = declared_encoding(head);
    if (encoding && !same_letters(*encoding, "UTF-8"))
      return {rewrite_status::not_utf8, 1};
  }
  line_reader reader(in, /*numbered=*/true);
  bool inserted = false;
  bool opened = false;  // a line holding the root's opening tag has gone by
  for (;;) {
    // Until the entry is in, lines naming the root matter too.
    const std::string_view root = !install || inserted ? std::string_view()
                                  : opened             ? needle_closing
                                                       : std::string_view("jsplugins");
    const bool plain = reader.skip_lines_without(needle_addon, root, &out);
    if (!plain)
      return {rewrite_status::write_failed, reader.number()};
    if (!reader.next())
      break;
    const line_facts& line = reader.facts();
    if (install && !inserted && line.closing) {
      // The entry must land inside the root element.
      if (!opened || line.opening)
        return {rewrite_status::closing_not_in_root, reader.number()};
      // A line that starts with anything but a tag may be the rest of a tag from the line before,
      // such as an element's attributes spread over lines: the entry would land inside it.
      if (!line.tag_first)
        return {rewrite_status::closing_line_continues, reader.number()};
      out.write(entry_text.data(), static_cast<std::streamsize>(entry_text.size()));
      out.put('\n');
      inserted = true;
    }
    if (line.entry()) {
      // Dropping the line must not take other markup with it.
      if (!line.alone)
        return {rewrite_status::entry_shares_line, reader.number()};
      continue;
    }
    opened = opened || line.opening;
    if (!reader.copy_to(out)) {
      return {out ? rewrite_status::read_failed : rewrite_status::write_failed, reader.number()};
    }
  }
  if (reader.failed())
    return {rewrite_status::read_failed, reader.number()};
  if (install && !inserted)
    return {rewrite_status::no_closing_line, reader.number()};
  if (!out.flush())
    return {rewrite_status::write_failed, reader.number()};
  return {};
}

// ---------------------------------------------------------------------------------------------
// The editor on disk.

namespace {

// A file descriptor owned by one scope.
class unique_fd {
 public:
  explicit unique_fd(int fd = -1) : fd_(fd) {}
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  ~unique_fd() { reset(); }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset() {
    if (fd_ >= 0)
      ::close(std::exchange(fd_, -1));
  }

 private:
  int fd_;
};

// Removes the temporary list when the rewrite gives up, whatever the reason.
class temp_file_guard {
 public:
  explicit temp_file_guard(std::string path) : path_(std::move(path)) {}
  temp_file_guard(const temp_file_guard&) = delete;
  temp_file_guard& operator=(const temp_file_guard&) = delete;
  ~temp_file_guard() {
    if (!path_.empty())
      ::unlink(path_.c_str());
  }
  void keep() { path_.clear(); }

 private:
  std::string path_;
};

void say(std::FILE* stream, std::string_view text, std::string_view value = {}) {
  std::string line;
  line.reserve(text.size() + value.size() + 1);
  line.append(text).append(value).push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}

// One failure line: what went wrong, the file concerned, and why.
void report(std::string_view what, std::string_view file, std::string_view why) {
  std::string line(what);
  if (!file.empty())
    line.append("：").append(file);
  line.append("：").append(why);
  say(stderr, line);
}

void report(std::string_view what, std::string_view file, int error) {
  report(what, file, std::strerror(error));
}

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

unique_fd open_for_reading(const std::string& path) {
  // Non-blocking, so that a FIFO in the list's place cannot hang the program before it is refused.
  return unique_fd(::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
}

// Checks the list just opened: it must be a regular file. `refused` says what can't be done with
// anything else.
bool check_list(int fd, struct stat& st, std::string_view refused = "无法编辑XML文件") {
  if (::fstat(fd, &st) != 0) {
    report("无法读取XML文件", list_path, errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    report(refused, list_path, "不是普通文件");
    return false;
  }
  return true;
}

// Reads the open list from its start up to its first enabled entry; reports a failed read.
bool scan_file(int fd, scan_result& scan) {
  fd_streambuf buffer(fd);
  std::istream stream(&buffer);
  scan = scan_list(stream);
  if (scan.read_failed || buffer.error() != 0) {
    report("读取XML文件失败", list_path, buffer.error() != 0 ? buffer.error() : EIO);
    return false;
  }
  return true;
}

// Gives the new copy the list's owner, group and permission bits. Handing a file to another
// user is refused to all but root; the copy then keeps at least the group where it may.
int keep_owner_and_mode(int fd, const struct stat& old) {
  if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
    if (errno != EPERM)
      return errno;
    if (::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
      // not a member of the list's group: the copy keeps ours
    }
  }
  return ::fchmod(fd, old.st_mode & 07777) == 0 ? 0 : errno;
}

// Writes a complete new list beside the file at `path` and puts it in that file's place in one
// step, so that the list is at every moment either the old one or the new one. `old` is the
// file being replaced, or null when there is none. `fill` writes the content; when it returns
// false without a write error, it has reported why. `done_text` and `done_value` are printed
// once the new list is in place.
bool replace_list(const std::string& path, int folder_fd, const struct stat* old,
                  const std::function<bool(std::ostream&)>& fill, std::string_view done_text,
                  std::string_view done_value) {
  const std::string temp = path + std::string(temp_suffix);
  if (::unlink(temp.c_str()) != 0 && errno != ENOENT) {  // left by a run that crashed
    report("无法删除残留的临时文件", temp, errno);
    return false;
  }
  unique_fd out(::open(temp.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                       old != nullptr ? 0600 : 0666));
  if (!out) {
    report("无法创建临时文件", temp, errno);
    return false;
  }
  temp_file_guard guard(temp);
  if (old != nullptr) {
    if (const int error = keep_owner_and_mode(out.get(), *old); error != 0) {
      report("无法设置临时文件的权限", temp, error);
      return false;
    }
  }

  fd_streambuf buffer(out.get());
  std::ostream stream(&buffer);
  const bool filled = fill(stream);
  stream.flush();
  if (buffer.error() != 0 || !stream) {
    report("写入临时文件失败", temp, buffer.error() != 0 ? buffer.error() : EIO);
    return false;
  }
  if (!filled)
    return false;
  if (::fsync(out.get()) != 0) {
    report("无法将临时文件写入磁盘", temp, errno);
    return false;
  }
  if (::close(out.release()) != 0) {
    report("关闭临时文件失败", temp, errno);
    return false;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    report("无法用临时文件替换XML文件", list_path, errno);
    return false;
  }
  guard.keep();
  if (!done_text.empty())
    say(stdout, done_text, done_value);
  if (::fsync(folder_fd) != 0) {
    report("无法将XML文件所在目录写入磁盘", folder_of(path), errno);
    return false;
  }
  return true;
}

bool write_new_list(const std::string& path, int folder_fd, const struct stat* old) {
  return replace_list(
      path, folder_fd, old,
      [](std::ostream& out) { return static_cast<bool>(out << list_skeleton()); },
      "已创建新的XML文件：", list_path);
}

// Rewrites the list at `path` into its temporary copy, reading it a second time from its start.
bool rewrite_file(const std::string& path, int folder_fd, bool install) {
  unique_fd in = open_for_reading(path);
  struct stat st;
  if (!in) {
    report("无法读取XML文件", list_path, errno);
    return false;
  }
  if (!check_list(in.get(), st))
    return false;
  auto fill = [&](std::ostream& out) {
    fd_streambuf buffer(in.get());
    std::istream stream(&buffer);
    const rewrite_result result = rewrite_list(stream, out, install);
    const std::string line = "第" + std::to_string(result.line) + "行";
    switch (result.status) {
      case rewrite_status::done:
        if (buffer.error() == 0)
          return true;
        [[fallthrough]];
      case rewrite_status::read_failed:
        report("读取XML文件失败", list_path, buffer.error() != 0 ? buffer.error() : EIO);
        return false;
      case rewrite_status::write_failed:
        return false;
      case rewrite_status::no_closing_line:
        report("无法修改XML文件", list_path, "找不到</jsplugins>结束标签");
        return false;
      case rewrite_status::closing_not_in_root:
        report("无法修改XML文件", list_path,
               line + "的</jsplugins>结束标签之前没有单独的<jsplugins>开始标签");
        return false;
      case rewrite_status::closing_line_continues:
        report("无法修改XML文件", list_path,
               line + "的</jsplugins>结束标签之前的内容不以<开始，可能属于上一行的标签");
        return false;
      case rewrite_status::entry_shares_line:
        report("无法修改XML文件", list_path, line + "的Quillora插件节点与其他标记在同一行");
        return false;
      case rewrite_status::not_utf8:
        report("无法修改XML文件", list_path, "XML声明的编码不是UTF-8");
        return false;
    }
    return false;
  };
  return replace_list(path, folder_fd, &st, fill, install ? "已添加Quillora插件节点" : "", {});
}

// Everything after the working directory is the home directory.
bool edit_list(bool install) {
  std::string path(list_path);
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) {
      report("无法访问XML文件", list_path, errno);
      return false;
    }
  } else if (S_ISLNK(st.st_mode)) {
    // A list kept elsewhere and linked here: edit the file itself and keep the link.
    char* target = ::realpath(path.c_str(), nullptr);
    if (target == nullptr) {
      if (errno == ENOENT && !install)
        return true;  // links to nothing: nothing to remove
      report("无法访问XML文件链接的文件", list_path,
             errno == ENOENT ? std::string_view("链接指向的文件不存在") : std::strerror(errno));
      return false;
    }
    path = target;
    std::free(target);
  }

  // Two copies of the program take turns; the lock lives on the folder, which a rename of the
  // list leaves in place.
  const std::string folder = folder_of(path);
  unique_fd folder_fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder_fd) {
    if (errno == ENOENT || errno == ENOTDIR) {
      if (!install)
        return true;  // no folder, no list
      report("无法创建XML文件", list_path, errno);
      return false;
    }
    report("无法打开XML文件所在目录", folder, errno);
    return false;
  }
  while (::flock(folder_fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) {
      report("无法锁定XML文件所在目录", folder, errno);
      return false;
    }
  }
  // A copy killed in the middle of a rewrite leaves its temporary list behind. Under the lock no
  // copy is writing one, so it goes now, also when this run has nothing to write; where it
  // can't, a rewrite reports why and a run with nothing to write leaves the list as it is. So a
  // failure here (none there, or not ours to remove) is no failure of the run.
  ::unlink((path + std::string(temp_suffix)).c_str());

  scan_result scan;
  {
    unique_fd in = open_for_reading(path);
    if (!in) {
      if (errno != ENOENT) {
        report("无法读取XML文件", list_path, errno);
        return false;
      }
      return !install || write_new_list(path, folder_fd.get(), nullptr);
    }
    if (!check_list(in.get(), st) || !scan_file(in.get(), scan))
      return false;
  }

  if (install) {
    if (scan.enabled_entry) {
      say(stdout, "包含Quillora插件节点，无需添加");
      return true;
    }
    // An empty file holds no list to keep: it is given the new list, like a missing one.
    if (scan.blank)
      return write_new_list(path, folder_fd.get(), &st);
    return rewrite_file(path, folder_fd.get(), true);
  }
  if (!scan.enabled_entry)
    return true;
  say(stdout, "包含Quillora插件节点，需删除");
  return rewrite_file(path, folder_fd.get(), false);
}

}  // namespace

bool write_file(int mode) {
  // With a file-size limit, a write past it must fail with EFBIG instead of killing the process.
  std::signal(SIGXFSZ, SIG_IGN);

  const char* home = std::getenv("HOME");
  if (home == nullptr) {
    say(stderr, "无法获取用户主目录路径");
    return false;
  }
  say(stdout, "用户主目录路径：", home);
  if (::chdir(home) != 0) {
    say(stderr, "无法更改工作目录");
    return false;
  }
  if (char* cwd = ::getcwd(nullptr, 0)) {
    say(stdout, "当前工作目录：", cwd);
    std::free(cwd);
  } else {
    report("无法获取当前工作目录", {}, errno);  // the list is found relative to it all the same
  }
  return edit_list(mode == 0);
}

list_state read_list_state() {
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') {
    say(stderr, "无法获取用户主目录路径");
    return list_state::unreadable;
  }
  const std::string path = std::string(home) + "/" + std::string(list_path);
  unique_fd in(::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!in) {
    if (errno == ENOENT || errno == ENOTDIR)
      return list_state::absent;  // no list, no folder, or a link to nothing
    report("无法读取XML文件", list_path, errno);
    return list_state::unreadable;
  }
  struct stat st;
  scan_result scan;
  if (!check_list(in.get(), st, "无法读取XML文件") || !scan_file(in.get(), scan))
    return list_state::unreadable;
  if (scan.enabled_entry)
    return list_state::enabled;
  return scan.entry ? list_state::disabled : list_state::absent;
}
