// Lists and home folders that no one means to have: odd bytes, odd line ends, huge lines, binary
// files, folders the user can't write, a HOME that points nowhere. The editor must give a clear
// result and never lose what was there.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <random>
#include <string>

#include "addon_list.hpp"
#include "editor.hpp"
#include "texts.hpp"
// Last: its failure() helper hides the editor's struct of that name.
#include "test_home.hpp"

namespace {

const std::string decl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
const std::string e(entry);
const std::string other =
    "  <jspluginonline enable=\"true\" install=\"https://other.example:9443\" "
    "url=\"https://other.example:9443/\" type=\"wps\" name=\"Other\"/>";
const std::string open_root = "<jsplugins>\n";
const std::string close_root = "</jsplugins>\n";
const std::string nul(1, '\0');

class BadInput : public TestHome {
 protected:
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
};

// What one mode does with a list: the console, and the list's bytes afterwards.
struct expect {
  enum { adds, removes, no_need, nothing, refused } what;
  std::string why;    // for refused: the reason after the list's path
  std::string after;  // the list afterwards; empty: exactly as it was
};

// Lists whose bytes are odd: the editor handles those that are XML and refuses the others, whose
// lists stay as they were; every case runs install and uninstall on the same bytes.
TEST_F(BadInput, OddBytesAreCopiedExactlyOrTheListIsRefusedUntouched) {
  const std::string bad_xml = "有XML格式错误：";
  const std::string bom = "\xEF\xBB\xBF";
  const std::string bad_utf8 = "<!-- \xff\xfe \xc3\x28 \xed\xa0\x80 \xf4\x90\x80\x80 -->\n";
  // An add-on whose name is cut in the middle of a character is not ours.
  const std::string cut_name =
      "  <jspluginonline url=\"https://c.example:1/\" name=\"Quillora\xe6\x8f\"/>\n";
  std::string binary(64 * 1024, '\0');
  std::mt19937 random(4);
  for (char& c : binary)
    c = static_cast<char>(random());
  ASSERT_EQ(binary.find("</jsplugins>"), std::string::npos);
  const std::string binary_why = "第1行" + bad_xml + "not well-formed (invalid token)";
  const std::string cr_list = "<?xml version=\"1.0\"?>\r<jsplugins>\r" + e + "\r</jsplugins>\r";
  const std::string with_nul = decl + open_root + "<!-- a" + nul + nul + "b -->\n" + other + "\n";
  const std::string gbk = "<?xml version=\"1.0\" encoding=\"GBK\"?>\n";
  const std::string lower = "<?xml version='1.0' encoding='utf-8' standalone='yes'?>\n";
  const auto not_utf8 = [](const std::string& name) {
    return "XML声明的编码是" + name + "，不是UTF-8。请用文本编辑器另存为UTF-8后再试。";
  };
  // A list in UTF-16 (little-endian, after its byte-order mark), ASCII as it is.
  const auto utf16 = [](const std::string& ascii) {
    std::string bytes = "\xff\xfe";
    for (const char c : ascii)
      bytes += std::string(1, c) + '\0';
    return bytes;
  };
  const std::string gb18030 = "<?xml version=\"1.0\" encoding=\"GB18030\"?>\n";
  const std::string entity = "<!DOCTYPE jsplugins [\n<!ENTITY a \"&#38;b;&#38;b;\">\n]>\n";
  std::string many = "<jsplugin";
  for (std::size_t i = 0; i <= list_reader::max_attributes; ++i)
    many += " a" + std::to_string(i) + "=\"\"";
  many += "/>\n";
  // The same in a tag longer than the reader's pieces: refused before the parser holds it whole.
  std::string long_tag = "<jsplugin";
  for (std::size_t i = 0; i < 8 * list_reader::max_attributes; ++i)
    long_tag += " a" + std::to_string(i) + "=\"" + std::string(100, '>') + "\"";
  long_tag += "/>\n";
  // `count` elements, each of a name of its own, on one line; with `attributes`, each tag holds an
  // attribute name of its own as well.
  const auto names = [](std::size_t count, bool attributes) {
    std::string line;
    for (std::size_t i = 0; i < count; ++i) {
      line += "<n" + std::to_string(i) + (attributes ? " a" + std::to_string(i) + "=\"\"" : "");
      line += "/>";
    }
    return line + "\n";
  };
  // The names beside jsplugins and the entry's element and five attributes.
  const std::size_t room = list_reader::max_names - 7;
  const std::string attributes_declared =
      "<!DOCTYPE jsplugins [\n<!ATTLIST jsplugin a CDATA \"1\" b CDATA \"2\">\n]>\n";
  // Elements nested `levels` deep with the root, the deepest alone on the line after the others.
  const auto nested = [](int levels) {
    std::string open, close;
    for (int i = 2; i < levels; ++i) {
      open += "<a>";
      close += "</a>";
    }
    return open + "\n<b/>\n" + close + "\n";
  };

  const struct {
    const char* name;
    std::string bytes;
    expect install;
    expect uninstall;
  } cases[] = {
      // Bytes that XML does not allow: the suite can't read such a list, so nothing is edited.
      {"NUL bytes in other lines",
       with_nul + close_root,
       {expect::refused, "第3行" + bad_xml + "not well-formed (invalid token)", ""},
       {expect::refused, "第3行" + bad_xml + "not well-formed (invalid token)", ""}},
      {"NUL byte behind the entry",
       decl + open_root + e + nul + "\n" + close_root,
       {expect::refused, "第3行" + bad_xml + "not well-formed (invalid token)", ""},
       {expect::refused, "第3行" + bad_xml + "not well-formed (invalid token)", ""}},
      {"invalid UTF-8",
       decl + open_root + bad_utf8 + cut_name + e + "\n" + close_root,
       {expect::refused, "第3行" + bad_xml + "not well-formed (invalid token)", ""},
       {expect::refused, "第3行" + bad_xml + "not well-formed (invalid token)", ""}},
      {"byte-order mark",
       bom + decl + open_root + other + "\n" + close_root,
       {expect::adds, "", bom + decl + open_root + other + "\n" + e + "\n" + close_root},
       {expect::nothing, "", ""}},
      {"byte-order mark alone",
       bom,
       {expect::refused, "第1行" + bad_xml + "no element found", ""},
       {expect::refused, "第1行" + bad_xml + "no element found", ""}},
      // CRs alone end no line: the whole list is one line, the entry among other markup.
      {"CR line ends",
       cr_list,
       {expect::no_need, "", ""},
       {expect::removes, "", "<?xml version=\"1.0\"?>\r<jsplugins>\r\r</jsplugins>\r\n"}},
      {"CR line ends, no entry",
       "<jsplugins>\r" + other + "\r</jsplugins>\r",
       {expect::adds, "", "<jsplugins>\r" + other + "\r\n" + e + "\n</jsplugins>\r\n"},
       {expect::nothing, "", ""}},
      {"binary file", binary, {expect::refused, binary_why, ""}, {expect::refused, binary_why, ""}},
      // The entry's UTF-8 would be garbled, or invalid, in a list declared in another encoding;
      // one that expat does not read is refused in every mode, since it would misread it.
      {"declared in GBK",
       gbk + open_root + other + "\n" + close_root,
       {expect::refused, not_utf8("GBK"), ""},
       {expect::refused, not_utf8("GBK"), ""}},
      {"declared in GB18030, with its own bytes",
       gb18030 + open_root + "<jsplugin name=\"\xb2\xe5\xbc\xfe\"/>\n" + close_root,
       {expect::refused, not_utf8("GB18030"), ""},
       {expect::refused, not_utf8("GB18030"), ""}},
      {"declared in windows-1252",
       "<?xml version='1.0' encoding='windows-1252'?>\n" + open_root + "<!-- caf\xe9 -->\n" +
           close_root,
       {expect::refused, not_utf8("windows-1252"), ""},
       {expect::refused, not_utf8("windows-1252"), ""}},
      {"declared in UTF-16",
       utf16("<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n<jsplugins>\n</jsplugins>\n"),
       {expect::refused, not_utf8("UTF-16"), ""},
       {expect::nothing, "", ""}},
      {"declared as UTF8, a spelling of UTF-8",
       "<?xml version=\"1.0\" encoding=\"UTF8\"?>\n" + open_root + close_root,
       {expect::adds, "",
        "<?xml version=\"1.0\" encoding=\"UTF8\"?>\n" + open_root + e + "\n" + close_root},
       {expect::nothing, "", ""}},
      {"declared in UTF-16 after a byte-order mark",
       bom + "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n" + open_root + close_root,
       {expect::refused, "第1行" + bad_xml + "encoding specified in XML declaration is incorrect",
        ""},
       {expect::refused, "第1行" + bad_xml + "encoding specified in XML declaration is incorrect",
        ""}},
      {"declared in ISO-8859-1 over two lines",
       "<?xml version=\"1.0\"\n encoding = 'ISO-8859-1' ?>\n" + open_root + close_root,
       {expect::refused, not_utf8("ISO-8859-1"), ""},
       {expect::nothing, "", ""}},
      {"declared in ISO-8859-1, with the entry",
       "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n" + open_root +
           "<jsplugin name=\"x\"/>\n" + e + "\n" + close_root,
       {expect::refused, not_utf8("ISO-8859-1"), ""},
       {expect::nothing, "", ""}},
      {"declared in GBK, with the entry",
       gbk + open_root + e + "\n" + close_root,
       {expect::refused, not_utf8("GBK"), ""},
       {expect::refused, not_utf8("GBK"), ""}},
      // Bounds that no list reaches: declared entities, which could expand without end, more
      // attributes in a tag than any entry has, and elements nested deeper than any list's.
      {"an entity declared",
       decl + entity + open_root + e + "\n&a;\n" + close_root,
       {expect::refused, "第3行声明了实体", ""},
       {expect::refused, "第3行声明了实体", ""}},
      {"too many attributes",
       decl + open_root + many + e + "\n" + close_root,
       {expect::refused, "第3行的标签属性过多", ""},
       {expect::refused, "第3行的标签属性过多", ""}},
      {"too many attributes in a long tag",
       decl + open_root + other + "\n" + long_tag + e + "\n" + close_root,
       {expect::refused, "第4行的标签属性过多", ""},
       {expect::refused, "第4行的标签属性过多", ""}},
      {"nested as deep as allowed",
       decl + open_root + nested(256) + close_root,
       {expect::adds, "", decl + open_root + nested(256) + e + "\n" + close_root},
       {expect::nothing, "", ""}},
      {"nested too deep",
       decl + open_root + nested(257) + e + "\n" + close_root,
       {expect::refused, "第4行的元素嵌套过深", ""},
       {expect::refused, "第4行的元素嵌套过深", ""}},
      // expat keeps a table entry for each distinct name as long as it reads: the entry is the
      // name past the bound.
      {"as many distinct names as allowed",
       decl + open_root + names(room, false) + e + "\n" + close_root,
       {expect::no_need, "", ""},
       {expect::removes, "", decl + open_root + names(room, false) + close_root}},
      {"more distinct element names than allowed",
       decl + open_root + names(room + 1, false) + e + "\n" + close_root,
       {expect::refused, "第4行：不同的名称超过4096个的上限", ""},
       {expect::refused, "第4行：不同的名称超过4096个的上限", ""}},
      {"more distinct attribute names than allowed",
       decl + open_root + other + "\n" + names(room / 2 + 1, true) + close_root,
       {expect::refused, "第4行：不同的名称超过4096个的上限", ""},
       {expect::refused, "第4行：不同的名称超过4096个的上限", ""}},
      {"attributes declared with defaults",
       decl + attributes_declared + open_root + other + "\n" + close_root,
       {expect::adds, "",
        decl + attributes_declared + open_root + other + "\n" + e + "\n" + close_root},
       {expect::nothing, "", ""}},
      {"declared in lower-case utf-8",
       lower + open_root + close_root,
       {expect::adds, "", lower + open_root + e + "\n" + close_root},
       {expect::nothing, "", ""}},
  };
  for (const auto& c : cases) {
    for (const mode edit : {mode::install, mode::uninstall}) {
      SCOPED_TRACE(std::string(c.name) + (edit == mode::install ? ", install" : ", uninstall"));
      put_list(c.bytes);
      const expect& x = edit == mode::install ? c.install : c.uninstall;
      const std::string head = head_lines();
      switch (x.what) {
        case expect::adds:
          EXPECT_EQ(run(edit), succeeded(head + "已添加Quillora插件节点\n"));
          EXPECT_EQ(did(), action::added);
          break;
        case expect::removes:
          EXPECT_EQ(run(edit), succeeded(head + "包含Quillora插件节点，需删除\n"));
          EXPECT_EQ(did(), action::removed);
          break;
        case expect::no_need:
          EXPECT_EQ(run(edit), succeeded(head + "包含Quillora插件节点，无需添加\n"));
          EXPECT_EQ(did(), action::kept);
          break;
        case expect::nothing:
          EXPECT_EQ(run(edit), succeeded(head));
          EXPECT_EQ(did(), action::none);
          break;
        case expect::refused:
          EXPECT_EQ(run(edit), failed(head, failure("无法修改XML文件", x.why)));
          EXPECT_TRUE(last_.lists.at(0).failed.has_value());
          EXPECT_TRUE(last_.lists.at(0).found) << "the list was there, refused or not";
          EXPECT_FALSE(last_.lists.at(0).changed);
          break;
      }
      EXPECT_EQ(read_bytes(list()), x.after.empty() ? c.bytes : x.after);
      EXPECT_FALSE(exists(temp()));
    }
  }
  std::printf("bad input: %zu lists of odd bytes, each installed into and uninstalled from\n",
              std::size(cases));
}

// No add-on list is megabytes long: a larger file is refused before it is read whole, also one
// that says nothing of its size.
TEST_F(BadInput, ListOverTheSizeLimitIsRefusedUntouched) {
  const std::string too_large = "文件大于16 MiB的上限";
  std::string big = decl + open_root + "<!-- ";
  big.append((16u << 20) + 1 - big.size() - 4 - close_root.size(), 'x');
  big += " -->" + close_root;
  ASSERT_EQ(big.size(), (16u << 20) + 1);
  put_list(big);
  for (const mode edit : {mode::install, mode::uninstall})
    EXPECT_EQ(run(edit), failed(head_lines(), failure("无法读取XML文件", too_large)));
  EXPECT_TRUE(read_bytes(list()) == big) << "the list changed";
  EXPECT_FALSE(exists(temp()));
  // A list of exactly the bound is read, and install refuses it for what the entry would make of
  // it; uninstall, which shrinks it, takes the entry out.
  std::string full = decl + open_root + e + "\n<!-- ";
  full.append((16u << 20) - full.size() - 5 - close_root.size(), 'x');
  full += " -->\n" + close_root;
  ASSERT_EQ(full.size(), 16u << 20);
  std::string without = full;
  without.replace(without.find(e), e.size() + 1, std::string(e.size() + 1, 'x'));
  put_list(without);
  EXPECT_EQ(run(mode::install),
            failed(head_lines(),
                   failure("无法修改XML文件", "修改后的文件将大于16 MiB的上限，XML文件保持原样")));
  EXPECT_TRUE(read_bytes(list()) == without) << "the list changed";
  EXPECT_FALSE(exists(temp()));
  put_list(full);
  EXPECT_EQ(run(mode::uninstall), succeeded(head_lines() + "包含Quillora插件节点，需删除\n"));
  EXPECT_EQ(read_bytes(list()).size(), full.size() - e.size() - 1);
  // A file that reports no size and holds far more: read up to a bound, never to its end.
  ASSERT_EQ(unlink(list().c_str()), 0);
  ASSERT_EQ(symlink("/proc/self/pagemap", list().c_str()), 0);
  edit_request status;
  status.home_path = home_variable();
  status.what = mode::status;
  const run_report read = ::run_editor(status);
  ASSERT_EQ(read.lists.size(), 1u);
  ASSERT_TRUE(read.lists[0].failed);
  const std::string err = failure_line(*read.lists[0].failed);
  EXPECT_EQ(err.rfind("无法读取XML文件：", 0), 0u) << err;
  std::printf("bad input: lists over the size limit\n");
}

// The user can read the list but not write its folder: no copy can be made beside it.
TEST_F(BadInput, ReadOnlyFolderLeavesListAsItWas) {
  const std::string lists[] = {decl + open_root + other + "\n" + close_root,
                               decl + open_root + e + "\n" + close_root};
  make_list_folder();
  for (std::string path = folder(); path.size() > home_.size(); path.erase(path.rfind('/')))
    ASSERT_EQ(chmod(path.c_str(), 0755), 0) << path;
  ASSERT_EQ(chmod(home_.c_str(), 0755), 0);
  for (const mode edit : {mode::install, mode::uninstall}) {
    SCOPED_TRACE(edit == mode::install ? "install" : "uninstall");
    ASSERT_EQ(chmod(folder().c_str(), 0755), 0);
    put_list(lists[edit == mode::install ? 0 : 1]);
    if (geteuid() == 0) {  // root writes any folder: the run is made as another user
      ASSERT_EQ(chown(folder().c_str(), nobody, nobody), 0);
      ASSERT_EQ(chown(list().c_str(), nobody, nobody), 0);
    }
    ASSERT_EQ(chmod(folder().c_str(), 0555), 0);
    EXPECT_EQ(in_child([edit] {
                become_nobody();
                return succeeded(run_printing(edit));
              }),
              failed(edit == mode::install ? head_lines()
                                           : head_lines() + "包含Quillora插件节点，需删除\n",
                     failure("无法创建临时文件", "Permission denied",
                             ".local/share/Kingsoft/wps/jsaddons/publish.xml.tmp")));
    EXPECT_EQ(read_bytes(list()), lists[edit == mode::install ? 0 : 1]);
    EXPECT_FALSE(exists(temp()));
  }
  std::printf("bad input: install and uninstall in a read-only folder, as %s\n",
              geteuid() == 0 ? "user nobody" : "the test's user");
}

// HOME that leads nowhere usable stops the run before any file is touched; a relative HOME is
// taken from the folder the program was started in.
TEST_F(BadInput, HomeThatIsNoFolderStopsBeforeTouchingFiles) {
  write_bytes(at("plain-file"), "not a folder");
  // A name with a line end, a terminal's escape sequence or a control that hides or turns text
  // in it is printed escaped.
  const struct {
    std::string home;
    std::string printed;
  } homes[] = {
      {at("no-such-folder"), at("no-such-folder")},
      {at("plain-file"), at("plain-file")},
      {at("a\n已添加Quillora插件节点\x1b[31m\xff"), at("a\\n已添加Quillora插件节点\\x1b[31m\\xff")},
      // C1's CSI, a bidirectional override, a line separator, then bytes that are no
      // UTF-8: an overlong "/" and a lone continuation byte (CSI for 8-bit terminals).
      {at("clear\u009b2J"), at("clear\\u009b2J")},
      {at("\u202ecod.exe"), at("\\u202ecod.exe")},
      {at("one\u2028two"), at("one\\u2028two")},
      {at("..\xc0\xaf.."), at("..\\xc0\\xaf..")},
      {at("lone\x9b[2J"), at("lone\\x9b[2J")}};
  for (const auto& h : homes) {
    SCOPED_TRACE(h.printed);
    setenv("HOME", h.home.c_str(), 1);
    EXPECT_EQ(run(mode::install),
              failed("用户主目录路径：" + h.printed + "\n", "无法更改工作目录\n"));
  }
  EXPECT_FALSE(exists(at("no-such-folder")));
  EXPECT_EQ(read_bytes(at("plain-file")), "not a folder");

  make_dirs(at("relative/home/.local/share/Kingsoft/wps/jsaddons"));
  const std::string bytes = decl + open_root + close_root;
  write_bytes(at("relative/home/.local/share/Kingsoft/wps/jsaddons/publish.xml"), bytes);
  ASSERT_EQ(chdir(home_.c_str()), 0);
  setenv("HOME", "relative/home", 1);
  EXPECT_EQ(run(mode::install), succeeded("用户主目录路径：relative/home\n当前工作目录：" + home_ +
                                          "/relative/home\n已添加Quillora插件节点\n"));
  EXPECT_EQ(read_bytes(at("relative/home/.local/share/Kingsoft/wps/jsaddons/publish.xml")),
            decl + open_root + e + "\n" + close_root);
  std::printf("bad input: HOME missing, a regular file, relative\n");
}

}  // namespace
