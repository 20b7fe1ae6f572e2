// ztpack verify FILE [--root-key P] [--setup-key P]: runs offline the checks the installer runs
// on a setup program: its embedded signature (the _SG2 document, against the built-in setup key
// or --setup-key) and, when a root key is given, the bundle at the end of the file. One line
// says which passed and why one failed; the exit code is 0 only when every check run passed.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bundle/bundle_reader.h"
#include "command.h"
#include "container/attachment.h"
#include "keys.h"
#include "platform/platform.h"
#include "support/text.h"
#include "support/trace.h"
#include "verify/setup_signature.h"

namespace ztpack {
namespace {

// The installer's goal tag and chunk limit for the bundle inside a setup program.
constexpr char kBundleGoal[] = "IBND";
constexpr uint32_t kBundleMaxChunk = 26214400;

struct VerifyOptions {
  std::string file;
  std::string rootKey;
  std::string setupKey;
};

// Collects what the installer's readers say while a check runs: the trace lines (forced on) and
// their standard-output messages, so that a failure can be explained in words.
class Diagnostics {
 public:
  Diagnostics() {
    platform::SetDebugOutputHook(&Diagnostics::Hook, this);
    support::testing::ForceTrace(1);
    std::fflush(stdout);
    capture_ = std::tmpfile();
    saved_ = ::dup(1);
    if (capture_ != nullptr && saved_ >= 0) ::dup2(::fileno(capture_), 1);
  }
  ~Diagnostics() { Stop(); }
  Diagnostics(const Diagnostics&) = delete;
  Diagnostics& operator=(const Diagnostics&) = delete;

  // Ends the capture; the last message said, without its line break, or empty.
  std::string Stop() {
    if (stopped_) return last_;
    stopped_ = true;
    std::fflush(stdout);
    if (saved_ >= 0) {
      ::dup2(saved_, 1);
      ::close(saved_);
    }
    platform::SetDebugOutputHook(nullptr, nullptr);
    support::testing::ForceTrace(-1);
    std::string printed;
    if (capture_ != nullptr) {
      std::rewind(capture_);
      char buffer[4096];
      size_t n;
      while ((n = std::fread(buffer, 1, sizeof buffer, capture_)) > 0) printed.append(buffer, n);
      std::fclose(capture_);
    }
    // A trace line names the failure more precisely than the short printed messages.
    if (last_.empty()) last_ = LastLine(printed);
    return last_;
  }

 private:
  static std::string LastLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    size_t cut = text.find_last_of('\n');
    return cut == std::string::npos ? text : text.substr(cut + 1);
  }
  static void Hook(const char* text, void* context) {
    std::string line(text);
    if (line.rfind("[T ", 0) != 0) return;  // progress texts
    line = LastLine(line.substr(support::kTracePrefixLength));
    if (line.empty() || line == "Extracted" || line.rfind("Going to extract", 0) == 0 ||
        line.rfind("Found attachment", 0) == 0) {
      return;
    }
    static_cast<Diagnostics*>(context)->last_ = line;
  }

  std::FILE* capture_ = nullptr;
  int saved_ = -1;
  bool stopped_ = false;
  std::string last_;
};

support::Result<std::string> PublicKeyFile(const std::string& path) {
  auto key = LoadPublicKey(path);
  if (!key) return support::Error{key.error()};
  return PublicKeyDer(*key);
}

int Run(const VerifyOptions& options) {
  std::string setupKey = verify::BuiltinSetupKey();
  if (!options.setupKey.empty()) {
    auto der = PublicKeyFile(options.setupKey);
    if (!der) {
      std::fprintf(stderr, "ztpack verify: %s\n", der.error().c_str());
      return 2;
    }
    setupKey = *der;
  }
  std::string rootKey;
  if (!options.rootKey.empty()) {
    auto der = PublicKeyFile(options.rootKey);
    if (!der) {
      std::fprintf(stderr, "ztpack verify: %s\n", der.error().c_str());
      return 2;
    }
    rootKey = *der;
  }
  const std::u16string path = support::Utf8ToWide(options.file, true);
  if (platform::GetFileAttributes(path) == platform::kInvalidAttributes) {
    std::fprintf(stderr, "ztpack verify: %s: no such file\n", options.file.c_str());
    return 2;
  }

  bool allPassed = true;
  std::string line = options.file + ": setup signature ";
  verify::SetupSignatureOutcome outcome;
  bool signatureOk = false;
  {
    Diagnostics quiet;
    signatureOk = verify::VerifySetupSignatureWithKey(path, setupKey, false, &outcome);
  }
  if (signatureOk) {
    line += outcome.headerTolerant ? "passed (header-tolerant pass)" : "passed (plain pass)";
  } else {
    allPassed = false;
    line += "FAILED (" + outcome.reason + ")";
  }

  if (rootKey.empty()) {
    line += "; bundle not checked (no --root-key)";
  } else {
    std::filesystem::path temp = std::filesystem::temp_directory_path() /
                                 ("ztpack-verify-" + std::to_string(::getpid()) + ".ibnd");
    const std::u16string tempPath = temp.u16string();
    std::string reason;
    bool bundleOk = false;
    {
      Diagnostics diagnostics;
      if (container::ExtractAttachmentToFile(false, path, kBundleGoal, tempPath, 0, 0)) {
        bundle::BundleReader reader;
        reader.SetGoal(kBundleGoal);
        reader.SetMaxChunkSize(kBundleMaxChunk);
        reader.SetRootKey(rootKey);
        bundleOk = reader.Open(tempPath);
        reader.Close();
        reason = diagnostics.Stop();
        if (!bundleOk) reason = "not a valid bundle: " + (reason.empty() ? "rejected" : reason);
      } else {
        reason = diagnostics.Stop();
        reason = "no IBND attachment at the end of the file: " + reason;
      }
    }
    std::error_code ec;
    std::filesystem::remove(temp, ec);
    if (bundleOk) {
      line += "; bundle passed";
    } else {
      allPassed = false;
      line += "; bundle FAILED (" + reason + ")";
    }
  }
  std::printf("%s\n", line.c_str());
  return allPassed ? 0 : 1;
}

CommandRegistration registration{Command{
    "verify", "Run offline the checks the installer runs on a setup program and its bundle",
    [](CLI::App& app) -> std::function<int()> {
      auto options = std::make_shared<VerifyOptions>();
      app.add_option("FILE", options->file, "The setup program")->required();
      app.add_option("--root-key", options->rootKey,
                     "Root public key (DER or PEM): also check the bundle at the end of FILE");
      app.add_option("--setup-key", options->setupKey,
                     "Setup signing public key (DER or PEM); default: the built-in one");
      app.footer("Exit code 0 only when every check run passed; 1 when one failed; 2 on bad "
                 "arguments.");
      return [options] { return Run(*options); };
    }}};

}  // namespace
}  // namespace ztpack
