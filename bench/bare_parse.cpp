// What parsing a list costs before a reader does anything with it: expat, fed the file in the
// pieces the installer feeds it, with element handlers that do nothing. A read of the list by the
// installer (--status) is timed against this; what it takes beyond it is the reader's own work.
//
//   bare_parse LIST
//
// Exits 0 when the list is well-formed XML, 1 when it is not or can't be read.
#include <expat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "expat_compat.hpp"

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bare_parse LIST\n");
    return 2;
  }
  const int in = ::open(argv[1], O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    std::perror("open");
    return 1;
  }
  XML_Parser parser = XML_ParserCreate(nullptr);
  if (parser == nullptr)
    return 1;
  // A salt of our own, as the installer gives it, so that neither waits on getrandom.
  expat_compat::set_salt(parser, static_cast<std::uint64_t>(::getpid()), 0);
  // Handlers that do nothing still make expat split each start tag into its name and attributes,
  // as it must for any reader that looks at them.
  XML_SetElementHandler(
      parser, [](void*, const XML_Char*, const XML_Char**) {}, [](void*, const XML_Char*) {});
  constexpr int piece = 64 * 1024;  // the installer's own piece
  for (;;) {
    void* buffer = XML_GetBuffer(parser, piece);
    if (buffer == nullptr)
      return 1;
    ssize_t got;
    do
      got = ::read(in, buffer, piece);
    while (got < 0 && errno == EINTR);
    if (got < 0) {
      std::perror("read");
      return 1;
    }
    if (XML_ParseBuffer(parser, static_cast<int>(got), got == 0) != XML_STATUS_OK) {
      std::fprintf(stderr, "bare_parse: line %lu: %s\n",
                   static_cast<unsigned long>(expat_compat::line(parser)),
                   XML_ErrorString(XML_GetErrorCode(parser)));
      return 1;
    }
    if (got == 0)
      break;
  }
  XML_ParserFree(parser);
  ::close(in);
  return 0;
}
