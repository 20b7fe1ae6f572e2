// The finished installer, and the manifest that `ztpack make` builds one from.
//
// An installer is the front-end stub with a ".ZTBNDL" last section holding two attachments:
// TYPE (the run mode text) and LOAD (the signed setup program, which carries the bundle at its
// own end). `make` does every step from one small TOML file:
//
//   stub   = "build/windows/InstallerLogic.exe"   # the front end (default: DefaultStub(),
//                                                 # author/make_pipeline.h)
//   setup  = "setup.exe"                          # the setup program (unsigned)
//   mode   = "gui"                                # run mode: exactly "gui" or "silent"
//   output = "installer.exe"
//   bind_bundle = true                            # false: the setup program takes any bundle
//
//   [payload]            # either a folder holding "install_script" and the files ...
//   folder = "payload"
//   # ... or the script and the files named one by one (entry name = path):
//   # script = "install_script"
//   # files = { "app.dll" = "out/app.dll" }
//   store_once = false   # true: a file identical to an earlier one is stored once (store_once.h)
//   allow_private_keys = ["lib/tests/keycert.pem"]   # entry names shipped although they hold
//                        # a private key (a library's public test keys); each is listed by make
//
//   [keys]               # private keys; `dir` holds root.key, bundle.key and setup.key
//   dir = "build/dev-keys"
//   # root = "...", bundle = "...", setup = "..."  (each overrides the one from `dir`): a file,
//   # or a key in a token: "pkcs11:token=release;object=root" (author/pkcs11.h)
//
//   [pkcs11]             # optional: the PKCS#11 module library holding the pkcs11: keys, those
//   module = "/usr/lib/softhsm/libsofthsm2.so"   # of [keys] and of [authenticode] alike
//
//   [bundle]             # optional
//   goal = "IBND"        # the goal tag the front end requires
//   expiry = 0           # signed into the public key block, never compared with a clock
//   chunk_size = 1048576
//   level = 6            # deflate level, 0 (stored) .. 12; 6 unless given
//
//   [authenticode]       # optional: sign the finished installer with osslsigncode
//   certificate = "cert.pem"   # the signer's certificate (and its chain), with
//   key = "key.pem"            # its private key: a file, or a "pkcs11:" URI (PIN from the
//                              # URI's pin-source, else $ZTPACK_PKCS11_PIN)
//   # pkcs12 = "cert.pfx"      # ... or both in one PKCS#12 file, in place of the two above
//   # password_env = "PFX_PASS"  # the variable holding the PKCS#12 (or key file) password
//   # timestamp_url = "http://timestamp.example"
//   # description = "App"
//   # url = "https://example.com"
//   # ca_file = "chain.pem"    # trust anchors for the check after signing (authenticode_signer.h)
//
//   [identity]           # optional: what Windows shows of the installer (author/identity.h)
//   icon = "app.ico"                 # sizes up to 256 x 256, BMP or PNG images
//   product_name = "App"             # and file_description, company_name, legal_copyright,
//   product_version = "2.1"          # file_version: the version resource's strings
//   file_version = "2.1.0.7"         # numbers: from these when they are numbers, else from
//   # file_version_number = "2.1.0.7"  #   file_version_number / product_version_number
//   execution_level = "asInvoker"    # requireAdministrator (the stub's), highestAvailable
//   dpi_awareness = "permonitorv2"   # unaware, system, permonitor, permonitorv2
//   strings = { Comments = "..." }   # further version strings, by their names
//
// Relative paths are taken from the manifest's own directory. Unknown keys are errors, every
// error names the manifest line. In a folder, entry names are the paths below it with "/"
// between directories, packed in byte order of their names; symbolic links and junctions are
// refused. A payload file that is one of the [keys] or [authenticode] key files, PKCS#12 files or
// a token's PIN file is refused by identity (also under another name); so is one that holds a
// private key (private_key_scan.h), unless [payload] allow_private_keys names its entry (its
// bundle entry name: in a folder, the path below it). Each file is opened once, as listed and
// without following a link, and checked and packed from that one descriptor. The
// output depends only on the inputs: the same inputs give a byte-identical installer, whatever
// the number of threads that compress it. Every file is stored under its own entry name, also
// one whose content another file has, unless `store_once` says otherwise. What `make` does with a
// manifest is in author/make_pipeline.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "author/bundle_writer.h"
#include "author/identity.h"
#include "author/keys.h"
#include "os/file_ops.h"
#include "support/result.h"

namespace ztpack {

struct ManifestEntry {
  std::string name;            // bundle entry name
  std::string path;            // file it is read from
  fileops::FileId identity{};  // the file as listed; packed only if the file opened is this one
};

// [authenticode]: either certificate + key or pkcs12 is set. Paths are resolved; a key that is
// a "pkcs11:" URI is kept as written.
struct AuthenticodeSettings {
  std::string certificate, key, pkcs12;
  std::string passwordEnv;  // name of the variable holding the password, "" when none
  std::string timestampUrl, description, url;
  std::string caFile;  // "" : the system's trust anchors plus the certificates signed with
};

struct Manifest {
  std::string stub, setup, mode, output;
  std::string script;                        // the install script file
  fileops::FileId scriptIdentity{};          // as listed
  std::vector<ManifestEntry> files;          // the other entries, in packing order
  std::string rootKey, bundleKey, setupKey;  // a file path or a pkcs11: URI each
  std::string pkcs11Module;                  // [pkcs11] module, resolved; empty when not given
  std::string goal = "IBND";
  uint32_t expiry = 0;
  uint32_t chunkSize = 0;                // 0: the writer's default
  int level = kDefaultCompressionLevel;  // [bundle] level, 0 .. kMaxCompressionLevel
  bool storeOnce = false;                // [payload] store_once
  // [payload] allow_private_keys: entry names shipped although they hold a private key.
  std::vector<std::string> allowPrivateKeys;
  bool bindBundle = true;  // the signed setup program runs with this bundle only
  unsigned threads = 0;    // compressing threads, 0: one per processor (not in the file)
  std::optional<AuthenticodeSettings> authenticode;
  // The release's own key, PKCS#12 and PIN files, by identity: never packed.
  std::vector<NeverPacked> neverPacked;
  Identity identity;  // [identity]
};

// Parses and checks the manifest (paths resolved, folder listed, files and keys present).
support::Result<Manifest> LoadManifest(const std::string& path);

}  // namespace ztpack
