// The "identity" part of `ztpack inspect` for a finished installer: what Windows shows of it,
// from its resources: the icon's images, the version resource's numbers and strings, and the
// application manifest's execution level and DPI awareness.
#include "cmd/inspect/report.h"
#include "read/escape.h"
#include "read/resources.h"

namespace ztpack {
namespace {

support::Status Inspect(const InspectContext& context, InspectReport* report) {
  if (context.kind != FileKind::kInstaller) return {};
  auto identity = ReadIdentity(context.path);
  if (!identity) return identity.takeError();
  nlohmann::json& m = report->member;
  nlohmann::json icons = nlohmann::json::array();
  std::string sizes;
  for (const IconImage& icon : identity->icons) {
    icons.push_back({{"width", icon.width},
                     {"height", icon.height},
                     {"bits", icon.bitCount},
                     {"png", icon.png},
                     {"bytes", icon.size}});
    sizes += (sizes.empty() ? "" : ", ") + std::to_string(icon.width) + "x" +
             std::to_string(icon.height) + " " + std::to_string(icon.bitCount) + "-bit" +
             (icon.png ? " PNG" : "");
  }
  m["icons"] = icons;
  report->lines.push_back("icon: " + (sizes.empty() ? std::string("none") : sizes));
  if (identity->fileVersion) m["file_version"] = *identity->fileVersion;
  if (identity->productVersion) m["product_version"] = *identity->productVersion;
  report->lines.push_back("version numbers: file " + identity->fileVersion.value_or("none") +
                          ", product " + identity->productVersion.value_or("none"));
  nlohmann::json strings = nlohmann::json::object();
  for (const auto& [name, value] : identity->strings) {
    strings[name] = value;
    report->lines.push_back("  " + EscapeBytes(name, 0x20, "") + ": \"" +
                            EscapeBytes(value, 0x20, "\"\\") + "\"");
  }
  m["strings"] = strings;
  m["execution_level"] = identity->executionLevel;
  m["dpi_awareness"] = identity->dpiAwareness;
  report->lines.push_back(
      "manifest: execution level " +
      (identity->executionLevel.empty() ? std::string("none")
                                        : EscapeBytes(identity->executionLevel, 0x20, "")) +
      ", DPI awareness " +
      (identity->dpiAwareness.empty() ? std::string("not declared")
                                      : EscapeBytes(identity->dpiAwareness, 0x20, "")));
  return {};
}

InspectorRegistration registration{Inspector{"identity", 35, &Inspect}};

}  // namespace
}  // namespace ztpack
