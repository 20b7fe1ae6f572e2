// Fuzzes the resource reader: the input as a resource tree mapped at a fixed RVA, its items
// described as an identity (group icon, version resource, manifest); an accepted tree is written
// again and must read back with as many items.
#include <cstdint>
#include <span>
#include <string>

#include "author/identity.h"
#include "fuzz_common.h"
#include "read/resources.h"

namespace {

constexpr uint32_t kRva = 0x5000;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::QuietOutputs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> input(data, size);
  auto items = ztpack::ParseResourceTree(input, kRva);
  if (!items) {
    fuzz::Check(!items.error().empty(), "a refusal says why");
  } else {
    fuzz::Check(items->size() <= ztpack::kMaxResourceItems, "the item count is bounded");
    size_t copied = 0;
    for (const ztpack::ResourceItem& item : *items) copied += item.data.size();
    fuzz::Check(copied <= size, "the items' data fit in the input");
    (void)ztpack::DescribeIdentity(*items);
    const std::string tree = ztpack::WriteResourceTree(*items, kRva);
    auto again = ztpack::ParseResourceTree(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(tree.data()), tree.size()), kRva);
    fuzz::Check(again.ok() && again->size() == items->size(), "a written tree reads back");
  }
  return 0;
}
