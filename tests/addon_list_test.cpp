// The line tests and the streamed rewrite, on lists held in memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "addon_list.hpp"
#include "line_model.hpp"
#include "test_home.hpp"

namespace {

using line_model::rewrite;
using line_model::rewritten;

std::string install(const std::string& list) {
  const rewritten r = rewrite(list, true);
  EXPECT_EQ(r.status, rewrite_status::done) << "refused at line " << r.line;
  return r.bytes;
}

std::string uninstall(const std::string& list) {
  const rewritten r = rewrite(list, false);
  EXPECT_EQ(r.status, rewrite_status::done) << "refused at line " << r.line;
  return r.bytes;
}

scan_result scan(const std::string& list) {
  std::istringstream in(list);
  return scan_list(in);
}

const std::string e(entry);
const std::string disabled =
    "  <jspluginonline enable=\"false\" install=\"https://q.example:1\" "
    "url=\"https://q.example:1/\" "
    "type=\"wps\" name=\"Quillora插件\"/>";
const std::string other =
    "  <jspluginonline enable=\"true\" url=\"https://o.example:1/\" name=\"Other\"/>";

// The reader's buffer: a longer line is handled piece by piece, with pieces starting at
// multiples of this offset into the line.
constexpr std::size_t piece = 128 * 1024;

// A line of `size` bytes that holds `text` at `offset`, padded with 'x' inside an attribute.
std::string long_line(const std::string& head, const std::string& text, std::size_t offset,
                      const std::string& end, std::size_t size) {
  std::string line = head + " a=\"";
  line.append(offset - line.size(), 'x');
  line += text;
  line.append(size - line.size() - end.size() - 1, 'x');
  return line + "\"" + end;
}

}  // namespace

TEST(EntryLine, FindsTheThreeNeedlesInAnyOrderAndIndentation) {
  EXPECT_TRUE(is_entry_line(e));
  EXPECT_TRUE(is_entry_line("\t \tname=\"Quillora插件\" jspluginonline"));
  EXPECT_TRUE(is_entry_line("Quillora插件 <jspluginonline name=\"x\"/>"));
  // Another add-on's line that happens to hold all three counts as ours.
  EXPECT_TRUE(is_entry_line("<jspluginonline name=\"Other\" url=\"https://h:1/Quillora插件\"/>"));
  EXPECT_FALSE(is_entry_line("<jspluginonline name='Quillora插件'/>"));
  EXPECT_FALSE(is_entry_line("<jspluginonline NAME=\"Quillora插件\"/>"));
  EXPECT_FALSE(is_entry_line("<jsplugin name=\"Quillora插件\"/>"));
  EXPECT_FALSE(is_entry_line(other));
}

TEST(EnabledEntry, FalseAnywhereOnTheLineMeansNotEnabled) {
  EXPECT_TRUE(is_enabled_entry(e));
  EXPECT_FALSE(is_enabled_entry(disabled));
  EXPECT_FALSE(is_enabled_entry(
      "<jspluginonline enable=\"true\" note=\"falsetto\" name=\"Quillora插件\"/>"));
  EXPECT_TRUE(is_enabled_entry("<jspluginonline enable=\"FALSE\" name=\"Quillora插件\"/>"));
  EXPECT_FALSE(is_enabled_entry(other));
}

TEST(ClosingLine, IsAnyLineHoldingTheClosingTag) {
  EXPECT_TRUE(is_closing_line("</jsplugins>"));
  EXPECT_TRUE(is_closing_line("\t</jsplugins>\r"));
  EXPECT_FALSE(is_closing_line("</jsplugins >"));
  EXPECT_FALSE(is_closing_line("<jsplugins>"));
}

TEST(Skeleton, IsFourLfLinesWithTheEntryUnindented) {
  EXPECT_EQ(list_skeleton(), std::string(skeleton));
  EXPECT_EQ(list_skeleton().find('\r'), std::string::npos);
  EXPECT_EQ(std::string(addon_entry()), e);
  // The origin is one constant: install without, url with the trailing slash.
  EXPECT_NE(e.find("install=\"" QUILLORA_ORIGIN "\" url=\"" QUILLORA_ORIGIN "/\""),
            std::string::npos);
}

