// The "signature" part of `ztpack inspect`: the setup program's `_SG2` signature document in the
// chain that ends where the image ends, and whether it verifies under the setup key the installer
// trusts (or the one given), through which pass.
#include <cstdio>

#include "author/setup_signer.h"
#include "cmd/inspect/report.h"
#include "support/text.h"
#include "verify/bundle_binding.h"
#include "verify/setup_signature.h"

namespace ztpack {
namespace {

std::string Hex(int64_t v) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
  return text;
}

support::Status Inspect(const InspectContext& context, InspectReport* report) {
  if (context.kind != FileKind::kSetupProgram) return {};  // the load part covers an installer
  const ChainEntry* entry = FindInChain(context.imageChain, "_SG2");
  nlohmann::json& m = report->member;
  m["present"] = entry != nullptr;
  if (entry == nullptr) {
    report->lines.push_back("no _SG2 signature document in the chain at the image end");
    return {};
  }
  const std::u16string path = support::Utf8ToWide(context.path, true);
  const std::string setupKey = context.keys != nullptr ? context.keys->setup : std::string();
  const std::string keyLabel = setupKey.empty() ? std::string("no setup key (give --setup-key)")
                                                : "the setup key " + context.keys->setupLabel;
  verify::SetupSignatureOutcome outcome;
  bool verified = false;
  size_t signLength = 0;
  {
    StdoutToStderr quiet;  // the readers' own messages stay out of the report
    int32_t dataOffset = -1;
    verify::JsonObject document = verify::ReadSignatureDocument(path, &dataOffset);
    signLength = document["sign"].AsString().size();
    verified = verify::VerifySetupSignatureWithKey(path, setupKey, false, &outcome);
  }
  m["dataOffset"] = entry->dataOffset;
  m["size"] = entry->size;
  m["signHexDigits"] = signLength;
  m["verified"] = verified;
  m["pass"] = verified ? (outcome.headerTolerant ? "header-tolerant" : "plain") : "none";
  if (!verified) m["reason"] = outcome.reason;
  report->lines.push_back("_SG2 at " + Hex(entry->dataOffset) + ", " + std::to_string(entry->size) +
                          " bytes, \"sign\" of " + std::to_string(signLength) + " hex digits");
  report->lines.push_back(verified ? "verifies under " + keyLabel + " (" +
                                         (outcome.headerTolerant ? "header-tolerant" : "plain") +
                                         " pass)"
                                   : "does not verify under " + keyLabel + ": " + outcome.reason);
  verify::BundleBinding binding;
  {
    StdoutToStderr quiet;
    binding = verify::ReadBundleBinding(path);
  }
  m["boundTo"] = binding.signedDigest;
  m["documentBoundTo"] = binding.memberDigest;
  std::string line = "not bound to a bundle";
  if (!binding.problem.empty()) {
    line = "bundle binding unreadable: " + binding.problem;
  } else if (!binding.signedDigest.empty()) {
    line = "bound to bundle " + binding.signedDigest + " (signed)";
    if (binding.memberDigest != binding.signedDigest) {
      line += ", but the document names " +
              (binding.memberDigest.empty() ? std::string("none") : binding.memberDigest);
    }
  } else if (!binding.memberDigest.empty()) {
    line = "the document names bundle " + binding.memberDigest + " (not signed)";
  }
  report->lines.push_back(line);
  return {};
}

InspectorRegistration registration{Inspector{"signature", 50, &Inspect}};

}  // namespace
}  // namespace ztpack
