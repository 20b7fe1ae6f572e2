// A SoftHSM token of its own for one test: its configuration and token directory under the
// test's temporary directory, so that no test sees another's objects. The variable that points
// SoftHSM at it (SOFTHSM2_CONF) is handed to child processes only, through Env().
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "testutil/files.h"
#include "testutil/process.h"

namespace testutil {

inline constexpr const char* kSoftHsmModule = "/usr/lib/softhsm/libsofthsm2.so";

class SoftHsmToken {
 public:
  // Initialises a token labelled `label` with the user PIN `pin` in `dir`; ok() says whether it
  // worked, error() why not.
  SoftHsmToken(const std::filesystem::path& dir, const std::string& label, const std::string& pin)
      : conf_(dir / "softhsm2.conf"), label_(label), pin_(pin) {
    std::filesystem::create_directories(dir / "tokens");
    WriteFile(conf_, "directories.tokendir = " + (dir / "tokens").string() +
                         "\nobjectstore.backend = file\nlog.level = ERROR\n");
    RunResult init =
        Util({"--init-token", "--free", "--label", label_, "--so-pin", "0000", "--pin", pin_});
    if (init.exitCode != 0) error_ = "softhsm2-util --init-token: " + init.output();
  }
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  std::vector<std::pair<std::string, std::string>> Env() const {
    return {{"SOFTHSM2_CONF", conf_.string()}};
  }
  // Imports an unencrypted PKCS#8 PEM private key as object `label` with the hex `id`.
  RunResult ImportKey(const std::filesystem::path& pem, const std::string& label,
                      const std::string& id) {
    return Util(
        {"--import", pem.string(), "--token", label_, "--label", label, "--id", id, "--pin", pin_});
  }

 private:
  RunResult Util(std::vector<std::string> args) const {
    args.insert(args.begin(), "softhsm2-util");
    RunOptions options;
    options.env = Env();
    return RunProcess(args, options);
  }
  std::filesystem::path conf_;
  std::string label_, pin_, error_;
};

}  // namespace testutil
