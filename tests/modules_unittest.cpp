// Module libraries as qeno-host finds them: folders holding junk, libraries
// that must be refused before any of their code runs, and the version marker
// read from a file that may be damaged.

#include <elf.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "HostProcess.h"
#include "ModuleVersion.h"
#include "QenoVersion.h"
#include "TestSupport.h"

using qeno::test::HostProcess;
namespace fs = std::filesystem;

namespace {

class ModulesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(folder_.dir().empty()); }

  std::string path(const std::string& name) const { return folder_.path(name); }

  static std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t stop = text.find('\n', start);
      if (stop == std::string::npos) stop = text.size();
      lines.push_back(text.substr(start, stop - start));
      start = stop + 1;
    }
    return lines;
  }

  static std::string bytesOf(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  void writeBytes(const std::string& file, const std::string& bytes) const {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
  }

  qeno::test::TempFolder folder_{"qeno-modules-"};
};

}  // namespace

// Every bad file and folder gets one line naming it; the good module still
// loads; nothing of a refused library runs (two of them abort if they do).
TEST_F(ModulesTest, ABadModuleFolderIsReportedLineByLineAndTheRestLoads) {
  const fs::path folder = folder_.dir() / "modules";
  fs::create_directories(folder);
  writeBytes((folder / "junk.so").string(), std::string(4096, 'x'));
  writeBytes((folder / "empty.so").string(), "");
  writeBytes((folder / "notes.txt").string(), "not a library, not even looked at");
  fs::create_directories(folder / "folder.so");
  fs::create_symlink(path("nowhere.so"), folder / "dangling.so");
  ASSERT_EQ(::mkfifo((folder / "pipe.so").c_str(), 0600), 0);  // opening it must not block
  fs::copy_file(QENO_NOREGISTRATION_PATH, folder / "noregistration.so");
  fs::copy_file(QENO_OTHERMAJOR_PATH, folder / "othermajor.so");
  fs::copy_file(QENO_NOMARKER_PATH, folder / "nomarker.so");
  // The build's own module folder is searched last, and finds this one loaded.
  fs::create_symlink(QENO_MODULE_PATH, folder / "libqenoserver.so");
  fs::copy_file(QENO_DUPLICATE_PATH, folder / "zz-duplicate.so");  // after the real one
  writeBytes(path("plain-file"), "a file given as a folder");

  HostProcess host;
  ASSERT_TRUE(host.start(QENO_HOST_PATH,
                         {"--module-path", folder.string(), "--module-path", path("missing"),
                          "--module-path", path("plain-file"), "--classes"}));
  ASSERT_EQ(host.wait(), 0) << host.error();

  const std::vector<std::string> errors = linesOf(host.error());
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"junk.so", "invalid ELF header"},
      {"empty.so", "file too short"},
      {"dangling.so", "No such file or directory"},
      {"pipe.so", "not a regular file"},
      {"noregistration.so", "registers no class"},
      {"othermajor.so", "built for qeno host 99.0.0, but this is qeno host " QENO_HOST_VERSION},
      {"nomarker.so", "carries no host version"},
      {"zz-duplicate.so", "refused class QenoServer from"},
      {"missing", "No such file or directory"},
      {"plain-file", "Not a directory"},
  };
  EXPECT_EQ(errors.size(), expected.size()) << host.error();
  for (const auto& entry : expected) {
    const std::string& file = entry.first;
    const std::string& reason = entry.second;
    auto line = std::find_if(errors.begin(), errors.end(), [&](const std::string& error) {
      return error.find(file) != std::string::npos && error.find(reason) != std::string::npos;
    });
    EXPECT_NE(line, errors.end()) << file << ": " << reason << "\n" << host.error();
  }
  // The duplicate names both libraries.
  EXPECT_NE(host.error().find("already registered by " + (folder / "libqenoserver.so").string()),
            std::string::npos)
      << host.error();

  const std::string classes = host.output();
  EXPECT_NE(classes.find("QenoServer"), std::string::npos) << classes;
  EXPECT_NE(classes.find((folder / "libqenoserver.so").string()), std::string::npos) << classes;
  EXPECT_NE(classes.find("IntegerSource"), std::string::npos) << classes;
  EXPECT_EQ(classes.find("duplicate"), std::string::npos) << classes;
}

