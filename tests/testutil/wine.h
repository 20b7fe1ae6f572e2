// Runs Windows programs under Wine for the native tests: a private prefix, captured output, the
// debugger channel, the registry trace switch, and an X server for programs with windows.
//
// How Windows programs run on this machine is decided in one place, scripts/wine-arch.sh, which
// the scripts use too: the 32-bit build (build/windows) under the 32-bit loader where the kernel
// starts 32-bit programs, else the 64-bit build (build/windows64) under Debian's 64-bit loader;
// ZT_WINE_ARCH=win32|win64 overrides. WineChoice() holds the answer.
//
// The prefix lives in the build directory, one per choice ($ZT_WINEPREFIX overrides it), and
// is made once with `wineboot -i`; a lock file next to it serialises its creation between test
// processes that ctest starts in parallel. Tests that change the registry share that prefix's
// registry, so their ctest entries carry RESOURCE_LOCK wineprefix (tests/CMakeLists.txt).
//
// Wine behaviour this relies on (Wine 8.0 of Debian 12):
// - With WINEDEBUG=+debugstr every OutputDebugStringA text appears on Wine's standard error as
//     0024:warn:debugstr:OutputDebugStringA "escaped text"
//   where 0024 is the calling thread's id in hex and the text is escaped C-style (\n \r \t \"
//   \\, and \xNN for bytes below 0x20 and from 0x7f on). Wine shortens the escaped form to about
//   290 characters and then ends the line with "... instead of the closing quote: longer texts
//   arrive cut, and DebugText::truncated says so.
// - The program's own standard error shares that stream; its standard output is separate.
//   Both are in text mode: a "\n" printed by the program arrives as "\r\n".
// - `wine` returns the Windows exit code of the program. `wineboot` returns before the
//   registry files are written; `wineserver -w` waits for that.
// - The wineserver that the first `wine` starts outlives it and inherits its standard output
//   and error, so a pipe never reports end of file while that server lives: output is read
//   until the program has exited and then drained, never "until EOF".
// - A 64-bit prefix (the default with wine64 installed) keeps separate 32- and 64-bit registry
//   views; `reg ... /reg:64` writes the view that KEY_WOW64_64KEY reads.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "testutil/process.h"

namespace testutil {

// Text-mode output of a Windows program with its line ends made "\n".
inline std::string WithoutCarriageReturns(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out.push_back(text[i]);
  }
  return out;
}

struct DebugText {
  unsigned threadId = 0;   // Wine's thread id of the caller
  std::string text;        // unescaped
  bool truncated = false;  // Wine cut the text (see the top of this file)
};

// The OutputDebugStringA texts in a Wine standard-error stream, in order.
inline std::vector<DebugText> ParseDebugChannel(const std::string& err) {
  static const std::string kMarker = ":warn:debugstr:OutputDebugStringA \"";
  std::vector<DebugText> texts;
  size_t lineStart = 0;
  while (lineStart < err.size()) {
    size_t lineEnd = err.find('\n', lineStart);
    if (lineEnd == std::string::npos) lineEnd = err.size();
    std::string line = err.substr(lineStart, lineEnd - lineStart);
    lineStart = lineEnd + 1;
    size_t marker = line.find(kMarker);
    if (marker == std::string::npos) continue;
    // The part before the marker is "tid" or, with +pid, "pid:tid".
    std::string ids = line.substr(0, marker);
    size_t lastColon = ids.rfind(':');
    std::string tid = lastColon == std::string::npos ? ids : ids.substr(lastColon + 1);
    if (tid.empty() || tid.find_first_not_of("0123456789abcdef") != std::string::npos) continue;
    DebugText entry;
    entry.threadId = static_cast<unsigned>(std::strtoul(tid.c_str(), nullptr, 16));
    size_t i = marker + kMarker.size();
    bool closed = false;
    while (i < line.size()) {
      char c = line[i++];
      if (c == '"') {
        closed = true;
        break;
      }
      if (c != '\\' || i >= line.size()) {
        entry.text.push_back(c);
        continue;
      }
      char e = line[i++];
      switch (e) {
        case 'n': entry.text.push_back('\n'); break;
        case 'r': entry.text.push_back('\r'); break;
        case 't': entry.text.push_back('\t'); break;
        case 'x':
          if (i + 2 <= line.size()) {
            entry.text.push_back(
                static_cast<char>(std::strtoul(line.substr(i, 2).c_str(), nullptr, 16)));
            i += 2;
          }
          break;
        default: entry.text.push_back(e); break;  // \" and \\ .
      }
    }
    entry.truncated = closed && line.compare(i, 3, "...") == 0;
    texts.push_back(std::move(entry));
  }
  return texts;
}

