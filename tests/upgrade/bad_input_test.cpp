// Whatever the web directory holds, a run ends in a verdict that says what went wrong, and
// leaves the directory exactly as it found it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "codec/scrambled_value.h"
#include "tests/support/fake_database_client.h"
#include "tests/support/files.h"
#include "tests/support/recording_host.h"
#include "tests/support/web_directory.h"
#include "upgrade/connection/configuration_file.h"
#include "upgrade/upgrade_run.h"

namespace kivo {
namespace {

namespace fs = std::filesystem;

// Every entry below the folder with its type and content, to prove nothing was written.
std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> entries;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    std::string content = e.is_symlink()     ? "link:" + fs::read_symlink(e.path()).string()
                          : e.is_directory() ? "dir"
                                             : "";
    entries[fs::relative(e.path(), root).string()] =
        content.empty() ? testing::ReadFile(e.path()) : std::move(content);
  }
  return entries;
}

struct BadInput {
  const char* name;
  std::function<void(const testing::WebDirectory&)> prepare;
  const char* statusStart;  // the failure verdict's status line starts so
};

std::string Utf16WithBom(const std::string& ascii) {
  std::string out = "\xFF\xFE";
  for (char c : ascii) out += std::string{c, '\0'};
  return out;
}

TEST(BadInput, EveryBadWebDirectoryEndsInAClearFailureAndStaysUntouched) {
  const std::string good = "Provider=SQLOLEDB.1;Data Source=db01;Initial Catalog=KIVO;User ID=u";
  const std::vector<BadInput> cases = {
      {"empty file", [](auto& d) { d.write(""); }, "Invalid procedure call or argument"},
      {"binary", [](auto& d) { d.write(std::string("\0\x01\xFF\xFE />\x80\x00", 10)); },
       "Invalid procedure call or argument"},
      {"UTF-16 with a byte-order mark",
       [&](auto& d) { d.write(Utf16WithBom(testing::WebConfigWithEntry(EncodeValue(good)))); },
       "Invalid procedure call or argument"},
      {"dangling link",
       [](auto& d) { fs::create_symlink(d.path() / "elsewhere", d.path() / "web.config"); },
       "File not found"},
      // Draw 77 names 74 groups of 777, far beyond any character code.
      {"100,000 digits",
       [](auto& d) { d.write(testing::WebConfigWithEntry(std::string(100000, '7'))); },
       "Invalid procedure call or argument"},
      {"value of letters", [](auto& d) { d.write(testing::WebConfigWithEntry("abcdefghijkl")); },
       "Type mismatch"},
      {"provider that is not SQL Server",
       [](auto& d) {
         d.writeEntry("Provider=Microsoft.ACE.OLEDB.12.0;Data Source=x.accdb;User ID=u");
       },
       ""},
      {"unbalanced quotes",
       [](auto& d) {
         d.writeEntry("Provider=SQLOLEDB.1;Data Source=\"db01;Initial Catalog=K;User ID=u");
       },
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::WebDirectory dir;
    c.prepare(dir);
    const auto before = Snapshot(dir.path());
    testing::RecordingHost host;
    host.webDir = dir.pathText();
    auto server = std::make_shared<testing::FakeServer>();
    const RunReport report = RunUpgrade(host, testing::FakeEnvironment(server));
    EXPECT_EQ(report.end, RunEnd::kFailed);
    EXPECT_TRUE(host.status.starts_with(c.statusStart)) << host.status;
    EXPECT_GT(host.status.size(), 2u) << "a failure needs a description";
    EXPECT_EQ(host.messages, std::vector<std::string>{"Update NOT successful. Contact Admin!"});
    EXPECT_EQ(server->opens, 0);
    EXPECT_EQ(Snapshot(dir.path()), before);
  }
}

// What never opens (a FIFO without a writer), never ends (a device) or would fill the memory is
// refused before a byte of it is read. Each case is given 5 s; a run that hangs is killed.
TEST(BadInput, WhatIsNoRegularFileOrTooLargeIsRefusedPromptly) {
  struct Kind {
    const char* name;
    std::function<void(const fs::path&)> prepare;
    std::string statusStart;
    std::string reason;  // follows the path in the status line
  };
  const std::string notRegular = "Path/File access error: ";
  const std::string isNotRegular = " is not a regular file";
  const std::vector<Kind> kinds = {
      {"FIFO with no writer", [](const fs::path& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); },
       notRegular, isNotRegular},
      {"link to /dev/zero", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); },
       notRegular, isNotRegular},
      {"folder", [](const fs::path& p) { fs::create_directory(p); }, notRegular, isNotRegular},
      {"sparse file of 3 GB",
       [](const fs::path& p) {
         std::ofstream{p};
         fs::resize_file(p, std::uintmax_t{3} << 30);
       },
       "Overflow: ", " is larger than 64 MB"},
  };
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.name);
    testing::WebDirectory dir;
    const fs::path file = dir.path() / "web.config";
    kind.prepare(file);
    testing::RecordingHost host;
    host.webDir = dir.pathText();
    auto server = std::make_shared<testing::FakeServer>();
    alarm(5);
    const RunReport report = RunUpgrade(host, testing::FakeEnvironment(server));
    alarm(0);
    EXPECT_EQ(report.end, RunEnd::kFailed);
    EXPECT_TRUE(host.status.starts_with(kind.statusStart + file.string() + kind.reason))
        << host.status;
    EXPECT_EQ(server->opens, 0);
  }
}

// The entry is found wherever it stands, up to the last byte the bound allows.
TEST(BadInput, AFileAtTheBoundWithTheEntryAtItsEndIsReadAndOneByteMoreIsNot) {
  testing::WebDirectory dir;
  const fs::path file = dir.path() / "web.config";
  const std::string entry = testing::WebConfigWithEntry(
      EncodeValue("Provider=SQLOLEDB.1;Data Source=db01;Initial Catalog=KIVO;User ID=u"));
  std::ofstream{file};
  fs::resize_file(file, kMaxConfigurationBytes - entry.size());  // sparse: zeros to scan
  std::ofstream(file, std::ios::binary | std::ios::app) << entry;
  ASSERT_EQ(fs::file_size(file), kMaxConfigurationBytes);
  for (const bool oneMore : {false, true}) {
    if (oneMore) std::ofstream(file, std::ios::binary | std::ios::app) << ' ';
    testing::RecordingHost host;
    host.webDir = dir.pathText();
    auto server = std::make_shared<testing::FakeServer>();
    const RunReport report = RunUpgrade(host, testing::FakeEnvironment(server));
    EXPECT_EQ(report.end, oneMore ? RunEnd::kFailed : RunEnd::kSucceeded) << host.status;
    EXPECT_EQ(server->opens, oneMore ? 0 : 1);
    if (oneMore) {
      EXPECT_TRUE(host.status.starts_with("Overflow: ")) << host.status;
    }
  }
}

}  // namespace
}  // namespace kivo
