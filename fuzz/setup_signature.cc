// Fuzzes the embedded signature check over arbitrary files. Arbitrary bytes seldom carry an
// attachment whose digest matches, so the first byte may ask for the input's tail to be wrapped
// as a well-formed `_SG2` attachment (the document itself still fuzzed), which takes the check
// through the JSON reader, the key, both passes and the header skip ranges. Bit 1 puts a `_BND`
// bundle binding in front of the document, and the binding reader runs on every input.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "author/attachment_writer.h"
#include "fuzz_common.h"
#include "platform/platform.h"
#include "support/trace.h"
#include "verify/bundle_binding.h"
#include "verify/setup_signature.h"

namespace {

const std::string& Path() {
  static std::string path = fuzz::ScratchPath("sig", ".exe");
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::QuietOutputs();
  support::testing::ForceTrace(1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string file(reinterpret_cast<const char*>(data) + 1, size - 1);
  const uint8_t mode = data[0];
  if (mode & 1) {
    // Wrap the last part (its length from the mode byte) as the signature document.
    size_t docLength = std::min<size_t>(file.size(), (mode >> 1) * 9u);
    std::string doc = file.substr(file.size() - docLength);
    if (mode & 0x80) doc = "{\"sign\":\"" + std::string(1024, 'A') + "\"}";
    file.resize(file.size() - docLength);
    if (mode & 2) {
      auto binding =
          ztpack::MakeAttachment("_BND", file.substr(0, std::min<size_t>(file.size(), 40)));
      if (binding) file += *binding;
    }
    auto attachment = ztpack::MakeAttachment("_SG2", doc);
    if (attachment) file += *attachment;
  }
  {
    std::ofstream out(Path(), std::ios::binary | std::ios::trunc);
    out.write(file.data(), static_cast<std::streamsize>(file.size()));
  }
  const std::u16string path(Path().begin(), Path().end());
  if (verify::VerifySetupSignature(path)) std::abort();  // nobody here holds the key
  verify::BindingAccepts(verify::ReadBundleBinding(path), std::string(20, '\0'));
  return 0;
}
