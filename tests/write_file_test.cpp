// The editor on disk, as a user sees it: console lines, the list's bytes, and the result.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "addon_list.hpp"
#include "editor.hpp"
#include "render_json.hpp"
#include "render_text.hpp"
#include "test_home.hpp"

namespace {

// The list's path as every message prints it.
const std::string rel = ".local/share/Kingsoft/wps/jsaddons/publish.xml";
const std::string decl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
const std::string e(entry);
// Another add-on's entry, which every edit must keep.
const std::string other =
    "  <jspluginonline enable=\"true\" install=\"https://other.example:9443\" "
    "url=\"https://other.example:9443/\" type=\"wps\" name=\"Other\"/>";
const std::string base = decl + "<jsplugins>\n" + other + "\n</jsplugins>\n";
const std::string with_entry = decl + "<jsplugins>\n" + other + "\n" + e + "\n</jsplugins>\n";

std::string disabled_entry() {
  std::string line(entry);
  return line.replace(line.find("\"true\""), 6, "\"false\"");
}

class WriteFile : public TestHome {
 protected:
  void TearDown() override {
    if (!temp_may_stay_) {
      EXPECT_FALSE(exists(temp())) << "a temporary list was left behind";
    }
    TestHome::TearDown();
  }

  outcome run(mode what) {
    editor_run r = run_editor(what);
    last_ = std::move(r.record);
    return {r.ok ? 0 : 1, r.out, r.err};
  }
  // What the last run did to the home's own list, by its record.
  action did() const { return last_.lists.empty() ? action::none : last_.lists[0].did; }
  run_report last_;

  std::string temp() const { return list() + ".tmp"; }
  std::string folder() const { return at(".local/share/Kingsoft/wps/jsaddons"); }
  std::string added() const { return head_lines() + "已添加Quillora插件节点\n"; }
  std::string removing() const { return head_lines() + "包含Quillora插件节点，需删除\n"; }
  std::string created() const { return head_lines() + "已创建新的XML文件：" + rel + "\n"; }

  static struct stat status(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
  }

  // Lets user nobody reach the list's folder, from the home folder down.
  void open_to_nobody() const {
    make_list_folder();
    for (std::string path = folder(); path.size() >= home_.size(); path.erase(path.rfind('/')))
      EXPECT_EQ(chmod(path.c_str(), 0755), 0) << path;
  }

