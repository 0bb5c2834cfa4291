// The line tests and the streamed rewrite, on lists held in memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "addon_list.hpp"
#include "editor.hpp"
#include "line_model.hpp"
#include "test_home.hpp"

namespace {

using line_model::rewrite;
using line_model::rewritten;

std::string install(const std::string& list) {
  const rewritten r = rewrite(list, true);
  EXPECT_EQ(r.status, list_reader::verdict::ok) << "refused at line " << r.line;
  return r.bytes;
}

std::string uninstall(const std::string& list) {
  const rewritten r = rewrite(list, false);
  EXPECT_EQ(r.status, list_reader::verdict::ok) << "refused at line " << r.line;
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

// The test's own line model, which the random lists below are checked against: its line tests
// themselves, so that an agreement with it means what it should.
TEST(LineModelItself, EntryLineIsAListedTagNamedExactlyOursInAnyOrderAndQuoting) {
  EXPECT_TRUE(line_model::entry_line(e));
  EXPECT_TRUE(line_model::entry_line("\t<jsplugin name='Quillora插件'/>"));
  EXPECT_TRUE(line_model::entry_line("<jspluginonline\ttype=\"wps\" name = \"Quillora插件\"/>"));
  EXPECT_FALSE(line_model::entry_line("<jspluginonline name=\"Quillora插件助手\"/>"));
  EXPECT_FALSE(
      line_model::entry_line("<jspluginonline name=\"Other\" url=\"https://h:1/Quillora插件\"/>"));
  EXPECT_FALSE(line_model::entry_line("<jspluginonline NAME=\"Quillora插件\"/>"));
  EXPECT_FALSE(line_model::entry_line("<jspluginonlinex name=\"Quillora插件\"/>"));
  EXPECT_FALSE(line_model::entry_line(other));
}

TEST(LineModelItself, EnabledLineIsNotEnabledOnlyWhereEnableIsFalse) {
  EXPECT_TRUE(line_model::enabled_line(e));
  EXPECT_FALSE(line_model::enabled_line(disabled));
  EXPECT_FALSE(line_model::enabled_line("<jsplugin enable='false' name=\"Quillora插件\"/>"));
  EXPECT_TRUE(line_model::enabled_line(
      "<jspluginonline enable=\"true\" debug=\"false\" name=\"Quillora插件\"/>"));
  EXPECT_TRUE(line_model::enabled_line("<jspluginonline enable=\"FALSE\" name=\"Quillora插件\"/>"));
  EXPECT_FALSE(line_model::enabled_line(other));
}

TEST(LineModelItself, ClosingLineIsAnyLineHoldingTheClosingTag) {
  EXPECT_TRUE(line_model::closing_line("</jsplugins>"));
  EXPECT_TRUE(line_model::closing_line("\t</jsplugins>\r"));
  EXPECT_FALSE(line_model::closing_line("</jsplugins >"));
  EXPECT_FALSE(line_model::closing_line("<jsplugins>"));
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
  const std::string odd = "<!-- \t 汉字 &amp; \xc2\xa0 \"' -->";
  const std::string bom = "\xEF\xBB\xBF<?xml version=\"1.0\"?>";
  EXPECT_EQ(install(bom + "\r\n<jsplugins>\r\n\r\n" + odd + "\n\n</jsplugins>\r\n"),
            bom + "\r\n<jsplugins>\r\n\r\n" + odd + "\n\n" + e + "\n</jsplugins>\r\n");
  // A last line without LF gains one; a lone CR is no line end.
  EXPECT_EQ(install("<jsplugins>\r<x/>\n</jsplugins>"),
            "<jsplugins>\r<x/>\n" + e + "\n</jsplugins>\n");
}

TEST(Uninstall, DropsEveryEntryLineEnabledOrNot) {
  EXPECT_EQ(uninstall("<jsplugins>\n" + e + "\n" + other + "\n" + disabled + "\n\t" + e +
                      "\r\n</jsplugins>"),
            "<jsplugins>\n" + other + "\n</jsplugins>\n");
}

TEST(Scan, TellsAnEnabledEntryAndABlankList) {
  EXPECT_TRUE(scan("<jsplugins>\n" + disabled + "\n" + e + "\n</jsplugins>\n").enabled_entry);
  EXPECT_FALSE(scan("<jsplugins>\n" + disabled + "\n</jsplugins>\n").enabled_entry);
  EXPECT_TRUE(scan("").blank);
  EXPECT_TRUE(scan(" \r\n\t\n\n").blank);
  EXPECT_FALSE(scan(" \n x").blank);
}

// Which elements are the add-on's and where it stands, as the suite reads them: by the name and
// the values as XML reads them, nothing else. Each list, with what install and uninstall make of
// it (unchanged: where there is nothing to do).
TEST(AddonRules, TheAddOnIsKnownByItsNameAndItsStateByItsValues) {
  const std::string root = "<jsplugins>\n";
  const std::string end = "</jsplugins>\n";
  const std::string helper =
      "  <jspluginonline name=\"Quillora插件助手\" url=\"https://h.example:1/helper/\" "
      "enable=\"true\"/>";
  const std::string origin(server_origin());
  // This build's values, in another order and quoting, with more of the user's attributes.
  const auto ours_with = [&](const std::string& more) {
    return "  <jspluginonline name='Quillora插件' type='wps' url='" + origin + "/' install='" +
           origin + "' enable='true'" + more + "/>";
  };
  const std::string unchanged;
  const struct {
    const char* what;
    std::string list;
    addon_state state;
    std::string after_install, after_uninstall;
  } rows[] = {
      {"another add-on whose name begins with ours", root + helper + "\n" + end,
       addon_state::absent, root + helper + "\n" + e + "\n" + end, unchanged},
      {"our name in another add-on's url", root + other + "\n" + end, addon_state::absent,
       root + other + "\n" + e + "\n" + end, unchanged},
      {"our name with a zero-width space behind",
       root + "<jsplugin name=\"Quillora插件\xe2\x80\x8b\"/>\n" + end, addon_state::absent,
       root + "<jsplugin name=\"Quillora插件\xe2\x80\x8b\"/>\n" + e + "\n" + end, unchanged},
      {"our entry deeper than the root's children", root + "<g>\n" + e + "\n</g>\n" + end,
       addon_state::absent, root + "<g>\n" + e + "\n</g>\n" + e + "\n" + end, unchanged},
      {"our name in character references",
       root + "<jsplugin name=\"Quillora&#x63D2;&#x4EF6;\"/>\n" + end, addon_state::disabled,
       root + e + "\n" + end, root + end},
      {"this build's entry with debug=\"false\"", root + ours_with(" debug=\"false\"") + "\n" + end,
       addon_state::enabled, unchanged, root + end},
      {"this build's entry with an empty attribute", root + ours_with(" debug=\"\"") + "\n" + end,
       addon_state::enabled, unchanged, root + end},
      {"this build's entry with a namespaced attribute",
       "<jsplugins xmlns:x=\"urn:x\">\n" + ours_with(" x:note=\"mine\"") + "\n" + end,
       addon_state::enabled, unchanged, "<jsplugins xmlns:x=\"urn:x\">\n" + end},
      {"an enable that is neither true nor false",
       root + "<jspluginonline enable=\"enable_dev\" name=\"Quillora插件\"/>\n" + end,
       addon_state::disabled, root + e + "\n" + end, root + end},
      {"the offline form", root + "<jsplugin name=\"Quillora插件\" url=\"x\"/>\n" + end,
       addon_state::disabled, root + e + "\n" + end, root + end},
      {"disabled", root + disabled + "\n" + end, addon_state::disabled, root + e + "\n" + end,
       unchanged},
      {"this build's entry twice", root + e + "\n" + ours_with("") + "\n" + end,
       addon_state::disabled, root + e + "\n" + end, root + end},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    const scan_result read = scan(r.list);
    ASSERT_EQ(read.status, list_reader::verdict::ok);
    EXPECT_EQ(state_of(read.facts), r.state);
    // Install rewrites unless the add-on is enabled; uninstall, where any element of it is.
    EXPECT_EQ(r.state == addon_state::enabled, r.after_install.empty());
    EXPECT_EQ(read.enabled_entry, !r.after_uninstall.empty());
    if (!r.after_install.empty()) {
      EXPECT_EQ(install(r.list), r.after_install);
    }
    if (!r.after_uninstall.empty()) {
      EXPECT_EQ(uninstall(r.list), r.after_uninstall);
    }
  }
}

// A huge start tag is searched a few KB at a time, and the list copied 64 KiB at a time: a needle
// or an edit that such a cut falls into must be found and made wherever the cut falls.
TEST(LongLists, CutsBetweenPiecesMissNothing) {
  const std::string name = "name=\"Quillora插件\"";
  for (std::size_t cut = 0; cut < 24; ++cut) {
    const std::string pad(4096 - 24 + cut, 'x');
    for (const std::string& tag :
         {"<jspluginonline a=\"" + pad + "\" " + name + "/>",
          "<jspluginonline " + name + " a=\"" + pad + "\" enable=\"false\"/>"}) {
      const std::string list = "<jsplugins>\n" + tag + "\n</jsplugins>\n";
      EXPECT_EQ(uninstall(list), "<jsplugins>\n</jsplugins>\n") << "cut " << cut;
      EXPECT_EQ(scan(list).enabled_entry, tag.find("false") == std::string::npos) << "cut " << cut;
    }
    const std::string comment = "<!--" + std::string(64 * 1024 - 16 + cut, 'x') + "-->";
    EXPECT_EQ(install("<jsplugins>" + comment + "</jsplugins>"),
              "<jsplugins>" + comment + "\n" + e + "\n</jsplugins>\n")
        << "cut " << cut;
    EXPECT_EQ(uninstall("<jsplugins>" + comment + e + "</jsplugins>"),
              "<jsplugins>" + comment + "</jsplugins>\n")
        << "cut " << cut;
  }
}

TEST(Rewrite, AgreesWithThePlainLineModelOnRandomLists) {
  // Lists of lines that add-on lists hold, in and around the root; now and then a stray piece that
  // makes one malformed.
  const std::vector<std::string> parts = {
      e,
      disabled,
      other,
      "",
      "\r",
      " ",
      "\t",
      "false",
      "<a/>",
      "<b v=\"1\"/>",
      "text",
      "<!-- c -->",
      "<jspluginonline name=\"Quillora插件助手\" enable=\"true\"/>",
      "<jsplugin debug=\"false\" name='Quillora插件'/>"};
  const std::vector<std::string> strays = {
      "<", "/>", std::string("\0\xff", 2), "<jsplugins", "</jsplugins>", "<jspluginsx>", "&"};
  std::mt19937 random(20261208);
  for (int round = 0; round < 3000; ++round) {
    std::string list = random() % 2 == 0 ? "<?xml version=\"1.0\"?>\n" : "";
    list += random() % 4 == 0 ? " <jsplugins v=\"1\">" : "<jsplugins>";
    const int count = static_cast<int>(random() % 12);
    for (int i = 0; i < count; ++i) {
      if (random() % 3 != 0)
        list += '\n';
      if (random() % 40 == 0)
        list += strays[random() % strays.size()];
      if (random() % 500 == 0)
        list += "<!--" + std::string(64 * 1024 - random() % 64 + random() % 128, 'x') + "-->";
      list += parts[random() % parts.size()];
    }
    list += random() % 3 != 0 ? "\n</jsplugins>" : "</jsplugins>";
    list += random() % 2 == 0 ? "\n" : "";
    // Where the line model can edit a well-formed list, the rewrite gives its bytes; a list that
    // is no well-formed XML is refused.
    const scan_result read = scan(list);
    const bool well_formed = read.status == list_reader::verdict::ok;
    ASSERT_TRUE(well_formed || read.status == list_reader::verdict::malformed ||
                read.status == list_reader::verdict::not_jsplugins)
        << "round " << round;
    for (const bool mode : {true, false}) {
      const rewritten want = line_model::expected(line_model::lines_of(list), mode, e);
      const rewritten got = rewrite(list, mode);
      if (got.status == list_reader::verdict::not_utf8)
        continue;
      ASSERT_EQ(got.status == list_reader::verdict::ok, well_formed) << "round " << round;
      if (well_formed && want.status == list_reader::verdict::ok) {
        ASSERT_EQ(got.bytes, want.bytes) << "round " << round << " install " << mode;
      }
    }
    // Where every entry line is an element alone on its line, line and element agree.
    if (well_formed && line_model::expected(line_model::lines_of(list), false, e).status ==
                           list_reader::verdict::ok) {
      bool enabled = false;
      for (const std::string_view l : line_model::lines_of(list))
        enabled = enabled || line_model::enabled_line(l);
      ASSERT_EQ(read.enabled_entry, enabled) << "round " << round;
    }
    ASSERT_EQ(scan(list).blank, list.find_first_not_of(" \t\r\n") == std::string::npos);
  }
}

// The check before replacing compares the new list with what the one read of the old list took
// note of: any change beside the add-on, or an add-on other than this build's one entry, fails.
TEST(Check, RefusesANewListThatChangedAnythingButTheAddOn) {
  const std::string head = "<?xml version=\"1.0\"?>\n<jsplugins>\n<!-- c -->\n";
  const std::string old = head + other + "\n  text  \n<a b=\"1\">x</a>\n</jsplugins>\n";
  std::istringstream old_in(old);
  const list_reader::list_facts facts = scan_list(old_in).facts;
  const auto sound = [&](const std::string& fresh, bool install) {
    std::istringstream in(fresh);
    return rewrite_is_sound(facts, in, install);
  };
  EXPECT_TRUE(sound(install(old), true));
  EXPECT_TRUE(sound(old, false));
  EXPECT_TRUE(sound(head + other + "\ntext\n<a b=\"1\">x</a></jsplugins>", false));
  const struct {
    const char* name;
    std::string fresh;
    bool install;
  } broken[] = {
      {"a comment changed",
       "<?xml version=\"1.0\"?>\n<jsplugins>\n<!-- d -->\n" + old.substr(head.size()), false},
      {"an attribute changed", head + other + "\n  text  \n<a b=\"2\">x</a>\n</jsplugins>\n",
       false},
      {"text changed inside", head + other + "\n  te xt  \n<a b=\"1\">x</a>\n</jsplugins>\n",
       false},
      {"an element lost", head + "\n  text  \n<a b=\"1\">x</a>\n</jsplugins>\n", false},
      {"no entry after install", old, true},
      {"two entries after install", head + e + "\n" + e + "\n" + old.substr(head.size()), true},
      {"an entry after uninstall", head + e + "\n" + old.substr(head.size()), false},
      {"no longer well formed", old.substr(0, old.size() - 2), false},
  };
  for (const auto& b : broken)
    EXPECT_FALSE(sound(b.fresh, b.install)) << b.name;
}

// Where a malformed list's fault lies: expat names the line where it noticed it, and the reader
// the line of the '<' that opened the markup being read where that began earlier (0: not so).
TEST(Reader, NamesTheLineWhereTheFaultyMarkupBegan) {
  const std::string root = "<jsplugins>\n";
  const std::string end = "</jsplugins>\n";
  // A tag that the reader's first piece of 64 KiB cuts, left open, whose fault lies in the next
  // piece; and one longer than a piece, which expat holds over whole.
  const std::string pad = "<!--" + std::string(64 * 1024 - 40, 'x') + "-->\n";
  const std::string spaces(40, ' ');
  const std::string lines(70 * 1024, '\n');
  const struct {
    const char* what;
    std::string list;
    std::uint64_t line, begins_line;
  } rows[] = {
      {"a tag left open across lines",
       root + "  <a/>\n  <jspluginonline name=\"Q\" url=\"https://x/\"\n" + end, 4, 3},
      {"an attribute value left open", root + "<a url=\"https://x/>\n" + end, 3, 2},
      {"a tag open over several lines, its fault in the middle",
       root + "<a\n b='1'\n c\n/>\n" + end, 5, 2},
      {"a comment never closed: expat names where it began", root + "<!-- a <b>\n c\n" + end, 2, 0},
      {"a comment with \"--\" inside, after a '<' of its own",
       root + "<!-- a <b>\n -- c\n-->\n" + end, 3, 2},
      {"a fault on the tag's own line", root + "<a b='1' c>\n" + end, 2, 0},
      {"a fault in text, outside markup", root + "<a/>\n a & b\n" + end, 3, 0},
      {"CRLF lines", "<jsplugins>\r\n<a\r\nb='1'\r\n</jsplugins>\r\n", 4, 2},
      {"CR lines", "<jsplugins>\r<a\rb='1'\r</jsplugins>\r", 4, 2},
      {"a tag left open in the first piece, its fault after the cut",
       root + pad + "<a\n" + spaces + "\n" + spaces + "\n" + end, 6, 3},
      {"a tag longer than a piece", root + "<a" + lines + end, 2 + lines.size(), 2},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    std::istringstream in(r.list);
    const list_reader::list_facts facts = list_reader::read_list(in, server_origin());
    EXPECT_EQ(facts.status, list_reader::verdict::malformed);
    EXPECT_EQ(facts.line, r.line);
    EXPECT_EQ(facts.begins_line, r.begins_line);
  }
}

// What an edit does with a list, decided from the mode and what the reader found alone.
TEST(Decide, FromTheModeAndWhatTheReaderFound) {
  const auto enabled = addon_state::enabled;
  const auto disabled = addon_state::disabled;
  const auto absent = addon_state::absent;
  const found_list none;
  const found_list blank{true, true, absent, false};
  const found_list without{true, false, absent, false};
  const found_list ours{true, false, enabled, true};
  // Disabled, or for another server, or twice: some element may be enabled, or none.
  const found_list off{true, false, disabled, false};
  const found_list other_server{true, false, disabled, true};
  const struct {
    const char* what;
    found_list found;
    action install, uninstall;
  } rows[] = {
      {"no list", none, action::created, action::none},
      {"a blank file", blank, action::created, action::none},
      {"a list without the add-on", without, action::added, action::none},
      {"this build's enabled entry", ours, action::kept, action::removed},
      {"the add-on disabled", off, action::added, action::none},
      {"an enabled entry for another server", other_server, action::added, action::removed},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(decide(mode::install, r.found), r.install);
    EXPECT_EQ(decide(mode::uninstall, r.found), r.uninstall);
    EXPECT_EQ(decide(mode::status, r.found), action::none);
    EXPECT_EQ(decide(mode::list, r.found), action::none);
  }
}

}  // namespace
