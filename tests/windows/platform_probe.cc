// Exercises the win32 platform layer against the real Windows calls (run under Wine by
// tests/wine/platform_probe_test.cc). Prints one line per check, "ok NAME" or
// "FAIL NAME: detail", and "info NAME VALUE" for facts that depend on the machine; the exit code
// is the number of failed checks.
//
//   platform_probe.exe DIR             runs the checks in the empty directory DIR (Windows path)
//   platform_probe.exe --child F [N]   writes F in the current directory and exits with N (the
//                                      process check)
//   platform_probe.exe --run LINE      starts the command line LINE with platform::Process,
//                                      waits, and prints "exit N" with its whole exit code (the
//                                      end-to-end tests, where Wine's own status keeps 8 bits)
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/text.h"
#include "support/trace.h"
#include "testutil/command_tails.h"

namespace {

int failures = 0;

void Check(bool ok, const char* name, const std::string& detail = "") {
  if (ok) {
    std::printf("ok %s\n", name);
  } else {
    std::printf("FAIL %s: %s\n", name, detail.c_str());
    ++failures;
  }
}

std::string U8(const std::u16string& s) { return support::WideToUtf8(s); }

void Info(const char* name, const std::string& value) {
  std::printf("info %s %s\n", name, value.c_str());
}

std::vector<std::string> captured;
void Capture(const char* text, void*) { captured.emplace_back(text); }

bool WriteAll(const std::u16string& path, const std::string& bytes) {
  platform::File f = platform::File::Open(path, platform::OpenMode::kWrite);
  return f.IsOpen() && f.Write(bytes.data(), bytes.size()) == static_cast<int64_t>(bytes.size());
}

void CheckFiles(const std::u16string& dir) {
  const std::u16string path = dir + u"\\data.bin";
  Check(WriteAll(path, "abc123"), "file_write");
  {
    platform::File f = platform::File::Open(path, platform::OpenMode::kRead);
    char buf[8] = {};
    Check(f.Size() == 6, "file_size", std::to_string(f.Size()));
    Check(f.Read(buf, 2) == 2 && std::memcmp(buf, "ab", 2) == 0, "file_read");
    Check(f.ReadAt(3, buf, 8) == 3 && std::memcmp(buf, "123", 3) == 0, "file_read_at");
    Check(f.Tell() == 2, "file_read_at_keeps_position", std::to_string(f.Tell()));
    Check(f.Seek(-1, platform::Whence::kEnd) == 5 && f.Read(buf, 8) == 1 && buf[0] == '3',
          "file_seek_end");
    Check(f.Read(buf, 8) == 0, "file_read_at_end");
  }
  Check(!platform::File::Open(dir + u"\\missing", platform::OpenMode::kRead).IsOpen(),
        "file_open_missing_fails");
  Check(!platform::File::Open(dir, platform::OpenMode::kRead).IsOpen(),
        "file_open_directory_fails");

  // Sharing: deny-write keeps writers and deleters out; share-all lets both in.
  {
    platform::File reader = platform::File::Open(path, platform::OpenMode::kReadDenyWrite);
    Check(reader.IsOpen(), "deny_write_opens");
    Check(!platform::File::Open(path, platform::OpenMode::kWrite).IsOpen(),
          "deny_write_blocks_writer");
    Check(!platform::DeleteFile(path), "deny_write_blocks_delete");
    Check(platform::File::Open(path, platform::OpenMode::kReadDenyWrite).IsOpen(),
          "deny_write_allows_reader");
  }
  {
    platform::File reader = platform::File::Open(path, platform::OpenMode::kReadShareAll);
    Check(reader.IsOpen(), "share_all_opens");
    Check(platform::File::Open(path, platform::OpenMode::kRead).IsOpen(),
          "share_all_allows_reader");
    Check(platform::RenameFile(path, dir + u"\\moved.bin"), "share_all_allows_rename");
  }
  Check(WriteAll(dir + u"\\other.bin", "xy"), "file_write_other");
  Check(platform::RenameFile(dir + u"\\other.bin", dir + u"\\moved.bin"), "rename_replaces");
  {
    platform::File f = platform::File::Open(dir + u"\\moved.bin", platform::OpenMode::kRead);
    Check(f.Size() == 2, "rename_replaced_content", std::to_string(f.Size()));
  }
  Check(platform::DeleteFile(dir + u"\\moved.bin"), "delete_file");
  Check(platform::GetFileAttributes(dir + u"\\moved.bin") == platform::kInvalidAttributes,
        "deleted_file_gone");
}

// The directory's DACL in SDDL form, "(none)" when it cannot be read.
std::string DaclText(const std::u16string& path) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  PACL dacl = nullptr;
  std::string sddl = "(none)";
  if (GetNamedSecurityInfoW(reinterpret_cast<const wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                            &sd) == ERROR_SUCCESS) {
    LPWSTR text = nullptr;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(
            sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
      sddl = U8(reinterpret_cast<const char16_t*>(text));
      LocalFree(text);
    }
    LocalFree(sd);
  }
  return sddl;
}

