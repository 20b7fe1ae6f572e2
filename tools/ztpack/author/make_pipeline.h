// What `ztpack make` and `ztpack build` do: from a manifest (author/manifest.h) the
// certificate, the bundle, the signed setup program and the finished installer, one step after
// the other.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "author/identity.h"
#include "author/installer_keys.h"
#include "author/keys.h"
#include "author/manifest.h"
#include "os/file_ops.h"
#include "support/result.h"

namespace ztpack {

// `ztpack build`: writes `stub` with TYPE = `mode` and LOAD = the file `setup` in a .ZTBNDL
// last section to `out` (written beside and renamed), its key place filled with `keys` (or
// keeping the stub's own, installer_keys.h; `note` hears of replaced keys). An empty mode is
// refused: the front end would refuse to run. So is an installer whose keys would refuse the
// setup program's bundle or signature.
support::Status BuildInstaller(const std::string& stub, const std::string& setup,
                               const std::string& mode, const std::string& out,
                               const InstallerKeys& keys = {},
                               const std::function<void(const std::string&)>& note = nullptr,
                               const Identity& identity = {});

// The stub `make` uses when the manifest names none: the 32-bit front end installed beside the
// tool (<prefix>/share/ztpack/stubs/InstallerLogic-x86.exe), else the one built in this source
// tree. Empty when there is none; `searched` receives where it looked.
std::string DefaultStub(std::string* searched = nullptr);

struct MakeOptions {
  // Receives each warning of the install script check, one line each.
  std::function<void(const std::string&)> warn;
  // Receives what a person should know that is not a warning (store_once: which entry now
  // points to which), one line each.
  std::function<void(const std::string&)> note;
  // Bytes of payload packed so far, of the total (progress).
  std::function<void(uint64_t done, uint64_t total)> progress;
  // Receives a line as each step of the Authenticode signing starts.
  std::function<void(const std::string&)> step;
  // The last check of a signed installer: `ztpack verify`'s checks with the manifest's root and
  // setup public keys (DER files in make's private scratch directory). `installer` is the signed
  // file held open, which is what the output receives afterwards; `path` its name in the scratch
  // directory. None: that check is left out (the checks are the verify command's, which the make
  // command supplies).
  std::function<support::Status(const fileops::RawFile& installer, const std::string& path,
                                const std::string& rootKeyDer, const std::string& setupKeyDer)>
      verifyInstaller;
};

// The three signing keys of a manifest, opened (a token key also checked for its role).
struct ManifestKeys {
  SigningKey root, bundle, setup;
};
// `module` (--pkcs11-module) overrides the manifest's [pkcs11] module. A failure names the key
// ("root key: ...") and means a key cannot be used.
support::Result<ManifestKeys> OpenManifestKeys(const Manifest& manifest,
                                               const std::string& module = {});

// Everything: certificate, bundle, signed setup program, installer. The install script is
// checked first with the installer's own rules (script_check.h): an error refuses the manifest
// before anything is written, warnings go to options.warn. Intermediate files live in a private
// scratch directory in the user's temporary directory (os/scratch_dir.h), removed at the end and
// when make is interrupted. With [authenticode] the finished installer is signed and checked
// there (authenticode_signer.h), and only the very bytes that passed every check, copied from the
// file held open through the checks, reach the output's name.
support::Status MakeInstaller(const Manifest& manifest, const MakeOptions& options = {});
// The same with keys already opened.
support::Status MakeInstaller(const Manifest& manifest, const ManifestKeys& keys,
                              const MakeOptions& options = {});

}  // namespace ztpack