  bool temp_may_stay_ = false;
};

TEST_F(WriteFile, InstallAddsEntryBeforeClosingTagAndKeepsOtherLines) {
  const std::string before = decl + "<jsplugins>\n" + other + "\n\t<!-- 用户的注释 -->  \n\n";
  const std::string after = "</jsplugins>\n<!-- 结束 -->\n";
  put_list(before + after);
  EXPECT_EQ(run(mode::install), succeeded(added()));
  EXPECT_EQ(read_bytes(list()), before + e + "\n" + after);
  EXPECT_TRUE(well_formed(list()));
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(cwd, home_);
}

// Only the add-on's entry lines change; every other byte stays.
TEST_F(WriteFile, RewriteChangesOnlyEntryLines) {
  const std::string crlf_head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<jsplugins>\r\n";
  const struct {
    const char* name;
    mode what;
    std::string in;
    std::string out;
  } cases[] = {
      {"indented closing tag", mode::install,
       decl + "<jsplugins>\n" + other + "\n    </jsplugins>\n",
       decl + "<jsplugins>\n" + other + "\n" + e + "\n    </jsplugins>\n"},
      {"install, no LF at the end", mode::install, decl + "<jsplugins>\n</jsplugins>",
       decl + "<jsplugins>\n" + e + "\n</jsplugins>\n"},
      {"install, CRLF", mode::install, crlf_head + other + "\r\n</jsplugins>\r\n",
       crlf_head + other + "\r\n" + e + "\n</jsplugins>\r\n"},
      {"uninstall, CRLF", mode::uninstall,
       crlf_head + "\t" + e + "\r\n" + other + "\r\n</jsplugins>\r\n",
       crlf_head + other + "\r\n</jsplugins>\r\n"},
      {"disabled entry replaced", mode::install,
       decl + "<jsplugins>\n  " + disabled_entry() + "\n" + other + "\n</jsplugins>\n", with_entry},
      {"every entry line removed", mode::uninstall,
       decl + "<jsplugins>\n" + e + "\n" + other + "\n\t" + e + "\n  " + disabled_entry() +
           "\n</jsplugins>\n",
       base},
      {"uninstall, no LF at the end", mode::uninstall,
       decl + "<jsplugins>\n" + e + "\n</jsplugins>", decl + "<jsplugins>\n</jsplugins>\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    put_list(c.in);
    EXPECT_EQ(run(c.what), succeeded(c.what == mode::install ? added() : removing()));
    EXPECT_EQ(did(), c.what == mode::install ? action::added : action::removed);
    EXPECT_TRUE(last_.lists.at(0).changed);
    EXPECT_EQ(read_bytes(list()), c.out);
    EXPECT_TRUE(well_formed(list()));
  }
}

TEST_F(WriteFile, InstallWithoutListOrIntoBlankListWritesNewList) {
  const char* const cases[] = {nullptr, "", " \t\r\n\n  "};  // no list, empty, white space
  for (const char* bytes : cases) {
    SCOPED_TRACE(bytes == nullptr ? "no list" : bytes);
    make_list_folder();
    unlink(list().c_str());
    if (bytes != nullptr)
      put_list(bytes);
    EXPECT_EQ(run(mode::install), succeeded(created()));
    EXPECT_EQ(read_bytes(list()), skeleton);
    EXPECT_TRUE(well_formed(list()));
  }
}

// A run with nothing to do leaves the list's file itself in place, not only its bytes.
TEST_F(WriteFile, RunWithNothingToDoWritesNothing) {
  const std::string disabled = decl + "<jsplugins>\n" + disabled_entry() + "\n</jsplugins>\n";
  const struct {
    mode what;
    std::string bytes;
    std::string says;
  } cases[] = {{mode::install, std::string(skeleton), "包含Quillora插件节点，无需添加\n"},
               {mode::uninstall, base, ""},
               {mode::uninstall, disabled, ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    put_list(c.bytes);
    const ino_t before = status(list()).st_ino;
    EXPECT_EQ(run(c.what), succeeded(head_lines() + c.says));
    EXPECT_EQ(did(), c.what == mode::install ? action::kept : action::none);
    EXPECT_FALSE(last_.lists.at(0).changed);
    EXPECT_EQ(read_bytes(list()), c.bytes);
    EXPECT_EQ(status(list()).st_ino, before) << "the list was replaced needlessly";
  }
}

TEST_F(WriteFile, NoListFolderIsCreated) {
  make_dirs(at(".local/share"));
  EXPECT_EQ(run(mode::uninstall), succeeded(head_lines()));
  EXPECT_EQ(run(mode::install),
            failed(head_lines(), failure("无法创建XML文件", "No such file or directory")));
  EXPECT_FALSE(exists(at(".local/share/Kingsoft")));
  // Uninstall with the folder there but no list.
  make_list_folder();
  EXPECT_EQ(run(mode::uninstall), succeeded(head_lines()));
  EXPECT_FALSE(exists(list()));
}

TEST_F(WriteFile, MissingOrEmptyHomeIsReported) {
  unsetenv("HOME");
  EXPECT_EQ(run(mode::install), failed("", "无法获取用户主目录路径\n"));
  setenv("HOME", "", 1);
  EXPECT_EQ(run(mode::install), failed("用户主目录路径：\n", "无法更改工作目录\n"));
}

TEST_F(WriteFile, UnreadableListIsNotOverwritten) {
  put_list(base);
  ASSERT_EQ(chmod(list().c_str(), 0200), 0);
  if (geteuid() == 0) {
    ASSERT_EQ(chown(list().c_str(), nobody, nobody), 0);
  }
  open_to_nobody();
  for (const mode edit : {mode::install, mode::uninstall}) {
    EXPECT_EQ(in_child([edit] {
                become_nobody();
                return succeeded(run_printing(edit));
              }),
              failed(head_lines(), failure("无法读取XML文件", "Permission denied")));
  }
  EXPECT_EQ(status(list()).st_mode & 07777, 0200u);
  ASSERT_EQ(chmod(list().c_str(), 0600), 0);  // so that the test reads it also when not root
  EXPECT_EQ(read_bytes(list()), base);
}

// Lists as the suite, add-on developers' tools and people write them. Comments are no markup; the
// entry lands directly before the root's real closing tag on a line of its own; an entry for
// another server is replaced; lists the suite can't read are refused and stay as they were.
TEST_F(WriteFile, ListsAsPeopleWriteThemGetTheEntryInTheRightPlace) {
  const std::string le = e + "\n";
  const std::string root = "<jsplugins>\n";
  const std::string end = "</jsplugins>\n";
  const std::string plugin =
      "<jsplugin name=\"X\" type=\"wps\" url=\"https://x.example/\" enable=\"enable_dev\" "
      "install=\"null\" customDomain=\"\"/>";
  const std::string envs =
      "<!-- <jsplugins>\n\t<jspluginonline name=\"EtAssist\" type=\"et\" "
      "url=\"http://10.0.0.1/et\"/>\n</jsplugins> -->\n";
  const std::string et =
      "\t<jspluginonline name=\"EtAssist\" type=\"et\" url=\"http://10.0.0.2/et\"/>\n";
  const std::string commented = "<!-- " + e + " -->\n";
  const std::string old_server =
      "\t<jspluginonline name=\"Quillora插件\" type=\"wps\" url=\"https://old.example:1/\" "
      "install=\"https://old.example:1\" enable=\"true\"/>\r\n";
  // The suite's own order of the attributes, with other quotes and spaces.
  const std::string suites_order =
      "  <jspluginonline name=\"Quillora插件\" type=\"wps\" url = \"" QUILLORA_ORIGIN
      "/\" install='" QUILLORA_ORIGIN "' enable=\"true\" />\n";
  enum { adds, removes, no_need, nothing, refused };
  const struct {
    const char* name;
    std::string bytes;
    int install;
    std::string installed;  // the list after install; empty: as it was, or (refused) the reason
    int uninstall;
    std::string uninstalled;
  } cases[] = {
      {"roots for other servers commented out", decl + envs + root + et + end, adds,
       decl + envs + root + et + le + end, nothing, ""},
      {"closing tag in a comment inside the root",
       root + other + "\n<!-- old:\n" + e + "\n</jsplugins> -->\n" + end, adds,
       root + other + "\n<!-- old:\n" + e + "\n</jsplugins> -->\n" + le + end, nothing, ""},
      {"entry switched off in a comment", decl + root + commented + end, adds,
       decl + root + commented + le + end, nothing, ""},
      {"entry switched off in a comment, live entry beside it", decl + root + commented + le + end,
       no_need, "", removes, decl + root + commented + end},
      {"one-line list", plugin.substr(0, 0) + "<jsplugins>" + plugin + "</jsplugins>", adds,
       "<jsplugins>" + plugin + "\n" + le + end, nothing, ""},
      {"one-line list with spaces, the entry in it",
       "<jsplugins> " + plugin + " " + e + " </jsplugins>\n", no_need, "", removes,
       "<jsplugins> " + plugin + "  </jsplugins>\n"},
      {"empty root on one line", decl + "<jsplugins></jsplugins>\n", adds,
       decl + "<jsplugins>\n" + le + end, nothing, ""},
      {"self-closing root", decl + "<jsplugins/>\n", adds, decl + root + le + end, nothing, ""},
      {"self-closing root with CRLF", decl + "<jsplugins />\r\n", adds,
       decl + "<jsplugins >\n" + le + "</jsplugins>\r\n", nothing, ""},
      {"closing tag behind an element spread over lines",
       decl + root +
           "  <jspluginonline name=\"Other\"\n      url=\"https://o.example:1/\"/></jsplugins>\n",
       adds,
       decl + root + "  <jspluginonline name=\"Other\"\n      url=\"https://o.example:1/\"/>\n" +
           le + end,
       nothing, ""},
      {"last entry and closing tag on one line", decl + root + other + "\n  <x/></jsplugins>", adds,
       decl + root + other + "\n" + le + "  <x/></jsplugins>\n", nothing, ""},
      {"entry beside another element", decl + root + other + e + "\n" + end, no_need, "", removes,
       decl + root + other + "\n" + end},
      {"entry spread over lines, tab-indented",
       decl + root + "\t<jspluginonline name=\"Quillora插件\"\n\t\tenable=\"true\"/>\n" + other +
           "\n" + end,
       adds, decl + root + other + "\n" + le + end, removes, decl + root + other + "\n" + end},
      {"entry for another server, CRLF", decl + root + old_server + end, adds,
       decl + root + le + end, removes, decl + root + end},
      {"entry in the suite's attribute order", decl + root + suites_order + end, no_need, "",
       removes, decl + root + end},
      {"disabled entry beside another element", decl + root + disabled_entry() + other + "\n" + end,
       adds, decl + root + other + "\n" + le + end, nothing, ""},
      {"element never closed", decl + root + "  <jspluginonline name=\"Other\" url=\"u\">\n" + end,
       refused, "第4行有XML格式错误：mismatched tag", refused,
       "第4行有XML格式错误：mismatched tag"},
      {"no closing tag", "这不是列表\n", refused, "第1行有XML格式错误：syntax error", refused,
       "第1行有XML格式错误：syntax error"},
      // One entry of the add-on: the suite must not be left with a second one, and the add-on in
      // its offline form or with its name in character references is the add-on all the same.
      {"entry for this server beside one for another", decl + root + le + old_server + end, adds,
       decl + root + le + end, removes, decl + root + end},
      {"offline entry of the add-on",
       decl + root +
           "  <jsplugin name=\"Quillora插件\" url=\"https://q.example:1/\" type=\"wps\"/>\n" + end,
       adds, decl + root + le + end, removes, decl + root + end},
      {"offline entry of the add-on for this server",
       decl + root + "  <jsplugin name=\"Quillora插件\" install=\"" QUILLORA_ORIGIN "\" url=\"" +
           QUILLORA_ORIGIN "/\" enable=\"true\"/>\n" + end,
       adds, decl + root + le + end, removes, decl + root + end},
      {"the add-on's name in character references",
       decl + root +
           "<jspluginonline enable=\"true\" install=\"" QUILLORA_ORIGIN "\" url=\"" QUILLORA_ORIGIN
           "/\" type=\"wps\" name=\"Quillora&#x63D2;&#x4EF6;\"/>\n" +
           end,
       no_need, "", removes, decl + root + end},
      {"another root", decl + "<plugins>\n" + le + "</plugins>\n", refused,
       "第2行的根元素不是<jsplugins>", refused, "第2行的根元素不是<jsplugins>"},
  };
  for (const auto& c : cases) {
    for (const mode edit : {mode::install, mode::uninstall}) {
      SCOPED_TRACE(std::string(c.name) + (edit == mode::install ? ", install" : ", uninstall"));
      put_list(c.bytes);
      const int what = edit == mode::install ? c.install : c.uninstall;
      const std::string& after = edit == mode::install ? c.installed : c.uninstalled;
      switch (what) {
        case adds:
          EXPECT_EQ(run(edit), succeeded(added()));
          break;
        case removes:
          EXPECT_EQ(run(edit), succeeded(removing()));
          break;
        case no_need:
          EXPECT_EQ(run(edit), succeeded(head_lines() + "包含Quillora插件节点，无需添加\n"));
          break;
        case nothing:
          EXPECT_EQ(run(edit), succeeded(head_lines()));
          break;
        case refused:
          EXPECT_EQ(run(edit), failed(head_lines(), failure("无法修改XML文件", after)));
          break;
      }
      const std::string now = read_bytes(list());
      EXPECT_EQ(now, what == refused || after.empty() ? c.bytes : after);
      EXPECT_TRUE(what == refused || well_formed(list()));
      // The entry has a line of its own: a second install finds it, an uninstall takes just it.
      if (what == adds) {
        EXPECT_EQ(run(mode::install), succeeded(head_lines() + "包含Quillora插件节点，无需添加\n"));
        std::string without = now;
        without.erase(without.rfind("\n" + le) + 1, le.size());
        EXPECT_EQ(run(mode::uninstall), succeeded(removing()));
        EXPECT_EQ(read_bytes(list()), without);
      }
    }
  }
}

TEST_F(WriteFile, FileSizeLimitLeavesListUntouched) {
  const std::string bytes =
      decl + "<jsplugins>\n<!-- " + std::string(2000, 'x') + " -->\n</jsplugins>\n";
  put_list(bytes);
  const auto install_with_limit = [](rlim_t limit) {
    return [limit] {
      const rlimit fsize{limit, limit};
      return setrlimit(RLIMIT_FSIZE, &fsize) == 0 && write_file(0);
    };
  };
  const outcome too_large =
      failed(head_lines(), failure("写入临时文件失败", "File too large", rel + ".tmp"));
  // The list fits under the limit, the list with the entry does not. A negative code would be
  // the signal that ended the program.
  EXPECT_EQ(in_child(install_with_limit(bytes.size() + 16)), too_large);
  EXPECT_EQ(read_bytes(list()), bytes);

  // A new list that can't be written whole is not created at all.
  ASSERT_EQ(unlink(list().c_str()), 0);
  EXPECT_EQ(in_child(install_with_limit(64)), too_large);
  EXPECT_FALSE(exists(list()));
}

TEST_F(WriteFile, StaleTempFromEarlierCrashIsReplaced) {
  put_list(base);
  write_bytes(temp(), "<?xml version=\"1.0\"?>\n<jspl");
  EXPECT_EQ(run(mode::install), succeeded(added()));
  EXPECT_EQ(read_bytes(list()), with_entry);

  // A link in the temporary list's place is removed, not written through.
  write_bytes(at("notes.txt"), "not a list");
  ASSERT_EQ(symlink(at("notes.txt").c_str(), temp().c_str()), 0);
  EXPECT_EQ(run(mode::uninstall), succeeded(removing()));
  EXPECT_EQ(read_bytes(list()), base);
  EXPECT_EQ(read_bytes(at("notes.txt")), "not a list");
}

// A copy killed while it rewrote the list leaves its temporary list behind; the next run clears
// it even when the list is already as the user wants it.
TEST_F(WriteFile, RunWithNothingToDoRemovesTempLeftByACrash) {
  const struct {
    mode what;
    const char* bytes;  // null: no list
    std::string says;
  } cases[] = {{mode::install, skeleton.data(), "包含Quillora插件节点，无需添加\n"},
               {mode::uninstall, nullptr, ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what == mode::install ? "install" : "uninstall");
    make_list_folder();
    unlink(list().c_str());
    if (c.bytes != nullptr)
      put_list(c.bytes);
    write_bytes(temp(), "<?xml version=\"1.0\"?>\n<jspl");
    EXPECT_EQ(run(c.what), succeeded(head_lines() + c.says));
    EXPECT_FALSE(exists(temp()));
    EXPECT_EQ(exists(list()), c.bytes != nullptr);
    if (c.bytes != nullptr) {
      EXPECT_EQ(read_bytes(list()), c.bytes);
    }
  }
}

TEST_F(WriteFile, FolderInTempsPlaceFailsCleanly) {
  put_list(base);
  make_dirs(temp());
  temp_may_stay_ = true;
  EXPECT_EQ(run(mode::install), failed(head_lines(), failure("无法删除残留的临时文件",
                                                             "Is a directory", rel + ".tmp")));
  EXPECT_EQ(read_bytes(list()), base);
  EXPECT_TRUE(S_ISDIR(status(temp()).st_mode));
  // The record says so too: nothing changed, and the list stands as it stood.
  edit_request install;
  install.home_path = home_variable();
  const run_report again = ::run_editor(install);
  ASSERT_EQ(again.lists.size(), 1u);
  EXPECT_FALSE(again.lists[0].changed);
  EXPECT_TRUE(again.lists[0].failed);
  EXPECT_EQ(again.lists[0].after, again.lists[0].before);
  EXPECT_EQ(again.lists[0].after, std::optional<addon_state>(addon_state::absent));
}

TEST_F(WriteFile, ListThatCannotBeReplacedStaysAsItWas) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs a list owned by another user";
  put_list(base);
  ASSERT_EQ(chmod(list().c_str(), 0666), 0);
  open_to_nobody();
  const auto install_as_nobody = [] {
    become_nobody();
    return write_file(0);
  };
  // The folder is root's: no room for the temporary list.
  EXPECT_EQ(in_child(install_as_nobody),
            failed(head_lines(), failure("无法创建临时文件", "Permission denied", rel + ".tmp")));
  EXPECT_EQ(read_bytes(list()), base);

  // A sticky folder lets nobody write the copy but not put it in place of root's list.
  ASSERT_EQ(chmod(folder().c_str(), 01777), 0);
  EXPECT_EQ(in_child(install_as_nobody),
            failed(head_lines(), failure("无法用临时文件替换XML文件", "Operation not permitted")));
  EXPECT_EQ(read_bytes(list()), base);
}

// Another copy holds the lock for a moment, until the run says that it waits, or far too long:
// the run says so once it has waited a second, goes on once the lock is free, and gives up past
// the bound (QUILLORA_LOCK_TIMEOUT) with the list untouched. Each hold ends on what the run does.
TEST_F(WriteFile, SecondCopyWaitsForTheLockWithinABound) {
  const std::string waiting = "另一个安装程序正在修改XML文件，请稍候\n";
  enum class hold { moment, until_it_says_it_waits, until_it_ends };
  const struct {
    hold held;
    outcome result;
  } cases[] = {
      {hold::moment, succeeded(added())},
      {hold::until_it_says_it_waits, {0, added(), waiting}},
      {hold::until_it_ends,
       {1, head_lines(),
        waiting + failure("无法锁定XML文件所在目录", "等待超过2秒，另一个安装程序仍在修改XML文件",
                          ".local/share/Kingsoft/wps/jsaddons")}},
  };
  setenv("QUILLORA_LOCK_TIMEOUT", "2", 1);
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.held));
    put_list(base);
    const int held = open(folder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    const auto since = std::chrono::steady_clock::now();
    const child installer = start([] { return write_file(0); });
    if (c.held == hold::moment) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    } else if (c.held == hold::until_it_says_it_waits) {
      // Its first words on stderr, without taking them, or its end.
      pollfd said{installer.err, POLLIN, 0};
      poll(&said, 1, -1);
    } else {
      siginfo_t info{};
      waitid(P_PID, installer.pid, &info, WEXITED | WNOWAIT);
    }
    const auto for_how_long = std::chrono::steady_clock::now() - since;
    EXPECT_EQ(read_bytes(list()), base);
    EXPECT_FALSE(exists(temp()));
    ASSERT_EQ(flock(held, LOCK_UN), 0);
    close(held);
    const outcome got = finish(installer);
    // A run held for a second or more on a slow machine may say that it waited, rightly.
    if (c.held == hold::moment && for_how_long >= std::chrono::seconds(1) && got.err == waiting) {
      EXPECT_EQ(got, (outcome{0, added(), waiting}));
    } else {
      EXPECT_EQ(got, c.result);
    }
    EXPECT_EQ(read_bytes(list()), c.result.code == 0 ? with_entry : base);
  }
  unsetenv("QUILLORA_LOCK_TIMEOUT");
}

