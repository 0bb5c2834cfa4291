// A stream buffer over a file descriptor, so that the list editor's streams read and write the
// files it opened itself, and so that a failed read or write keeps the system's reason.
#pragma once

#include <cstddef>
#include <streambuf>
#include <vector>

class fd_streambuf : public std::streambuf {
 public:
  // Reads from or writes to `fd`, which stays owned by the caller; use one direction only.
  // Nothing is written until a flush (overflow or pubsync): the owner flushes and checks.
  explicit fd_streambuf(int fd, std::size_t buffer_size = 64 * 1024);
  fd_streambuf(const fd_streambuf&) = delete;
  fd_streambuf& operator=(const fd_streambuf&) = delete;

  // The errno of the first read, write or seek that failed; 0 while none has.
  int error() const { return error_; }

 protected:
  int_type underflow() override;
  std::streamsize xsgetn(char_type* s, std::streamsize n) override;
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char_type* s, std::streamsize n) override;
  int sync() override;
  pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override;
  pos_type seekpos(pos_type pos, std::ios_base::openmode which) override;

 private:
  bool flush_put_area();
  bool write_all(const char* data, std::size_t size);
  std::ptrdiff_t read_some(char* data, std::size_t size);

  int fd_;
  int error_ = 0;
  std::vector<char> buffer_;
};