void CheckDirectories(const std::u16string& dir) {
  const std::u16string sub = dir + u"\\sub";
  Check(platform::CreateDirectory(sub), "create_directory");
  Info("default_dacl", DaclText(sub));
  Check(!platform::CreateDirectory(sub), "create_existing_directory_fails");
  Check((platform::GetFileAttributes(sub) & platform::kAttrDirectory) != 0, "directory_attribute");
  Check(WriteAll(sub + u"\\f\u00e9.txt", "1"), "file_with_non_ascii_name");
  std::vector<platform::DirEntry> entries;
  Check(platform::ListDirectory(sub, &entries), "list_directory");
  std::string names;
  bool sawFile = false;
  for (const auto& e : entries) {
    names += U8(e.name) + " ";
    if (e.name == u"f\u00e9.txt") sawFile = (e.attributes & platform::kAttrDirectory) == 0;
  }
  Check(entries.size() == 3 && sawFile, "list_directory_entries", names);
  std::vector<platform::DirEntry> none;
  Check(!platform::ListDirectory(dir + u"\\nowhere", &none) && none.empty(), "list_missing_fails");
  Check(!platform::RemoveDirectory(sub), "remove_nonempty_directory_fails");
  Check(!platform::RemoveLink(sub), "remove_link_refuses_plain_directory");
  Check(platform::DeleteFile(sub + u"\\f\u00e9.txt") && platform::RemoveDirectory(sub),
        "remove_directory");

  // The workspace's directory: restricted when elevated, else default security.
  const std::u16string restricted = dir + u"\\restricted";
  Check(platform::CreateDirectory(restricted, true), "create_restricted_directory");
  Check(!platform::CreateDirectory(restricted, true), "create_existing_restricted_fails");
  Info("restricted_dacl", DaclText(restricted));
  platform::RemoveDirectory(restricted);
  // Left behind for the caller, which looks at what Wine made of the two on the Unix side.
  Check(platform::CreateDirectory(dir + u"\\keep_default") &&
            platform::CreateDirectory(dir + u"\\keep_restricted", true),
        "create_kept_directories");
}

void CheckText() {
  const std::u16string wide = u"a\u00e9\u20ac\U0001D11E";  // 1 + 2 + 3 + 4 bytes in UTF-8
  char out[16];
  bool insufficient = true;
  int n = platform::WideToUtf8Raw(wide.c_str(), -1, out, sizeof out, &insufficient);
  Check(n == 11 && !insufficient &&
            std::memcmp(out, "a\xc3\xa9\xe2\x82\xac\xf0\x9d\x84\x9e", 11) == 0,
        "wide_to_utf8", std::to_string(n));
  Check(platform::WideToUtf8Raw(wide.c_str(), -1, nullptr, 0, &insufficient) == 11,
        "wide_to_utf8_size_query");
  n = platform::WideToUtf8Raw(wide.c_str(), -1, out, 4, &insufficient);
  Check(n == 0 && insufficient, "wide_to_utf8_insufficient");
  char16_t back[16];
  n = platform::Utf8ToWideRaw("a\xc3\xa9\xe2\x82\xac\xf0\x9d\x84\x9e", 10, back, 16, &insufficient);
  Check(n == 5 && !insufficient && std::u16string(back, 5) == wide, "utf8_to_wide",
        std::to_string(n));
  n = platform::Utf8ToWideRaw("abcdef", -1, back, 3, &insufficient);
  Check(n == 0 && insufficient, "utf8_to_wide_insufficient");
  n = platform::Utf8ToWideRaw(
      "a\xff"
      "b",
      3, back, 16, &insufficient);
  Check(n == 3 && back[1] == 0xFFFD, "utf8_to_wide_replaces_malformed", std::to_string(n));
}

