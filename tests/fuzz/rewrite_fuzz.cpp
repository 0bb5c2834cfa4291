// A libFuzzer target for the list editor: random lists through the rewrite and the scan, checked
// against what an XML parser reads in them and, where it applies, a plain line-by-line reading;
// the check before replacing must pass every rewrite; refused lists go through write_file, which
// must leave them as they were.
#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "addon_list.hpp"
#include "line_model.hpp"

namespace {

// Stops the run with a message that libFuzzer reports together with the input.
#define CHECK(condition)                                                                  \
  do {                                                                                    \
    if (!(condition)) {                                                                   \
      fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, #condition); \
      abort();                                                                            \
    }                                                                                     \
  } while (0)

using namespace line_model;

// The fuzzer's bytes, with each 0x01 and the byte after it standing for the bytes before it
// repeated over 64 KiB or more: lines that reach across the reader's 128 KiB buffer at any point
// cost the fuzzer two bytes.
std::string expand(const std::uint8_t* data, std::size_t size) {
  std::string list;
  int expansions = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] != 0x01 || i + 1 == size || ++expansions > 2) {
      list.push_back(static_cast<char>(data[i]));
      continue;
    }
    const std::size_t grow = 64 * 1024 + data[++i] * 300u;
    const std::size_t period = std::min<std::size_t>(list.size(), 1 + data[i] % 16);
    const std::string unit = period == 0 ? std::string("x") : list.substr(list.size() - period);
    for (std::size_t added = 0; added < grow; added += unit.size())
      list += unit;
  }
  return list;
}

// What the office suite reads in a list, leaving out the add-on's elements (a jsplugin or
// jspluginonline child of the root named exactly "Quillora插件") with all they hold. A rewrite
// that only takes out and puts in those elements leaves this the same.
struct xml_reading {
  bool well_formed = false;
  // libxml2 takes a declared version that is not "1." and digits, with a warning; the reader
  // refuses it, as XML asks.
  bool odd_version = false;
  std::size_t entries_in_root = 0;  // this build's entry, exactly, as a child of the root
  std::vector<std::string> items;   // elements with their depth and attributes, comments, ...
  std::string text;                 // all text and character sections, without white space
};

constexpr std::string_view addon_name = "Quillora插件";

// This build's entry as read_nodes spells an element.
std::string entry_item() {
  const std::string origin(server_origin());
  return "1 <jspluginonline enable=true install=" + origin + " url=" + origin +
         "/ type=wps name=Quillora插件";
}

void read_nodes(xmlNodePtr node, int depth, xml_reading& r, std::string& text) {
  const auto str = [](const xmlChar* s) {
    return s == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(s));
  };
  for (; node != nullptr; node = node->next) {
    switch (node->type) {
      case XML_ELEMENT_NODE: {
        std::string item = std::to_string(depth) + " <" + str(node->name);
        bool named_ours = false;
        for (xmlAttrPtr a = node->properties; a != nullptr; a = a->next) {
          xmlChar* value = xmlNodeListGetString(node->doc, a->children, 1);
          item += " " + str(a->name) + "=" + str(value);
          named_ours = named_ours ||
                       (a->ns == nullptr && str(a->name) == "name" && str(value) == addon_name);
          xmlFree(value);
        }
        const std::string element = str(node->name);
        // expat reads names as they are spelled: a prefix is part of the name, a default
        // namespace is not.
        const bool unprefixed = node->ns == nullptr || node->ns->prefix == nullptr;
        const bool listed = unprefixed && (element == "jsplugin" || element == "jspluginonline");
        if (depth == 1 && listed && named_ours) {
          r.entries_in_root += item == entry_item();
          break;
        }
        r.items.push_back(item);
        read_nodes(node->children, depth + 1, r, text);
        break;
      }
      case XML_TEXT_NODE:
      case XML_CDATA_SECTION_NODE:
        text += str(node->content);
        break;
      case XML_ENTITY_REF_NODE:
        text += "&" + str(node->name) + ";";
        break;
      case XML_COMMENT_NODE:
        r.items.push_back("<!--" + str(node->content));
        break;
      case XML_PI_NODE:
        r.items.push_back("<?" + str(node->name) + " " + str(node->content));
        break;
      default:
        break;
    }
  }
}

