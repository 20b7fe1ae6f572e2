#include "author/authenticode_signer.h"

#include "author/pkcs11.h"

#include <cctype>
#include <cstdlib>
#include <filesystem>

#include "os/file_ops.h"
#include "os/output_file.h"
#include "os/process.h"
#include "os/scratch_dir.h"
#include "read/authenticode.h"

namespace ztpack {
namespace {

constexpr const char* kP11KitProxyModules[] = {"/usr/lib/x86_64-linux-gnu/p11-kit-proxy.so",
                                               "/usr/lib/p11-kit-proxy.so"};
constexpr const char* kSystemTrustBundle = "/etc/ssl/certs/ca-certificates.crt";

bool IsFile(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(fileops::U8Path(path), ec);
}

std::string Environment(const char* name, bool* set = nullptr) {
  const char* value = std::getenv(name);
  if (set != nullptr) *set = value != nullptr;
  return value != nullptr ? value : "";
}

// The last lines of a program's output, indented, for an error message.
std::string Tail(const std::string& output) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    if (end > start) lines.push_back(output.substr(start, end - start));
    start = end + 1;
  }
  const size_t keep = 12;
  std::string out;
  for (size_t i = lines.size() > keep ? lines.size() - keep : 0; i < lines.size(); ++i) {
    out += "\n  " + lines[i];
  }
  return out;
}

// A path as an argument that osslsigncode cannot take for an option.
std::string PathArgument(const std::string& path) {
  return path.rfind('-', 0) == 0 ? "./" + path : path;
}

// The osslsigncode program: the one $ZTPACK_OSSLSIGNCODE names, else the one in PATH.
support::Result<std::string> FindOsslsigncode() {
  bool overridden = false;
  const std::string named = Environment("ZTPACK_OSSLSIGNCODE", &overridden);
  std::string program = process::FindProgram(overridden ? named : "osslsigncode");
  if (!program.empty()) return program;
  if (overridden) {
    return support::Errorf(
        "osslsigncode not found: $ZTPACK_OSSLSIGNCODE names \"%s\", which is no executable "
        "program (osslsigncode comes with the Debian package \"osslsigncode\")",
        named.c_str());
  }
  return support::Errorf(
      "osslsigncode, which signs the installer for [authenticode], is not in PATH: install the "
      "Debian package \"osslsigncode\" (scripts/setup.sh does), or name the program in "
      "$ZTPACK_OSSLSIGNCODE");
}

// The signing time from $SOURCE_DATE_EPOCH, in seconds; empty when the variable is not set.
support::Result<std::string> SigningTimeFromEnvironment() {
  bool epochSet = false;
  std::string seconds = Environment("SOURCE_DATE_EPOCH", &epochSet);
  if (epochSet && (seconds.empty() || seconds.size() > 12 ||
                   seconds.find_first_not_of("0123456789") != std::string::npos)) {
    return support::Errorf("$SOURCE_DATE_EPOCH is \"%s\", not a number of seconds",
                           seconds.c_str());
  }
  return seconds;
}

// OpenSSL's PKCS#11 engine: the one $ZTPACK_PKCS11_ENGINE names, else kPkcs11EnginePath.
support::Result<std::string> FindPkcs11Engine() {
  bool engineSet = false;
  const std::string named = Environment("ZTPACK_PKCS11_ENGINE", &engineSet);
  std::string engine = engineSet ? named : kPkcs11EnginePath;
  if (!IsFile(engine)) {
    return support::Errorf(
        "OpenSSL's PKCS#11 engine, through which osslsigncode signs with a token, is not at %s "
        "(Debian package \"libengine-pkcs11-openssl\"; $ZTPACK_PKCS11_ENGINE names another)",
        engine.c_str());
  }
  return engine;
}

