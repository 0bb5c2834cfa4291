// The console's words for each step and cause, and the notice's sentences beside them.
#include "texts.hpp"

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "printable.hpp"

namespace {

struct step_words {
  step at;
  std::string_view console;
};

constexpr step_words step_texts[] = {
    {step::home_unset, "无法获取用户主目录路径"},
    {step::enter_home, "无法更改工作目录"},
    {step::read_cwd, "无法获取当前工作目录"},
    {step::access_list, "无法访问XML文件"},
    {step::access_target, "无法访问XML文件链接的文件"},
    {step::create_list, "无法创建XML文件"},
    {step::open_folder, "无法打开XML文件所在目录"},
    {step::lock_folder, "无法锁定XML文件所在目录"},
    {step::open_list, "无法读取XML文件"},
    {step::edit_refused, "无法编辑XML文件"},
    {step::read_list, "读取XML文件失败"},
    {step::modify_list, "无法修改XML文件"},
    {step::remove_stale, "无法删除残留的临时文件"},
    {step::create_temp, "无法创建临时文件"},
    {step::temp_mode, "无法设置临时文件的权限"},
    {step::write_temp, "写入临时文件失败"},
    {step::sync_temp, "无法将临时文件写入磁盘"},
    {step::read_temp, "读取临时文件失败"},
    {step::close_temp, "关闭临时文件失败"},
    {step::replace_list, "无法用临时文件替换XML文件"},
    {step::sync_folder, "无法将XML文件所在目录写入磁盘"},
    {step::create_folder, "无法创建文件夹"},
    {step::refused_for_root, "拒绝以root身份修改XML文件"},
    {step::read_refused, "拒绝以root身份读取XML文件"},
    {step::no_such_user, "找不到用户"},
    {step::look_up_user, "无法查找用户"},
    {step::user_home, "无法进入用户主目录"},
    {step::owner_unknown, "无法切换到用户主目录的所有者"},
    {step::look_up_owner, "无法查找用户主目录的所有者"},
    {step::switch_user, "无法切换到用户"},
    {step::start_child, "无法启动为用户运行的进程"},
    {step::wait_child, "无法等待为用户运行的进程"},
    {step::child_timeout, "为用户运行的进程超时"},
    {step::child_killed, "为用户运行的进程异常结束"},
};

// Puts each value in place of its mark, wherever it stands.
std::string filled(std::string_view text,
                   std::initializer_list<std::pair<std::string_view, std::string>> values) {
  std::string out(text);
  for (const auto& [mark, value] : values) {
    for (std::size_t at = out.find(mark); at != std::string::npos;
         at = out.find(mark, at + value.size()))
      out.replace(at, mark.size(), value);
  }
  return out;
}

// Why a list can't be read or edited: the console's reason after "：", and the notice's sentence.
// {line}, {detail} and {list} stand for the line, expat's words and the list concerned; {keep}
// asks her to keep the file where the reader met other add-ons' entries before the fault. A row
// marked `begun_earlier` is for a fault in markup that began on an earlier line, {begins_line}:
// expat names the line where it noticed the fault, and she looks for it where the markup begins.
struct problem_words {
  list_reader::verdict problem;
  std::string_view console;
  std::string_view notice;
  bool begun_earlier = false;
};

// The texts below name the bounds in words.
static_assert(list_reader::max_list_size == 16u << 20 && list_reader::max_names == 4096 &&
                  list_reader::max_listed_entries == 100000 &&
                  list_reader::max_listed_bytes == 16u << 20,
              "a bound changed: change the words that name it");

constexpr std::string_view keep_it = "请不要删除这个文件，其中还登记着其他插件。";

constexpr problem_words problem_texts[] = {
    {list_reader::verdict::too_large, "文件大于16 MiB的上限",
     "{list}大于16 MiB，不像是办公套件的插件列表，安装程序没有修改它。请检查这个文件。"},
    {list_reader::verdict::malformed, "第{line}行有XML格式错误：{detail}",
     "{list}的第{line}行有XML格式错误，安装程序没有修改它。请用文本编辑器修正这一行后再试。{keep}"},
    {list_reader::verdict::malformed,
     "第{begins_line}行开始的标记有XML格式错误，在第{line}行发现：{detail}",
     "{list}的第{begins_line}行开始的标记有XML格式错误，在第{line}"
     "行发现，安装程序没有修改它。请用文本编辑器修正第{begins_line}行到第{line}行后再试。{keep}",
     true},
    {list_reader::verdict::not_jsplugins, "第{line}行的根元素不是<jsplugins>",
     "{list}不是办公套件的插件列表：其中的内容是另一种文件，安装程序没有修改它。请检查这个文件是"
     "从哪里来的。"},
    {list_reader::verdict::not_utf8,
     "XML声明的编码是{detail}，不是UTF-8。请用文本编辑器另存为UTF-8后再试。",
     "{list}声明的编码是{detail}，不是UTF-8，安装程序没有修改它。请用文本编辑器把它另存为"
     "UTF-8编码后再试。{keep}"},
    {list_reader::verdict::entity_declared, "第{line}行声明了实体",
     "{list}的第{line}"
     "行声明了实体。这样的列表可能耗尽内存，安装程序不读取它，也没有修改它。请删除这"
     "个声明后再试。{keep}"},
    {list_reader::verdict::too_many_attributes, "第{line}行的标签属性过多",
     "{list}第{line}"
     "行的标签属性过多，不像是办公套件写下的，安装程序没有修改它。请检查这一行后再试。"
     "{keep}"},
    {list_reader::verdict::too_deep, "第{line}行的元素嵌套过深",
     "{list}第{line}"
     "行的元素嵌套过深，不像是办公套件写下的，安装程序没有修改它。请检查这个文件后再试。"
     "{keep}"},
    {list_reader::verdict::too_many_names, "第{line}行：不同的名称超过4096个的上限",
     "{list}第{line}"
     "行之前用到的元素和属性名称超过4096个，不像是办公套件写下的，安装程序没有修改它。请检查这个文"
     "件后再试。{keep}"},
    {list_reader::verdict::too_many_entries, "第{line}行：插件条目超过100000个或16 MiB的上限",
     "{list}登记的插件超过100000个或16 MiB，不像是办公套件写下的，安装程序没有列出它们。请检查这个"
     "文件。{keep}"},
    {list_reader::verdict::grows_too_large, "修改后的文件将大于16 MiB的上限，XML文件保持原样",
     "加入Quillora插件后，{list}将大于16 MiB的上限，安装程序没有修改它。请检查这个文件。{keep}"},
    {list_reader::verdict::no_place, "找不到放置Quillora插件节点的位置",
     "安装程序在{list}中找不到放置Quillora插件的位置，没有修改它。请检查这个文件后再试。{keep}"},
};

// The row for a list's fault: its verdict's, or the one for markup begun earlier where the
// markup began so and the verdict has such a row.
const problem_words* problem_words_of(const failure& f) {
  const problem_words* found = nullptr;
  for (const problem_words& words : problem_texts) {
    if (words.problem == f.problem && (!words.begun_earlier || f.begins_line != 0) &&
        (found == nullptr || words.begun_earlier))
      found = &words;
  }
  return found;
}

// Why a step failed, past the list's own faults: the console's reason and the notice's sentence.
struct cause_words {
  cause why;
  std::string_view console;
  std::string_view notice;
};

constexpr cause_words cause_texts[] = {
    {cause::not_regular, "不是普通文件",
     "{list}不是普通文件，安装程序没有修改它。请检查这个位置上的文件。"},
    {cause::check_failed, "修改后的文件未通过检查，XML文件保持原样",
     "修改后的{list}没有通过检查，原来的列表保持不变。请把这个文件发给技术支持。"},
    {cause::lock_timeout, "等待超过{seconds}秒，另一个安装程序仍在修改XML文件",
     "另一个安装程序一直在修改{list}。请等它结束后再试。"},
    {cause::dangling_link, "链接指向的文件不存在",
     "{list}是一个链接，但它指向的文件不存在。请修正这个链接后再试。"},
    {cause::is_link, "是符号链接",
     "要创建的文件夹{file}是一个符号链接，安装程序不会经过它创建文件夹。请检查这个链接。"},
    {cause::not_roots, "此文件夹不属于root，请用--user指定用户",
     "{file}不属于root，安装程序没有以root身份修改其中的插件列表。请用--user指定该用户后再试。"},
    {cause::others_may_write, "其他用户可以写入此文件夹，请用--user指定用户",
     "其他用户可以写入{file}，安装程序没有以root身份修改其中的插件列表。请用--"
     "user指定用户后再试。"},
    {cause::unknown_user, "",
     "系统中没有用户{file}，安装程序没有修改任何插件列表。请检查用户名后再试。"},
    {cause::no_account, "用户数据库中没有该用户",
     "用户主目录的所有者（用户编号{file}）在系统中没有账户，安装程序没有修改任何插件列表。请用--"
     "user指定用户后再试。"},
    {cause::root_regained, "仍能恢复root权限",
     "安装程序无法彻底放弃root权限，为了安全没有修改任何插件列表。请检查系统的权限设置。"},
    {cause::run_timeout, "超过{seconds}秒仍未结束，已终止",
     "为用户{file}运行的安装程序超过{seconds}秒仍未结束，已被终止。请稍后再试。"},
    {cause::killed, "{signal}",
     "为用户{file}运行的安装程序异常结束（{signal}），插件列表可能没有修改。请再试一次。"},
};

// What the notice says where the system refused a step on a list, for the causes she may meet:
// what happened and what to do, the system's own words left to the console and --json. {kept}
// says that the list is as it was, where it is; {kept_it} the same of the list just named.
struct error_words {
  int error;
  std::string_view notice;
};

constexpr std::string_view no_permission_notice =
    "没有权限修改{list}。请检查这个文件及其所在文件夹的权限，或者请管理员为您安装。";

constexpr error_words error_texts[] = {
    {EACCES, no_permission_notice},
    {EPERM, no_permission_notice},
    {EROFS, "{list}所在的文件系统是只读的。{kept_it}请让管理员把它挂载为可写后再试。"},
    {ENOSPC, "磁盘已满。{kept}请腾出一些磁盘空间后再试。"},
    {EDQUOT, "您的磁盘配额已经用完。{kept}请删除一些文件，或者请管理员增加配额后再试。"},
    {ELOOP,
     "{list}是一个绕回自身的链接，或者要经过太多层链接才能找到文件。{kept_it}"
     "请修正这个链接后再试。"},
    {ENOENT, "{list}或它所在的文件夹找不到了。{kept_it}请启动一次办公套件后再试。"},
    {EISDIR, "{list}是一个文件夹，而不是文件。{kept_it}请检查这个位置后再试。"},
    {ENOTDIR, "{list}的路径上有一个文件占着文件夹的位置。{kept_it}请检查这个路径后再试。"},
    {EIO, "读写{list}时发生了输入/输出错误，磁盘可能有故障。{kept}请检查磁盘后再试。"},
    {ENAMETOOLONG, "{list}的路径太长，系统无法处理。{kept_it}请缩短链接指向的路径后再试。"},
};
// Where a file stands in the place of the suite's folder, which the suite then can't make either.
constexpr std::string_view folder_is_file_notice =
    "~/{folder}的路径上有一个文件占着文件夹的位置，办公套件和安装程序都无法在那里创建插件列表。请"
    "检查并移开这个文件，启动一次办公套件后再试。";
constexpr std::string_view no_suite_notice =
    "没有找到办公套件的插件文件夹：办公套件还没有启动过。请先启动一次办公套件，关闭它，然后再安装"
    "。";
constexpr std::string_view no_home_notice =
    "没有设置用户主目录（环境变量HOME），安装程序不知道要修改哪个列表。请在登录后的桌面中运行安装程"
    "序。";
constexpr std::string_view home_notice =
    "无法进入用户主目录{file}：{reason}。请检查这个文件夹，或者请管理员帮助。";
constexpr std::string_view other_notice = "{line}。{kept}";
// Root's own failures before any list was reached.
constexpr std::string_view root_notice = "{line}。安装程序没有修改任何插件列表。";

// The system's reason in words a person reads, for the errors a home or a list meets most.
std::string reason_of(int error) {
  switch (error) {
    case ENOENT:
      return "文件夹不存在";
    case ENOTDIR:
      return "不是文件夹";
    case EACCES:
    case EPERM:
      return "没有权限";
    case ELOOP:
      return "链接绕回自身或层数太多";
    case ENAMETOOLONG:
      return "路径太长";
    case EIO:
      return "输入/输出错误";
    default:
      break;
  }
  return std::strerror(error);
}

// The signal that ended a run for a user, as the system names it.
std::string signal_name(const failure& f) {
  return f.why == cause::killed ? strsignal(f.error) : std::string();
}

// Why, after the file's "："; empty for a step that says all.
std::string cause_text(const failure& f) {
  if (f.why == cause::system) {
    const std::string reason = f.error != 0 ? std::strerror(f.error) : std::string();
    return f.detail.empty() ? reason : f.detail + "：" + reason;
  }
  if (f.why == cause::list_problem) {
    if (const problem_words* words = problem_words_of(f))
      return filled(words->console, {{"{line}", std::to_string(f.line)},
                                     {"{begins_line}", std::to_string(f.begins_line)},
                                     {"{detail}", f.detail}});
    return std::strerror(EIO);
  }
  for (const cause_words& words : cause_texts) {
    if (words.why == f.why)
      return filled(words.console,
                    {{"{seconds}", std::to_string(f.seconds)}, {"{signal}", signal_name(f)}});
  }
  return {};
}

// A list as a person finds it: the home's own as a path under ~, a sandbox's by its app.
std::string list_name(const list_record& l) {
  if (!l.sandbox.empty())
    return "沙盒应用" + printable(l.sandbox) + "的插件列表~/" + printable(l.path);
  return "插件列表~/" + printable(l.path);
}

// The notice's sentence for the failure `f` of the list `l` (none for the home's own failures).
std::string failure_sentence(const failure& f, const list_record* l) {
  const std::string list = l != nullptr ? list_name(*l) : std::string();
  const std::string kept = l != nullptr && !l->changed ? list + "保持原样。" : std::string();
  const auto fill = [&](std::string_view text) {
    return filled(text, {{"{list}", list},
                         {"{line}", std::to_string(f.line)},
                         {"{begins_line}", std::to_string(f.begins_line)},
                         {"{file}", printable(f.file)},
                         {"{seconds}", std::to_string(f.seconds)},
                         {"{signal}", signal_name(f)},
                         {"{keep}", f.others > 0 ? std::string(keep_it) : std::string()},
                         {"{kept}", kept},
                         {"{kept_it}", kept.empty() ? "" : "它保持原样。"},
                         {"{detail}", f.detail}});  // last: it is the list's own words
  };
  if (f.at == step::home_unset)
    return std::string(no_home_notice);
  if (f.at == step::enter_home || f.at == step::user_home)
    return filled(home_notice, {{"{file}", printable(f.file)}, {"{reason}", reason_of(f.error)}});
  if (f.at == step::create_list && f.error == ENOTDIR)
    return filled(folder_is_file_notice,
                  {{"{folder}", printable(f.file.substr(0, f.file.rfind('/')))}});
  if (f.at == step::create_list)
    return std::string(no_suite_notice);
  if (f.why == cause::list_problem) {
    if (const problem_words* words = problem_words_of(f))
      return fill(words->notice);
  }
  for (const cause_words& words : cause_texts) {
    if (words.why == f.why)
      return fill(words.notice);
  }
  if (l == nullptr)
    return filled(root_notice, {{"{line}", failure_line(f)}});
  for (const error_words& words : error_texts) {
    if (words.error == f.error)
      return fill(words.notice);
  }
  return filled(other_notice, {{"{line}", failure_line(f)}, {"{kept}", kept}});
}

// The lists that changed, named one after another with "、".
std::string changed_names(const run_report& run) {
  std::string names;
  for (const list_record& l : run.lists) {
    if (l.changed)
      names += (names.empty() ? "" : "、") + list_name(l);
  }
  return names;
}

}  // namespace

