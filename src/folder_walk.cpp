// The one walk from an open folder through a path, one name at a time, so that what was checked
// is what is used and a link is followed only as the walk's rules allow.
#include "folder_walk.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

namespace {

// Non-blocking: a FIFO put where a folder should be can't hang the run before O_DIRECTORY
// refuses it.
constexpr int open_folder_flags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC;

// The names of a path that lead somewhere: "." and empty names dropped. `names_folder` tells
// whether the path ends in a folder of its own accord ("", ".", "/", "x/", "x/."), which a
// file's path may not.
struct path_names {
  std::vector<std::string> names;
  bool names_folder = false;
};

path_names split(std::string_view path) {
  path_names found;
  found.names_folder = true;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    std::string name(path.substr(0, slash));
    path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
    found.names_folder = name.empty() || name == "." || slash != std::string_view::npos;
    if (!name.empty() && name != ".")
      found.names.push_back(std::move(name));
  }
  return found;
}

// One walk under its rules, with the one count of links that every link on the way takes from.
class walker {
 public:
  explicit walker(const walk_rules& rules) : rules_(rules) {}

  // Walks `path` from `at`, which becomes where it ended; `how` says which of its folders must
  // be root's alone, `to_file` whether its last name is a file's. False where the walk stopped.
  bool walk(unique_fd& at, std::string_view path, strictness how, bool to_file) {
    if (!path.empty() && path.front() == '/') {
      at = unique_fd(::open("/", open_folder_flags));
      end_.shown = "/";
      if (!at)
        return fail(errno);
    }
    const path_names names = split(path);
    if (to_file && (names.names.empty() || names.names_folder))
      return fail(EISDIR);
    const std::size_t folders = names.names.size() - (to_file ? 1 : 0);
    for (std::size_t i = 0; i < folders; ++i) {
      const bool last = i + 1 == folders;
      if (!enter(at, names.names[i], how == strictness::every || (how == strictness::last && last)))
        return false;
    }
    return !to_file || reach_file(at, names.names.back());
  }

  walk_end& end() { return end_; }
  std::optional<failure>& failed() { return failed_; }

 private:
  bool fail(int error) {
    if (rules_.find_owner) {
      end_.stopped = error;
      return false;
    }
    failed_ = failure::of_system(end_.linked ? step::access_target : rules_.at, end_.shown, error);
    return false;
  }
  bool refuse(step at, cause why, int error = 0) {
    failed_ = failure::refusal(at, end_.shown, why, error);
    return false;
  }
  // Root does not own what `st` describes: the walk stops there, for root's check to run as its
  // owner, or is refused.
  bool not_roots(const struct stat& st) {
    if (rules_.find_owner) {
      end_.owner = st.st_uid;
      return false;
    }
    return refuse(step::refused_for_root, cause::not_roots);
  }

  void append(const std::string& name) {
    if (!end_.shown.empty() && end_.shown.back() != '/')
      end_.shown += '/';
    end_.shown += name;
  }

  // The one place that reads a link: its target, within the one bound on links.
  std::optional<std::string> read_link(int at, const std::string& name) {
    if (--links_ < 0) {
      fail(ELOOP);
      return std::nullopt;
    }
    std::string target(4096, '\0');
    const ssize_t size = ::readlinkat(at, name.c_str(), target.data(), target.size());
    if (size <= 0 || static_cast<std::size_t>(size) >= target.size()) {
      fail(size < 0 ? errno : ENAMETOOLONG);
      return std::nullopt;
    }
    target.resize(static_cast<std::size_t>(size));
    return target;
  }

  // Walks on along the link `name` in `at`; its target is walked from the link's folder, shown
  // as that folder.
  bool follow(unique_fd& at, const std::string& name, bool root_alone, std::size_t shown_before,
              bool to_file) {
    const std::optional<std::string> target = read_link(at.get(), name);
    if (!target)
      return false;
    end_.shown.resize(shown_before);
    // The target's last folder is checked as the link's place was; a file's folder always.
    return walk(at, *target, root_alone || to_file ? strictness::last : strictness::none, to_file);
  }

  // Makes the missing folder `name` in `at` where the rules ask; true where it may be opened now.
  bool make(int at, const std::string& name) {
    if (rules_.make == 0)
      return false;
    if (::mkdirat(at, name.c_str(), rules_.make) == 0)
      end_.made = true;
    else if (errno != EEXIST)
      return fail(errno);
    return true;
  }

