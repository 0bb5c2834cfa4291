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
#include "safe_replace.hpp"

namespace {

failure fault(step at, const std::string& file, int error) {
  return failure::of_system(at, file, error);
}

failure list_fault(step at, const std::string& file, list_reader::verdict problem,
                   std::uint64_t line, const std::string& detail) {
  return failure::of_list(at, file, problem, line, detail);
}

std::string folder_of(const std::string& path) {
  return path.substr(0, path.rfind('/'));
}

// One list open as `fd`, read whole: its facts, or why it can't be used. An edit names what it
// refuses "无法编辑" and "无法修改"; a read names all "无法读取".
std::optional<failure> read_whole(int fd, const std::string& shown, bool edit,
                                  list_reader::list_facts& facts, struct stat& st,
                                  std::vector<list_reader::listed_entry>* registered) {
  if (::fstat(fd, &st) != 0)
    return fault(step::open_list, shown, errno);
  if (!S_ISREG(st.st_mode))
    return failure::refusal(edit ? step::edit_refused : step::open_list, shown, cause::not_regular);
  if (static_cast<std::uint64_t>(st.st_size) > list_reader::max_list_size)
    return list_fault(step::open_list, shown, list_reader::verdict::too_large, 0, {});
  fd_streambuf buffer(fd);
  std::istream stream(&buffer);
  facts = list_reader::read_list(stream, server_origin(), registered,
                                 edit ? list_reader::purpose::edit : list_reader::purpose::report);
  if (buffer.error() != 0 || facts.status == list_reader::verdict::read_failed)
    return fault(step::read_list, shown, buffer.error() != 0 ? buffer.error() : EIO);
  // A blank file holds no list of the user's: it reads as one without the add-on.
  if (facts.status == list_reader::verdict::ok)
    return std::nullopt;
  if (facts.blank) {
    facts = list_reader::list_facts();
    facts.blank = true;
    return std::nullopt;
  }
  const bool too_large = facts.status == list_reader::verdict::too_large;
  failure f = list_fault(edit && !too_large ? step::modify_list : step::open_list, shown,
                         facts.status, facts.line, facts.detail);
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
  void replace(file_place& at, const struct stat* old, bool created,
               const list_reader::list_facts* facts, int in);
};

void list_job::read() {
  if (place.folder.refused) {
    place.folder.refused->at = step::read_refused;
    return fail(*place.folder.refused);
  }
  if (!place.folder) {
    if (place.folder.missing())
      return absent();
    return fail(fault(step::open_list, record.path, place.folder.error));
  }
  result<file_place> found =
      locate_file(place.folder.fd.get(), "publish.xml", folder_of(record.path), record.path, rule);
  if (!found) {
    failure& f = found.error();
    if (f.why == cause::dangling_link)
      return absent();
    if (f.at == step::refused_for_root)
      f.at = step::read_refused;
    return fail(f);
  }
  file_place& at = *found;
  const unique_fd in = open_to_read(at.folder.get(), at.name);
  if (!in) {
    if (errno == ENOENT)
      return absent();
    return fail(fault(step::open_list, record.path, errno));
  }
  record.found = true;
  list_reader::list_facts facts;
  struct stat st;
  std::vector<list_reader::listed_entry>* registered =
      request.what == mode::list ? &record.addons : nullptr;
  if (std::optional<failure> f = read_whole(in.get(), record.path, false, facts, st, registered))
    return fail(*f);
  record.before = record.after = state_of(facts);
}

// Opens the list's folder, making it first where --create-folders asks; false when the run ends
// there, its record filled.
bool list_job::reach_folder() {
  if (place.folder.refused) {
    fail(*place.folder.refused);
    return false;
  }
  if (place.folder)
    return true;
  if (!place.folder.missing()) {
    fail(fault(step::open_folder, folder_of(record.path), place.folder.error));
    return false;
  }
  if (!install()) {
    absent();  // no folder, no list
    return false;
  }
  if (!request.create_folders || !place.sandbox.empty()) {
    fail(fault(step::create_list, record.path, place.folder.error));
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
    fail(fault(step::open_folder, folder_of(record.path), place.folder.error));
    return false;
  }
  return true;
}

void list_job::edit() {
  if (!reach_folder())
    return;
  result<file_place> found =
      locate_file(place.folder.fd.get(), "publish.xml", folder_of(record.path), record.path, rule);
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
  const unique_fd in = open_to_read(at.folder.get(), at.name);
  if (!in) {
    if (errno != ENOENT)
      return fail(fault(step::open_list, record.path, errno));
    if (at.linked && install())
      return fail(failure::refusal(step::access_target, record.path, cause::dangling_link, ENOENT));
    record.before = addon_state::absent;
    if (!install())
      return absent();
    return replace(at, nullptr, true, nullptr, -1);
  }
  record.found = true;
  list_reader::list_facts facts;
  struct stat st;
  if (std::optional<failure> f = read_whole(in.get(), record.path, true, facts, st, nullptr))
    return fail(*f);
  record.before = state_of(facts);
  if (install()) {
    // An empty file holds no list to keep: it is given the new list, like a missing one.
    if (facts.blank)
      return replace(at, &st, true, nullptr, -1);
    if (record.before == addon_state::enabled) {
      record.did = action::kept;
      record.after = addon_state::enabled;
      return;
    }
    return replace(at, &st, false, &facts, in.get());
  }
  if (!enabled_somewhere(facts)) {
    record.after = record.before;
    return;
  }
  replace(at, &st, false, &facts, in.get());
}

// Replaces the list by the skeleton (`created`) or by its copy with the edit, `in` read again
// from its start with `facts`.
void list_job::replace(file_place& at, const struct stat* old, bool created,
                       const list_reader::list_facts* facts, int in) {
  const bool add = install();
  record.did = created ? action::created : add ? action::added : action::removed;
  replacement r;
  r.folder = at.folder.get();
  r.name = at.name;
  r.shown = record.path;
  r.shown_folder = at.shown_folder;
  r.old = old;
  const std::string& shown = record.path;
  if (created) {
    r.fill = [](std::ostream& out) -> std::optional<failure> {
      out << list_skeleton();
      return std::nullopt;
    };
  } else {
    r.fill = [facts, in, add, &shown](std::ostream& out) -> std::optional<failure> {
      if (::lseek(in, 0, SEEK_SET) != 0)
        return fault(step::read_list, shown, errno);
      fd_streambuf buffer(in);
      std::istream stream(&buffer);
      const rewrite_result result = rewrite_from(*facts, stream, out, add);
      if (!out)
        return std::nullopt;  // the write is reported as such
      if (buffer.error() != 0 || result.status == list_reader::verdict::read_failed)
        return fault(step::read_list, shown, buffer.error() != 0 ? buffer.error() : EIO);
      if (result.status != list_reader::verdict::ok) {
        failure f = list_fault(step::modify_list, shown, result.status, result.line, result.detail);
        f.others = facts->others;
        return f;
      }
      return std::nullopt;
    };
    // The copy must hold all that the read found in the old list but the add-on.
    r.check = [facts, add](std::istream& copy) { return rewrite_is_sound(*facts, copy, add); };
  }
  std::optional<failure> f = replace_file(r, record.changed);
  // A replacement that gave up before its rename left the list as it was.
  record.after =
      record.changed ? (add ? addon_state::enabled : addon_state::absent) : record.before;
  if (f)
    fail(*f);
}

bool reading(mode what) {
  return what == mode::status || what == mode::list;
}

}  // namespace

run_report run_editor(const edit_request& request) {
  // With a file-size limit, a write past it must fail with EFBIG instead of killing the process.
  std::signal(SIGXFSZ, SIG_IGN);
  run_report run;
  run.what = request.what;
  const char* home = std::getenv("HOME");
  if (home == nullptr || (*home == '\0' && reading(request.what))) {
    run.home_failed = fault(step::home_unset, {}, 0);
    return run;
  }
  run.home = home;
  unique_fd at(request.home ? (*request.home >= 0 ? ::dup(*request.home) : -1)
                            : ::open(home, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!at || ::fchdir(at.get()) != 0) {
    const int error = request.home && *request.home < 0 ? ENOENT : errno;
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
      lists_in_home(at.get(), rule, request.what == mode::install && request.create_folders);
  for (list_place& place : places) {
    list_record& record = run.lists.emplace_back();
    record.path = place.path;
    record.sandbox = place.sandbox;
    list_job job{request, rule, at.get(), place, record};
    if (reading(request.what))
      job.read();
    else
      job.edit();
  }
  return run;
}