TEST(Install, PutsTheEntryDirectlyBeforeTheFirstClosingLine) {
  EXPECT_EQ(install("<?xml version=\"1.0\"?>\n<jsplugins>\n" + other + "\n    </jsplugins>\n"),
            "<?xml version=\"1.0\"?>\n<jsplugins>\n" + other + "\n" + e + "\n    </jsplugins>\n");
  // Only before the first one; a second closing line (in a comment, say) stays as it was.
  EXPECT_EQ(install("<jsplugins>\n</jsplugins>\n<!-- </jsplugins> -->\n"),
            "<jsplugins>\n" + e + "\n</jsplugins>\n<!-- </jsplugins> -->\n");
}

TEST(Install, ReplacesDisabledEntriesWithOneEnabledEntry) {
  EXPECT_EQ(
      install("<jsplugins>\n" + disabled + "\n" + other + "\n" + disabled + "\n</jsplugins>\n"),
      "<jsplugins>\n" + other + "\n" + e + "\n</jsplugins>\n");
}

TEST(Install, CopiesEveryOtherLineByteForByte) {
  static const char raw[] = "<!-- \0 \xff\xfe bytes -->";
  const std::string odd(raw, sizeof raw - 1);
  const std::string bom = "\xEF\xBB\xBF<?xml version=\"1.0\"?>";
  EXPECT_EQ(install(bom + "\r\n<jsplugins>\r\n\r\n" + odd + "\n\n</jsplugins>\r\n"),
            bom + "\r\n<jsplugins>\r\n\r\n" + odd + "\n\n" + e + "\n</jsplugins>\r\n");
  // A last line without LF gains one; a lone CR is no line end.
  EXPECT_EQ(install("<jsplugins>\r</x>\n</jsplugins>"),
            "<jsplugins>\r</x>\n" + e + "\n</jsplugins>\n");
}

TEST(Uninstall, DropsEveryEntryLineEnabledOrNot) {
  EXPECT_EQ(uninstall("<jsplugins>\n" + e + "\n" + other + "\n" + disabled + "\n\t" + e +
                      "\r\n</jsplugins>"),
            "<jsplugins>\n" + other + "\n</jsplugins>\n");
}

TEST(Rewrite, RefusesListsWhereALineHoldsMoreThanTheEntry) {
  // Removing these lines would take the root or other elements with them.
  for (const std::string& list : std::initializer_list<std::string>{
           "<?xml version=\"1.0\"?><jsplugins>" + e + "</jsplugins>\n",
           "<jsplugins>\n" + e + "<jspluginonline name=\"Other\"/>\n</jsplugins>\n",
           "<jsplugins>\n<jspluginonline name=\"Quillora插件\"\n  "
           "enable=\"true\"/>\n</jsplugins>\n",
           "<jsplugins>\n<!-- " + e + " -->\n</jsplugins>\n",
           // The first line of a comment, an instruction or a character section that goes on
           // below: removing it would make the rest of it live markup or text.
           "<jsplugins>\n<!-- jspluginonline name=\"Quillora插件\"/>\n<a/> -->\n</jsplugins>\n",
           "<jsplugins>\n<?note jspluginonline name=\"Quillora插件\"/>\n?>\n</jsplugins>\n",
           "<jsplugins>\n<![CDATA[ jspluginonline name=\"Quillora插件\"/>\n]]>\n</jsplugins>\n",
           "<jsplugins>\n</jsplugins> jspluginonline name=\"Quillora插件\"/>\n",
           // A value that goes on below, and text behind the element.
           "<jsplugins>\n<jspluginonline name=\"Quillora插件\" note=\"a/>\nb\"/>\n</jsplugins>\n",
           "<jsplugins>\n" + e + " and text/>\n</jsplugins>\n",
       }) {
    EXPECT_EQ(rewrite(list, false).status, rewrite_status::entry_shares_line) << list;
    EXPECT_NE(rewrite(list, true).status, rewrite_status::done) << list;
  }
  EXPECT_EQ(rewrite("<a>\n<jsplugins>\n" + e + "</jsplugins>\n</a>\n", false).line, 3u);
}

