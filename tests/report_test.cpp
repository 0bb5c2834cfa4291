// A run's record rendered three ways, in memory: the console's lines, the notice's second text
// and --json's object, each exactly as a person or a script gets it.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "failure_code.hpp"
#include "render_json.hpp"
#include "render_text.hpp"
#include "texts.hpp"

namespace {

const std::string own = ".local/share/Kingsoft/wps/jsaddons/publish.xml";
const std::string flatpak = ".var/app/cn.wps.Office/data/Kingsoft/wps/jsaddons/publish.xml";

list_record record(const std::string& path, std::optional<addon_state> before,
                   std::optional<addon_state> after, action did = action::none,
                   bool changed = false) {
  list_record l;
  l.path = path;
  l.sandbox = path == own ? "" : "cn.wps.Office";
  l.found = before.has_value();
  l.before = before;
  l.after = after;
  l.did = did;
  l.changed = changed;
  return l;
}

failure problem(const std::string& file, list_reader::verdict v, std::uint64_t line,
                const std::string& detail = {}) {
  failure f;
  f.at = step::modify_list;
  f.file = file;
  f.why = cause::list_problem;
  f.problem = v;
  f.line = line;
  f.detail = detail;
  return f;
}

run_report run_of(mode what, std::vector<list_record> lists) {
  run_report run;
  run.what = what;
  run.home = "/home/li";
  run.cwd = "/home/li";
  run.lists = std::move(lists);
  return run;
}

// The console as one text: "> " before each stdout line, "! " before each stderr line.
std::string console(const run_report& run) {
  std::string text;
  for (const console_line& l : console_lines(run))
    text += (l.error ? "! " : "> ") + l.text + "\n";
  return text;
}

const std::string head = "> 用户主目录路径：/home/li\n> 当前工作目录：/home/li\n";

// Root's run that was refused before any list was reached, with why.
run_report refused(mode what, failure why) {
  run_report run;
  run.what = what;
  run.home_failed = std::move(why);
  return run;
}

}  // namespace

