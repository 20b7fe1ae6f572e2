// Writing the keys an installer trusts into the key place of its stub (verify/key_place.h), and
// checking them in the written file against what they must accept.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "support/result.h"

namespace ztpack {

class OutputFile;

// The public keys (DER SubjectPublicKeyInfo) an installer is to trust. Both empty: the keys the
// stub already holds, which must then be there.
struct InstallerKeys {
  std::string root, setup;
};

// Bytes written over the copy of the stub: `bytes` at file offset `offset`.
struct StubPatch {
  uint64_t offset = 0;
  std::string bytes;
};

// The place of `stub` filled with `keys`. Refuses a stub without a place, a place that would stay
// empty, one key without the other and keys of the wrong size. When the stub held other keys,
// `note` receives a line saying which were replaced by which.
support::Result<StubPatch> PlaceInstallerKeys(const std::string& stub, const InstallerKeys& keys,
                                              const std::function<void(const std::string&)>& note);

// The keys as written in `out` (its place at `patch.offset`, read back) against the setup program
// at `setup` that goes into it: its bundle's key must be certified by the root key, its
// signature valid under the setup key. An installer that fails here would refuse to run. (A
// setup program without a bundle or a signature is not refused here: no key could fit it.)
// `bundle`, when not empty, is the bundle file that goes in behind the setup program, checked in
// place of one at the setup program's end.
support::Status CheckWrittenKeys(OutputFile& out, const StubPatch& patch, const std::string& setup,
                                 const std::string& bundle = {});

}  // namespace ztpack
