// Fuzzes the PE header readers of the installer (GetLastSectionEnd, GetImageTrailerSize,
// CollectHeaderSkipRanges) and the writer's header model, on files made of the input.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "author/pe_image.h"
#include "container/pe_locator.h"
#include "fuzz_common.h"
#include "platform/platform.h"
#include "support/trace.h"

namespace {

std::string& Path() {
  static std::string path = fuzz::ScratchPath("pe", ".exe");
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // GetLastSectionEnd prints its messages to standard output; keep the fuzzer's output readable.
  fuzz::QuietOutputs();
  support::testing::ForceTrace(1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* f = std::fopen(Path().c_str(), "wb");
  if (f == nullptr) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  const std::u16string wide(Path().begin(), Path().end());

  platform::File file = platform::File::Open(wide, platform::OpenMode::kRead);
  int32_t end = container::GetLastSectionEnd(&file);
  fuzz::Check(end >= -1, "GetLastSectionEnd is -1 or a position");
  fuzz::Check(file.Tell() == static_cast<int64_t>(size),
              "GetLastSectionEnd leaves the stream at its end");

  uint32_t trailer = container::GetImageTrailerSize(&file, 0);
  fuzz::Check(trailer <= size, "the trailer lies inside the file");
  fuzz::Check(container::GetImageTrailerSize(&file, static_cast<uint32_t>(size)) == trailer,
              "0 and the true length give the same trailer");
  container::GetImageTrailerSize(&file, static_cast<uint32_t>(size) + 4096);

  std::vector<container::ByteRange> ranges;
  if (container::CollectHeaderSkipRanges(&file, &ranges)) {
    fuzz::Check(ranges.size() == 5, "five ranges");
    for (size_t i = 0; i < ranges.size(); ++i) {
      fuzz::Check(ranges[i].offset >= 0 && ranges[i].length >= 0, "ranges are not negative");
      fuzz::Check(static_cast<uint64_t>(ranges[i].offset) + ranges[i].length <= size,
                  "ranges lie inside the file");
      if (i > 0)
        fuzz::Check(ranges[i].offset >= ranges[i - 1].offset + ranges[i - 1].length,
                    "ranges ascend without overlap");
    }
  } else {
    fuzz::Check(ranges.empty(), "nothing appended on failure");
  }

  auto image = ztpack::ReadPeImage(Path());
  if (image.ok()) {
    auto plan = ztpack::PlanBundleSection(*image, size, Path());
    if (plan.ok()) {
      fuzz::Check(plan->offset % image->fileAlignment == 0, "section start aligned");
      fuzz::Check(plan->keepEnd <= plan->offset, "section behind what is kept");
      fuzz::Check(uint64_t{plan->offset} + plan->rawSize < (uint64_t{1} << 31), "below 2 GiB");
    }
  }
  return 0;
}
