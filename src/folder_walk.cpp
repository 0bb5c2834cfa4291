// Walks from an open folder to the folders and files below it, one name at a time, so that what
// was checked is what is used, and a link is followed only as the run's rule allows.
#include "folder_walk.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace {

constexpr int open_folder_flags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC;

// Which folders of a path must be root's alone: all of them, the last, or none (then a sticky
// folder that anyone may write, such as /tmp, passes: no one else may replace root's entries).
enum class strict { all, last, none };

struct walker {
  link_rule rule = link_rule::hers;
  int links = 40;  // as the kernel, so that links in a circle end
  int error = 0;
  std::optional<failure> refused;

  bool refuse(cause why, const std::string& where) {
    refused = failure::refusal(step::refused_for_root, where, why);
    return false;
  }
  bool fail(int e) {
    error = e;
    return false;
  }

  // Walks on along the link `name` in `at`, which root owns.
  bool follow(unique_fd& at, const std::string& name, bool root_alone, std::string& shown) {
    std::string target(4096, '\0');
    const ssize_t size = ::readlinkat(at.get(), name.c_str(), target.data(), target.size());
    if (size <= 0 || static_cast<std::size_t>(size) >= target.size())
      return fail(size < 0 ? errno : ENAMETOOLONG);
    if (--links < 0)
      return fail(ELOOP);
    target.resize(static_cast<std::size_t>(size));
    if (!shown.empty() && shown.back() == '/')
      shown.pop_back();
    if (target.front() != '/')
      shown = shown.substr(0, shown.rfind('/') == std::string::npos ? 0 : shown.rfind('/'));
    return walk(at, target, root_alone ? strict::last : strict::none, shown);
  }

