// A home folder of its own for each test, and helpers to run the editor in it and look at files.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

// What one call of the editor did, as the user sees it.
struct editor_run {
  bool ok = false;
  std::string out;  // stdout
  std::string err;  // stderr
};

class TestHome : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs write_file in this process with HOME set to the test's home, capturing the console.
  editor_run run_editor(int mode);

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