// A private Xvfb server, for programs that open windows. The display number is chosen by the
// server itself (-displayfd), so parallel tests never race for one.
class XvfbServer {
 public:
  XvfbServer() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setpgid(0, 0);
      int devNull = ::open("/dev/null", O_RDWR);
      if (devNull >= 0) {
        ::dup2(devNull, 0);
        ::dup2(devNull, 1);
        ::dup2(devNull, 2);
      }
      ::dup2(fds[1], 3);  // without close-on-exec
      ::execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten", "tcp",
               "-noreset", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    if (pid_ < 0) {
      ::close(fds[0]);
      return;
    }
    std::string number;
    pollfd p = {fds[0], POLLIN, 0};
    char c;
    while (::poll(&p, 1, 20000) > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') number.push_back(c);
    ::close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
  }
  ~XvfbServer() {
    if (pid_ > 0) {
      ::kill(-pid_, SIGTERM);
      ::kill(pid_, SIGTERM);
      int status;
      ::waitpid(pid_, &status, 0);
    }
  }
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  bool ok() const { return !display_.empty(); }
  const std::string& display() const { return display_; }  // ":N"

 private:
  pid_t pid_ = -1;
  std::string display_;
};

struct WineRunResult : RunResult {
  std::vector<DebugText> debug;  // the OutputDebugStringA texts, in order
  std::vector<std::string> debugTexts() const {
    std::vector<std::string> texts;
    for (const auto& d : debug) texts.push_back(d.text);
    return texts;
  }
  std::string outText() const { return WithoutCarriageReturns(out); }
};

// The way this machine runs Windows programs (scripts/wine-arch.sh), read once per process.
struct WineArch {
  std::string arch;             // "win32" or "win64"
  std::string reason;           // why, in words
  std::string loader;           // the Wine loader that starts the programs
  std::string windowsBuildDir;  // where the matching Windows build puts its programs
  std::string error;            // non-empty when the script could not decide
  bool is64() const { return arch == "win64"; }
};

inline const WineArch& WineChoice() {
  static const WineArch choice = [] {
    WineArch c;
#ifdef ZT_SOURCE_DIR
    const std::string source = ZT_SOURCE_DIR;
#else
    const std::string source = ".";
#endif
    RunResult run = RunProcess({"bash", source + "/scripts/wine-arch.sh"});
    if (!run.started || run.exitCode != 0) {
      c.error = "scripts/wine-arch.sh failed: " + run.err;
      return c;
    }
    std::string subdir;
    size_t start = 0;
    while (start < run.out.size()) {
      size_t end = run.out.find('\n', start);
      if (end == std::string::npos) end = run.out.size();
      std::string line = run.out.substr(start, end - start);
      start = end + 1;
      size_t eq = line.find('=');
      if (eq == std::string::npos) continue;
      std::string key = line.substr(0, eq), value = line.substr(eq + 1);
      if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') {
        value = value.substr(1, value.size() - 2);
      }
      if (key == "ZT_WINE_ARCH") c.arch = value;
      if (key == "ZT_WINE_REASON") c.reason = value;
      if (key == "ZT_WINE_LOADER") c.loader = value;
      if (key == "ZT_WINDOWS_BUILD_SUBDIR") subdir = value;
    }
    if (c.arch.empty() || c.loader.empty() || subdir.empty()) {
      c.error = "scripts/wine-arch.sh gave no answer: " + run.out;
      return c;
    }
    // An explicit build directory (a Windows build made elsewhere) still wins.
    const char* env = std::getenv("ZT_WINDOWS_BUILD_DIR");
    c.windowsBuildDir = env != nullptr && *env != '\0' ? env : source + "/build/" + subdir;
    return c;
  }();
  return choice;
}

// The Windows build that this machine runs: its directory and the programs in it.
inline std::string WindowsBuildDir() { return WineChoice().windowsBuildDir; }

// Empty when every one of the Windows build's programs exists; else what is missing and how to
// build it. The test command builds both Windows configurations, so a missing program is a
// failure, never a reason to skip.
inline std::string MissingWindowsPrograms(const std::vector<std::string>& relativePaths) {
  std::string missing;
  for (const auto& relative : relativePaths) {
    std::string path = WindowsBuildDir() + "/" + relative;
    if (::access(path.c_str(), F_OK) != 0) missing += (missing.empty() ? "" : ", ") + path;
  }
  if (missing.empty()) return missing;
  const std::string preset = WineChoice().is64() ? "windows64" : "windows";
  return "the Windows build that this machine runs (" + WineChoice().arch + ": " +
         WineChoice().reason + ") is missing " + missing + "; run cmake --preset " + preset +
         " && cmake --build --preset " + preset;
}

