// The subcommand table of ztpack. Each cmd/<name>.cc defines one subcommand and registers it
// with a static `CommandRegistration`; main.cc builds the CLI11 app from the table.
#pragma once

#include <CLI/CLI.hpp>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "os/file_ops.h"

namespace ztpack {

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
