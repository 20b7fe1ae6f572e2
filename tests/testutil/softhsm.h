// A fresh SoftHSM token for one test: its own configuration and token directory under a
// temporary directory. The configuration reaches child processes only (Env()), never this one.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "testutil/process.h"
#include "testutil/temp_dir.h"

namespace testutil {

class SoftHsmToken {
 public:
  static constexpr char kModule[] = "/usr/lib/softhsm/libsofthsm2.so";

  // Whether SoftHSM's module and softhsm2-util are installed.
  static bool Available() {
    return std::filesystem::exists(kModule) && HaveCommand("softhsm2-util");
  }

  // Initialises a token labelled `label` with user PIN `pin`; error() says why it failed.
  explicit SoftHsmToken(std::string label = "release", std::string pin = "1234")
      : label_(std::move(label)), pin_(std::move(pin)) {
    std::filesystem::create_directories(dir_ / "tokens");
    WriteFile(dir_ / "softhsm2.conf", "directories.tokendir = " + (dir_ / "tokens").string() +
                                          "\nobjectstore.backend = file\nlog.level = ERROR\n");
    Util({"--init-token", "--free", "--label", label_, "--pin", pin_, "--so-pin", "87654321"});
  }

  // Imports a PKCS#8 PEM private key (and its public half) under `label` with CKA_ID `idHex`.
  bool Import(const std::string& pemPath, const std::string& label, const std::string& idHex) {
    return Util(
        {"--import", pemPath, "--token", label_, "--label", label, "--id", idHex, "--pin", pin_});
  }

  // The variables a child process needs to see this token.
  std::vector<std::pair<std::string, std::string>> Env() const {
    return {{"SOFTHSM2_CONF", (dir_ / "softhsm2.conf").string()}};
  }
  RunOptions Options(bool withPin = true) const {
    RunOptions options;
    options.env = Env();
    if (withPin) options.env.push_back({"ZTPACK_PKCS11_PIN", pin_});
    options.unsetEnv = {"ZTPACK_PKCS11_PIN"};
    return options;
  }

  // "pkcs11:token=LABEL;object=OBJECT" (object left out when empty).
  std::string Uri(const std::string& object = "") const {
    return "pkcs11:token=" + label_ + (object.empty() ? "" : ";object=" + object);
  }
  const std::string& pin() const { return pin_; }
  const std::string& error() const { return error_; }
  const TempDir& dir() const { return dir_; }

 private:
  bool Util(std::vector<std::string> args) {
    args.insert(args.begin(), "softhsm2-util");
    RunResult r = RunProcess(args, Options(false));
    if (r.exitCode != 0) error_ += r.output();
    return r.exitCode == 0;
  }

  TempDir dir_;
  std::string label_, pin_, error_;
};

}  // namespace testutil
