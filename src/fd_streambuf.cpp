// Reads and writes through a file descriptor, retrying interrupted and partial calls.
#include "fd_streambuf.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

fd_streambuf::fd_streambuf(int fd, std::size_t buffer_size) : fd_(fd), buffer_(buffer_size) {
  setp(buffer_.data(), buffer_.data() + buffer_.size());
}

std::ptrdiff_t fd_streambuf::read_some(char* data, std::size_t size) {
  if (error_ != 0)
    return -1;
  for (;;) {
    const ssize_t n = ::read(fd_, data, size);
    if (n >= 0)
      return n;
    if (errno != EINTR) {
      error_ = errno;
      return -1;
    }
  }
}

bool fd_streambuf::write_all(const char* data, std::size_t size) {
  if (error_ != 0)
    return false;
  while (size > 0) {
    const ssize_t n = ::write(fd_, data, size);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      error_ = n < 0 ? errno : EIO;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

fd_streambuf::int_type fd_streambuf::underflow() {
  if (gptr() < egptr())
    return traits_type::to_int_type(*gptr());
  const std::ptrdiff_t n = read_some(buffer_.data(), buffer_.size());
  if (n <= 0)
    return traits_type::eof();
  setg(buffer_.data(), buffer_.data(), buffer_.data() + n);
  return traits_type::to_int_type(*gptr());
}

std::streamsize fd_streambuf::xsgetn(char_type* s, std::streamsize n) {
  std::streamsize done = 0;
  // What is buffered first, then large requests straight into the caller's memory.
  const std::streamsize buffered = std::min<std::streamsize>(n, egptr() - gptr());
  if (buffered > 0) {
    std::memcpy(s, gptr(), static_cast<std::size_t>(buffered));
    gbump(static_cast<int>(buffered));
    done = buffered;
  }
  while (done < n) {
    if (n - done >= static_cast<std::streamsize>(buffer_.size())) {
      const std::ptrdiff_t got = read_some(s + done, static_cast<std::size_t>(n - done));
      if (got <= 0)
        break;
      done += got;
    } else {
      if (traits_type::eq_int_type(underflow(), traits_type::eof()))
        break;
      const std::streamsize take = std::min<std::streamsize>(n - done, egptr() - gptr());
      std::memcpy(s + done, gptr(), static_cast<std::size_t>(take));
      gbump(static_cast<int>(take));
      done += take;
    }
  }
  return done;
}

bool fd_streambuf::flush_put_area() {
  const bool ok = write_all(pbase(), static_cast<std::size_t>(pptr() - pbase()));
  setp(buffer_.data(), buffer_.data() + buffer_.size());
  return ok;
}

fd_streambuf::int_type fd_streambuf::overflow(int_type c) {
  if (!flush_put_area())
    return traits_type::eof();
  if (traits_type::eq_int_type(c, traits_type::eof()))
    return traits_type::not_eof(c);
  *pptr() = traits_type::to_char_type(c);
  pbump(1);
  return c;
}

std::streamsize fd_streambuf::xsputn(const char_type* s, std::streamsize n) {
  if (n <= epptr() - pptr()) {
    std::memcpy(pptr(), s, static_cast<std::size_t>(n));
    pbump(static_cast<int>(n));
    return n;
  }
  if (!flush_put_area() || !write_all(s, static_cast<std::size_t>(n)))
    return 0;
  return n;
}

int fd_streambuf::sync() {
  if (pptr() > pbase() && !flush_put_area())
    return -1;
  return error_ == 0 ? 0 : -1;
}

fd_streambuf::pos_type fd_streambuf::seekoff(off_type off, std::ios_base::seekdir dir,
                                             std::ios_base::openmode) {
  if (pptr() > pbase() && !flush_put_area())
    return pos_type(off_type(-1));
  if (dir == std::ios_base::cur)
    off -= egptr() - gptr();  // the system is ahead of the reader
  const int whence = dir == std::ios_base::beg   ? SEEK_SET
                     : dir == std::ios_base::cur ? SEEK_CUR
                                                 : SEEK_END;
  const off_t at = ::lseek(fd_, off, whence);
  if (at < 0) {
    error_ = errno;
    return pos_type(off_type(-1));
  }
  setg(buffer_.data(), buffer_.data(), buffer_.data());
  return pos_type(at);
}

fd_streambuf::pos_type fd_streambuf::seekpos(pos_type pos, std::ios_base::openmode which) {
  return seekoff(off_type(pos), std::ios_base::beg, which);
}
