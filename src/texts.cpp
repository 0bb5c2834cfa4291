// The console's words for each step and cause, and the notice's sentences beside them.
#include "texts.hpp"

#include <cstring>

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
};

// What a list holds that keeps it from being read or edited, after "：".
std::string problem_text(const failure& f) {
  const std::string at = "第" + std::to_string(f.line) + "行";
  switch (f.problem) {
    case list_reader::verdict::too_large:
      return "文件大于" + std::to_string(list_reader::max_list_size >> 20) + " MiB的上限";
    case list_reader::verdict::malformed:
      return at + "有XML格式错误：" + f.detail;
    case list_reader::verdict::not_jsplugins:
      return at + "的根元素不是<jsplugins>";
    case list_reader::verdict::not_utf8:
      return "XML声明的编码不是UTF-8";
    case list_reader::verdict::entity_declared:
      return at + "声明了实体";
    case list_reader::verdict::too_many_attributes:
      return at + "的标签属性过多";
    case list_reader::verdict::no_place:
      return "找不到放置Quillora插件节点的位置";
    case list_reader::verdict::ok:
    case list_reader::verdict::read_failed:
      break;
  }
  return std::strerror(EIO);
}

// Why, after the file's "："; empty for a step that says all.
std::string cause_text(const failure& f) {
  switch (f.why) {
    case cause::system:
      return f.error != 0 ? std::strerror(f.error) : std::string();
    case cause::not_regular:
      return "不是普通文件";
    case cause::list_problem:
      return problem_text(f);
    case cause::check_failed:
      return "修改后的文件未通过检查，XML文件保持原样";
    case cause::lock_timeout:
      return "等待超过" + std::to_string(f.seconds) + "秒，另一个安装程序仍在修改XML文件";
    case cause::dangling_link:
      return "链接指向的文件不存在";
    case cause::is_link:
      return "是符号链接";
    case cause::not_roots:
      return "此文件夹不属于root，请用--user指定用户";
    case cause::others_may_write:
      return "其他用户可以写入此文件夹，请用--user指定用户";
  }
  return {};
}

// What a person can act on, each with the notice's sentence; {list} and {line} stand for the
// list and the line concerned.
enum class notice_kind { no_suite_folder, malformed, busy, no_permission, disk_full, other };

struct notice_words {
  notice_kind kind;
  std::string_view notice;
};

constexpr notice_words notice_texts[] = {
    {notice_kind::no_suite_folder,
     "没有找到办公套件的插件文件夹：办公套件还没有启动过。请先启动一次办公套件，关闭它，然后再安装"
     "。"},
    {notice_kind::malformed,
     "插件列表{list}的第{line}行有错误，这个列表保持原样。请修正或删除这个文件后再试。"},
    {notice_kind::busy, "另一个安装程序一直在修改插件列表。请等它结束后再试。"},
    {notice_kind::no_permission,
     "没有权限修改插件列表{list}。请以使用办公套件的用户身份运行安装程序。"},
    {notice_kind::disk_full, "磁盘已满，插件列表保持原样。请腾出一些磁盘空间后再试。"},
};

notice_kind kind_of(const failure& f) {
  if (f.at == step::create_list)
    return notice_kind::no_suite_folder;
  switch (f.why) {
    case cause::list_problem:
      return notice_kind::malformed;
    case cause::lock_timeout:
      return notice_kind::busy;
    case cause::system:
      if (f.error == EACCES || f.error == EPERM || f.error == EROFS)
        return notice_kind::no_permission;
      if (f.error == ENOSPC || f.error == EDQUOT)
        return notice_kind::disk_full;
      break;
    default:
      break;
  }
  return notice_kind::other;
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
  if (!f.file.empty() || f.at == step::enter_home) {
    // The console's line for a home that can't be entered has always been these words alone.
    if (f.at == step::enter_home)
      return line;
    line.append("：").append(printable(f.file));
  }
  const std::string why = cause_text(f);
  if (!why.empty())
    line.append("：").append(printable(why));
  return line;
}

std::string notice_text(const run_report& run) {
  const failure* f = last_failure(run);
  if (f == nullptr)
    return {};
  // The list that failed, as its record names it, whatever file of it the failure was in.
  std::string list = f->file;
  for (const list_record& l : run.lists) {
    if (l.failed && &*l.failed == f)
      list = l.path;
  }
  const notice_kind kind = kind_of(*f);
  for (const notice_words& words : notice_texts) {
    if (words.kind != kind)
      continue;
    std::string sentence(words.notice);
    const auto fill = [&sentence](std::string_view mark, const std::string& value) {
      const std::size_t at = sentence.find(mark);
      if (at != std::string::npos)
        sentence.replace(at, mark.size(), value);
    };
    fill("{list}", " " + printable(list) + " ");
    fill("{line}", std::to_string(f->line));
    return sentence;
  }
  return failure_line(*f);
}