TEST_F(ModulesTest, AnExplicitModuleThatCannotLoadIsFatalInOneLine) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {QENO_OTHERMAJOR_PATH,
       "built for qeno host 99.0.0, but this is qeno host " QENO_HOST_VERSION},
      {QENO_NOMARKER_PATH, "carries no host version"},
      {QENO_NOREGISTRATION_PATH, "registers no class"},
  };
  for (const auto& [file, reason] : cases) {
    HostProcess host;
    ASSERT_TRUE(host.start(QENO_HOST_PATH, {"--module", file, "--quiet"}));
    EXPECT_EQ(host.wait(), 1) << file << ": " << host.error();
    EXPECT_NE(host.error().find(reason), std::string::npos) << host.error();
    EXPECT_EQ(linesOf(host.error()).size(), 1U) << host.error();
  }
  HostProcess both;
  ASSERT_TRUE(both.start(QENO_HOST_PATH, {"--module", QENO_MODULE_PATH, "--module-path", "."}));
  EXPECT_EQ(both.wait(), 2) << both.error();
}

// The SDK's promise: a module built against the 0.1 headers loads and runs
// in this host, its port queries, values, settings and face included.
TEST_F(ModulesTest, AModuleBuiltAgainstTheFirstHeadersLoadsAndRunsHere) {
  const std::string library = std::string(QENO_SDK01_FOLDER) + "/libqeno_test_sdk01.so";
  EXPECT_EQ(readModuleVersionMarker(library).versions, std::vector<std::string>{"0.1.0"});
  const int port = qeno::test::freePortBetween(2000, 9999);
  ASSERT_NE(port, 0);
  // 21 goes through the old box, set to triple, into the server's reply.
  const std::string graph = path("old.json");
  std::ofstream(graph)
      << R"({"format": "qeno-graph", "version": 1, "modules": [)"
      << R"({"class": "QenoServer", "content": {"port": )" << port << "}},"
      << R"({"class": "IntegerSource", "content": {"value": 1}},)"
      << R"({"class": "IntegerSource", "content": {"value": 21}},)"
      << R"({"class": "OldDoubler", "content": {"factor": 3}}], "links": [)"
      << R"({"from": {"module": 1, "output": 0}, "to": {"module": 0, "input": 0}},)"
      << R"({"from": {"module": 2, "output": 0}, "to": {"module": 3, "input": 0}},)"
      << R"({"from": {"module": 3, "output": 0}, "to": {"module": 0, "input": 1}}]})";
  HostProcess host;
  ASSERT_TRUE(host.start(QENO_HOST_PATH, {"--graph", graph, "--module-path", QENO_SDK01_FOLDER,
                                          "--quiet", "--ui", "0", "--save", path("saved.json")}));
  ASSERT_TRUE(host.waitForOutput("server 0: listening")) << host.error();
  EXPECT_EQ(qeno::test::requestReply(port, "hi\r\n"), "63,x");
  host.writeLine("quit");
  EXPECT_EQ(host.wait(), 0) << host.error();
  EXPECT_EQ(host.error(), "");
  EXPECT_NE(bytesOf(path("saved.json")).find(R"("factor": 3)"), std::string::npos);
}

