// The PE headers as the reading side needs them (the key place, the resources): the section
// table and the data directories of an image, read through one bounds-checked reader. The
// writing side has its own model (author/pe_image.h), which also plans where sections go.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/result.h"

namespace ztpack {

struct PeSectionView {
  std::string name;  // up to 8 bytes, trailing zeros removed
  uint32_t virtualAddress = 0, virtualSize = 0, pointerToRawData = 0, sizeOfRawData = 0;
};

struct PeView {
  uint64_t fileSize = 0;
  bool is64 = false;
  std::vector<std::pair<uint32_t, uint32_t>> directories;  // RVA, size
  std::vector<PeSectionView> sections;

  const PeSectionView* Section(const std::string& name) const;
  // The file offset of `length` bytes at `rva`, when they lie in one section's raw data.
  std::optional<uint64_t> RvaToOffset(uint32_t rva, uint32_t length) const;
};

// The headers of the PE file at `path`; errors name the structure and the offset.
support::Result<PeView> ReadPeView(const std::string& path);

}  // namespace ztpack