// The PKCS#11 module osslsigncode loads: the one [pkcs11] names, else p11-kit's proxy module.
support::Result<std::string> FindPkcs11Module(const std::string& pkcs11Module,
                                              const std::string& keyUri) {
  std::string module = pkcs11Module;
  for (const char* proxy : kP11KitProxyModules) {
    if (module.empty() && IsFile(proxy)) module = proxy;
  }
  if (module.empty()) {
    return support::Errorf(
        "no PKCS#11 module for the key %s: name it in [pkcs11] module (p11-kit's proxy module, "
        "which loads the configured ones, is not installed)",
        keyUri.c_str());
  }
  return module;
}

// For a pkcs11: key: the URI without its PIN attributes, the PIN, the engine and the module.
support::Status PrepareTokenKey(const std::string& key, const std::string& pkcs11Module,
                                AuthenticodeTools* tools) {
  auto split = SplitPkcs11Pin(key);
  // Not the URI itself in the message: it may hold the very PIN it is refused for.
  if (!split) return support::Errorf("the key's pkcs11: URI: %s", split.error().c_str());
  tools->keyUri = split->uri;
  bool pinSet = false;
  tools->secret = split->hasPin ? split->pin : Environment("ZTPACK_PKCS11_PIN", &pinSet);
  if (!split->hasPin && !pinSet) {
    return support::Errorf(
        "key %s: no PIN: give pin-source=file:PATH in the URI or set $ZTPACK_PKCS11_PIN",
        tools->keyUri.c_str());
  }
  tools->hasSecret = true;
  auto engine = FindPkcs11Engine();
  if (!engine) return engine.takeError();
  tools->engine = *engine;
  auto module = FindPkcs11Module(pkcs11Module, tools->keyUri);
  if (!module) return module.takeError();
  tools->module = *module;
  return {};
}

// The password of the key or PKCS#12 file, from the variable that `password_env` names.
support::Status ReadKeyPassword(const AuthenticodeSettings& settings, AuthenticodeTools* tools) {
  // The password is for osslsigncode's -readpass alone, never for a child's environment.
  process::NeverPassOn(settings.passwordEnv);
  bool set = false;
  tools->secret = Environment(settings.passwordEnv.c_str(), &set);
  if (!set) {
    return support::Errorf(
        "[authenticode] password_env: the environment variable %s, which should hold the "
        "password of %s, is not set",
        settings.passwordEnv.c_str(),
        (settings.pkcs12.empty() ? settings.key : settings.pkcs12).c_str());
  }
  // An empty password and none are the same to osslsigncode.
  tools->hasSecret = !tools->secret.empty();
  return {};
}

// Refuses a password or PIN that cannot reach osslsigncode through a pipe.
support::Status CheckSecretFitsPipe(const AuthenticodeTools& tools) {
  if (tools.hasSecret && process::InheritedName(0).empty()) {
    return support::Errorf(
        "[authenticode]: this build of ztpack cannot hand osslsigncode the %s without writing it "
        "to a file; sign with a key that needs none, or with the Linux tool",
        tools.keyUri.empty() ? "password" : "token's PIN");
  }
  if (tools.secret.size() > process::kMaxPipedSecret) {
    return support::Errorf("[authenticode]: the password or PIN is longer than %zu bytes",
                           process::kMaxPipedSecret);
  }
  return {};
}

// osslsigncode sign, from `in` into `signedOut`, with the password or PIN through a pipe that is
// closed as soon as the program has finished.
support::Status RunSign(const AuthenticodeSettings& settings, const AuthenticodeTools& tools,
                        const std::string& in, const std::string& signedOut) {
  process::RunOptions signOptions;
  std::string secretName;
  process::SecretPipe secret;
  if (tools.hasSecret) {
    auto pipe = process::SecretPipe::Create(tools.secret);
    if (!pipe) return support::Errorf("Authenticode signing: %s", pipe.error().c_str());
    secret = std::move(*pipe);
    secretName = process::InheritedName(0);
    signOptions.inherit.push_back(secret.readEnd());
  }
  auto signedRun = process::Run(
      tools.osslsigncode, OsslsigncodeSignArguments(settings, tools, secretName, in, signedOut),
      signOptions);
  secret = process::SecretPipe();
  if (!signedRun) return support::Errorf("Authenticode signing: %s", signedRun.error().c_str());
  if (signedRun->exitCode != 0 || !IsFile(signedOut)) {
    return support::Errorf("Authenticode signing: osslsigncode sign failed (exit %d):%s",
                           signedRun->exitCode, Tail(signedRun->output).c_str());
  }
  return {};
}