void CheckTrace() {
  support::testing::ForceTrace(1);
  platform::SetDebugOutputHook(&Capture, nullptr);
  support::Trace("%s=%d [%08x] %5.2f%%\n", "n", -12, 0x1A2Cu, 2.5);
  std::string big(5000, 'x');
  support::Trace("%s", big.c_str());
  platform::SetDebugOutputHook(nullptr, nullptr);
  support::testing::ForceTrace(-1);
  char prefix[16];
  std::snprintf(prefix, sizeof prefix, "[T %08x] ", static_cast<unsigned>(GetCurrentThreadId()));
  Check(captured.size() == 2, "trace_count", std::to_string(captured.size()));
  if (captured.size() != 2) return;
  Check(captured[0] == std::string(prefix) + "n=-12 [00001a2c]  2.50%\n", "trace_format",
        captured[0]);
  // C99 truncation: cut to the capacity, still terminated.
  Check(captured[1].size() == 13 + 4077 && captured[1].compare(0, 13, prefix) == 0,
        "trace_truncates_long_message", std::to_string(captured[1].size()));
}

void CheckFacts(const std::u16string& self) {
  std::u16string temp = platform::TempPath();
  Check(!temp.empty() && temp.back() == u'\\', "temp_path", U8(temp));
  Check(self.size() >= 18 && self.compare(self.size() - 18, 18, u"platform_probe.exe") == 0,
        "own_executable_path", U8(self));
  Check(platform::CurrentThreadId() == GetCurrentThreadId(), "thread_id");
  int64_t now = platform::CalendarTime();
  Check(now > 1600000000 && now - static_cast<int64_t>(std::time(nullptr)) <= 1, "calendar_time",
        std::to_string(now));
  Check(platform::TickCount() != 0, "tick_count");
  int r = platform::Rand();
  Check(r >= 0 && r <= 32767, "rand_range", std::to_string(r));
  Info("wow64", platform::IsWow64() ? "1" : "0");
  Info("process_bits", std::to_string(sizeof(void*) * 8));
  Info("major_version", std::to_string(platform::MajorVersion()));
  Info("elevated", platform::IsElevated() ? "1" : "0");

  unsigned char random[2][16] = {};
  Check(platform::SystemRandom(random[0], 16) && platform::SystemRandom(random[1], 16) &&
            std::memcmp(random[0], random[1], 16) != 0,
        "system_random");
  // The DLL that holds the random generator comes from the system directory, or is none.
  wchar_t system[MAX_PATH], cryptbase[MAX_PATH] = L"";
  const UINT systemLength = GetSystemDirectoryW(system, MAX_PATH);
  HMODULE module = GetModuleHandleW(L"cryptbase.dll");
  Check(module == nullptr || (GetModuleFileNameW(module, cryptbase, MAX_PATH) > systemLength &&
                              _wcsnicmp(cryptbase, system, systemLength) == 0),
        "cryptbase_from_system_directory", module == nullptr ? "not loaded" : "");
  Info("cryptbase", module == nullptr ? "not loaded" : "loaded");

  std::vector<std::u16string> own = platform::SplitCommandLine(u"");
  Check(own.size() == 1 && own[0] == self, "split_empty_gives_own_path",
        own.empty() ? "" : U8(own[0]));
  // The same table as the POSIX layer's test: both split as Windows does.
  for (const testutil::CommandTailCase& c : testutil::CommandTailCases()) {
    std::string got;
    for (const auto& s : platform::SplitCommandLine(c.tail)) got += "<" + U8(s) + ">";
    std::string expected;
    for (const auto& s : c.arguments) expected += "<" + U8(s) + ">";
    Check(got == expected, "split_command_line", U8(c.tail) + " gave " + got);
  }
}