class Wine {
 public:
  // The process-wide instance; the prefix is made (or found) on first use.
  static Wine& Get() {
    static Wine wine(WineChoice());
    return wine;
  }
  // The 64-bit loader and prefix, for programs that exist only as 64-bit builds (ztpack.exe):
  // Get() itself where this machine's choice is win64, else a second prefix beside it.
  static Wine& Get64() {
    if (WineChoice().is64()) return Get();
    static Wine wine([] {
      WineArch arch = WineChoice();
      arch.arch = "win64";
      arch.reason = "a 64-bit program, under the 64-bit loader (beside " + WineChoice().arch + ")";
      arch.loader = "/usr/lib/wine/wine64";
      arch.windowsBuildDir = SourceDir() + "/build/windows64";
      return arch;
    }());
    return wine;
  }

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  const std::string& prefix() const { return prefix_; }
  const WineArch& arch() const { return arch_; }

  // Runs a Windows program: exe is a Linux path, args are passed as they are.
  // display: empty for console programs (no X needed), or an X display such as
  // XvfbServer::display().
  WineRunResult Run(const std::string& exe, const std::vector<std::string>& args = {},
                    RunOptions options = {}, const std::string& display = "") const {
    std::vector<std::string> argv = {loader_, exe};
    argv.insert(argv.end(), args.begin(), args.end());
    AddEnvironment(&options, display);
    // The session's desktop process fixes the display driver of every program that joins it:
    // one left from an earlier run without a display (the server lingers a few seconds after
    // its last program), or with a display since closed, would leave this program no driver
    // and no windows. A run with a display therefore starts a session of its own.
    if (!display.empty()) EndSession(options);
    WineRunResult result;
    static_cast<RunResult&>(result) = RunProcess(argv, options);
    result.debug = ParseDebugChannel(result.err);
    return result;
  }

  // Runs a program under a private Xvfb server started for this run only.
  WineRunResult RunUnderXvfb(const std::string& exe, const std::vector<std::string>& args = {},
                             RunOptions options = {}) const {
    XvfbServer x;
    if (!x.ok()) {
      WineRunResult failed;
      failed.err = "Xvfb did not start";
      return failed;
    }
    return Run(exe, args, std::move(options), x.display());
  }

  // `wine reg ...` in the prefix; true when reg.exe reports success.
  bool Reg(const std::vector<std::string>& args, std::string* output = nullptr) const {
    std::vector<std::string> argv = {loader_, "reg"};
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions options;
    options.timeoutSeconds = 60;
    AddEnvironment(&options, "");
    RunResult r = RunProcess(argv, options);
    if (output != nullptr) *output = WithoutCarriageReturns(r.out + r.err);
    return r.started && !r.timedOut && r.exitCode == 0;
  }

  // The registry trace switch, in the 64-bit view.
  bool SetTraceSwitch(const std::string& value = "!Tracelog!",
                      const std::string& type = "REG_SZ") const {
    return Reg({"add", kSwitchKey, "/v", "ZTSTR", "/t", type, "/d", value, "/f", "/reg:64"});
  }
  // Removes the whole key from both registry views; true also when it was not there.
  bool ClearTraceSwitch() const {
    bool gone = true;
    for (const char* view : {"/reg:64", "/reg:32"}) {
      std::string output;
      if (!Reg({"delete", kSwitchKey, "/f", view}, &output)) {
        gone = gone && output.find("Unable to find") != std::string::npos;
      }
    }
    return gone;
  }

  static constexpr const char* kSwitchKey = "HKLM\\Software\\Quillmora";