TEST(Install, RefusesListsWithoutAPlaceInsideTheRoot) {
  EXPECT_EQ(rewrite("<jsplugins/>\n", true).status, rewrite_status::no_closing_line);
  EXPECT_EQ(rewrite("<jsplugins>\n" + other + "\n", true).status, rewrite_status::no_closing_line);
  const rewritten one_line = rewrite("<?xml version=\"1.0\"?>\n<jsplugins></jsplugins>\n", true);
  EXPECT_EQ(one_line.status, rewrite_status::closing_not_in_root);
  EXPECT_EQ(one_line.line, 2u);
  EXPECT_EQ(rewrite("<!-- </jsplugins> -->\n<jsplugins>\n</jsplugins>\n", true).status,
            rewrite_status::closing_not_in_root);
  // A longer tag name is no opening tag of the root.
  EXPECT_EQ(rewrite("<jspluginsx>\n</jsplugins>\n", true).status,
            rewrite_status::closing_not_in_root);
  // The rest of another element's tag before the closing tag: the entry would land inside it.
  const rewritten inside_tag = rewrite(
      "<jsplugins>\n  <jspluginonline name=\"Other\"\n    "
      "url=\"https://o.example:1/\"/></jsplugins>\n",
      true);
  EXPECT_EQ(inside_tag.status, rewrite_status::closing_line_continues);
  EXPECT_EQ(inside_tag.line, 3u);
  EXPECT_EQ(install("<jsplugins>\n" + other + "\n  <x/></jsplugins>\n"),
            "<jsplugins>\n" + other + "\n" + e + "\n  <x/></jsplugins>\n");
  // Attributes on the root, even on the next line, are fine.
  EXPECT_EQ(install("<jsplugins\n  v=\"1\">\n</jsplugins>\n"),
            "<jsplugins\n  v=\"1\">\n" + e + "\n</jsplugins>\n");
  // Uninstall puts nothing anywhere, so it needs no closing line.
  EXPECT_EQ(uninstall("<jsplugins/>"), "<jsplugins/>\n");
}

TEST(Scan, TellsAnEnabledEntryAndABlankList) {
  EXPECT_TRUE(scan("<jsplugins>\n" + disabled + "\n" + e + "\n</jsplugins>\n").enabled_entry);
  EXPECT_FALSE(scan("<jsplugins>\n" + disabled + "\n</jsplugins>\n").enabled_entry);
  EXPECT_TRUE(scan("").blank);
  EXPECT_TRUE(scan(" \r\n\t\n\n").blank);
  EXPECT_FALSE(scan(" \n x").blank);
}

TEST(LongLines, NeedlesCutBetweenPiecesAreFound) {
  const std::string name = "name=\"Quillora插件\"";
  for (std::size_t cut = 1; cut < name.size(); ++cut) {
    const std::string line = long_line("<jspluginonline", name, piece - cut, "/>", 3 * piece);
    EXPECT_EQ(uninstall("<jsplugins>\n" + line + "\n</jsplugins>\n"), "<jsplugins>\n</jsplugins>\n")
        << "cut " << cut;
    EXPECT_TRUE(scan(line).enabled_entry);
    const std::string with_false =
        long_line("<jspluginonline " + name, "false", 2 * piece - cut % 5, "/>", 3 * piece);
    EXPECT_FALSE(scan(with_false).enabled_entry) << "cut " << cut;
  }
  for (std::size_t cut = 1; cut < 12; ++cut) {
    const std::string closing = long_line("<c", "</jsplugins>", piece - cut, "/>", 2 * piece);
    EXPECT_EQ(install("<jsplugins>\n" + closing + "\n"),
              "<jsplugins>\n" + e + "\n" + closing + "\n");
  }
  // The root's opening tag, with the byte that ends its name in the next piece.
  const std::string opening = std::string(piece - 10, ' ') + "<jsplugins>";
  EXPECT_EQ(install(opening + "\n</jsplugins>\n"), opening + "\n" + e + "\n</jsplugins>\n");
}

// The byte after a line's first '<' tells an element from a comment; both may fall in two pieces.
TEST(LongLines, StartOfTheElementCutBetweenPiecesIsSeen) {
  const std::string indent(piece - 1, ' ');
  EXPECT_EQ(uninstall(indent + e + "\n" + other + "\n"), other + "\n");
  EXPECT_EQ(rewrite(indent + "<!-- jspluginonline name=\"Quillora插件\"/>\n-->\n", false).status,
            rewrite_status::entry_shares_line);
}

