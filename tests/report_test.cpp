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
       "办公套件。沙盒应用cn.wps.Office的插件列表的第4行有XML格式错误，安装程序没有修改它。请用文本"
       "编辑器修正这一行后再试。请不要删除这个文件，其中还登记着其他插件。",
       R"({"action":"install","changed":true,"list":")" + own + R"(","error":"无法修改XML文件：)" +
           flatpak +
           R"(：第4行有XML格式错误：mismatched tag","code":"malformed","lists":[{"list":")" + own +
           R"(","changed":true,"state":"enabled"},{"list":")" + flatpak +
           R"(","changed":false,"error":"无法修改XML文件：)" + flatpak +
           R"(：第4行有XML格式错误：mismatched tag","code":"malformed"}]})"},
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