 private:
  explicit Wine(const WineArch& choice) : arch_(choice) {
    if (!choice.error.empty()) {
      error_ = choice.error;
      return;
    }
    loader_ = choice.loader;
    if (!choice.is64() &&
        RunProcess({"bash", SourceDir() + "/scripts/wine-arch.sh", "--can-run-32"}).exitCode != 0) {
      error_ = "Wine cannot run here: " + choice.reason +
               ", but the kernel of this machine cannot start 32-bit programs; unset "
               "ZT_WINE_ARCH or set it to win64";
      return;
    }
    if (::access(loader_.c_str(), X_OK) != 0) {
      error_ = "Wine cannot run here: " + loader_ + " is missing (" + choice.arch + ": " +
               choice.reason + "); scripts/setup.sh installs " +
               (choice.is64() ? "wine and wine64" : "wine and wine32:i386");
      return;
    }
    wineserver_ = FindInPath("wineserver");
    const char* env = std::getenv("ZT_WINEPREFIX");
#ifdef ZT_BINARY_DIR
    const std::string base = std::string(ZT_BINARY_DIR) + "/wineprefix-" + choice.arch;
#else
    const std::string base = "/tmp/zt-wineprefix-" + choice.arch;
#endif
    prefix_ = env != nullptr && *env != '\0' ? env : base;
    MakePrefix();
  }

  static std::string SourceDir() {
#ifdef ZT_SOURCE_DIR
    return ZT_SOURCE_DIR;
#else
    return ".";
#endif
  }

  static std::string FindInPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
      size_t end = dirs.find(':', start);
      if (end == std::string::npos) end = dirs.size();
      std::string candidate = dirs.substr(start, end - start) + "/" + name;
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
      start = end + 1;
    }
    return "";
  }

  // Ends the prefix's Wine session, if one is running, and waits until it has ended.
  void EndSession(const RunOptions& runOptions) const {
    RunOptions options;
    options.env = runOptions.env;
    options.unsetEnv = runOptions.unsetEnv;
    options.timeoutSeconds = 60;
    const std::string server = wineserver_.empty() ? "wineserver" : wineserver_;
    RunProcess({server, "-k"}, options);
    RunProcess({server, "-w"}, options);
  }

  void AddEnvironment(RunOptions* options, const std::string& display) const {
    options->env.emplace_back("WINEPREFIX", prefix_);
    // Programs that start programs (the installer starts its setup program) find the same
    // loader through this, as Debian's wine wrapper arranges for the 64-bit one.
    options->env.emplace_back("WINELOADER", loader_);
    // Errors stay visible for diagnosis; fixme and warn lines would bury them, except the
    // debugger channel, which the tests read.
    options->env.emplace_back("WINEDEBUG", "fixme-all,warn-all,+debugstr");
    // No Mono or Gecko installer prompts: the programs under test need neither.
    options->env.emplace_back("WINEDLLOVERRIDES", "mscoree,mshtml=");
    if (display.empty()) {
      options->unsetEnv.push_back("DISPLAY");
    } else {
      options->env.emplace_back("DISPLAY", display);
    }
    options->unsetEnv.push_back("WAYLAND_DISPLAY");
  }

  // Creates the prefix once. The ready marker is written last, so a prefix whose creation was
  // interrupted is recognised and made again.
  void MakePrefix() {
    std::filesystem::path prefix(prefix_);
    std::error_code ec;
    std::filesystem::create_directories(prefix.parent_path(), ec);
    std::string marker = prefix_ + "/.zt-ready";
    if (::access(marker.c_str(), F_OK) == 0) return;
    std::string lockPath = prefix_ + ".lock";
    int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock < 0 || ::flock(lock, LOCK_EX) != 0) {
      error_ = "cannot lock " + lockPath + ": " + std::strerror(errno);
      if (lock >= 0) ::close(lock);
      return;
    }
    if (::access(marker.c_str(), F_OK) != 0) {
      std::filesystem::remove_all(prefix, ec);
      RunOptions options;
      options.timeoutSeconds = 300;
      AddEnvironment(&options, "");
      RunResult boot = RunProcess({loader_, "wineboot", "-i"}, options);
      if (!boot.started || boot.timedOut || boot.exitCode != 0) {
        error_ = "Wine cannot start programs here: " + loader_ + " wineboot -i failed in " +
                 prefix_ + " (" + arch_.arch + ": " + arch_.reason + "): " + boot.err;
      } else {
        // wineboot returns before the server has written the registry files.
        RunResult wait =
            RunProcess({wineserver_.empty() ? "wineserver" : wineserver_, "-w"}, options);
        if (wait.timedOut || ::access((prefix_ + "/system.reg").c_str(), F_OK) != 0) {
          error_ = "the Wine prefix " + prefix_ + " has no registry after wineboot";
        } else {
          int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
          if (fd >= 0) ::close(fd);
        }
      }
    }
    ::flock(lock, LOCK_UN);
    ::close(lock);
  }

  WineArch arch_;
  std::string loader_, wineserver_, prefix_, error_;
};

}  // namespace testutil
