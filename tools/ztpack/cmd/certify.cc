// ztpack certify: the public key block of a bundle, signed by the root key.
#include <cstdio>

#include "author/bundle_writer.h"
#include "author/keys.h"
#include "author/pkcs11.h"
#include "cmd/command.h"
#include "os/output_file.h"

namespace ztpack {
namespace {

// timegm(), which not every C library has: seconds since 1970 of a UTC calendar time, with a
// month outside 1..12 carried into the year and other fields counted on, as timegm does.
long long SecondsSinceEpoch(long long year, long long month, long long day, long long hour,
                            long long minute, long long second) {
  year += (month >= 1 ? month - 1 : month - 12) / 12;
  month = ((month - 1) % 12 + 12) % 12 + 1;
  // Days from 1970-01-01 to the first of the month (the civil calendar's day count).
  const long long y = month <= 2 ? year - 1 : year;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const long long yearOfEra = y - era * 400;
  const long long dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5;
  const long long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  const long long days = era * 146097 + dayOfEra - 719468 + (day - 1);
  return days * 86400 + hour * 3600 + minute * 60 + second;
}

// Seconds since 1970 from a number or from "YYYY-MM-DD" / "YYYY-MM-DDTHH:MM:SSZ" (UTC).
support::Result<uint32_t> ParseExpiry(const std::string& text) {
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
    if (text.size() > 10 || std::stoull(text) > UINT32_MAX) {
      return support::Errorf("expiry %s does not fit in 32 bits", text.c_str());
    }
    return static_cast<uint32_t>(std::stoull(text));
  }
  int y, mo, d, h = 0, mi = 0, s = 0;
  char z = 0;
  int n = std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &z);
  if (!(n == 3 || (n == 7 && z == 'Z'))) {
    return support::Errorf("expiry \"%s\" is neither seconds since 1970 nor YYYY-MM-DD[THH:MM:SSZ]",
                           text.c_str());
  }
  const long long t = SecondsSinceEpoch(y, mo, d, h, mi, s);
  if (t < 0 || t > UINT32_MAX)
    return support::Errorf("expiry \"%s\" is outside 1970..2106", text.c_str());
  return static_cast<uint32_t>(t);
}

constexpr CommandErrors kErrors{"certify"};

struct Options {
  std::string rootKey, publicKey, goal, expiry, out;
  Pkcs11Options pkcs11;
};

int RunCertify(const Options& o) {
  if (auto bad = FirstUnreadable({o.publicKey}); !bad.empty()) {
    return kErrors.Fail(kExitUnusable, bad);
  }
  auto key = LoadPublicKey(o.publicKey);
  if (!key) return kErrors.Fail(kExitUnusable, key.error());
  auto root = OpenSigningKey(o.rootKey, KeyRole::kRoot, o.pkcs11);
  if (!root) return kErrors.Fail(kExitUnusable, root.error());
  uint32_t expiry = 0xFFFFFFFFu;
  if (!o.expiry.empty()) {
    auto e = ParseExpiry(o.expiry);
    if (!e) return kErrors.Fail(kExitUnusable, e.error());
    expiry = *e;
  }
  auto block = MakePublicKeyBlock(*root, PublicKeyDer(*key), o.goal, expiry, o.publicKey);
  if (!block) return kErrors.Fail(kExitFailed, block.error());
  if (auto s = WriteOutputFile(o.out, *block); !s) return kErrors.Fail(kExitFailed, s.error());
  return kExitOk;
}

CommandRegistration registration{
    {"certify",
     "Write the public key block of a bundle: goal tag, expiry, bundle key, root signature",
     [](CLI::App& app) -> std::function<int()> {
       auto o = std::make_shared<Options>();
       app.add_option("--root-key", o->rootKey,
                      std::string("Root private key: ") + kPrivateKeyForms)
           ->required();
       app.add_option("--pkcs11-module", o->pkcs11.module, kPkcs11ModuleHelp);
       app.add_option("--public", o->publicKey, "Bundle public key (X.509, DER or PEM)")
           ->required();
       app.add_option("--goal", o->goal, "Goal tag, 4 characters (the installer wants IBND)")
           ->required();
       app.add_option("--expiry", o->expiry,
                      "Expiry: seconds since 1970 or YYYY-MM-DD[THH:MM:SSZ] (default: 4294967295)");
       app.add_option("--out", o->out, "Output file")->required();
       return [o] { return RunCertify(*o); };
     }}};

}  // namespace
}  // namespace ztpack