TEST_F(WriteFile, ConcurrentCopiesTakeTurns) {
  put_list(base);
  std::vector<child> children;
  for (int k = 0; k < 5; ++k) {
    children.push_back(start([k] {
      bool ok = true;
      for (int i = 0; i < 4; ++i)
        ok = write_file((i + k) % 2) && ok;
      return ok;
    }));
  }
  for (const child& c : children) {
    const outcome o = finish(c);
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.err, "");
  }
  const std::string bytes = read_bytes(list());
  EXPECT_TRUE(bytes == base || bytes == with_entry) << bytes;
  EXPECT_TRUE(well_formed(list()));
}

// Root, installing for a user, hands the new list back to its owner.
TEST_F(WriteFile, RewriteKeepsPermissionsAndOwner) {
  const uid_t owner = geteuid() == 0 ? nobody : geteuid();
  const gid_t group = geteuid() == 0 ? nobody : getegid();
  // A rewrite and a blank list; set-ID and sticky bits are never handed on to the new list.
  for (const std::string& bytes : {base, std::string("\n")}) {
    SCOPED_TRACE(bytes);
    unlink(list().c_str());
    put_list(bytes);
    ASSERT_EQ(chown(list().c_str(), owner, group), 0);
    ASSERT_EQ(chmod(list().c_str(), bytes == base ? 06640 : 01640), 0);
    ASSERT_EQ(run(mode::install).code, 0);
    const struct stat st = status(list());
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, owner);
    EXPECT_EQ(st.st_gid, group);
  }
}

