// A home folder of its own for each test, and helpers to run the editor in it and look at files.
#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>

#include <functional>
#include <ostream>
#include <string>
#include <string_view>

#include "report.hpp"

// What one call of the editor did: as the user sees it, and the run's record of what it found
// and did in each list.
struct editor_run {
  bool ok = false;
  std::string out;  // stdout
  std::string err;  // stderr
  run_report record;
};

// Runs the editor in `what` on the lists under HOME as the command does, printing its console
// (the waiting line as it waits), and returns its record.
run_report run_printing(mode what);

class TestHome : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs the editor in `what` in this process with HOME set to the test's home, capturing the
  // console beside the record.
  editor_run run_editor(mode what);

  // The absolute path of something under the home folder.
  std::string at(std::string_view relative) const;
  // The list's absolute path, and its folder (created on demand).
  std::string list() const;
  void make_list_folder() const;
  // Creates the folder and writes `bytes` as the list.
  void put_list(std::string_view bytes) const;

  // The two lines that every call that finds a home directory starts with.
  std::string head_lines() const;

  std::string home_;

 private:
  std::string old_cwd_;
  std::string old_home_;
  bool had_home_ = false;
};

// Helpers on files, by absolute path.
std::string read_bytes(const std::string& path);
void write_bytes(const std::string& path, std::string_view bytes);
bool exists(const std::string& path);
void make_dirs(const std::string& path);
void remove_tree(const std::string& path);
// True when xmllint finds the file well formed.
bool well_formed(const std::string& path);

// The entry and skeleton as the office suite must see them, spelled out here independently.
#define TEST_ENTRY                                                                         \
  "<jspluginonline enable=\"true\" install=\"" QUILLORA_ORIGIN "\" url=\"" QUILLORA_ORIGIN \
  "/\" type=\"wps\" name=\"Quillora插件\"/>"
inline constexpr std::string_view entry = TEST_ENTRY;
inline constexpr std::string_view skeleton =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<jsplugins>\n" TEST_ENTRY "\n</jsplugins>\n";

// One failure line on stderr: what went wrong, the file concerned (the list by default), and why.
std::string failure(const std::string& what, const std::string& why,
                    const std::string& file = ".local/share/Kingsoft/wps/jsaddons/publish.xml");

// What a run did: 0 when it succeeded, 1 when false, minus the signal number when
// a signal ended the child that ran it; and the console. Compared whole, printed whole.
struct outcome {
  int code = 0;
  std::string out;
  std::string err;
  bool operator==(const outcome& o) const { return code == o.code && out == o.out && err == o.err; }
};
void PrintTo(const outcome& o, std::ostream* os);
outcome succeeded(const std::string& out);
outcome failed(const std::string& out, const std::string& err);

inline constexpr uid_t nobody = 65534;

// Turns the rest of a child into user nobody when the tests run as root.
void become_nobody();

// A child process that runs the editor, for what must not touch the test process: another
// user, a file-size limit, a lock held by the test, a run that might hang.
struct child {
  pid_t pid;
  int out;  // the read ends of its stdout and stderr
  int err;
};

// The child exits with 0 when `body` returns true, else 1; an alarm ends it after 10 s.
child start(const std::function<bool()>& body);
bool running(const child& c);
outcome finish(const child& c);
outcome in_child(const std::function<bool()>& body);

// A user of this machine for one test, made with useradd and removed with userdel; her home
// folder is `home`, made by the test. Another test may hold the password file's lock for a
// moment, so each command is tried again for a while.
class throwaway_user {
 public:
  explicit throwaway_user(const std::string& home);
  ~throwaway_user();
  throwaway_user(const throwaway_user&) = delete;
  throwaway_user& operator=(const throwaway_user&) = delete;

  bool made() const { return made_; }
  const std::string& name() const { return name_; }
  uid_t uid() const { return uid_; }
  gid_t gid() const { return gid_; }

 private:
  std::string name_;
  bool made_ = false;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
};
