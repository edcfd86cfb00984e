// Whatever the web directory holds, a run ends in a verdict that says what went wrong, and
// leaves the directory exactly as it found it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "codec/scrambled_value.h"
#include "tests/upgrade/fake_database_client.h"
#include "tests/upgrade/recording_host.h"
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
    if (content.empty()) {
      std::ifstream in(e.path(), std::ios::binary);
      content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    entries[fs::relative(e.path(), root).string()] = std::move(content);
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
      {"folder named web.config", [](auto& d) { fs::create_directory(d.path() / "web.config"); },
       "Path/File access error"},
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

TEST(BadInput, AHundredMegabyteFileWithTheEntryAtItsEndIsRead) {
  testing::WebDirectory dir;
  {
    std::ofstream out(dir.path() / "web.config", std::ios::binary);
    const std::string filler(1 << 20, ' ');
    for (int i = 0; i < 100; ++i) out << filler;
    out << testing::WebConfigWithEntry(
        EncodeValue("Provider=SQLOLEDB.1;Data Source=db01;Initial Catalog=KIVO;User ID=u"));
  }
  testing::RecordingHost host;
  host.webDir = dir.pathText();
  auto server = std::make_shared<testing::FakeServer>();
  const RunReport report = RunUpgrade(host, testing::FakeEnvironment(server));
  EXPECT_EQ(report.end, RunEnd::kSucceeded) << host.status;
  ASSERT_TRUE(server->openedWith);
  EXPECT_EQ(server->openedWith->database, "KIVO");
}

}  // namespace
}  // namespace kivo