  // One name under `at`: `at` becomes that folder.
  bool enter(unique_fd& at, const std::string& name, bool root_alone, std::string& shown) {
    if (rule == link_rule::hers) {
      unique_fd next(::openat(at.get(), name.c_str(), open_folder_flags));
      if (!next)
        return fail(errno);
      at = std::move(next);
      return true;
    }
    struct stat st;
    if (::fstatat(at.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
      return fail(errno);
    if (st.st_uid != 0)
      return refuse(cause::not_roots, shown);
    if (S_ISLNK(st.st_mode))
      return follow(at, name, root_alone, shown);
    if (!S_ISDIR(st.st_mode))
      return fail(ENOTDIR);
    unique_fd next(::openat(at.get(), name.c_str(), open_folder_flags | O_NOFOLLOW));
    // What was opened is what counts, whatever stood there a moment before.
    if (!next || ::fstat(next.get(), &st) != 0)
      return fail(errno);
    if (st.st_uid != 0)
      return refuse(cause::not_roots, shown);
    if (others_may_write(st) && (root_alone || (st.st_mode & S_ISVTX) == 0))
      return refuse(cause::others_may_write, shown);
    at = std::move(next);
    return true;
  }

  bool walk(unique_fd& at, std::string_view path, strict how, std::string& shown) {
    if (!path.empty() && path.front() == '/') {
      at = unique_fd(::open("/", open_folder_flags));
      shown = "/";
      if (!at)
        return fail(errno);
    }
    while (!path.empty()) {
      const std::size_t slash = path.find('/');
      const std::string name(path.substr(0, slash));
      path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
      if (name.empty() || name == ".")
        continue;
      const bool last = path.find_first_not_of('/') == std::string_view::npos;
      if (!shown.empty() && shown.back() != '/')
        shown += '/';
      shown += name;
      if (!enter(at, name, how == strict::all || (how == strict::last && last), shown))
        return false;
    }
    return true;
  }
};

}  // namespace

bool folder_walk::missing() const {
  return !fd && !refused && (error == ENOENT || error == ENOTDIR);
}

folder_walk open_folder(int at, std::string_view path, link_rule rule, std::string shown,
                        bool link_target) {
  folder_walk result;
  walker w;
  w.rule = rule;
  unique_fd from(at == AT_FDCWD ? ::open(".", open_folder_flags) : ::dup(at));
  if (!from) {
    result.error = errno;
    return result;
  }
  if (w.walk(from, path, link_target ? strict::last : strict::all, shown))
    result.fd = std::move(from);
  result.error = w.error;
  result.refused = std::move(w.refused);
  return result;
}

std::optional<failure> locate_file(int folder, const std::string& name, std::string shown_folder,
                                   const std::string& shown_list, link_rule rule,
                                   file_place& place) {
  place.folder = unique_fd(::dup(folder));
  place.name = name;
  place.shown_folder = std::move(shown_folder);
  const auto fail = [&](step at, int error, cause why = cause::system) {
    return std::optional<failure>(why == cause::system
                                      ? failure::of_system(at, shown_list, error)
                                      : failure::refusal(at, shown_list, why, error));
  };
  if (!place.folder)
    return fail(step::access_list, errno);
  for (int links = 0;; ++links) {
    struct stat st;
    if (::fstatat(place.folder.get(), place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT || errno == ENOTDIR)
        return std::nullopt;  // no list, or a link to nothing: the caller opens and sees
      return fail(place.linked ? step::access_target : step::access_list, errno);
    }
    if (!S_ISLNK(st.st_mode))
      return std::nullopt;
    if (rule == link_rule::roots_only && st.st_uid != 0) {
      return failure::refusal(step::refused_for_root, place.shown_folder + "/" + place.name,
                              cause::not_roots);
    }
    std::string target(4096, '\0');
    const ssize_t size =
        ::readlinkat(place.folder.get(), place.name.c_str(), target.data(), target.size());
    if (size <= 0 || static_cast<std::size_t>(size) >= target.size() || links >= 40)
      return fail(step::access_target, size < 0 ? errno : ELOOP);
    target.resize(static_cast<std::size_t>(size));
    place.linked = true;
    const std::size_t slash = target.rfind('/');
    if (slash == std::string::npos) {
      place.name = target;
      continue;
    }
    const std::string dir = slash == 0 ? "/" : target.substr(0, slash);
    const bool absolute = target.front() == '/';
    folder_walk next = open_folder(absolute ? AT_FDCWD : place.folder.get(), dir, rule,
                                   absolute ? std::string() : place.shown_folder, true);
    if (next.refused)
      return next.refused;
    if (!next)
      return next.missing() ? fail(step::access_target, ENOENT, cause::dangling_link)
                            : fail(step::access_target, next.error);
    place.folder = std::move(next.fd);
    place.shown_folder = absolute ? dir : place.shown_folder + "/" + dir;
    place.name = target.substr(slash + 1);
    if (place.name.empty())
      return fail(step::access_target, EISDIR);
  }
}

unique_fd open_to_read(int folder, const std::string& name) {
  // Non-blocking, so that a FIFO in the list's place cannot hang the run before it is refused.
  return unique_fd(
      ::openat(folder, name.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
}

std::optional<failure> make_folders(int at, std::string_view path, bool& made) {
  unique_fd here(::dup(at));
  struct stat st;
  const mode_t mode = ::fstatat(at, ".local", &st, AT_SYMLINK_NOFOLLOW) != 0 ? 0700 : 0755;
  for (std::size_t begin = 0; begin < path.size();) {
    const std::size_t end = std::min(path.find('/', begin), path.size());
    const std::string name(path.substr(begin, end - begin));
    const std::string shown(path.substr(0, end));
    if (::mkdirat(here.get(), name.c_str(), mode) == 0)
      made = true;
    else if (errno != EEXIST)
      return failure::of_system(step::create_folder, shown, errno);
    unique_fd next(::openat(here.get(), name.c_str(), open_folder_flags | O_NOFOLLOW));
    if (!next) {
      failure f = failure::of_system(step::create_folder, shown, errno);
      if (::fstatat(here.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        f.why = cause::is_link;
      return f;
    }
    here = std::move(next);
    begin = end + 1;
  }
  return std::nullopt;
}

bool others_may_write(const struct stat& st) {
  return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}
