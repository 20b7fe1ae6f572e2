// The subcommand table of ztpack. Each cmd/<name>.cc defines one subcommand and registers it
// with a static `CommandRegistration`; main.cc builds the CLI11 app from the table. Every
// command exits by the one table below, reports its errors with CommandErrors and takes a root
// key through RootKeyDer.
#pragma once

#include <CLI/CLI.hpp>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "os/file_ops.h"
#include "support/result.h"

namespace ztpack {

// The exit codes of every command (main.cc prints the table in --help).
inline constexpr int kExitOk = 0;      // success
inline constexpr int kExitFailed = 1;  // a check or the operation failed
// A usage error, or an input that cannot be read (a missing file, a key that does not parse):
// nothing was checked or written.
inline constexpr int kExitUnusable = 2;
inline constexpr char kExitCodeTable[] =
    "Exit codes (every command): 0 success; 1 a check or the operation failed; 2 a usage error "
    "or an input that cannot be read.";

// The one way a command reports: "ztpack COMMAND: MESSAGE" on standard error.
class CommandErrors {
 public:
  explicit constexpr CommandErrors(const char* command) : command_(command) {}
  // Prints the message and returns `code`, for `return errors.Fail(...)`.
  int Fail(int code, const std::string& message) const;
  // Prints a message that does not end the command (a warning, a finding).
  void Say(const std::string& message) const;

 private:
  const char* command_;
};

// "PATH: REASON" for the first of `paths` (empty ones skipped) that does not open for reading;
// empty when all do. Commands check their input files with it first, so that an unreadable
// input exits with kExitUnusable before anything is done.
std::string FirstUnreadable(const std::vector<std::string>& paths);

// The root public key a command was given, in DER: the key file given with --root-key
// (`option`), else the file named by $ZTPACK_ROOT_KEY, else none (empty). `used` (when given)
// receives the file's path. Fails when the file cannot be read or parsed.
support::Result<std::string> RootKeyDer(const std::string& option, std::string* used = nullptr);
// The help text of --root-key, the same for every command.
inline constexpr char kRootKeyHelp[] =
    "Root public key (DER or PEM) a bundle's key must be certified by (default: the file named by "
    "$ZTPACK_ROOT_KEY); for a finished installer, the key its stub is expected to hold";

struct Command {
  std::string name;
  std::string description;
  // Adds the subcommand's options to `app` and returns the function that runs it once the
  // command line has been parsed. The runner returns the process exit code.
  std::function<std::function<int()>(CLI::App& app)> setup;
};

std::vector<Command>& CommandTable();

// CLI::ExistingFile for UTF-8 paths: CLI11's own passes the text to std::filesystem as it is,
// which on Windows means the ANSI code page.
inline CLI::Validator ExistingFile() {
  return CLI::Validator(
      [](std::string& path) -> std::string {
        std::error_code ec;
        const std::filesystem::file_status status =
            std::filesystem::status(fileops::U8Path(path), ec);
        if (!std::filesystem::exists(status)) return "File does not exist: " + path;
        if (std::filesystem::is_directory(status)) return "File is actually a directory: " + path;
        return {};
      },
      "FILE");
}

struct CommandRegistration {
  explicit CommandRegistration(Command command) { CommandTable().push_back(std::move(command)); }
};

}  // namespace ztpack
