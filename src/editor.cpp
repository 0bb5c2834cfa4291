// Runs a mode over the lists under a home: reads each, decides, and replaces it safely.
#include "editor.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <istream>
#include <ostream>

#include "addon_list.hpp"
#include "fd_streambuf.hpp"
#include "folder_lock.hpp"
#include "home_lists.hpp"
#include "list_reader.hpp"
#include "safe_replace.hpp"

namespace {

failure fault(step at, const std::string& file, int error) {
  return failure::of_system(at, file, error);
}

failure list_fault(step at, const std::string& file, list_reader::verdict problem,
                   std::uint64_t line, const std::string& detail, std::uint64_t begins_line = 0) {
  return failure::of_list(at, file, problem, line, detail, begins_line);
}

// Enters the home the request is for, which the working folder then stays: root's walk's folder
// where root keeps root, else HOME opened now. The failure carries the system's error.
result<unique_fd> enter_home(const edit_request& request) {
  const std::string& home = *request.home_path;
  unique_fd at;
  if (!request.home)
    at = unique_fd(::open(home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  else if (!*request.home)
    return request.home->error();
  else
    at = unique_fd(::fcntl(**request.home, F_DUPFD_CLOEXEC, 0));
  if (!at || ::fchdir(at.get()) != 0)
    return fault(step::enter_home, home, errno);
  return at;
}

std::string folder_of(const std::string& path) {
  return path.substr(0, path.rfind('/'));
}

// A list opened and read whole: the open file, what it was, and what the reader found.
struct opened_list {
  unique_fd fd;
  struct stat st {};
  list_reader::list_facts facts;
};

// The one step that opens a list, shared by reading and editing: the list opened and read whole,
// nothing where there is no file (or no folder) in its place, or why it can't be used. An edit
// names what it refuses "无法编辑" and "无法修改"; a read names all "无法读取". `registered`
// takes the entries --list shows; `found` is set once there is a file to read.
result<std::optional<opened_list>> open_list(int folder, const std::string& name,
                                             const std::string& shown, bool edit,
                                             std::vector<list_reader::listed_entry>* registered,
                                             bool& found) {
  opened_list list;
  result<unique_fd> opened = open_to_read(folder, name, shown);
  if (!opened) {
    if (opened.error().error == ENOENT)
      return std::optional<opened_list>();
    return opened.error();
  }
  list.fd = std::move(*opened);
  found = true;
  if (::fstat(list.fd.get(), &list.st) != 0)
    return fault(step::open_list, shown, errno);
  if (!S_ISREG(list.st.st_mode))
    return failure::refusal(edit ? step::edit_refused : step::open_list, shown, cause::not_regular);
  if (static_cast<std::uint64_t>(list.st.st_size) > list_reader::max_list_size)
    return list_fault(step::open_list, shown, list_reader::verdict::too_large, 0, {});
  fd_streambuf buffer(list.fd.get());
  std::istream stream(&buffer);
  list.facts =
      list_reader::read_list(stream, server_origin(), registered,
                             edit ? list_reader::purpose::edit : list_reader::purpose::report);
  list_reader::list_facts& facts = list.facts;
  if (buffer.error() != 0 || facts.status == list_reader::verdict::read_failed)
    return fault(step::read_list, shown, buffer.error() != 0 ? buffer.error() : EIO);
  // A blank file holds no list of the user's: it reads as one without the add-on.
  if (facts.status != list_reader::verdict::ok && facts.blank) {
    facts = list_reader::list_facts();
    facts.blank = true;
  }
  if (facts.status == list_reader::verdict::ok)
    return std::optional<opened_list>(std::move(list));
  const bool too_large = facts.status == list_reader::verdict::too_large;
  failure f = list_fault(edit && !too_large ? step::modify_list : step::open_list, shown,
                         facts.status, facts.line, facts.detail, facts.begins_line);
  f.others = facts.others;
  return f;
}

// One list of a run: where it is, the run's rule and request, and the record it fills.
struct list_job {
  const edit_request& request;
  link_rule rule;
  int home;
  list_place& place;
  list_record& record;

  bool install() const { return request.what == mode::install; }

  void fail(failure f) { record.failed = std::move(f); }

  // Nothing there: the state a missing list has.
  void absent() { record.before = record.after = addon_state::absent; }

  void read();
  void edit();
  bool reach_folder();
  void edit_in(file_place& at);
  void replace(file_place& at, const std::optional<opened_list>& old);
};

void list_job::read() {
  if (!place.folder) {
    failure& f = place.folder.error();
    if (f.at == step::refused_for_root) {
      f.at = step::read_refused;
      return fail(f);
    }
    if (folder_missing(f))
      return absent();
    return fail(fault(step::open_list, record.path, f.error));
  }
  result<file_place> found =
      locate_file(place.folder->get(), "publish.xml", folder_of(record.path), record.path, rule);
  if (!found) {
    failure& f = found.error();
    if (f.why == cause::dangling_link)
      return absent();
    if (f.at == step::refused_for_root)
      f.at = step::read_refused;
    return fail(f);
  }
  file_place& at = *found;
  std::vector<list_reader::listed_entry>* registered =
      request.what == mode::list ? &record.addons : nullptr;
  result<std::optional<opened_list>> list =
      open_list(at.folder.get(), at.name, record.path, false, registered, record.found);
  if (!list)
    return fail(list.error());
  if (!*list)
    return absent();
  record.before = record.after = state_of((*list)->facts);
}

// Opens the list's folder, making it first where --create-folders asks; false when the run ends
// there, its record filled.
bool list_job::reach_folder() {
  if (place.folder)
    return true;
  const failure& why = place.folder.error();
  if (why.at == step::refused_for_root) {
    fail(why);
    return false;
  }
  if (!folder_missing(why)) {
    fail(fault(step::open_folder, folder_of(record.path), why.error));
    return false;
  }
  if (!install()) {
    absent();  // no folder, no list
    return false;
  }
  if (!request.create_folders || !place.sandbox.empty()) {
    fail(fault(step::create_list, record.path, why.error));
    return false;
  }
  const result<bool> made = make_folders(home, list_folder());
  record.folders_made = made && *made;
  if (!made) {
    fail(made.error());
    return false;
  }
  place.folder = open_folder(home, list_folder(), rule);
  if (!place.folder) {
    fail(fault(step::open_folder, folder_of(record.path), place.folder.error().error));
    return false;
  }
  return true;
}

void list_job::edit() {
  if (!reach_folder())
    return;
  result<file_place> found =
      locate_file(place.folder->get(), "publish.xml", folder_of(record.path), record.path, rule);
  if (!found) {
    if (found.error().why == cause::dangling_link && !install())
      return absent();
    return fail(found.error());
  }
  file_place& at = *found;
  // Two copies of the program take turns; the lock lives on the folder, which a rename of the
  // list leaves in place.
  const std::string& path = record.path;
  if (std::optional<failure> f =
          lock_folder(at.folder.get(), at.shown_folder, [this, &path](bool waiting) {
            if (request.on_wait)
              request.on_wait(path, waiting);
          }))
    return fail(*f);
  edit_in(at);
}

// Under the lock: reads the list and makes the edit it needs, if any.
void list_job::edit_in(file_place& at) {
  // A copy killed in the middle of a rewrite leaves its temporary list behind. Under the lock no
  // copy is writing one, so it goes now, also when this run has nothing to write; where it can't,
  // a rewrite reports why, and a run with nothing to write leaves the list as it is.
  ::unlinkat(at.folder.get(), (at.name + ".tmp").c_str(), 0);
  result<std::optional<opened_list>> list =
      open_list(at.folder.get(), at.name, record.path, true, nullptr, record.found);
  if (!list)
    return fail(list.error());
  const std::optional<opened_list>& old = *list;
  if (!old && at.linked && install())
    return fail(failure::refusal(step::access_target, record.path, cause::dangling_link, ENOENT));
  record.before = old ? state_of(old->facts) : addon_state::absent;
  found_list found;
  if (old)
    found = {true, old->facts.blank, *record.before, enabled_somewhere(old->facts)};
  record.did = decide(request.what, found);
  switch (record.did) {
    case action::none:
      record.after = record.before;
      return;
    case action::kept:
      record.after = addon_state::enabled;
      return;
    case action::created:
    case action::added:
    case action::removed:
      return replace(at, old);
  }
}

// Replaces the list as decided: by the skeleton where it is created (over a blank file, `old`,
// whose owner and mode it keeps), else by the copy of `old` with the edit, read again from its
// start.
void list_job::replace(file_place& at, const std::optional<opened_list>& old) {
  const bool add = install();
  replacement r{at.folder.get(), at.name, record.path, at.shown_folder, std::nullopt, {}, {}};
  if (old)
    r.old = old->st;
  const std::string& shown = record.path;
  if (record.did == action::created) {
    r.fill = [](std::ostream& out) -> std::optional<failure> {
      out << list_skeleton();
      return std::nullopt;
    };
  } else {
    const list_reader::list_facts& facts = old->facts;
    const int in = old->fd.get();
    r.fill = [&facts, in, add, &shown](std::ostream& out) -> std::optional<failure> {
      if (::lseek(in, 0, SEEK_SET) != 0)
        return fault(step::read_list, shown, errno);
      fd_streambuf buffer(in);
      std::istream stream(&buffer);
      const rewrite_result result = rewrite_from(facts, stream, out, add);
      if (!out)
        return std::nullopt;  // the write is reported as such
      if (buffer.error() != 0 || result.status == list_reader::verdict::read_failed)
        return fault(step::read_list, shown, buffer.error() != 0 ? buffer.error() : EIO);
      if (result.status != list_reader::verdict::ok) {
        failure f = list_fault(step::modify_list, shown, result.status, result.line, result.detail);
        f.others = facts.others;
        return f;
      }
      return std::nullopt;
    };
    // The copy must hold all that the read found in the old list but the add-on.
    r.check = [&facts, add](std::istream& copy) { return rewrite_is_sound(facts, copy, add); };
  }
  replaced_file done = replace_file(r);
  record.changed = done.replaced;
  // A replacement that gave up before its rename left the list as it was.
  record.after =
      record.changed ? (add ? addon_state::enabled : addon_state::absent) : record.before;
  if (done.failed)
    fail(*done.failed);
}

bool reading(mode what) {
  return what == mode::status || what == mode::list;
}

}  // namespace

action decide(mode what, const found_list& found) {
  switch (what) {
    case mode::install:
      // An empty file holds no list to keep: it is given the new list, like a missing one.
      if (!found.present || found.blank)
        return action::created;
      return found.state == addon_state::enabled ? action::kept : action::added;
    case mode::uninstall:
      return found.present && found.enabled ? action::removed : action::none;
    case mode::status:
    case mode::list:
      break;
  }
  return action::none;
}

std::optional<std::string> home_variable() {
  const char* home = std::getenv("HOME");
  return home != nullptr ? std::optional<std::string>(home) : std::nullopt;
}

run_report run_editor(const edit_request& request) {
  // With a file-size limit, a write past it must fail with EFBIG instead of killing the process.
  std::signal(SIGXFSZ, SIG_IGN);
  run_report run;
  run.what = request.what;
  if (!request.home_path || (request.home_path->empty() && reading(request.what))) {
    run.home_failed = fault(step::home_unset, {}, 0);
    return run;
  }
  const std::string& home = *request.home_path;
  run.home = home;
  const result<unique_fd> at = enter_home(request);
  if (!at) {
    const int error = at.error().error;
    // A home that is not there holds no list to read.
    if (reading(request.what) && (error == ENOENT || error == ENOTDIR)) {
      run.lists.push_back({std::string(list_path),
                           {},
                           false,
                           addon_state::absent,
                           addon_state::absent,
                           action::none,
                           false,
                           false,
                           {},
                           {}});
      return run;
    }
    run.home_failed = fault(step::enter_home, home, error);
    return run;
  }
  if (char* cwd = ::getcwd(nullptr, 0)) {
    run.cwd = cwd;
    std::free(cwd);
  } else {
    run.cwd_failed =
        fault(step::read_cwd, {}, errno);  // the lists are found from `at` all the same
  }
  const link_rule rule = request.home ? link_rule::roots_only : link_rule::hers;
  std::vector<list_place> places =
      lists_in_home(at->get(), rule, request.what == mode::install && request.create_folders);
  for (list_place& place : places) {
    list_record& record = run.lists.emplace_back();
    record.path = place.path;
    record.sandbox = place.sandbox;
    list_job job{request, rule, at->get(), place, record};
    if (reading(request.what))
      job.read();
    else
      job.edit();
  }
  return run;
}
