// What every command shares: the error line and the root key.
#include "cmd/command.h"

#include <cstdio>
#include <cstdlib>

#include "author/keys.h"

namespace ztpack {

int CommandErrors::Fail(int code, const std::string& message) const {
  Say(message);
  return code;
}

void CommandErrors::Say(const std::string& message) const {
  std::fprintf(stderr, "ztpack %s: %s\n", command_, message.c_str());
}

std::string FirstUnreadable(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    if (path.empty()) continue;
    if (!fileops::RawFile::Open(path, fileops::RawFile::Mode::kRead).IsOpen()) {
      return path + ": " + fileops::LastErrorText();
    }
  }
  return {};
}

support::Result<std::string> RootKeyDer(const std::string& option, std::string* used) {
  std::string path = option;
  if (path.empty()) {
    const char* env = std::getenv("ZTPACK_ROOT_KEY");
    if (env != nullptr) path = env;
  }
  if (used != nullptr) *used = path;
  if (path.empty()) return std::string();
  auto key = LoadPublicKey(path);
  if (!key) return key.takeError();
  return PublicKeyDer(*key);
}

}  // namespace ztpack