// The signed file, opened once: everything after reads it through this open file.
support::Result<fileops::RawFile> OpenSignedFile(const std::string& signedOut) {
  fileops::RawFile held = fileops::RawFile::Open(signedOut, fileops::RawFile::Mode::kReadHeld);
  if (!held.IsOpen()) {
    return support::Errorf("Authenticode signing: %s: %s", signedOut.c_str(),
                           fileops::LastErrorText().c_str());
  }
  if (auto size = held.RegularSize(); !size) {
    return support::Errorf("Authenticode signing: %s: %s", signedOut.c_str(), size.error().c_str());
  }
  return held;
}

// The trust anchors for osslsigncode verify: `ca_file`, else the system's CA bundle with the
// signature's own certificates, written into the scratch directory.
support::Result<std::string> TrustAnchors(const AuthenticodeSettings& settings,
                                          const AuthenticodeReport& ours,
                                          const ScratchDir& scratch) {
  if (!settings.caFile.empty()) return settings.caFile;
  std::string pem;
  if (auto system = fileops::ReadWholeFile(kSystemTrustBundle, 64u << 20)) pem = *system + "\n";
  pem += CertificatesPem(ours.signedData.certificates);
  std::string anchors = scratch / "anchors.pem";
  support::Status written = WriteOutputFile(anchors, pem);
  if (!written) return support::Errorf("Authenticode check: %s", written.error().c_str());
  return anchors;
}

// osslsigncode verify of the held signed file against `anchors`.
support::Status RunVerify(const AuthenticodeSettings& settings, const AuthenticodeTools& tools,
                          const fileops::RawFile& held, const std::string& signedOut,
                          const std::string& anchors) {
  // -ignore-cdp: no CRLs fetched from the network; the check stays the same offline.
  process::RunOptions verifyOptions;
  const std::string signedName = ChildNameOf(held, signedOut, &verifyOptions.inherit);
  auto verified =
      process::Run(tools.osslsigncode,
                   {"verify", "-ignore-cdp", "-CAfile", PathArgument(anchors), "-TSA-CAfile",
                    PathArgument(anchors), "-in", PathArgument(signedName)},
                   verifyOptions);
  if (!verified) return support::Errorf("Authenticode check: %s", verified.error().c_str());
  if (verified->exitCode != 0) {
    return support::Errorf(
        "Authenticode check: osslsigncode verify refused the signed installer (exit %d, trust "
        "anchors %s):%s",
        verified->exitCode,
        settings.caFile.empty() ? "of the system and the signature's own certificates"
                                : settings.caFile.c_str(),
        Tail(verified->output).c_str());
  }
  return {};
}

}  // namespace

support::Result<Pkcs11UriPin> SplitPkcs11Pin(const std::string& uri) {
  auto attributes = SplitPkcs11Uri(uri);
  if (!attributes) return attributes.takeError();
  std::vector<Pkcs11UriAttribute> kept;
  std::string source;
  for (Pkcs11UriAttribute& a : *attributes) {
    if (a.name == "pin-value") {
      return support::Errorf(
          "the URI holds its PIN (pin-value), which would stand on osslsigncode's command line: "
          "give pin-source=file:PATH or set $ZTPACK_PKCS11_PIN");
    }
    if (a.name == "pin-source") {
      source = a.value;
    } else {
      kept.push_back(std::move(a));
    }
  }
  Pkcs11UriPin out;
  out.uri = JoinPkcs11Uri(kept);
  if (source.empty()) return out;
  auto decoded = PercentDecode(source);
  if (!decoded) return support::Errorf("pin-source: %s", decoded.error().c_str());
  auto pin = ReadPinSource(*decoded);
  if (!pin) return support::Errorf("pin-source: %s", pin.error().c_str());
  out.pin = std::move(*pin);
  out.hasPin = true;
  return out;
}