TEST_F(WriteFile, ListThatIsNotARegularFileIsRefused) {
  const outcome refused = failed(head_lines(), failure("无法编辑XML文件", "不是普通文件"));
  make_dirs(list());
  for (const mode edit : {mode::install, mode::uninstall}) {
    EXPECT_EQ(run(edit), refused);
    EXPECT_TRUE(S_ISDIR(status(list()).st_mode));
  }

  // A FIFO must not block the program: the child's alarm ends a run that hangs.
  ASSERT_EQ(rmdir(list().c_str()), 0);
  ASSERT_EQ(mkfifo(list().c_str(), 0644), 0);
  for (const mode edit : {mode::install, mode::uninstall}) {
    EXPECT_EQ(in_child([edit] { return succeeded(run_printing(edit)); }), refused);
    EXPECT_TRUE(S_ISFIFO(status(list()).st_mode));
  }
}

// From the list's folder up to the home folder, then into a folder the user keeps lists in.
constexpr const char* link_text = "../../../../../dotfiles/publish.xml";

TEST_F(WriteFile, LinkedListIsEditedWhereItLies) {
  make_dirs(at("dotfiles"));
  const std::string target = at("dotfiles/publish.xml");
  write_bytes(target, base);
  write_bytes(target + ".tmp", "left by a crash");  // removed only if the copy is made there
  make_list_folder();
  ASSERT_EQ(symlink(link_text, list().c_str()), 0);

  for (const mode edit : {mode::install, mode::uninstall}) {
    SCOPED_TRACE(edit == mode::install ? "install" : "uninstall");
    EXPECT_EQ(run(edit), succeeded(edit == mode::install ? added() : removing()));
    EXPECT_EQ(read_bytes(target), edit == mode::install ? with_entry : base);
    EXPECT_TRUE(well_formed(target));
    EXPECT_FALSE(exists(target + ".tmp"));
    char link[PATH_MAX] = {};
    ASSERT_GT(readlink(list().c_str(), link, sizeof link - 1), 0) << "the link is gone";
    EXPECT_STREQ(link, link_text);
  }
}

