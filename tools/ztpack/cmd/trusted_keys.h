// The keys verify, inspect and extract check with. A finished installer trusts the keys in its
// stub's key place, so those are the keys: --root-key, $ZTPACK_ROOT_KEY and --setup-key then
// state what the caller expects the installer to trust, and a difference is a failure naming
// both fingerprints. A setup program or a bundle alone carries no keys: they come from the
// options, and without them there is nothing to check with (ztpack trusts no key of its own).
#pragma once

#include <string>
#include <vector>

#include "support/result.h"

namespace ztpack {

struct TrustedKeys {
  std::string root, setup;            // DER; empty when none is known
  std::string rootLabel, setupLabel;  // how the reports name them, with their fingerprints
  bool fromStub = false;              // read from the installer's key place
  bool stubEmpty = false;             // the installer's key place is empty: it refuses to run
  std::string placeProblem;           // why its place could not be read (none, malformed)
  // One line per expected key that is not the stub's ("root key: the installer trusts A, but B
  // was expected (--root-key K)").
  std::vector<std::string> mismatches;
  // One line per key, for the reports: "root key SHA256:... (installer's stub)".
  std::vector<std::string> Lines() const;
};

// `installer`: the file is a finished installer, whose stub's keys are read; a place that cannot
// be read counts as empty, with the reason. Fails (a usage error) when a key file cannot be read.
support::Result<TrustedKeys> ResolveTrustedKeys(const std::string& file, bool installer,
                                                const std::string& rootOption,
                                                const std::string& setupOption);

// The error of a command that needs a key it was not given.
std::string MissingKeyMessage(const char* which, const char* option);

}  // namespace ztpack
