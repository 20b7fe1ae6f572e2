// The "keys" part of `ztpack inspect` for a finished installer: the keys its stub's key place
// holds, by fingerprint, and whether they are those the caller expects (--root-key,
// $ZTPACK_ROOT_KEY, --setup-key). A difference is an error; an empty place is reported (verify
// fails it).
#include "cmd/inspect/report.h"
#include "read/stub_keys.h"

namespace ztpack {
namespace {

support::Status Inspect(const InspectContext& context, InspectReport* report) {
  if (context.kind != FileKind::kInstaller || context.keys == nullptr) return {};
  const TrustedKeys& keys = *context.keys;
  nlohmann::json& m = report->member;
  m["filled"] = !keys.stubEmpty;
  if (!keys.placeProblem.empty()) m["problem"] = keys.placeProblem;
  if (!keys.stubEmpty) {
    m["root"] = KeyFingerprint(keys.root);
    m["setup"] = KeyFingerprint(keys.setup);
  }
  m["mismatches"] = keys.mismatches;
  report->lines = keys.Lines();
  for (const std::string& line : keys.mismatches) report->lines.push_back("MISMATCH " + line);
  if (!keys.mismatches.empty())
    return support::Errorf("the installer trusts other keys than expected");
  return {};
}

InspectorRegistration registration{Inspector{"keys", 30, &Inspect}};

}  // namespace
}  // namespace ztpack
