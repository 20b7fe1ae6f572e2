// `make`'s Authenticode step: the finished installer signed with osslsigncode and checked before
// it takes the output's name.
//
// The order, and why. The installer is written unsigned into make's private scratch directory,
// osslsigncode signs it into a second file there, and the signed file is checked three ways:
//   1. `osslsigncode verify`: the signature over the image hash is valid, the hash matches, and
//      the signer's chain leads to a trust anchor. The anchors are `ca_file` when the manifest
//      names one; otherwise the system's CA bundle plus the certificates the signature carries.
//      So without `ca_file` a self-signed or private-CA certificate passes: "verified" then
//      means the signature is sound and made by the certificate it names, NOT that Windows will
//      trust that certificate; that is the certificate's issuer's business. With `ca_file` the
//      chain must end at one of its certificates.
//   2. Our own reading of the certificate table (read/authenticode.h): one PKCS#7 record at the
//      end of the file whose image hash matches.
//   3. The checks of `ztpack verify` with the manifest's public keys: the front end still finds
//      TYPE and LOAD in front of the certificate table and would run the setup program.
// Only then are the signed bytes copied to the output, written beside and renamed; any failure
// leaves no output.
//
// Secrets never appear on a command line, where every user of the machine could read them, nor
// in a file: the PKCS#12 or key password (from the variable `password_env` names) and a token's
// PIN (from the URI's pin-source file, else $ZTPACK_PKCS11_PIN) reach osslsigncode through
// `-readpass /dev/fd/3`, the read end of a pipe ztpack has filled, which osslsigncode inherits
// (process::SecretPipe). Neither variable is passed on in any child's environment
// (process::NeverPassOn). pin-source and pin-value are removed from the URI that osslsigncode
// sees; a PIN written into the URI itself (pin-value) is refused. ztpack for Windows cannot hand
// a program a pipe by name and refuses a key that needs a password or PIN, before anything is
// built.
//
// The signed file is opened once, when osslsigncode has written it, and everything after reads
// that open file: osslsigncode verify and the checking `ztpack verify` receive it as an
// inherited descriptor (/dev/fd/3), our own reading goes through /proc/self/fd, and the output
// is copied from it. On Windows it is held open shared for reading only, so that nobody can
// change, rename or delete it while it is checked and copied.
//
// The signature records when it was made, so two makes of the same inputs differ in it; with
// $SOURCE_DATE_EPOCH set (the reproducible-builds convention) that time is the signing time, and
// the signed installer is the same bytes again (RSA PKCS#1 v1.5 signatures are deterministic).
// A timestamp from `timestamp_url` is the server's and differs on every make.
//
// The programs: osslsigncode from PATH, or $ZTPACK_OSSLSIGNCODE; for a pkcs11: key OpenSSL's
// PKCS#11 engine (kPkcs11EnginePath, or $ZTPACK_PKCS11_ENGINE) and the module from [pkcs11],
// else p11-kit's proxy module, which loads the modules p11-kit is configured with.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "author/manifest.h"
#include "os/file_ops.h"
#include "support/result.h"

namespace ztpack {

class ScratchDir;

inline constexpr const char* kPkcs11EnginePath = "/usr/lib/x86_64-linux-gnu/engines-3/pkcs11.so";

// What signing needs, found before anything is built, so that a missing program or password
// fails the make at once.
struct AuthenticodeTools {
  std::string osslsigncode;
  std::string engine, module;  // a pkcs11: key only
  std::string keyUri;          // the key's URI without its PIN attributes
  std::string secret;          // password or PIN; empty when none
  bool hasSecret = false;
  std::string signingTime;  // seconds since 1970 from $SOURCE_DATE_EPOCH; empty: now
};
support::Result<AuthenticodeTools> PrepareAuthenticode(const AuthenticodeSettings& settings,
                                                       const std::string& pkcs11Module);

// The PIN attributes of a pkcs11: URI: the URI without them, and the PIN read from its
// pin-source (a "file:" path); `hasPin` false when the URI names none.
struct Pkcs11UriPin {
  std::string uri;
  std::string pin;
  bool hasPin = false;
};
support::Result<Pkcs11UriPin> SplitPkcs11Pin(const std::string& uri);

// The osslsigncode arguments of `sign` (the secret's name, when there is one, as -readpass).
std::vector<std::string> OsslsigncodeSignArguments(const AuthenticodeSettings& settings,
                                                   const AuthenticodeTools& tools,
                                                   const std::string& secretName,
                                                   const std::string& in, const std::string& out);

// Signs `in` into `signedOut` (both in `scratch`), opens the signed file once and runs checks 1
// and 2 above on that open file, which it returns for check 3 and the copy to the output.
// `step` receives a line as each step starts.
support::Result<fileops::RawFile> SignAndCheckAuthenticode(
    const AuthenticodeSettings& settings, const AuthenticodeTools& tools, const std::string& in,
    const std::string& signedOut, const ScratchDir& scratch,
    const std::function<void(const std::string&)>& step);

// The name under which a program ztpack starts with `file` as RunOptions::inherit[0] opens it:
// /dev/fd/3 on POSIX; on Windows, where nothing is inherited, `path` (which the held file keeps
// from changing). `inherit` receives what to hand on.
std::string ChildNameOf(const fileops::RawFile& file, const std::string& path,
                        std::vector<intptr_t>* inherit);

}  // namespace ztpack
