// The console's runs: a mode over the lists, rendered as lines or JSON, given up to a user first
// where root runs it.
#include "command.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "addon_list.hpp"
#include "editor.hpp"
#include "folder_lock.hpp"
#include "render_json.hpp"
#include "render_text.hpp"
#include "run_as_user.hpp"
#include "texts.hpp"

#ifndef QUILLORA_VERSION
#error "QUILLORA_VERSION, the program's version, is set by the build"
#endif

namespace {

// A run started with a standard stream closed would give that number to the first file it opens,
// the lock or a list's copy, and its lines would go there. A closed stream gets /dev/null opened
// for reading in its place: what is written there still fails, as it did on the closed one, and
// is reported as lost.
void hold_standard_streams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
      continue;
    const int opened = ::open("/dev/null", O_RDONLY);
    if (opened != -1 && opened != fd) {  // only where a lower one was taken meanwhile
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

// `status`, or 1 where stdout did not take all that the run wrote there, its lines or its
// object: a script would take what it got for the whole answer. One line on stderr says so, with
// the system's reason (`lost`: the error of the first write that failed, as the printing gave
// it; 0: none reported, and then the last flush's) and whether a list changed all the same,
// since that change stands.
int checked_output(int status, bool changed, int lost) {
  errno = 0;
  if (std::fflush(stdout) != 0 && lost == 0)
    lost = errno != 0 ? errno : EIO;
  if (lost == 0 && !std::ferror(stdout))
    return status;
  std::string line = std::string(texts::stdout_lost);
  if (lost != 0)
    line += "：" + std::string(std::strerror(lost));
  if (changed)
    line += texts::change_stands;
  print_line(true, line);
  return 1;
}

// Runs the mode in this process; `home` is root's walk's folder where root keeps root.
int run_mode(const options& chosen, mode what, std::optional<result<int>> home) {
  edit_request request;
  request.what = what;
  request.create_folders = chosen.create_folders;
  request.home = home;
  request.home_path = home_variable();
  request.on_wait = [quiet = chosen.quiet](const std::string&, bool waiting) {
    if (waiting && !quiet)
      print_line(true, std::string(texts::waiting));
  };
  const run_report run = run_editor(request);
  // With --json, stdout holds the object alone; failures still go to stderr as lines. With
  // --quiet, a run that went as asked prints nothing, for cron and the like.
  int lost = print_console(run, chosen.json || chosen.quiet);
  // Most who meet this have never started the suite, or roll the add-on out before they do.
  for (const list_record& l : run.lists) {
    if (!l.failed || l.failed->at != step::create_list)
      continue;
    const bool file_in_the_way = l.failed->error == ENOTDIR;
    print_line(true, std::string(file_in_the_way ? texts::folder_is_file_hint
                                                 : texts::create_folders_hint));
    if (home && !file_in_the_way)
      print_line(true, std::string(texts::roots_home_hint));
  }
  if (chosen.json) {
    const int json_lost = print_json(run);
    lost = lost != 0 ? lost : json_lost;
  }
  return checked_output(exit_status(run), changed(run), lost);
}

// A failure before the editor ran (root's refusal, or her run that could not start): the run's
// record with that failure, rendered as every other run's.
int cannot_run(const options& chosen, mode what, const failure& why) {
  run_report run;
  run.what = what;
  run.home_failed = why;
  std::vector<console_line> lines = console_lines(run);
  // A name that no one has is a mistake on the command line: named as usage errors are.
  if (why.at == step::no_such_user) {
    for (console_line& line : lines)
      line.text = std::string(texts::program_name) + "：" + line.text;
  }
  int lost = print_lines(lines);
  if (chosen.json) {
    const int json_lost = print_line(false, render_json(run));
    lost = lost != 0 ? lost : json_lost;
  }
  return checked_output(exit_status(run), false, lost);
}

// The mode run for `who` by a process of hers, which root waits for as long as a run may take:
// the wait for the lock and the reading and writing of a list.
int run_for(const account& who, const options& chosen, mode what) {
  const result<int> code = run_as(
      who, lock_wait_seconds() + 30, [&] { return run_mode(chosen, what, std::nullopt); },
      [&](const failure& why) { return cannot_run(chosen, what, why); });
  return code ? *code : cannot_run(chosen, what, code.error());
}

int run_as_root(const options& chosen, mode what) {
  // Before anything under the home folder is opened.
  if (chosen.user) {
    const result<account> who = find_user(chosen.user->c_str());
    if (!who)
      return cannot_run(chosen, what, who.error());
    // The editor finds the list under HOME; it must be hers, whatever the caller's HOME was.
    ::setenv("HOME", who->home.c_str(), 1);
    if (who->uid != 0) {
      if (const std::optional<failure> no_home = check_user_home(*who))
        return cannot_run(chosen, what, *no_home);
      return run_for(*who, chosen, what);
    }
  }
  result<home_check> found =
      check_home(folders_to_check(), what == mode::status || what == mode::list);
  if (!found)
    return cannot_run(chosen, what, found.error());
  if (found->verdict == home_check::user)
    return run_for(found->owner, chosen, what);
  // Root keeps root: the run enters the folder that the walk opened, or reports why it opened none.
  result<int> home = failure::of_system(step::enter_home, {}, ENOENT);
  if (found->home)
    home = *found->home ? result<int>((*found->home)->get()) : result<int>(found->home->error());
  return run_mode(chosen, what, std::move(home));
}

// The editor's mode of a command that has one.
std::optional<mode> mode_of(command what) {
  switch (what) {
    case command::install:
      return mode::install;
    case command::uninstall:
      return mode::uninstall;
    case command::status:
      return mode::status;
    case command::list:
      return mode::list;
    default:
      break;
  }
  return std::nullopt;
}

}  // namespace

std::vector<std::string> folders_to_check() {
  return {std::string(list_folder()), ".var/app", "snap", ".linglong"};
}

int run_command(const options& chosen) {
  hold_standard_streams();
  if (chosen.what == command::version) {
    const std::string origin(server_origin());
    int lost = 0;
    if (chosen.json) {
      lost = print_line(false, render_json_version(QUILLORA_VERSION, origin));
    } else {
      lost = print_line(false, "quillora-installer " QUILLORA_VERSION);
      const int second = print_line(false, std::string(texts::origin_line) + origin);
      lost = lost != 0 ? lost : second;
    }
    return checked_output(0, false, lost);
  }
  if (chosen.what == command::refused)
    return 2;
  const std::optional<mode> what = mode_of(chosen.what);
  if (!what)
    return 1;
  if (::geteuid() != 0)
    return run_mode(chosen, *what, std::nullopt);
  return run_as_root(chosen, *what);
}
