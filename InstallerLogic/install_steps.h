// The installer's steps, in the order it runs them, and the checks each step makes.
//
// The worker runs the steps one after the other (worker.cc); `ztpack verify` replays every
// check offline and `ztpack extract` replays the steps that unpack and open the bundle, both from
// this one table, so that a step or a check added here is run, replayed and reported in the
// same order everywhere. A check runs only when the check it needs went through: one that did
// not is followed by its dependents reported as not reached.
//
// The names are what `ztpack verify` reports (its text and JSON output); the worker never
// refers to them, so they take no room in the front end.
#pragma once

#include <cstddef>
#include <cstdint>

namespace installer {

enum class InstallStep : uint8_t {
  kUnpackSetupProgram,  // LOAD out of the installer, held against changes
  kUnpackBundle,        // IBND out of the held setup program
  kOpenBundle,          // the bundle validated, and bound to the setup program
  kApplyInstallScript,  // the install script decided and its entries unpacked
  kVerifySetupProgram,  // the setup program's own signature
  kRunSetupProgram,     // started and waited for
};
inline constexpr size_t kInstallStepCount = 6;

enum class InstallCheck : uint8_t {
  kSetupProgram,
  kBundleAttachment,
  kBundle,
  kBundleBinding,
  kInstallScript,
  kEntries,
  kSetupSignature,
};
inline constexpr size_t kInstallCheckCount = 7;

struct InstallCheckRow {
  InstallCheck id;
  InstallStep step;    // the step that makes it
  const char* name;    // as `ztpack verify` reports it
  InstallCheck needs;  // runs only when that one went through (itself: needs nothing)
  const char* what;    // what it checks
};

// In the installer's order; indexed by InstallCheck.
inline constexpr InstallCheckRow kInstallChecks[kInstallCheckCount] = {
    {InstallCheck::kSetupProgram, InstallStep::kUnpackSetupProgram, "setup program",
     InstallCheck::kSetupProgram, "LOAD unpacks and its digest matches"},
    {InstallCheck::kBundleAttachment, InstallStep::kUnpackBundle, "bundle attachment",
     InstallCheck::kSetupProgram, "IBND at the setup program's end unpacks and its digest matches"},
    {InstallCheck::kBundle, InstallStep::kOpenBundle, "bundle", InstallCheck::kBundleAttachment,
     "the bundle's key is certified by the root key for goal IBND and its signature is valid"},
    {InstallCheck::kBundleBinding, InstallStep::kOpenBundle, "bundle binding",
     InstallCheck::kBundle, "the setup program is bound to this bundle, or to none"},
    {InstallCheck::kInstallScript, InstallStep::kApplyInstallScript, "install script",
     InstallCheck::kBundleBinding, "the script reads, and its directives are taken"},
    {InstallCheck::kEntries, InstallStep::kApplyInstallScript, "entries",
     InstallCheck::kInstallScript, "every entry the script selects extracts"},
    {InstallCheck::kSetupSignature, InstallStep::kVerifySetupProgram, "setup signature",
     InstallCheck::kSetupProgram,
     "the setup program's _SG2 signature verifies under the setup key"},
};

constexpr bool ChecksInOrder() {
  for (size_t i = 0; i < kInstallCheckCount; ++i) {
    if (static_cast<size_t>(kInstallChecks[i].id) != i) return false;
    if (static_cast<size_t>(kInstallChecks[i].needs) > i) return false;
    if (i > 0 && kInstallChecks[i].step < kInstallChecks[i - 1].step) return false;
  }
  return static_cast<size_t>(InstallStep::kRunSetupProgram) + 1 == kInstallStepCount;
}
static_assert(ChecksInOrder(), "kInstallChecks follows the enums and the installer's order");

constexpr const InstallCheckRow& CheckRow(InstallCheck check) {
  return kInstallChecks[static_cast<size_t>(check)];
}

}  // namespace installer