xml_reading read_xml(const std::string& list) {
  xml_reading r;
  xmlDocPtr doc = xmlReadMemory(list.data(), static_cast<int>(list.size()), "publish.xml", nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (doc == nullptr)
    return r;
  r.well_formed = true;
  const std::string_view version =
      doc->version != nullptr ? reinterpret_cast<const char*>(doc->version) : "1.0";
  r.odd_version = version.size() < 3 || version.substr(0, 2) != "1." ||
                  version.find_first_not_of("0123456789", 2) != std::string_view::npos;
  std::string text;
  read_nodes(doc->children, 0, r, text);
  xmlFreeDoc(doc);
  for (const char c : text) {
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
      r.text.push_back(c);
  }
  return r;
}

// The line model knows the add-on by its entry lines alone: it speaks for a list where each
// element of the add-on is one line's entry and each entry line holds one of them.
bool model_knows_addon(const std::string& list, const scan_result& scan,
                       const std::vector<std::string_view>& lines) {
  if (static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), entry_line)) !=
      scan.facts.addons.size())
    return false;
  return std::all_of(scan.facts.addons.begin(), scan.facts.addons.end(), [&](const auto& a) {
    const std::string_view bytes(list.data() + a.bytes.begin, a.bytes.end - a.bytes.begin);
    return bytes.find('\n') == std::string_view::npos && entry_line(bytes);
  });
}

std::string home;
std::string start_folder;  // write_file moves to the home folder; libFuzzer's paths are from here

// Runs write_file on `list` in the fuzzer's home; returns its result, the list's bytes after it
// and what it printed on stderr.
struct on_disk {
  bool ok;
  std::string bytes;
  std::string err;
};