TEST_F(WriteFile, DanglingLinkFailsInstallButNotUninstall) {
  make_list_folder();
  ASSERT_EQ(symlink(link_text, list().c_str()), 0);
  EXPECT_EQ(run(mode::install),
            failed(head_lines(), failure("无法访问XML文件链接的文件", "链接指向的文件不存在")));
  EXPECT_FALSE(exists(at("dotfiles")));
  EXPECT_TRUE(S_ISLNK(status(list()).st_mode));
  EXPECT_EQ(run(mode::uninstall), succeeded(head_lines()));
}

}  // namespace

namespace {

// What a child that ran one mode on the list as it is cost and printed.
struct run_cost {
  long peak_kib = 0;
  bool ok = false;
  off_t printed = 0;  // bytes on stdout and stderr
};

// Runs the editor in `what` in a child, its console (and with `json`, the object of --json) going
// to a file, as the command prints them.
run_cost cost_of_run(const std::string& home, mode what, bool json = false) {
  const std::string printed = home + "/printed";
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(printed.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    dup2(out, 2);
    edit_request request;
    request.what = what;
    request.home_path = home_variable();
    const run_report run = run_editor(request);
    print_console(run, json);
    if (json)
      print_json(run);
    _exit(succeeded(run) ? 0 : 1);
  }
  int status = 0;
  rusage usage{};
  EXPECT_EQ(wait4(pid, &status, 0, &usage), pid);
  EXPECT_TRUE(WIFEXITED(status));
  struct stat st {};
  EXPECT_EQ(stat(printed.c_str(), &st), 0);
  unlink(printed.c_str());
  return {usage.ru_maxrss, WIFEXITED(status) && WEXITSTATUS(status) == 0, st.st_size};
}

// `count` copies of `unit`.
void repeat(std::ostream& out, std::string_view unit, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i)
    out << unit;
}

