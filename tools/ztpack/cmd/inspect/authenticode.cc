// The "authenticode" part of `ztpack inspect`: the PE file's own Authenticode signature (none, or
// its digest algorithm, whether its signer's signature verified and whose it is, and whether the
// image hash still matches the file). A signature that does not match or does not verify is a
// finding shown in the report, not an error of the inspection.
#include <cstdio>

#include "cmd/inspect/report.h"
#include "read/authenticode.h"

namespace ztpack {
namespace {

support::Status Inspect(const InspectContext& context, InspectReport* report) {
  if (!context.image) return {};
  auto signature = ReadAuthenticode(context.path);
  if (!signature) return signature.takeError();
  report->member = AuthenticodeJson(*signature);
  report->lines.push_back(DescribeAuthenticode(*signature));
  if (signature->present) {
    char line[200];
    std::snprintf(line, sizeof line,
                  "certificate table at 0x%llx, %llu bytes, %zu certificate(s); signature %s, "
                  "chain not checked here",
                  static_cast<unsigned long long>(signature->tableOffset),
                  static_cast<unsigned long long>(signature->tableSize),
                  signature->signedData.certificates.size(),
                  signature->signedData.signatureVerified ? "verified" : "unverified");
    report->lines.push_back(line);
  }
  return {};
}

InspectorRegistration registration{Inspector{"authenticode", 35, &Inspect}};

}  // namespace
}  // namespace ztpack
