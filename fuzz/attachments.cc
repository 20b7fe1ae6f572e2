// Fuzzes the attachment readers (the three operations of the installer and the tools' chain
// walker) on containers made of the input. The first byte picks the requested type.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "container/attachment.h"
#include "fuzz_common.h"
#include "platform/platform.h"
#include "read/attachment_chain.h"
#include "support/trace.h"

namespace {

const std::string& Dir() {
  static std::string dir = fuzz::ScratchPath("att");
  return dir;
}

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::QuietOutputs();
  support::testing::ForceTrace(1);
  platform::CreateDirectory(Wide(Dir()));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const kTypes[] = {"TYPE", "LOAD", "IBND", "_SG2", "ABD2", "TYP"};
  const std::string type = size > 0 ? kTypes[data[0] % 6] : "TYPE";
  const std::string container = Dir() + "/container";
  const std::string destination = Dir() + "/out";
  FILE* f = std::fopen(container.c_str(), "wb");
  if (f == nullptr) return 0;
  if (size > 1) std::fwrite(data + 1, 1, size - 1, f);
  std::fclose(f);

  for (bool fromSection : {false, true}) {
    bool ok = container::ExtractAttachmentToFile(fromSection, Wide(container), type,
                                                 Wide(destination), 50, 0);
    bool exists = platform::GetFileAttributes(Wide(destination)) != platform::kInvalidAttributes;
    fuzz::Check(ok == exists, "the destination exists exactly when the extraction succeeded");
    platform::DeleteFile(Wide(destination));
  }
  std::string text = container::ReadAttachmentToString(Wide(container), type);
  fuzz::Check(text.empty() || text.size() + 28 < size, "no more data than the container holds");
  int32_t offset = -5;
  std::string signature = container::ReadAttachmentWithOffset(Wide(container), type, &offset);
  fuzz::Check(offset == -5 || (offset >= 0 && static_cast<size_t>(offset) < size),
              "offset in file");
  if (!signature.empty()) fuzz::Check(offset >= 0, "offset set when found");

  auto chain = ztpack::WalkAttachmentChain(container, static_cast<int64_t>(size > 0 ? size - 1 : 0),
                                           true, 64);
  fuzz::Check(chain.ok(), "the walker reads any file");
  for (const ztpack::ChainEntry& e : chain->entries) {
    fuzz::Check(e.dataOffset >= 0 && e.dataOffset + e.size <= e.footerOffset, "entries in order");
  }
  return 0;
}
