// The digest of everything a list holds but the add-on: a SipHash stream hash, the rules by
// which text goes into it, so that a rewrite that only moves space around the add-on digests
// the same, and the digest that the reader passes the events to.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "list_facts.hpp"

namespace list_reader {

// SipHash-1-3 with its 128-bit result, fed a stream in pieces of any size: the same bytes give
// the same digest however they were cut. Small pieces gather in a block first, since records
// are mostly a few bytes each.
class stream_hash {
 public:
  void add(const char* data, std::size_t size);
  void add(std::string_view text) { add(text.data(), text.size()); }
  void add_number(std::uint64_t n);
  // A field of a record: its bytes, then their count, so that no two streams of fields meet.
  void add_field(std::string_view text) {
    add(text);
    add_number(text.size());
  }
  // The digest of all that was added; the hash starts afresh.
  digest finish();

 private:
  void word(const char* bytes);
  void rounds(int n);

  // The key is fixed: the digest guards against faults of the rewrite, not against the list.
  std::uint64_t v0_ = 0x736f6d6570736575ull ^ 0x0706050403020100ull;
  std::uint64_t v1_ = 0x646f72616e646f6dull ^ 0x0f0e0d0c0b0a0908ull ^ 0xEE;
  std::uint64_t v2_ = 0x6c7967656e657261ull ^ 0x0706050403020100ull;
  std::uint64_t v3_ = 0x7465646279746573ull ^ 0x0f0e0d0c0b0a0908ull;
  char block_[64] = {};
  std::size_t filled_ = 0;
  std::uint64_t total_ = 0;
};

// The hash's parts that run for every byte, inline: records are a few bytes each.

inline std::uint64_t rotl64(std::uint64_t x, int b) {
  return (x << b) | (x >> (64 - b));
}

inline void stream_hash::add(const char* data, std::size_t size) {
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

inline void stream_hash::add_number(std::uint64_t n) {
  char bytes[8];
  std::memcpy(bytes, &n, 8);
  add(bytes, 8);
}

// Words in the machine's order: a digest is only ever compared with one made on this machine.
inline void stream_hash::word(const char* bytes) {
  std::uint64_t m = 0;
  std::memcpy(&m, bytes, 8);
  v3_ ^= m;
  rounds(1);
  v0_ ^= m;
}

inline void stream_hash::rounds(int n) {
  for (int i = 0; i < n; ++i) {
    v0_ += v1_;
    v1_ = rotl64(v1_, 13) ^ v0_;
    v0_ = rotl64(v0_, 32);
    v2_ += v3_;
    v3_ = rotl64(v3_, 16) ^ v2_;
    v0_ += v3_;
    v3_ = rotl64(v3_, 21) ^ v0_;
    v2_ += v1_;
    v1_ = rotl64(v1_, 17) ^ v2_;
    v2_ = rotl64(v2_, 32);
  }
}

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
  // Adds the next piece of one text.
  void add(std::string_view text, stream_hash& out);
  // Ends the text, if there was any.
  void flush(stream_hash& out);

 private:
  std::uint64_t kept_ = 0;
  std::uint64_t space_size_ = 0;
};

// Space as XML has it: space, tab, CR and LF.
inline bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The digest of all but the add-on, as the reader passes the list's events outside its elements:
// the records and their kinds, and text gathered until a record ends it. Only a read that keeps
// it (an edit's) adds anything; for any other, each call returns at once.
class rest_digest {
 public:
  explicit rest_digest(bool on) : on_(on) {}
  // A start tag: its element's name, and its `count` attributes as expat gives them (name,
  // value, ..., null).
  void start(std::string_view name, const char* const* attributes, std::size_t count);
  void end(std::string_view name);
  // The next piece of character data.
  void text(std::string_view piece);
  // A record of its own (a comment, an instruction, a document type, a reference) of `kind`:
  // text before it ends there.
  void record(char kind, std::string_view a, std::string_view b = {}, std::string_view c = {});
  // The digest of all that was added (of nothing, where the read keeps none).
  digest finish();

 private:
  void add_kind(char kind) { hash_.add(&kind, 1); }

  const bool on_;
  stream_hash hash_;
  text_digest text_;
};

// Inline: they run for every event.

inline void rest_digest::start(std::string_view name, const char* const* attributes,
                               std::size_t count) {
  if (!on_)
    return;
  text_.flush(hash_);
  hash_.add_field(name);
  for (const char* const* a = attributes; *a != nullptr; a += 2) {
    hash_.add_field(a[0]);
    hash_.add_field(a[1]);
  }
  hash_.add_number(count);
  add_kind(start_record);
}

inline void rest_digest::end(std::string_view name) {
  if (!on_)
    return;
  text_.flush(hash_);
  hash_.add_field(name);
  add_kind(end_record);
}

inline void rest_digest::text(std::string_view piece) {
  if (on_)
    text_.add(piece, hash_);
}

inline void rest_digest::record(char kind, std::string_view a, std::string_view b,
                                std::string_view c) {
  if (!on_)
    return;
  text_.flush(hash_);
  hash_.add_field(a);
  hash_.add_field(b);
  hash_.add_field(c);
  add_kind(kind);
}

}  // namespace list_reader