TEST(Report, RenderedOnTheConsoleInTheNoticeAndAsJson) {
  const auto enabled = addon_state::enabled;
  const auto disabled = addon_state::disabled;
  const auto absent = addon_state::absent;
  list_record malformed = record(flatpak, disabled, std::nullopt);
  malformed.failed = problem(flatpak, list_reader::verdict::malformed, 4, "mismatched tag");
  malformed.failed->others = 2;
  // What the notice says of each list that failed, past its first words: one run per row below.
  const auto failing = [](failure f, bool changed = false) {
    list_record l = record(own, addon_state::absent, std::nullopt);
    l.changed = changed;
    l.failed = std::move(f);
    return run_of(mode::install, {l});
  };
  const std::string own_list = "插件列表~/" + own;
  list_record missing_folder = record(own, std::nullopt, std::nullopt);
  failure no_folder;
  no_folder.at = step::create_list;
  no_folder.file = own;
  no_folder.error = ENOENT;
  missing_folder.failed = no_folder;
  run_report unset;
  unset.home_failed = failure();
  unset.home_failed->at = step::home_unset;
  list_record listed = record(own, enabled, enabled);
  listed.addons = {{"Quillora插件", true, "wps", true, "https://q.example:1/", true},
                   {"Other", false, "wps", false, "https://o.example:1/", false}};
  // A name wider than the columns go: the others line up as far as the bound, it goes on.
  list_record wide = record(own, absent, absent);
  const std::string n45(45, 'n');
  wide.addons = {{"Quillora插件", true, "wps", true, "https://q.example:1/", true},
                 {n45, false, "wps", false, "https://o.example:1/", false},
                 {"Other", false, "wps", false, "https://o.example:1/", false}};
  // A tag left open on line 3, which expat finds faulty on line 4.
  list_record open_tag = record(own, absent, std::nullopt);
  open_tag.failed = failure::of_list(step::modify_list, own, list_reader::verdict::malformed, 4,
                                     "not well-formed (invalid token)", 3);
  open_tag.failed->others = 1;
  const std::string open_tag_error = "无法修改XML文件：" + own +
                                     "：第3行开始的标记有XML格式错误，在第4行发现：not well-formed "
                                     "(invalid token)";
  list_record too_many = record(own, std::nullopt, std::nullopt);
  too_many.failed = problem(own, list_reader::verdict::too_many_entries, 100003);
  too_many.failed->at = step::open_list;

  const struct {
    const char* what;
    run_report run;
    std::string console;
    int status;
    const char* notice;  // the notice's second text, for the window's modes
    std::string json;
  } rows[] = {
      {"install creates the home's own list",
       run_of(mode::install, {record(own, absent, enabled, action::created, true)}),
       head + "> 已创建新的XML文件：" + own + "\n", 0,
       "Quillora插件已添加到办公套件。请重新启动办公套件，之后即可使用。",
       R"({"action":"install","changed":true,"state":"enabled","list":")" + own +
           R"(","lists":[{"list":")" + own + R"(","changed":true,"state":"enabled"}]})"},
      {"install with nothing to do",
       run_of(mode::install, {record(own, enabled, enabled, action::kept)}),
       head + "> 包含Quillora插件节点，无需添加\n", 0,
       "Quillora插件此前已经安装，这次没有做任何修改。",
       R"({"action":"install","changed":false,"state":"enabled","list":")" + own +
           R"(","lists":[{"list":")" + own + R"(","changed":false,"state":"enabled"}]})"},
      {"install changes the home's list and fails on a sandbox's",
       run_of(mode::install, {record(own, absent, enabled, action::added, true), malformed}),
       head + "> 已添加Quillora插件节点\n> 沙盒中的XML文件：" + flatpak + "\n! 无法修改XML文件：" +
           flatpak + "：第4行有XML格式错误：mismatched tag\n",
       1,
       "已在插件列表~/.local/share/Kingsoft/wps/jsaddons/publish.xml中添加Quillora插件，请重新启动"
       "办公套件。沙盒应用cn.wps.Office的插件列表~/.var/app/cn.wps.Office/data/Kingsoft/wps/"
       "jsaddons/"
       "publish.xml的第4行有XML格式错误，安装程序没有修改它。请用文本编辑器修正这一行后再试。请不要"
       "删除这个文件，其中还登记着其他插件。",
       R"({"action":"install","changed":true,"list":")" + own + R"(","error":"无法修改XML文件：)" +
           flatpak +
           R"(：第4行有XML格式错误：mismatched tag","code":"malformed","line":4,"lists":[{"list":")" +
           own + R"(","changed":true,"state":"enabled"},{"list":")" + flatpak +
           R"(","changed":false,"error":"无法修改XML文件：)" + flatpak +
           R"(：第4行有XML格式错误：mismatched tag","code":"malformed","line":4}]})"},
      {"install over a list whose faulty markup began a line before expat noticed",
       run_of(mode::install, {open_tag}), head + "! " + open_tag_error + "\n", 1,
       "插件列表~/.local/share/Kingsoft/wps/jsaddons/publish.xml的第3行开始的标记有XML格式错误，"
       "在第4行发现，安装程序没有修改它。请用文本编辑器修正第3行到第4行后再试。请不要删除这个文件，"
       "其中还登记着其他插件。",
       R"({"action":"install","changed":false,"list":")" + own + R"(","error":")" + open_tag_error +
           R"(","code":"malformed","line":4,"begins_line":3,"lists":[{"list":")" + own +
           R"(","changed":false,"error":")" + open_tag_error +
           R"(","code":"malformed","line":4,"begins_line":3}]})"},
      {"uninstall removes the entry, printed before the rewrite",
       run_of(mode::uninstall, {record(own, enabled, absent, action::removed, true)}),
       head + "> 包含Quillora插件节点，需删除\n", 0,
       "Quillora插件已从办公套件中移除。请重新启动办公套件使更改生效。",
       R"({"action":"uninstall","changed":true,"state":"absent","list":")" + own +
           R"(","lists":[{"list":")" + own + R"(","changed":true,"state":"absent"}]})"},
      {"install where the suite never started", run_of(mode::install, {missing_folder}),
       head + "! 无法创建XML文件：" + own + "：No such file or directory\n", 1,
       "没有找到办公套件的插件文件夹：办公套件还没有启动过。请先启动一次办公套件，关闭它，然后再安"
       "装"
       "。",
       R"({"action":"install","changed":false,"list":")" + own + R"(","error":"无法创建XML文件：)" +
           own + R"(：No such file or directory","code":"no_folder","lists":[{"list":")" + own +
           R"(","changed":false,"error":"无法创建XML文件：)" + own +
           R"(：No such file or directory","code":"no_folder"}]})"},
      {"status with a Flatpak copy alone",
       run_of(mode::status, {record(flatpak, enabled, enabled)}),
       "> 沙盒中的XML文件：" + flatpak + "：已注册，已启用\n", 0, nullptr,
       R"({"action":"status","changed":false,"state":"enabled","list":")" + flatpak +
           R"(","lists":[{"list":")" + flatpak + R"(","changed":false,"state":"enabled"}]})"},
      {"status: enabled here, disabled there",
       run_of(mode::status, {record(own, enabled, enabled), record(flatpak, disabled, disabled)}),
       "> Quillora插件：已注册，已启用\n> 沙盒中的XML文件：" + flatpak + "：已注册，未启用\n", 3,
       nullptr,
       R"({"action":"status","changed":false,"state":"disabled","list":")" + own +
           R"(","lists":[{"list":")" + own + R"(","changed":false,"state":"enabled"},{"list":")" +
           flatpak + R"(","changed":false,"state":"disabled"}]})"},
      {"install where HOME is unset", unset, "! 无法获取用户主目录路径\n", 1,
       "没有设置用户主目录（环境变量HOME），安装程序不知道要修改哪个列表。请在登录后的桌面中运行安"
       "装程"
       "序。",
       R"({"action":"install","changed":false,"error":"无法获取用户主目录路径","code":"no_home",)"
       R"("lists":[]})"},
      {"list", run_of(mode::list, {listed}),
       "> * Quillora插件  在线  wps  已启用  https://q.example:1/\n"
       ">   Other         离线  wps  未启用  https://o.example:1/\n",
       0, nullptr,
       R"({"action":"list","changed":false,"state":"enabled","list":")" + own +
           R"(","addons":[{"name":"Quillora插件","online":true,"type":"wps","enabled":true,)"
           R"("url":"https://q.example:1/","quillora":true},{"name":"Other","online":false,)"
           R"("type":"wps","enabled":false,"url":"https://o.example:1/","quillora":false}],)"
           R"("lists":[{"list":")" +
           own +
           R"(","changed":false,"state":"enabled","addons":[{"name":"Quillora插件","online":true,)"
           R"("type":"wps","enabled":true,"url":"https://q.example:1/","quillora":true},)"
           R"({"name":"Other","online":false,"type":"wps","enabled":false,)"
           R"("url":"https://o.example:1/","quillora":false}]}]})"},
      {"root: --user names no one",
       refused(mode::install, failure::refusal(step::no_such_user, "li", cause::unknown_user)),
       "! 找不到用户：li\n", 1,
       "系统中没有用户li，安装程序没有修改任何插件列表。请检查用户名后再试。",
       R"({"action":"install","changed":false,"error":"找不到用户：li","code":"no_user","lists":[]})"},
      {"root: --user's home is not there, under --status: an error, not absent",
       refused(mode::status, failure::of_system(step::user_home, "/home/li", ENOENT)),
       "! 无法进入用户主目录：/home/li：No such file or directory\n", 1, nullptr,
       R"({"action":"status","changed":false,"error":"无法进入用户主目录：/home/li：No such file or directory","code":"no_home","lists":[]})"},
      {"root: a home that others may write",
       refused(mode::uninstall,
               failure::refusal(step::refused_for_root, "/srv/shared", cause::others_may_write)),
       "! 拒绝以root身份修改XML文件：/srv/shared：其他用户可以写入此文件夹，请用--user指定用户\n",
       1,
       "其他用户可以写入/srv/"
       "shared，安装程序没有以root身份修改其中的插件列表。请用--user指定用户后再"
       "试。",
       R"({"action":"uninstall","changed":false,"error":"拒绝以root身份修改XML文件：/srv/shared：其他用户可以写入此文件夹，请用--user指定用户","code":"others_may_write","lists":[]})"},
      {"root: her run went past its deadline",
       refused(mode::install, failure::timeout(step::child_timeout, "li", 60, cause::run_timeout)),
       "! 为用户运行的进程超时：li：超过60秒仍未结束，已终止\n", 1,
       "为用户li运行的安装程序超过60秒仍未结束，已被终止。请稍后再试。",
       R"({"action":"install","changed":false,"error":"为用户运行的进程超时：li：超过60秒仍未结束，已终止","code":"run_timeout","lists":[]})"},
      {"root: giving up root for her failed",
       refused(mode::install, failure::of_call(step::switch_user, "li", "setresuid", EAGAIN)),
       "! 无法切换到用户：li：setresuid：Resource temporarily unavailable\n", 1,
       "无法切换到用户：li：setresuid：Resource temporarily "
       "unavailable。安装程序没有修改任何插件列表。",
       R"({"action":"install","changed":false,"error":"无法切换到用户：li：setresuid：Resource temporarily unavailable","code":"system","lists":[]})"},
      {"list with a name past the columns' bound", run_of(mode::list, {wide}),
       "> * Quillora插件" + std::string(30, ' ') + "在线  wps  已启用  https://q.example:1/\n>   " +
           n45 + "  离线  wps  未启用  https://o.example:1/\n>   Other" + std::string(37, ' ') +
           "离线  wps  未启用  https://o.example:1/\n",
       0, nullptr,
       R"({"action":"list","changed":false,"state":"absent","list":")" + own +
           R"(","addons":[{"name":"Quillora插件","online":true,"type":"wps","enabled":true,)"
           R"("url":"https://q.example:1/","quillora":true},{"name":")" +
           n45 +
           R"(","online":false,)"
           R"("type":"wps","enabled":false,"url":"https://o.example:1/","quillora":false},)"
           R"({"name":"Other","online":false,)"
           R"("type":"wps","enabled":false,"url":"https://o.example:1/","quillora":false}],)"
           R"("lists":[{"list":")" +
           own +
           R"(","changed":false,"state":"absent","addons":[{"name":"Quillora插件","online":true,)"
           R"("type":"wps","enabled":true,"url":"https://q.example:1/","quillora":true},{"name":")" +
           n45 +
           R"(","online":false,"type":"wps","enabled":false,"url":"https://o.example:1/",)"
           R"("quillora":false},{"name":"Other","online":false,"type":"wps","enabled":false,)"
           R"("url":"https://o.example:1/","quillora":false}]}]})"},
      {"list refused past the bound on entries", run_of(mode::list, {too_many}),
       "! 无法读取XML文件：" + own + "：第100003行：插件条目超过100000个或16 MiB的上限\n", 1,
       nullptr,
       R"({"action":"list","changed":false,"list":")" + own +
           R"(","addons":[],"error":"无法读取XML文件：)" + own +
           R"(：第100003行：插件条目超过100000个或16 MiB的上限","code":"too_many_entries",)"
           R"("line":100003,"lists":[{"list":")" +
           own + R"(","changed":false,"error":"无法读取XML文件：)" + own +
           R"(：第100003行：插件条目超过100000个或16 MiB的上限","code":"too_many_entries",)"
           R"("line":100003}]})"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(console(r.run), r.console);
    EXPECT_EQ(exit_status(r.run), r.status);
    if (r.notice != nullptr) {
      EXPECT_EQ(notice_text(r.run), r.notice);
    }
    EXPECT_EQ(render_json(r.run), r.json);
  }

  // The notice alone, where the console and --json keep their words: each cause in hers.
  const struct {
    const char* what;
    run_report run;
    std::string notice;
  } notices[] = {
      {"uninstall over an entry that is not enabled",
       run_of(mode::uninstall, {record(own, disabled, disabled)}),
       "插件列表中有未启用的Quillora插件条目，安装程序按原样保留了它，这次没有做任何修改。"},
      {"uninstall where it is not installed",
       run_of(mode::uninstall, {record(own, absent, absent)}),
       "Quillora插件现在没有安装，这次没有做任何修改。"},
      {"a malformed list where no other add-on was read before the fault, its markup begun on "
       "the line of the fault",
       failing(failure::of_list(step::modify_list, own, list_reader::verdict::malformed, 3,
                                "unclosed token", 3)),
       own_list + "的第3行有XML格式错误，安装程序没有修改它。请用文本编辑器修正这一行后再试。"},
      {"a file that is no add-on list",
       failing(problem(own, list_reader::verdict::not_jsplugins, 1)),
       own_list +
           "不是办公套件的插件列表：其中的内容是另一种文件，安装程序没有修改它。请检查这个文件"
           "是从哪里来的。"},
      {"a file where the suite's folder should be",
       failing(failure::of_system(step::create_list, own, ENOTDIR)),
       "~/.local/share/Kingsoft/wps/"
       "jsaddons的路径上有一个文件占着文件夹的位置，办公套件和安装程序都无法在那里创建插件列表。请"
       "检"
       "查并移开这个文件，启动一次办公套件后再试。"},
      {"a link to itself", failing(failure::of_system(step::access_target, own, ELOOP)),
       own_list + "是一个绕回自身的链接，或者要经过太多层链接才能找到文件。它保持原样。请修正这个链"
                  "接后再试。"},
      {"a read-only file system", failing(failure::of_system(step::create_temp, own, EROFS)),
       own_list + "所在的文件系统是只读的。它保持原样。请让管理员把它挂载为可写后再试。"},
      {"a full disk", failing(failure::of_system(step::write_temp, own, ENOSPC)),
       "磁盘已满。" + own_list + "保持原样。请腾出一些磁盘空间后再试。"},
      {"a full quota", failing(failure::of_system(step::write_temp, own, EDQUOT)),
       "您的磁盘配额已经用完。" + own_list +
           "保持原样。请删除一些文件，或者请管理员增加配额后再试。"},
      {"a folder where the list should be",
       failing(failure::of_system(step::open_list, own, EISDIR)),
       own_list + "是一个文件夹，而不是文件。它保持原样。请检查这个位置后再试。"},
      {"a file on the way to the list",
       failing(failure::of_system(step::open_folder, own, ENOTDIR)),
       own_list + "的路径上有一个文件占着文件夹的位置。它保持原样。请检查这个路径后再试。"},
      {"an input/output error", failing(failure::of_system(step::read_list, own, EIO)),
       "读写" + own_list + "时发生了输入/输出错误，磁盘可能有故障。" + own_list +
           "保持原样。请检查磁盘后再试。"},
      {"a name too long", failing(failure::of_system(step::access_target, own, ENAMETOOLONG)),
       own_list + "的路径太长，系统无法处理。它保持原样。请缩短链接指向的路径后再试。"},
      {"the folder's sync failed after the list was replaced: no claim that it is as it was",
       failing(failure::of_system(step::sync_folder, own, EIO), true),
       "已在" + own_list + "中添加Quillora插件，请重新启动办公套件。读写" + own_list +
           "时发生了输入/输出错误，磁盘可能有故障。请检查磁盘后再试。"},
      {"a cause without words of its own keeps the console's line",
       failing(failure::of_system(step::lock_folder, own, ENOLCK)),
       "无法锁定XML文件所在目录：" + own + "：No locks available。" + own_list + "保持原样。"},
  };
  for (const auto& n : notices) {
    SCOPED_TRACE(n.what);
    EXPECT_EQ(notice_text(n.run), n.notice);
  }
}

