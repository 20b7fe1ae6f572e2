#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>

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
  app.footer(std::string(ztpack::kExitCodeTable) +
             " A finished installer is checked with the keys in its stub; a setup program or a "
             "bundle alone with --root-key (else the file named by $ZTPACK_ROOT_KEY) and "
             "--setup-key. ztpack has no key of its own.");

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
    // --help and --version end the parse with code 0; every other parse error is a usage error.
    return app.exit(e) == 0 ? ztpack::kExitOk : ztpack::kExitUnusable;
  }
  try {
    return runner ? runner() : ztpack::kExitUnusable;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ztpack: %s\n", e.what());
    return ztpack::kExitFailed;
  }
}
