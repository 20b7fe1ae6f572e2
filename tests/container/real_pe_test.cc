// The readers and the section writer on PE files nobody here wrote: the DLLs that Wine installs
// (PE32 and PE32+) and programs built with the MinGW compilers at test time. python3-pefile is
// the independent judge of what the files hold and of what the writer made of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "author/attachment_writer.h"
#include "author/pe_image.h"
#include "container/attachment.h"
#include "container/pe_locator.h"
#include "testutil/capture.h"
#include "testutil/process.h"
#include "testutil/temp_dir.h"

namespace {

namespace fs = std::filesystem;

const char kPython[] = "/usr/bin/python3";
const std::string kCheckScript = std::string(ZT_SOURCE_DIR) + "/tests/container/check_pe.py";

bool HavePefile() {
  return testutil::Shell(std::string(kPython) + " -c 'import pefile'").exitCode == 0;
}

std::vector<std::string> WineDlls(const char* dir, size_t step) {
  std::vector<std::string> all;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    if (entry.path().extension() == ".dll") all.push_back(entry.path().string());
  }
  std::sort(all.begin(), all.end());
  std::vector<std::string> picked;
  for (size_t i = 0; i < all.size(); i += step) picked.push_back(all[i]);
  return picked;
}

// Real PE32 and PE32+ DLLs: Wine's own, and the MinGW i686 compiler's runtime DLLs, which are
// there also where 32-bit Wine is not (a machine that runs only 64-bit programs).
std::vector<std::string> AllWineDlls(size_t step) {
  std::vector<std::string> dlls;
  for (const char* dir : {"/usr/lib/i386-linux-gnu/wine/i386-windows",
                          "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows",
                          "/usr/lib/gcc/i686-w64-mingw32/12-posix"}) {
    std::vector<std::string> more = WineDlls(dir, step);
    dlls.insert(dlls.end(), more.begin(), more.end());
  }
  return dlls;
}

platform::File OpenRead(const std::string& path) {
  return platform::File::Open(fs::path(path).u16string(), platform::OpenMode::kRead);
}

TEST(RealPe, HeaderReadersAgreeWithPefileOnWineDlls) {
  if (!HavePefile()) GTEST_SKIP() << "python3-pefile is not installed";
  std::vector<std::string> dlls = AllWineDlls(3);
  if (dlls.empty()) GTEST_SKIP() << "Wine's PE DLLs are not installed";
  std::string command = std::string(kPython) + " " + kCheckScript + " dump";
  for (const std::string& dll : dlls) command += " '" + dll + "'";
  testutil::RunResult dump = testutil::Shell(command);
  ASSERT_EQ(dump.exitCode, 0) << dump.output();
  const std::string& output = dump.out;

  size_t checked = 0, pe32 = 0, pe64 = 0;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    nlohmann::json info = nlohmann::json::parse(output.substr(start, end - start));
    start = end == std::string::npos ? output.size() : end + 1;
    const std::string path = info["path"];
    platform::File file = OpenRead(path);
    ASSERT_TRUE(file.IsOpen()) << path;
    const int64_t size = file.Size();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(container::GetLastSectionEnd(&file), info["last_end"].get<int64_t>()) << path;
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << path;

    const uint32_t soi = info["size_of_image"];
    const uint32_t expectedTrailer =
        info["certificate_size"].get<uint32_t>() > 256 && soi < size ? size - soi : 0;
    EXPECT_EQ(container::GetImageTrailerSize(&file, 0), expectedTrailer) << path;

    std::vector<container::ByteRange> ranges;
    const int64_t lfanew = info["lfanew"];
    const int64_t n = info["sections"];
    const bool is64 = info["machine"] == 0x8664;
    const bool isBundle = info["last_name"] == ".ZTBNDL";
    const int64_t h = lfanew + (is64 ? 264 : 248) + 40 * (n - 1);
    const int64_t tail = isBundle ? h : h + 40;
    const int64_t firstRaw = info["first_raw"];
    const bool standardOptional = info["optional_size"] == (is64 ? 240 : 224);
    const bool accepted = lfanew < 312 && n >= 1 && n <= 15 && firstRaw >= tail && standardOptional;
    EXPECT_EQ(container::CollectHeaderSkipRanges(&file, &ranges), accepted) << path;
    if (accepted && ranges.size() == 5) {
      EXPECT_EQ(ranges[0].offset, lfanew + 6);
      EXPECT_EQ(ranges[1].offset, lfanew + 80);
      EXPECT_EQ(ranges[2].offset, lfanew + 88);
      EXPECT_EQ(ranges[3].offset, lfanew + (is64 ? 168 : 152));
      EXPECT_EQ(ranges[4].offset, tail) << path;
      EXPECT_EQ(ranges[4].length, firstRaw - tail) << path;
    }
    (is64 ? pe64 : pe32)++;
    ++checked;
  }
  EXPECT_EQ(checked, dlls.size());
  EXPECT_GT(pe32, 0u);
  EXPECT_GT(pe64, 0u);
}