// Scripts branch on these words; a word that changes breaks them where no sentence would.
TEST(FailureCode, EachCauseKeepsItsWord) {
  using list_reader::verdict;
  const std::string list = ".local/share/Kingsoft/wps/jsaddons/publish.xml";
  const struct {
    failure f;
    const char* code;
  } rows[] = {
      {failure::of_system(step::create_list, list, ENOENT), "no_folder"},
      {failure::of_system(step::enter_home, "/home/li", ENOENT), "no_home"},
      {failure::of_system(step::user_home, "/home/li", ENOENT), "no_home"},
      {failure::of_system(step::home_unset, {}, 0), "no_home"},
      {failure::of_system(step::open_folder, list, ENOTDIR), "not_a_folder"},
      {failure::of_system(step::create_temp, list, EACCES), "permission"},
      {failure::of_system(step::create_temp, list, EROFS), "read_only"},
      {failure::of_system(step::write_temp, list, ENOSPC), "no_space"},
      {failure::of_system(step::write_temp, list, EDQUOT), "no_space"},
      {failure::of_system(step::write_temp, list, EIO), "io_error"},
      {failure::of_call(step::switch_user, "li", "setresuid", EAGAIN), "system"},
      {failure::refusal(step::edit_refused, list, cause::not_regular), "not_a_file"},
      {failure::timeout(step::lock_folder, list, 30), "lock_timeout"},
      {failure::of_list(step::modify_list, list, verdict::malformed, 4, "x"), "malformed"},
      {failure::of_list(step::open_list, list, verdict::too_large), "too_big"},
      {failure::of_list(step::modify_list, list, verdict::grows_too_large), "too_big"},
      {failure::of_list(step::modify_list, list, verdict::too_deep, 9), "too_deep"},
      {failure::of_list(step::modify_list, list, verdict::entity_declared, 2), "entities"},
      {failure::of_list(step::modify_list, list, verdict::not_utf8), "not_utf8"},
      {failure::refusal(step::refused_for_root, "/srv", cause::not_roots), "not_root_owned"},
      {failure::refusal(step::refused_for_root, "/srv", cause::others_may_write),
       "others_may_write"},
      {failure::refusal(step::no_such_user, "li", cause::unknown_user), "no_user"},
      {failure::timeout(step::child_timeout, "li", 60, cause::run_timeout), "run_timeout"},
  };
  for (const auto& r : rows)
    EXPECT_EQ(code_of(r.f), r.code) << failure_line(r.f);
}