support::Result<AuthenticodeTools> PrepareAuthenticode(const AuthenticodeSettings& settings,
                                                       const std::string& pkcs11Module) {
  AuthenticodeTools tools;
  auto program = FindOsslsigncode();
  if (!program) return program.takeError();
  tools.osslsigncode = *program;
  auto signingTime = SigningTimeFromEnvironment();
  if (!signingTime) return signingTime.takeError();
  tools.signingTime = *signingTime;
  if (IsPkcs11Uri(settings.key)) {
    if (auto token = PrepareTokenKey(settings.key, pkcs11Module, &tools); !token) {
      return token.takeError();
    }
  } else if (!settings.passwordEnv.empty()) {
    if (auto password = ReadKeyPassword(settings, &tools); !password) return password.takeError();
  }
  if (auto fits = CheckSecretFitsPipe(tools); !fits) return fits.takeError();
  return tools;
}

std::vector<std::string> OsslsigncodeSignArguments(const AuthenticodeSettings& settings,
                                                   const AuthenticodeTools& tools,
                                                   const std::string& secretName,
                                                   const std::string& in, const std::string& out) {
  std::vector<std::string> args = {"sign", "-h", "sha256"};
  if (!settings.pkcs12.empty()) {
    args.insert(args.end(), {"-pkcs12", PathArgument(settings.pkcs12)});
  } else if (!tools.keyUri.empty()) {
    args.insert(args.end(), {"-pkcs11engine", PathArgument(tools.engine), "-pkcs11module",
                             PathArgument(tools.module), "-certs",
                             PathArgument(settings.certificate), "-key", tools.keyUri});
  } else {
    args.insert(args.end(),
                {"-certs", PathArgument(settings.certificate), "-key", PathArgument(settings.key)});
  }
  if (!secretName.empty()) args.insert(args.end(), {"-readpass", PathArgument(secretName)});
  if (!settings.description.empty()) args.insert(args.end(), {"-n", settings.description});
  if (!settings.url.empty()) args.insert(args.end(), {"-i", settings.url});
  if (!settings.timestampUrl.empty()) args.insert(args.end(), {"-t", settings.timestampUrl});
  if (!tools.signingTime.empty()) args.insert(args.end(), {"-time", tools.signingTime});
  args.insert(args.end(), {"-in", PathArgument(in), "-out", PathArgument(out)});
  return args;
}

std::string ChildNameOf(const fileops::RawFile& file, const std::string& path,
                        std::vector<intptr_t>* inherit) {
  const std::string name = process::InheritedName(inherit->size());
  if (name.empty()) return path;
  inherit->push_back(file.NativeHandle());
  return name;
}

support::Result<fileops::RawFile> SignAndCheckAuthenticode(
    const AuthenticodeSettings& settings, const AuthenticodeTools& tools, const std::string& in,
    const std::string& signedOut, const ScratchDir& scratch,
    const std::function<void(const std::string&)>& step) {
  auto say = [&](const std::string& line) {
    if (step) step(line);
  };
  say("signing the installer with osslsigncode (Authenticode)");
  if (auto signing = RunSign(settings, tools, in, signedOut); !signing) return signing.takeError();
  auto held = OpenSignedFile(signedOut);
  if (!held) return held.takeError();

  say("checking the signature with osslsigncode verify");
  auto ours = ReadAuthenticode(held->ReadBackName(signedOut));
  if (!ours) return support::Errorf("Authenticode check: %s", ours.error().c_str());
  auto anchors = TrustAnchors(settings, *ours, scratch);
  if (!anchors) return anchors.takeError();
  if (auto verified = RunVerify(settings, tools, *held, signedOut, *anchors); !verified) {
    return verified.takeError();
  }

  say("checking the certificate table and the image hash");
  if (!ours->Sound()) {
    return support::Errorf("Authenticode check: %s", DescribeAuthenticode(*ours).c_str());
  }
  return std::move(*held);
}

}  // namespace ztpack
