// The "load" part of `ztpack inspect` for a finished installer: its run mode (TYPE, as the front
// end trims it) and the setup program (LOAD), unpacked with the front end's own extraction and
// inspected in turn, so that the report descends to the setup program's _SG2, its bundle and the
// install script. The setup program's report is nested: indented in text, a member in JSON.
#include "cmd/inspect/report.h"
#include "install_script.h"
#include "os/scratch_dir.h"
#include "read/installer_layers.h"

namespace ztpack {
namespace {

support::Status Inspect(const InspectContext& context, InspectReport* report) {
  if (context.kind != FileKind::kInstaller) return {};
  const std::string type = ReadRunMode(context.path);
  const std::string mode = installer::TrimRunMode(type);
  report->member["type"] = type;
  report->member["run_mode"] = mode;
  report->lines.push_back(type.empty()
                              ? "TYPE: missing or empty (the installer exits at once)"
                              : "TYPE \"" + type + "\": run mode \"" + mode + "\" (" +
                                    (mode == "gui" ? "progress window" : "no window") + ")");
  auto scratch = ScratchDir::Create({}, "ztpack-inspect-");
  if (!scratch) return scratch.takeError();
  const std::string setup = **scratch / "setup.exe";
  if (auto s = UnpackSetupProgram(context.path, setup); !s) {
    return support::Errorf("LOAD cannot be extracted as the installer does: %s", s.error().c_str());
  }
  InspectOptions nested;
  nested.file = setup;
  nested.rootKey = context.rootKeyPath;
  nested.keys = context.keys;
  nested.runMode = mode;
  nested.depth = context.depth + 1;
  nested.label = "setup program (LOAD)";
  auto output = InspectFile(nested);
  if (!output) return output.takeError();
  for (const std::string& line : output->lines) report->lines.push_back(line);
  output->json.erase("file");
  report->member["setup"] = output->json;
  if (output->exitCode != 0) return support::Errorf("the setup program's report has errors");
  return {};
}

InspectorRegistration registration{{"load", 40, &Inspect}};

}  // namespace
}  // namespace ztpack