void CheckProcess(const std::u16string& self, const std::u16string& dir) {
  platform::Process child = platform::Process::Start(u"\"" + self + u"\" --child marker.txt", dir);
  Check(child.IsStarted(), "process_start");
  Check(child.Wait() == 0, "process_wait_exit_code");
  Check(!child.IsStarted(), "process_wait");
  // The whole 32-bit exit code comes back: a restart request, and one of the front end's own.
  for (uint32_t code : {3010u, 0x205A54E7u}) {
    child = platform::Process::Start(
        u"\"" + self + u"\" --child marker.txt " + support::Utf8ToWide(std::to_string(code)), dir);
    const uint32_t got = child.Wait();
    Check(got == code, "process_exit_code", std::to_string(got));
  }
  Check(child.Wait() == platform::Process::kUnknownExitCode, "process_wait_twice");
  platform::File marker = platform::File::Open(dir + u"\\marker.txt", platform::OpenMode::kRead);
  Check(marker.IsOpen(), "process_ran_in_current_dir");
  marker.Close();
  platform::DeleteFile(dir + u"\\marker.txt");
  Check(!platform::Process::Start(u"\"" + dir + u"\\no such program.exe\"", dir).IsStarted(),
        "process_start_missing_fails");
}

// The workspace's protections as far as Wine shows them: a held directory cannot be renamed or
// deleted by anyone else, its path is recognised (in any letter case) and another directory's
// is not, and it is removed through the handle; a reopened file reads the held file; the system
// temporary directory; and the DLL search fallback where SetDefaultDllDirectories is not used.
void CheckHolds(const std::u16string& dir) {
  const std::u16string held = dir + u"\\held";
  const std::u16string other = dir + u"\\other";
  Check(platform::CreateDirectory(held) && platform::CreateDirectory(other), "hold_dirs_created");
  WriteAll(held + u"\\f.txt", "in held");
  {
    platform::DirectoryHold hold = platform::DirectoryHold::Open(held);
    Check(hold.IsOpen(), "hold_opens");
    Check(hold.IsNamedBy(held) && hold.IsNamedBy(held + u"\\"), "hold_named_by_its_path");
    std::u16string upper = held;
    for (char16_t& c : upper) c = (c >= u'a' && c <= u'z') ? c - 32 : c;
    Check(hold.IsNamedBy(upper), "hold_named_in_other_case", U8(upper));
    Check(!hold.IsNamedBy(other), "hold_not_named_by_other_dir");
    Check(!MoveFileW(reinterpret_cast<const wchar_t*>(held.c_str()),
                     reinterpret_cast<const wchar_t*>((dir + u"\\renamed").c_str())),
          "hold_denies_rename", std::to_string(GetLastError()));
    Check(!platform::RemoveDirectory(held), "hold_denies_delete");
    Check(!platform::DirectoryHold::Open(dir + u"\\missing").IsOpen(), "hold_missing_fails");
    // A process may have the held directory as its current directory.
    platform::Process child = platform::Process::Start(
        u"\"" + platform::OwnExecutablePath() + u"\" --child started.txt", held);
    Check(child.IsStarted(), "hold_allows_current_directory");
    child.Wait();
    platform::DeleteFile(held + u"\\started.txt");
    Check(!hold.RemoveAndClose() && !hold.IsOpen(), "hold_keeps_nonempty_dir");
    Check(platform::GetFileAttributes(held) != platform::kInvalidAttributes, "hold_nonempty_stays");
    hold = platform::DirectoryHold::Open(held);
    platform::DeleteFile(held + u"\\f.txt");
    Check(hold.RemoveAndClose(), "hold_removes_through_handle");
    Check(platform::GetFileAttributes(held) == platform::kInvalidAttributes, "hold_dir_removed");
  }
  platform::RemoveDirectory(other);

  const std::u16string path = dir + u"\\reopen.bin";
  WriteAll(path, "original");
  {
    platform::File holder = platform::File::Open(path, platform::OpenMode::kReadDenyWrite);
    platform::File again = holder.Reopen();
    char buf[16] = {};
    Check(again.IsOpen() && again.Read(buf, 16) == 8 && std::memcmp(buf, "original", 8) == 0,
          "reopen_reads_the_file");
    Check(!platform::File::Open(path, platform::OpenMode::kWrite).IsOpen(),
          "reopen_still_denies_writers");
  }
  platform::DeleteFile(path);

  const std::u16string systemTemp = platform::SystemTempPath();
  Check(systemTemp.size() > 6 && systemTemp.compare(systemTemp.size() - 6, 6, u"\\Temp\\") == 0,
        "system_temp_path", U8(systemTemp));
  Check(
      platform::RestrictDllSearchPath(false) == platform::DllSearchRestriction::kNoCurrentDirectory,
      "dll_search_fallback");
  Check(platform::RestrictDllSearchPath() == platform::DllSearchRestriction::kSystem32Only,
        "dll_search_default_directories");
}

}  // namespace

