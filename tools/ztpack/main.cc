#include <algorithm>
#include <cstdio>
#include <exception>

#include "cmd/command.h"
#include "os/file_ops.h"
#include "zt_version.h"

namespace ztpack {
std::vector<Command>& CommandTable() {
  static std::vector<Command> table;
  return table;
}
}  // namespace ztpack

int main(int argc, char** argv) {
  CLI::App app{"ztpack: writes, inspects and verifies installer payloads"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "ztpack " ZT_VERSION);

  auto& table = ztpack::CommandTable();
  std::sort(table.begin(), table.end(),
            [](const ztpack::Command& a, const ztpack::Command& b) { return a.name < b.name; });
  std::function<int()> runner;
  for (auto& command : table) {
    CLI::App* sub = app.add_subcommand(command.name, command.description);
    auto run = command.setup(*sub);
    sub->callback([&runner, run] { runner = run; });
  }

  // Paths and names on the command line are UTF-8 on every platform.
  std::vector<std::string> arguments = ztpack::fileops::Utf8Arguments(argc, argv);
  std::vector<char*> pointers;
  for (std::string& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  try {
    app.parse(static_cast<int>(arguments.size()), pointers.data());
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  try {
    return runner ? runner() : 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ztpack: %s\n", e.what());
    return 1;
  }
}