on_disk run_on_disk(const std::string& list, int mode) {
  const std::string path = home + "/" + std::string(list_path);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << list;
  }
  fflush(stderr);
  const int capture = memfd_create("stderr", MFD_CLOEXEC);
  const int saved = dup(2);
  CHECK(capture >= 0 && saved >= 0 && dup2(capture, 2) == 2);
  setenv("HOME", home.c_str(), 1);
  const bool ok = write_file(mode);
  CHECK(chdir(start_folder.c_str()) == 0);
  fflush(stderr);
  CHECK(dup2(saved, 2) == 2);
  close(saved);
  std::string err;
  char chunk[4096];
  lseek(capture, 0, SEEK_SET);
  for (ssize_t n; (n = read(capture, chunk, sizeof chunk)) > 0;)
    err.append(chunk, static_cast<std::size_t>(n));
  close(capture);
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  CHECK(access((path + ".tmp").c_str(), F_OK) != 0);  // no temporary list left
  return {ok, bytes, err};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  xmlInitParser();
  // The editor's console output is not what is fuzzed.
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, 1);
  close(null);
  char* cwd = getcwd(nullptr, 0);
  CHECK(cwd != nullptr);
  start_folder = cwd;
  free(cwd);
  const char* shm = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string pattern = std::string(shm) + "/qfuzz.XXXXXX";
  CHECK(mkdtemp(pattern.data()) != nullptr);
  home = pattern;
  const std::string folder = home + "/.local/share/Kingsoft/wps/jsaddons";
  CHECK(system(("mkdir -p '" + folder + "'").c_str()) == 0);
  atexit([] {
    if (system(("rm -rf '" + home + "'").c_str()) != 0) {
      // a folder left in /dev/shm is no reason to fail the run
    }
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string list = expand(data, size);
  const std::vector<std::string_view> lines = lines_of(list);

  std::istringstream scan_in(list);
  const scan_result scan = scan_list(scan_in);
  CHECK(scan.status != list_reader::verdict::read_failed);
  CHECK(scan.blank == (list.find_first_not_of(" \t\r\n") == std::string::npos));
  CHECK(!scan.current_entry || scan.enabled_entry);

  // An entry in a comment never counts: one more after the root changes nothing of the reading,
  // and a rewrite copies it as it is.
  const std::string tail = "<!-- " + std::string(addon_entry()) + " -->\n";
  const std::string with_comment = list + (list.empty() || list.back() == '\n' ? "" : "\n") + tail;
  std::istringstream comment_in(with_comment);
  const scan_result with = scan_list(comment_in);
  // (The entry's UTF-8 fits only a list in UTF-8.)
  const bool comment_fits = !declares_other_encoding(list);
  if (scan.status == list_reader::verdict::ok && comment_fits) {
    CHECK(with.status == list_reader::verdict::ok && with.enabled_entry == scan.enabled_entry &&
          with.current_entry == scan.current_entry && with.entry == scan.entry);
  }

  const std::string entry(addon_entry());
  // Short lists only: the parser is slow beside the rewrite.
  const xml_reading before = list.size() < 64 * 1024 ? read_xml(list) : xml_reading();
  // Two parsers judge alike: expat, the editor's, and libxml2, in lists declared in UTF-8 or
  // nothing (the editor refuses other encodings that expat does not know, libxml2 decodes them),
  // and without NUL bytes (libxml2 takes one after the root for the end of its input). A refusal
  // for a bound stops the read where it is found, before any fault further on. libxml2 nests one
  // level deeper than the reader (257), and takes declared entities and any number of attributes.
  const bool bounded = scan.status == list_reader::verdict::entity_declared ||
                       scan.status == list_reader::verdict::too_many_attributes ||
                       scan.status == list_reader::verdict::too_deep ||
                       scan.status == list_reader::verdict::too_many_names;
  if (list.size() < 64 * 1024 && comment_fits && list.find('\0') == std::string::npos) {
    const bool read_whole = scan.status == list_reader::verdict::ok ||
                            scan.status == list_reader::verdict::not_jsplugins;
    CHECK(!read_whole || before.well_formed);
    // libxml2 takes names by the fifth edition of XML 1.0, which allows far more characters
    // beyond ASCII in them (U+FEFF, say) than expat's fourth: there it may accept what expat,
    // and the editor, refuse.
    const bool ascii = std::all_of(list.begin(), list.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    CHECK(!before.well_formed || read_whole || bounded || !ascii || before.odd_version);
  }
  for (const bool install : {true, false}) {
    const rewritten got = rewrite(list, install);
    if (got.status != list_reader::verdict::ok) {
      // Only a list that the suite can't read, one past a bound, or one in another encoding, is
      // refused.
      CHECK(got.status == list_reader::verdict::malformed ||
            got.status == list_reader::verdict::not_jsplugins ||
            got.status == list_reader::verdict::not_utf8 || (bounded && got.status == scan.status));
      // On disk, a list the editor would have to change but refuses stays as it was.
      const bool must_change = install ? !scan.current_entry && !scan.blank : scan.enabled_entry;
      if (must_change || (scan.status != list_reader::verdict::ok && !scan.blank)) {
        const on_disk run = run_on_disk(list, install ? 0 : 1);
        CHECK(!run.ok);
        CHECK(run.bytes == list);
        CHECK(!run.err.empty() && run.err.back() == '\n' &&
              std::count(run.err.begin(), run.err.end(), '\n') == 1);
      }
      continue;
    }
    CHECK(scan.status == list_reader::verdict::ok);
    CHECK(got.bytes.empty() || got.bytes.back() == '\n');
    // The check before replacing passes what the rewrite makes of a list it could read.
    {
      std::istringstream old_in(list);
      std::istringstream new_in(got.bytes);
      CHECK(rewrite_is_sound(scan_list(old_in).facts, new_in, install));
    }
    // The entry after the root is copied as it is.
    if (comment_fits) {
      const rewritten commented = rewrite(with_comment, install);
      CHECK(commented.status == list_reader::verdict::ok && commented.bytes == got.bytes + tail);
    }
    // Where the line model can edit the list, the rewrite gives its bytes; the line model takes
    // comments, sections and instructions for markup, so only lists without them count.
    const rewritten want = expected(lines, install, entry);
    // Nor a root with a jsplugins inside it, whose closing tag the model takes for the root's.
    const bool plain_markup = list.find("<!") == std::string::npos &&
                              list.find("<?", 1) == std::string::npos &&
                              list.find("<jsplugins") == list.rfind("<jsplugins");
    if (want.status == list_reader::verdict::ok && plain_markup &&
        model_knows_addon(list, scan, lines))
      CHECK(got.bytes == want.bytes);
    if (before.well_formed) {  // still well formed, and nothing but the add-on's elements changed
      const xml_reading after = read_xml(got.bytes);
      CHECK(after.well_formed);
      CHECK(after.items == before.items);
      CHECK(after.text == before.text);
      CHECK(after.entries_in_root == (install ? 1u : 0u));
    }
    std::istringstream result_in(got.bytes);
    const scan_result result = scan_list(result_in);
    CHECK(result.current_entry == install && result.entry == install);
    if (!install)
      continue;
    // The entry has a line of its own: installing again gives the same bytes, and uninstalling
    // takes exactly that line.
    // (A list may hold the entry's very line elsewhere too, in a comment, say, which stays.)
    const std::vector<std::string_view> out = lines_of(got.bytes);
    const auto copies = std::count(out.begin(), out.end(), std::string_view(entry));
    const auto copies_before = std::count(lines.begin(), lines.end(), std::string_view(entry));
    CHECK(copies >= 1 && copies <= copies_before + 1);
    if (copies != 1)
      continue;
    const rewritten again = rewrite(got.bytes, true);
    CHECK(again.status == list_reader::verdict::ok && again.bytes == got.bytes);
    const rewritten removed = rewrite(got.bytes, false);
    std::vector<std::string_view> kept = out;
    kept.erase(std::find(kept.begin(), kept.end(), std::string_view(entry)));
    CHECK(removed.status == list_reader::verdict::ok && removed.bytes == joined(kept));
  }
  return 0;
}