// The running image, opened through its path: held against writers and renamers, and only while
// it is the running file. The running file renamed away and a copy of it (the same bytes, another
// file) put at its path: the copy is refused, the renamed file still recognised.
void CheckOwnImage(const std::u16string& self) {
  const std::u16string moved = self + u".moved";
  auto w = [](const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); };
  {
    platform::File image = platform::OpenOwnImage(self);
    char mz[2] = {};
    Check(image.Read(mz, 2) == 2 && mz[0] == 'M' && mz[1] == 'Z', "own_image_reads", U8(self));
    Check(!MoveFileW(w(self), w(moved)), "own_image_denies_rename");
    Check(!platform::File::Open(self, platform::OpenMode::kWrite).IsOpen(),
          "own_image_denies_writers");
  }
  Check(MoveFileW(w(self), w(moved)) && CopyFileW(w(moved), w(self), TRUE),
        "own_image_renamed_and_replaced", std::to_string(GetLastError()));
  Check(!platform::OpenOwnImage(self).IsOpen(), "own_image_refuses_what_replaced_it");
  Check(platform::OpenOwnImage(moved).IsOpen(), "own_image_found_renamed");
  DeleteFileW(w(self));
  MoveFileW(w(moved), w(self));
}

int wmain(int argc, wchar_t** argv) {
  if ((argc == 3 || argc == 4) && std::wcscmp(argv[1], L"--child") == 0) {
    if (!WriteAll(reinterpret_cast<const char16_t*>(argv[2]), "child")) return 1;
    return argc == 4 ? static_cast<int>(std::wcstoul(argv[3], nullptr, 10)) : 0;
  }
  if (argc == 3 && std::wcscmp(argv[1], L"--run") == 0) {
    platform::Process process =
        platform::Process::Start(reinterpret_cast<const char16_t*>(argv[2]), u"");
    if (!process.IsStarted()) {
      std::printf("not started\n");
      return 1;
    }
    std::printf("exit %lu\n", static_cast<unsigned long>(process.Wait()));
    return 0;
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: platform_probe DIR\n");
    return 100;
  }
  std::u16string dir = reinterpret_cast<const char16_t*>(argv[1]);
  std::u16string self = platform::OwnExecutablePath();
  CheckFiles(dir);
  CheckDirectories(dir);
  CheckText();
  CheckTrace();
  CheckFacts(self);
  CheckProcess(self, dir);
  CheckHolds(dir);
  CheckOwnImage(self);
  std::printf("done %d\n", failures);
  return failures;
}