// Lists of the worst shapes up to the size bound, written piece by piece so that the test process
// itself stays small: whatever their shape, each is judged in at most 64 MiB, no run prints more
// than a small multiple of the list, and a list of megabytes of ordinary lines costs no more than
// a small one.
TEST_F(WriteFile, MemoryStaysBoundedWhateverTheListsShape) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "AddressSanitizer keeps freed memory aside: the plain build measures it";
#endif
  put_list(base);
  const long small = cost_of_run(home_, mode::install).peak_kib;
  const std::string tail = "\n</jsplugins>\n";
  const std::size_t room = (16u << 20) - 8192;  // install's entry still fits under the bound
  const std::string x(1u << 20, 'x');
  const std::int64_t line = static_cast<std::int64_t>(e.size() + 1);
  const std::string short_entry = "<jsplugin name=\"n\" type=\"t\" url=\"u\"/>\n";
  const struct {
    const char* name;
    mode what;
    bool json;
    bool ok;
    std::int64_t size_change;  // of the list, by the run
    bool flat;                 // costs no more than a small list
    std::function<void(std::ostream&)> body;
    std::function<void(std::ostream&)> doctype = {};  // before the root, where the shape has one
  } shapes[] = {
      {"twelve megabytes of other add-ons' lines, a comment of 64 KiB, the entry", mode::uninstall,
       false, true, -line, true,
       [&](std::ostream& out) {
         repeat(out, other + "\n", (12u << 20) / (other.size() + 1));
         out << "<!--" << std::string(64u << 10, 'x') << "-->\n" << e;
       }},
      {"elements nested far deeper than allowed", mode::install, false, false, 0, false,
       [&](std::ostream& out) {
         repeat(out, "<a>", room / 7);
         repeat(out, "</a>", room / 7);
       }},
      {"a comment of 15 MiB", mode::install, false, true, line, false,
       [&](std::ostream& out) {
         out << "<!--";
         repeat(out, x, 15);
         out << "-->";
       }},
      {"the add-on's entry with a value of 15 MiB", mode::uninstall, false, true,
       -static_cast<std::int64_t>(e.size() - 2 + 1 + (15u << 20) + 8), false,
       [&](std::ostream& out) {
         out << e.substr(0, e.size() - 2) << " u2=\"";
         repeat(out, x, 15);
         out << "\"/>";
       }},
      {"another add-on whose name, type and url fill 15 MiB, listed", mode::list, false, true, 0,
       false,
       [&](std::ostream& out) {
         for (const char* attribute : {"<jspluginonline name=\"", "\" type=\"", "\" url=\""}) {
           out << attribute;
           repeat(out, x, 5);
         }
         out << "\"/>";
       }},
      {"a start tag of 16 MiB of attributes", mode::install, false, false, 0, false,
       [&](std::ostream& out) {
         out << "<x";
         for (std::size_t i = 0; i < room / 12; ++i)
           out << " a" << 1000000 + i << "=\"\"";
         out << "/>";
       }},
      {"an element name of its own for each of a million elements", mode::status, false, false, 0,
       false,
       [&](std::ostream& out) {
         for (std::size_t i = 0; i < room / 12; ++i)
           out << "<n" << 1000000 + i << "/>\n";
       }},
      {"an attribute name of its own in each of a million tags", mode::install, false, false, 0,
       false,
       [&](std::ostream& out) {
         for (std::size_t i = 0; i < room / 18; ++i)
           out << "<x a" << 1000000 + i << "=\"\"/>\n";
       }},
      {"half a million attributes declared with defaults", mode::install, false, false, 0, false,
       [&](std::ostream&) {},
       [&](std::ostream& out) {
         out << "<!DOCTYPE jsplugins [\n";
         for (std::size_t i = 0; i < room / 33; ++i)
           out << "<!ATTLIST x a" << 1000000 + i << " CDATA \"v\">\n";
         out << "]>\n";
       }},
      {"a million and a half empty entries, listed", mode::list, false, false, 0, false,
       [&](std::ostream& out) { repeat(out, "<jsplugin/>", room / 11); }},
      {"a million and a half empty entries, listed as JSON", mode::list, true, false, 0, false,
       [&](std::ostream& out) { repeat(out, "<jsplugin/>", room / 11); }},
      {"a declared name of 4 KiB that every one of 9000 entries takes, listed", mode::list, false,
       false, 0, false, [&](std::ostream& out) { repeat(out, "<jsplugin/>\n", 9000); },
       [&](std::ostream& out) {
         out << "<!DOCTYPE jsplugins [<!ATTLIST jsplugin name CDATA \"" << std::string(4096, 'n')
             << "\">]>\n";
       }},
      {"as many entries as --list keeps, each of 160 bytes, listed as JSON", mode::list, true, true,
       0, false,
       [&](std::ostream& out) {
         for (std::size_t i = 0; i < list_reader::max_listed_entries - 1; ++i)
           out << "<jsplugin name=\"" << std::string(40, 'n') << "\" type=\"t\" url=\""
               << 1000000 + i << std::string(70, 'u') << "\"/>\n";
       }},
      {"one very wide entry among 6000 short ones, listed", mode::list, false, true, 0, false,
       [&](std::ostream& out) {
         repeat(out, short_entry, 6000);
         out << "<jsplugin name=\"" << std::string(200u << 10, 'w') << "\"/>\n";
       }},
      {"one very wide entry among 6000 short ones, listed as JSON", mode::list, true, true, 0,
       false,
       [&](std::ostream& out) {
         repeat(out, short_entry, 6000);
         out << "<jsplugin name=\"" << std::string(200u << 10, 'w') << "\"/>\n";
       }},
  };
  for (const auto& shape : shapes) {
    SCOPED_TRACE(shape.name);
    {
      std::ofstream out(list(), std::ios::binary | std::ios::trunc);
      out << decl;
      if (shape.doctype)
        shape.doctype(out);
      out << "<jsplugins>\n";
      shape.body(out);
      out << tail;
    }
    const off_t size = status(list()).st_size;
    ASSERT_LE(size, 16 << 20);
    const run_cost cost = cost_of_run(home_, shape.what, shape.json);
    EXPECT_EQ(cost.ok, shape.ok);
    EXPECT_LE(cost.peak_kib, 64 * 1024) << "peak KiB";
    EXPECT_LE(cost.printed, 4 * size + 4096) << "bytes printed";
    EXPECT_EQ(status(list()).st_size - size, shape.size_change);
    if (shape.flat) {
      EXPECT_LT(cost.peak_kib - small, 8 * 1024)
          << "peak KiB: " << small << " for a small list, " << cost.peak_kib;
    }
  }
}

}  // namespace
