// expat's calls whose names and types changed in 2.8 and 2.9: the newer ones where the expat we
// build against has them, the older ones where it does not, chosen at compile time, so the
// source builds without a deprecation warning against every expat from 2.2 on.
#pragma once

#include <expat.h>

#include <cstdint>
#include <cstring>

#define QUILLORA_EXPAT_AT_LEAST(major, minor) \
  (XML_MAJOR_VERSION > (major) || (XML_MAJOR_VERSION == (major) && XML_MINOR_VERSION >= (minor)))

namespace expat_compat {

// Salts the parser's hash tables with two numbers that the caller chose, before parsing starts.
// expat 2.8 takes 16 bytes, both numbers whole; older ones one unsigned long, both mixed.
inline void set_salt(XML_Parser parser, std::uint64_t first, std::uint64_t second) {
#if QUILLORA_EXPAT_AT_LEAST(2, 8)
  std::uint8_t entropy[16];
  std::memcpy(entropy, &first, sizeof first);
  std::memcpy(entropy + sizeof first, &second, sizeof second);
  XML_SetHashSalt16Bytes(parser, entropy);
#else
  XML_SetHashSalt(parser, static_cast<unsigned long>(first ^ second));
#endif
}

// The line of the current parse position, from 1; 0 on an error.
inline std::uint64_t line(XML_Parser parser) {
#if QUILLORA_EXPAT_AT_LEAST(2, 9)
  return XML_GetCurrentLineNumber64(parser);
#else
  return XML_GetCurrentLineNumber(parser);
#endif
}

// Where in the input the current event starts; -1 on an error.
inline std::int64_t byte_index(XML_Parser parser) {
#if QUILLORA_EXPAT_AT_LEAST(2, 9)
  return XML_GetCurrentByteIndex64(parser);
#else
  return XML_GetCurrentByteIndex(parser);
#endif
}

// How many bytes of the input the current event has; 0 for one in an internal entity.
inline std::uint64_t byte_count(XML_Parser parser) {
#if QUILLORA_EXPAT_AT_LEAST(2, 9)
  return XML_GetCurrentByteCount64(parser);
#else
  const int count = XML_GetCurrentByteCount(parser);
  return count > 0 ? static_cast<std::uint64_t>(count) : 0;
#endif
}

// expat's input buffer, with the current position's offset in it and its size; nullptr when
// no parse is active. Valid only inside the handler that asks.
inline const char* input_context(XML_Parser parser, std::int64_t& offset, std::uint64_t& size) {
#if QUILLORA_EXPAT_AT_LEAST(2, 9)
  return XML_GetInputContext64(parser, &offset, &size);
#else
  int old_offset = 0;
  int old_size = 0;
  const char* buffer = XML_GetInputContext(parser, &old_offset, &old_size);
  offset = old_offset;
  size = old_size > 0 ? static_cast<std::uint64_t>(old_size) : 0;
  return buffer;
#endif
}

}  // namespace expat_compat
