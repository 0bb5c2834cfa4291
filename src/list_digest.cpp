// The digest of what a list holds: SipHash-1-3 over a stream of records, and text without the
// space at its ends.
#include "list_digest.hpp"

namespace list_reader {
digest stream_hash::finish() {
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

void text_digest::add(std::string_view text, stream_hash& out) {
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
    // XML text holds no NUL: it marks a run of space between words. Which space it was does not
    // count: taking an entry out with its line, or putting one in on a line of its own, changes
    // the space around it, and the text before and after it is one text.
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

void text_digest::flush(stream_hash& out) {
  if (kept_ > 0) {
    out.add_number(kept_);
    const char kind = text_record;
    out.add(&kind, 1);
  }
  kept_ = 0;
  space_size_ = 0;
}

digest rest_digest::finish() {
  text_.flush(hash_);
  return hash_.finish();
}

}  // namespace list_reader