  // One folder's name under `at`: `at` becomes that folder.
  bool enter(unique_fd& at, const std::string& name, bool root_alone) {
    const std::size_t shown_before = end_.shown.size();
    append(name);
    if (rules_.links != link_rule::roots_only) {
      const int flags = open_folder_flags | (rules_.links == link_rule::none ? O_NOFOLLOW : 0);
      unique_fd next(::openat(at.get(), name.c_str(), flags));
      if (!next && errno == ENOENT && make(at.get(), name))
        next = unique_fd(::openat(at.get(), name.c_str(), flags));
      if (!next) {
        const int error = errno;
        struct stat st;
        if (rules_.links == link_rule::none &&
            ::fstatat(at.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
          return refuse(rules_.at, cause::is_link, error);
        return fail(error);
      }
      at = std::move(next);
      return true;
    }
    struct stat st;
    if (::fstatat(at.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
      return fail(errno);
    if (st.st_uid != 0)
      return not_roots(st);
    if (S_ISLNK(st.st_mode))
      return follow(at, name, root_alone, shown_before, false);
    if (!S_ISDIR(st.st_mode))
      return fail(ENOTDIR);
    unique_fd next(::openat(at.get(), name.c_str(), open_folder_flags | O_NOFOLLOW));
    // What was opened is what counts, whatever stood there a moment before.
    if (!next || ::fstat(next.get(), &st) != 0)
      return fail(errno);
    if (st.st_uid != 0)
      return not_roots(st);
    if (others_may_write(st) && (root_alone || (st.st_mode & S_ISVTX) == 0)) {
      if (!rules_.find_owner)
        return refuse(step::refused_for_root, cause::others_may_write);
      if (end_.shared.empty())
        end_.shared = end_.shown;
    }
    at = std::move(next);
    return true;
  }

  // The file's name in `at`: a link there is followed, under roots_only only where root owns it;
  // a file that is not there ends the walk all the same, for the caller to see.
  bool reach_file(unique_fd& at, const std::string& name) {
    struct stat st;
    if (::fstatat(at.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT && errno != ENOTDIR)
        return fail(errno);
    } else if (S_ISLNK(st.st_mode)) {
      if (rules_.links == link_rule::roots_only && st.st_uid != 0) {
        append(name);
        return refuse(step::refused_for_root, cause::not_roots);
      }
      if (rules_.links != link_rule::none) {
        end_.linked = true;
        return follow(at, name, false, end_.shown.size(), true);
      }
    }
    end_.name = name;
    return true;
  }

  walk_rules rules_;
  int links_ = 40;  // as the kernel, so that links in a circle end
  walk_end end_;
  std::optional<failure> failed_;
};

}  // namespace

result<walk_end> walk(int at, std::string_view path, const walk_rules& rules, std::string shown) {
  walker w(rules);
  w.end().shown = std::move(shown);
  unique_fd from(at == AT_FDCWD ? ::open(".", open_folder_flags) : ::fcntl(at, F_DUPFD_CLOEXEC, 0));
  if (!from)
    return failure::of_system(rules.at, w.end().shown, errno);
  const bool whole = w.walk(from, path, rules.strict, rules.to_file);
  if (w.failed())
    return std::move(*w.failed());
  if (whole || rules.find_owner)
    w.end().folder = std::move(from);
  return std::move(w.end());
}

bool folder_missing(const failure& f) {
  return f.why == cause::system && (f.error == ENOENT || f.error == ENOTDIR);
}

result<unique_fd> open_folder(int at, std::string_view path, link_rule rule, std::string shown) {
  walk_rules rules;
  rules.links = rule;
  result<walk_end> reached = walk(at, path, rules, std::move(shown));
  if (!reached)
    return std::move(reached.error());
  return std::move(reached->folder);
}

result<file_place> locate_file(int folder, const std::string& name, std::string shown_folder,
                               const std::string& shown_list, link_rule rule) {
  walk_rules rules;
  rules.links = rule;
  rules.strict = strictness::last;
  rules.at = step::access_list;
  rules.to_file = true;
  result<walk_end> reached = walk(folder, name, rules, std::move(shown_folder));
  if (!reached) {
    failure f = std::move(reached.error());
    if (f.why != cause::system)
      return f;
    // A link's folder that is not there: the link leads to nothing.
    if (f.at == step::access_target && (f.error == ENOENT || f.error == ENOTDIR))
      return failure::refusal(step::access_target, shown_list, cause::dangling_link, ENOENT);
    f.file = shown_list;
    return f;
  }
  file_place place;
  place.folder = std::move(reached->folder);
  place.name = std::move(reached->name);
  place.shown_folder = std::move(reached->shown);
  place.linked = reached->linked;
  return place;
}

result<unique_fd> open_to_read(int folder, const std::string& name, const std::string& shown) {
  // Non-blocking, so that a FIFO in the list's place cannot hang the run before it is refused.
  unique_fd fd(
      ::openat(folder, name.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!fd)
    return failure::of_system(step::open_list, shown, errno);
  return fd;
}

result<bool> make_folders(int at, std::string_view path) {
  struct stat st;
  walk_rules rules;
  rules.links = link_rule::none;
  rules.at = step::create_folder;
  rules.make = ::fstatat(at, ".local", &st, AT_SYMLINK_NOFOLLOW) != 0 ? 0700 : 0755;
  result<walk_end> made = walk(at, path, rules);
  if (!made)
    return made.error();
  return made->made;
}

bool others_may_write(const struct stat& st) {
  return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}
