// The writer of the ".ZTBNDL" section: where it goes in a PE32 / PE32+ image, when it is
// refused, and the PE checksum. The section's layout and the writer's refusals are described
// with the one reader of the headers, in container/pe_headers.h; the header model it plans with
// is read/pe_sections.h.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "author/attachment_writer.h"
#include "author/installer_keys.h"
#include "container/attachment_format.h"
#include "container/pe_headers.h"
#include "read/pe_sections.h"
#include "support/result.h"

namespace ztpack {

// The standard PE checksum of the file at `path` (16-bit one's complement sum of the file with
// the CheckSum field taken as zero, plus the file's length).
support::Result<uint32_t> ComputePeChecksum(const std::string& path, uint64_t checkSumOffset);
support::Result<uint32_t> ComputePeChecksum(OutputFile& file, uint64_t checkSumOffset);

// Where WriteBundleSection puts the section for a chain of `chainSize` bytes.
struct BundleSectionPlan {
  bool replaces = false;      // the last section is a ".ZTBNDL" being replaced
  uint64_t keepEnd = 0;       // bytes of the input copied unchanged (headers patched)
  uint64_t headerOffset = 0;  // the section table entry written
  uint32_t offset = 0;        // PointerToRawData == VirtualAddress
  uint32_t rawSize = 0;       // SizeOfRawData == VirtualSize
  uint32_t padding = 0;       // zero bytes in front of the chain
  uint16_t numberOfSections = 0;
};
support::Result<BundleSectionPlan> PlanBundleSection(const PeImage& image, uint64_t chainSize,
                                                     const std::string& what);

// Writes the attachments, in order, into a ".ZTBNDL" last section of the PE at `input`; the
// result goes to `output` (may be the same path), written beside and renamed.
support::Status WriteBundleSection(const std::string& input, const std::string& output,
                                   const std::vector<AttachmentInput>& attachments);
// The same into an output the caller commits (one that has nothing written yet). `patches` are
// written over the copy of the input's own bytes before the checksum is taken (the key place).
// `resources`, when given, makes the resource tree for the RVA it is given: the tree goes to the
// start of the section, in front of the chain, and the data directory's resource entry points to
// it (author/identity.h says why there).
using ResourceMaker = std::function<support::Result<std::string>(uint32_t rva)>;
support::Status WriteBundleSection(const std::string& input, OutputFile& output,
                                   const std::vector<AttachmentInput>& attachments,
                                   const std::vector<StubPatch>& patches = {},
                                   const ResourceMaker& resources = nullptr);

}  // namespace ztpack