std::string_view texts::state_text(addon_state state) {
  switch (state) {
    case addon_state::enabled:
      return "已注册，已启用";
    case addon_state::disabled:
      return "已注册，未启用";
    case addon_state::absent:
      break;
  }
  return "未注册";
}

std::string failure_line(const failure& f) {
  std::string line;
  for (const step_words& words : step_texts) {
    if (words.at == f.at)
      line = words.console;
  }
  // The console's line for a home that can't be entered has always been these words alone.
  if (f.at == step::enter_home)
    return line;
  if (!f.file.empty())
    line.append("：").append(printable(f.file));
  const std::string why = cause_text(f);
  if (!why.empty())
    line.append("：").append(printable(why));
  return line;
}

std::string failure_line_for_scripts(const failure& f) {
  if (f.at != step::enter_home)
    return failure_line(f);
  return failure_line(f) + "：" + printable(f.file) + "：" + std::strerror(f.error);
}

std::string notice_text(const run_report& run) {
  const bool install = run.what == mode::install;
  const std::string changed_lists = changed_names(run);
  if (succeeded(run)) {
    if (changed_lists.empty() && install)
      return "Quillora插件此前已经安装，这次没有做任何修改。";
    // Uninstall leaves an entry that is not enabled as it is: the suite does not load it.
    if (changed_lists.empty())
      return overall_state(run) == addon_state::disabled
                 ? "插件列表中有未启用的Quillora插件条目，安装程序按原样保留了它，这次没有做任何修"
                   "改。"
                 : "Quillora插件现在没有安装，这次没有做任何修改。";
    return install ? "Quillora插件已添加到办公套件。请重新启动办公套件，之后即可使用。"
                   : "Quillora插件已从办公套件中移除。请重新启动办公套件使更改生效。";
  }
  std::string text;
  if (!changed_lists.empty()) {
    text = install ? "已在" + changed_lists + "中添加Quillora插件，请重新启动办公套件。"
                   : "已从" + changed_lists + "中移除Quillora插件，请重新启动办公套件。";
  }
  if (run.home_failed)
    return failure_sentence(*run.home_failed, nullptr);
  for (const list_record& l : run.lists) {
    if (l.failed)
      text += failure_sentence(*l.failed, &l);
  }
  return text;
}