// Writes a section into `original`, checks it with pefile, reads every attachment back through
// the installer's readers, then replaces the section and checks again.
void WriteAndCheck(const std::string& original, const testutil::TempDir& dir, std::mt19937& rng) {
  const std::string name = fs::path(original).filename().string();
  const std::string first = (dir / (name + ".1")).string();
  const std::string second = (dir / (name + ".2")).string();
  std::string load(20000 + rng() % 70000, '\0');
  for (char& c : load) c = static_cast<char>(rng());
  auto status = ztpack::WriteBundleSection(original, first,
                                           {ztpack::AttachmentInput::FromBytes("TYPE", "silent"),
                                            ztpack::AttachmentInput::FromBytes("LOAD", load)});
  ASSERT_TRUE(status.ok()) << status.error();
  testutil::RunResult check = testutil::Shell(std::string(kPython) + " " + kCheckScript +
                                              " section '" + original + "' '" + first + "'");
  EXPECT_EQ(check.exitCode, 0) << check.output();

  testutil::DebugCapture quiet(false);  // progress texts
  support::testing::ForceTrace(0);
  const std::u16string firstWide = fs::path(first).u16string();
  EXPECT_EQ(container::ReadAttachmentToString(firstWide, "TYPE"), "silent") << name;
  const std::u16string extracted = (dir / (name + ".load")).u16string();
  EXPECT_TRUE(container::ExtractAttachmentToFile(true, firstWide, "LOAD", extracted, 50, 0));
  EXPECT_EQ(testutil::ReadFile(fs::path(extracted)), load) << name;
  // Unsigned, so the image-end chain is the file-end chain: the section's end is the file's.
  int32_t offset = -1;
  EXPECT_EQ(container::ReadAttachmentWithOffset(firstWide, "LOAD", &offset), load) << name;
  platform::File file = OpenRead(first);
  std::vector<container::ByteRange> ranges;
  if (container::CollectHeaderSkipRanges(&file, &ranges)) {
    auto image = ztpack::ReadPeImage(first);
    ASSERT_TRUE(image.ok());
    EXPECT_EQ(static_cast<uint64_t>(ranges[4].offset), image->sections.back().headerOffset)
        << name << ": the skip range starts at the .ZTBNDL header";
  }

  status = ztpack::WriteBundleSection(first, second,
                                      {ztpack::AttachmentInput::FromBytes("TYPE", "gui")});
  ASSERT_TRUE(status.ok()) << status.error();
  check = testutil::Shell(std::string(kPython) + " " + kCheckScript + " section '" + first + "' '" +
                          second + "'");
  EXPECT_EQ(check.exitCode, 0) << check.output();
  EXPECT_EQ(container::ReadAttachmentToString(fs::path(second).u16string(), "TYPE"), "gui");
  EXPECT_EQ(container::ReadAttachmentToString(fs::path(second).u16string(), "LOAD"), "")
      << "the replaced section's attachments are gone";
  support::testing::ForceTrace(-1);
}

TEST(RealPe, SectionWriterOnWineDlls) {
  if (!HavePefile()) GTEST_SKIP() << "python3-pefile is not installed";
  std::vector<std::string> dlls = AllWineDlls(45);
  if (dlls.empty()) GTEST_SKIP() << "Wine's PE DLLs are not installed";
  testutil::TempDir dir;
  std::mt19937 rng(7);
  for (const std::string& dll : dlls) WriteAndCheck(dll, dir, rng);
}

TEST(RealPe, SectionWriterOnMinGwPrograms) {
  if (!HavePefile()) GTEST_SKIP() << "python3-pefile is not installed";
  testutil::TempDir dir;
  testutil::WriteFile(dir / "hello.c",
                      "#include <stdio.h>\nint main(void) { puts(\"hello\"); return 0; }\n");
  std::mt19937 rng(11);
  int built = 0;
  for (const char* compiler : {"i686-w64-mingw32-gcc", "x86_64-w64-mingw32-gcc"}) {
    if (!testutil::HaveCommand(compiler)) continue;
    for (const char* flags : {"", "-s"}) {
      const std::string exe =
          (dir / (std::string(compiler) + (flags[0] ? "-stripped" : "") + ".exe")).string();
      testutil::RunResult compiled =
          testutil::Shell(std::string(compiler) + " -O1 " + flags + " -o '" + exe + "' '" +
                          (dir / "hello.c").string() + "'");
      ASSERT_EQ(compiled.exitCode, 0) << compiled.output();
      WriteAndCheck(exe, dir, rng);
      ++built;
    }
  }
  EXPECT_EQ(built, 4) << "scripts/setup.sh installs both MinGW compilers";
}

}  // namespace