TEST(LongLines, AreCopiedUnchangedAndFarFromTheEntry) {
  std::string big;
  for (std::size_t i = 0; big.size() < 5 * piece + 123; ++i)
    big += static_cast<char>(i * 7 % 251 + 1);
  for (char& c : big)
    c = c == '\n' ? '\0' : c;
  EXPECT_EQ(install("<jsplugins>\n" + big + "\n</jsplugins>\n" + big),
            "<jsplugins>\n" + big + "\n" + e + "\n</jsplugins>\n" + big + "\n");
  EXPECT_EQ(uninstall(big + "\n" + e + "\n" + big), big + "\n" + big + "\n");
}

// Lines that hold no needle are searched and counted a buffer at a time. A needle on a line that
// the buffer's end cuts must be found wherever the cut falls, and the line named by its number
// after runs of packed LFs, blank lines of CRs and ordinary add-ons.
TEST(ShortLines, NeedlesCutByTheBufferEndAreFoundOnTheirLine) {
  struct placed {
    std::string head;
    std::string line;  // cut by the end of the buffer
  };
  const std::vector<placed> cases = {
      {"<jsplugins>\n", e},
      {"<jsplugins>\n", "<a/>" + e},       // refused: the entry shares its line
      {"<jsplugins>\n", "x</jsplugins>"},  // refused on install: it may end a tag
      {"", " <jsplugins>"},                // the root opens only here
  };
  for (const placed& c : cases) {
    for (std::size_t cut = 0; cut <= c.line.size(); ++cut) {
      std::string list = c.head;
      list.append(8192, '\n');
      for (int i = 0; i < 100; ++i)
        list += "\r\n \r\n";
      while (list.size() + other.size() + 1 < piece - cut)
        list += other + "\n";
      list.append(piece - cut - list.size(), '\n');
      list += c.line + "\n</jsplugins>\n";
      for (const bool mode : {true, false}) {
        const rewritten want = line_model::expected(line_model::lines_of(list), mode, e);
        const rewritten got = rewrite(list, mode);
        ASSERT_EQ(got.status, want.status) << c.line << " cut " << cut << " install " << mode;
        ASSERT_EQ(got.line, want.line) << c.line << " cut " << cut << " install " << mode;
        if (want.status == rewrite_status::done) {
          ASSERT_TRUE(got.bytes == want.bytes) << c.line << " cut " << cut << " install " << mode;
        }
      }
      ASSERT_EQ(scan(list).entry, c.line.find("Quillora插件") != std::string::npos);
    }
  }
}

TEST(Rewrite, AgreesWithThePlainLineModelOnRandomLists) {
  const std::vector<std::string> parts = {"<?xml version=\"1.0\"?>",
                                          "<jsplugins>",
                                          "</jsplugins>",
                                          e,
                                          disabled,
                                          other,
                                          "",
                                          "\r",
                                          " ",
                                          "<jsplugins v=\"1\">",
                                          "<jspluginsx>",
                                          "false",
                                          "Quillora插件",
                                          "name=\"",
                                          "jspluginonline",
                                          "<",
                                          "/>",
                                          std::string("\0\xff", 2),
                                          "<jsplugins",
                                          "\t"};
  std::mt19937 random(20261208);
  for (int round = 0; round < 3000; ++round) {
    std::string list;
    const int count = static_cast<int>(random() % 40);
    for (int i = 0; i < count; ++i) {
      if (random() % 500 == 0)
        list.append(piece - random() % 64 + random() % 128, 'x');
      list += parts[random() % parts.size()];
      if (random() % 3 != 0)
        list += '\n';
    }
    for (const bool mode : {true, false}) {
      const rewritten want = line_model::expected(line_model::lines_of(list), mode, e);
      const rewritten got = rewrite(list, mode);
      ASSERT_EQ(got.status, want.status) << "round " << round << " install " << mode;
      if (want.status == rewrite_status::done) {
        ASSERT_EQ(got.bytes, want.bytes) << "round " << round << " install " << mode;
      } else {
        ASSERT_EQ(got.line, want.line) << "round " << round << " install " << mode;
      }
    }
    bool enabled = false;
    for (std::size_t start = 0; start <= list.size() && !enabled;) {
      const std::size_t lf = std::min(list.find('\n', start), list.size());
      enabled = is_enabled_entry(list.substr(start, lf - start));
      start = lf + 1;
    }
    ASSERT_EQ(scan(list).enabled_entry, enabled) << "round " << round;
    ASSERT_EQ(scan(list).blank, list.find_first_not_of(" \t\r\n") == std::string::npos);
  }
}
