// Private keys that a PKCS#11 token holds: named by an RFC 7512 URI ("pkcs11:token=release;
// object=root"), reached through a module library, used only to sign.
//
// Module: the one given (--pkcs11-module, a manifest's [pkcs11] module), else the URI's
// module-path, else every module p11-kit is configured to load. Exactly one initialised token
// must match the URI's token, slot and library attributes, and in it exactly one private RSA key
// the object attributes (object, id, type): a URI that could mean two keys is refused rather than
// guessed at.
//
// PIN: from the URI's pin-source (a "file:" path whose first line is the PIN), else from
// $ZTPACK_PKCS11_PIN. A URI carrying the PIN itself (pin-value) is refused: a command line is
// seen by every user of the machine and lands in shell histories. The PIN is never printed.
//
// Signing: CKM_SHA1_RSA_PKCS fed in pieces when the token offers it, else CKM_RSA_PKCS over the
// SHA-1 DigestInfo computed here; both give the PKCS #1 v1.5 signature a key file gives. Every
// signature the token returns is checked with the key's public half before it is used, so that a
// faulty token or module cannot put a broken signature into an installer.
//
// Builds without p11-kit (the Windows one) refuse every pkcs11: key with kNoPkcs11Support.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "author/keys.h"
#include "support/result.h"

namespace ztpack {

struct Pkcs11Options {
  std::string module;  // path of the module library; empty: the URI's module-path or p11-kit's
};

inline constexpr char kNoPkcs11Support[] = "this build of ztpack has no PKCS#11 support";
// The help text of --pkcs11-module, the same for every command.
inline constexpr char kPkcs11ModuleHelp[] =
    "PKCS#11 module library for keys given as pkcs11: URIs (default: the URI's module-path, "
    "else p11-kit's configured modules)";
// The part of a private key option's help that says what it takes.
inline constexpr char kPrivateKeyForms[] =
    "a PKCS#8 file (DER or PEM) or a pkcs11: URI (PIN from pin-source=file:PATH or "
    "$ZTPACK_PKCS11_PIN)";

// False in a build without PKCS#11 support.
bool HavePkcs11Support();

// True for "pkcs11:..." (the scheme is case-insensitive).
bool IsPkcs11Uri(std::string_view text);

// %XX escapes of a URI attribute decoded; an error for a broken escape.
support::Result<std::string> PercentDecode(std::string_view text);

// One attribute of a pkcs11: URI as written (still percent-encoded); `query` for those after '?'.
struct Pkcs11UriAttribute {
  std::string name, value;
  bool query = false;
};
// The attributes of a pkcs11: URI in order: the path's (separated by ';'), then the query's
// (separated by '&'); empty ones are dropped. The one reading of a URI's attributes that every
// command shares; an error for a text that is not a pkcs11: URI.
support::Result<std::vector<Pkcs11UriAttribute>> SplitPkcs11Uri(std::string_view uri);
// The URI of `attributes` again ("pkcs11:" in lower case).
std::string JoinPkcs11Uri(const std::vector<Pkcs11UriAttribute>& attributes);
// The URI for messages: every pin-value shown as "...". A text that is no URI is kept.
std::string Pkcs11UriForMessages(const std::string& uri);
// A pkcs11: URI's pin-source attribute, decoded; "" when it has none (or cannot be decoded).
std::string PinSourceOf(std::string_view uri);
// The file a pin-source names ("file:PATH" or "file://PATH"); an error for any other kind.
support::Result<std::string> PinSourcePath(std::string_view pinSource);
// The PIN in the file a pin-source names: its first line, which must not be empty.
support::Result<std::string> ReadPinSource(std::string_view pinSource);

// The key a file path or a pkcs11: URI names. A token key must also suit `role` (CheckKeyFitness);
// a key file is taken as it is, as it always was. Every failure means the key cannot be used.
support::Result<SigningKey> OpenSigningKey(const std::string& name, KeyRole role,
                                           const Pkcs11Options& options);

// The token part: a key in a token, by URI.
support::Result<SigningKey> OpenTokenKey(const std::string& uri, KeyRole role,
                                         const Pkcs11Options& options);

struct TokenKeyPlan {
  std::string label;  // CKA_LABEL of both halves
  unsigned bits;
  unsigned long exponent;
  KeyRole role;
};

// Makes one key pair per plan in the token the URI names (which must name no object): private
// halves sensitive, never extractable, kept on the token. Objects with those labels already there
// are refused unless `replace`; then they are destroyed once all new pairs exist. On failure the
// pairs made by this call are destroyed again. Returns the public halves, DER
// SubjectPublicKeyInfo, in the order of `plans`. `reached` (when given) tells whether the token
// was found and logged in to: a failure before that means the URI, module or PIN cannot be used.
support::Result<std::vector<std::string>> GenerateTokenKeys(const std::string& uri,
                                                            const std::vector<TokenKeyPlan>& plans,
                                                            bool replace,
                                                            const Pkcs11Options& options,
                                                            bool* reached = nullptr);

}  // namespace ztpack