// The marker is read from a file that may be cut short or damaged anywhere;
// reading must stay inside the file and never find what is not there.
TEST_F(ModulesTest, TheVersionMarkerIsReadSafelyFromDamagedFiles) {
  const ModuleVersionMarker intact = readModuleVersionMarker(QENO_MODULE_PATH);
  ASSERT_EQ(intact.kind, ModuleVersionMarker::Kind::kFound);
  EXPECT_EQ(intact.versions, std::vector<std::string>{QENO_HOST_VERSION});
  EXPECT_EQ(majorVersionOf(QENO_HOST_VERSION), QENO_HOST_VERSION_MAJOR);
  EXPECT_EQ(majorVersionOf("12.3.4"), 12);
  EXPECT_EQ(majorVersionOf("x.1"), -1);
  EXPECT_EQ(majorVersionOf(""), -1);

  EXPECT_EQ(readModuleVersionMarker(path("absent.so")).kind,
            ModuleVersionMarker::Kind::kUnreadable);
  EXPECT_EQ(readModuleVersionMarker(QENO_NOMARKER_PATH).kind, ModuleVersionMarker::Kind::kMissing);

  const std::string original = bytesOf(QENO_MODULE_PATH);
  ASSERT_GT(original.size(), 4096U);
  const std::string damaged = path("damaged.so");
  // Cut short at many lengths, from inside the header to just before the end.
  for (std::size_t length : {std::size_t{0}, std::size_t{3}, std::size_t{20}, std::size_t{63},
                             std::size_t{64}, original.size() / 2, original.size() - 1}) {
    writeBytes(damaged, original.substr(0, length));
    const ModuleVersionMarker marker = readModuleVersionMarker(damaged);
    EXPECT_NE(marker.kind, ModuleVersionMarker::Kind::kUnreadable) << length;
  }
  // The name table's index at exactly the section count, and at one less,
  // with the count cut down too: never a read past the table.
  Elf64_Ehdr header{};
  std::memcpy(&header, original.data(), sizeof header);
  ASSERT_EQ(header.e_shstrndx + 1, header.e_shnum);
  for (const std::uint16_t count :
       {std::uint16_t{1}, std::uint16_t{2}, header.e_shstrndx, header.e_shnum}) {
    for (const int below : {0, 1}) {
      Elf64_Ehdr edited = header;
      edited.e_shnum = count;
      edited.e_shstrndx = static_cast<std::uint16_t>(count - below);
      std::string bytes = original;
      std::memcpy(bytes.data(), &edited, sizeof edited);
      writeBytes(damaged, bytes);
      const ModuleVersionMarker marker = readModuleVersionMarker(damaged);
      if (below == 0 || count < header.e_shstrndx) {
        EXPECT_EQ(marker.kind, ModuleVersionMarker::Kind::kMissing) << count << " " << below;
      } else if (count == header.e_shnum) {
        EXPECT_EQ(marker.kind, ModuleVersionMarker::Kind::kFound) << count;
      }
    }
  }
  // Every byte of the ELF header set to 0xff in turn: offsets and counts
  // pointing anywhere.
  for (std::size_t at = 0; at < 64; ++at) {
    std::string bytes = original;
    bytes[at] = '\xff';
    writeBytes(damaged, bytes);
    const ModuleVersionMarker marker = readModuleVersionMarker(damaged);
    if (marker.kind == ModuleVersionMarker::Kind::kFound) {
      EXPECT_EQ(marker.versions, std::vector<std::string>{QENO_HOST_VERSION}) << at;
    }
  }
}

TEST_F(ModulesTest, TheUsersAndTheLocalFoldersAreSearchedAfterTheGivenOnesAndListed) {
  const fs::path home = folder_.dir() / "home";
  const fs::path own = home / ".local/lib/qeno/modules";
  fs::create_directories(own);
  fs::create_directories(folder_.dir() / "given");
  fs::create_directories(folder_.dir() / "environment");
  fs::copy_file(QENO_BASICS_PATH, own / "libqenobasics.so");
  const std::string build = fs::path(QENO_BASICS_PATH).parent_path().string();

  HostProcess host;
  const char* before = std::getenv("HOME");
  const std::string ownHome = before != nullptr ? before : "";
  ::setenv("HOME", home.c_str(), 1);
  ::setenv("QENO_MODULE_PATH", path("environment").c_str(), 1);
  const bool started = host.start(QENO_HOST_PATH, {"--module-path", path("given"), "--classes"});
  ::unsetenv("QENO_MODULE_PATH");
  if (before != nullptr) {
    ::setenv("HOME", ownHome.c_str(), 1);
  } else {
    ::unsetenv("HOME");
  }
  ASSERT_TRUE(started);
  ASSERT_EQ(host.wait(), 0) << host.error();

  // The user's copy comes first; the build's own is refused, naming both,
  // and the absent standard folders are passed over without a word.
  EXPECT_NE(host.output().find("Arithmetic     " + (own / "libqenobasics.so").string()),
            std::string::npos)
      << host.output();
  const std::vector<std::string> errors = linesOf(host.error());
  ASSERT_EQ(errors.size(), 4U) << host.error();  // one per class
  EXPECT_EQ(errors[0], "qeno-host: refused class Arithmetic from " + build +
                           "/libqenobasics.so: already registered by " +
                           (own / "libqenobasics.so").string());
  const std::string listing = host.output().substr(host.output().find("module folders"));
  const std::vector<std::string> lines = linesOf(listing);
  ASSERT_EQ(lines.size(), 6U) << listing;
  EXPECT_EQ(lines[1], "  " + path("given"));
  EXPECT_EQ(lines[2], "  " + path("environment"));
  EXPECT_EQ(lines[3], "  " + own.string());
  EXPECT_EQ(lines[4].rfind("  /usr/local/lib/qeno/modules", 0), 0U) << lines[4];
  EXPECT_EQ(lines[5], "  " + build);
}
