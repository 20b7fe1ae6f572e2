// The subcommand table of ztpack. Each cmd_<name>.cc defines one subcommand and registers it
// with a static `CommandRegistration`; main.cc builds the CLI11 app from the table.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <vector>

namespace ztpack {

struct Command {
  std::string name;
  std::string description;
  // Adds the subcommand's options to `app` and returns the function that runs it once the
  // command line has been parsed. The runner returns the process exit code.
  std::function<std::function<int()>(CLI::App& app)> setup;
};

std::vector<Command>& CommandTable();

struct CommandRegistration {
  explicit CommandRegistration(Command command) { CommandTable().push_back(std::move(command)); }
};

}  // namespace ztpack
