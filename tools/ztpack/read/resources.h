// The resource tree of a PE image (the data directory's resource entry), and what it says of the
// program's identity: its icons, its version resource and its application manifest.
//
// Layout. A tree of three levels (type, name, language) of directories: a 16-byte header whose
// last two u16 count the named and the numbered entries, then 8-byte entries (name or number;
// offset of a subdirectory, high bit set, or of a 16-byte data entry). Names are u16 length and
// UTF-16, at offsets with the high bit set. Offsets count from the tree's start; a data entry
// holds the data's RVA, size and code page.
//
// What is trusted: nothing. Every offset and size is checked against the bytes given, a
// directory is entered at most once (a tree that loops is refused), there are at most three
// levels and a bounded number of entries, names are not empty, data must lie inside the bytes
// given and all items' data together fit in them (entries that share data are refused, so the
// copies stay within the input's size). The version resource and the group icon are read through
// the same bounds checks.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "support/result.h"

namespace ztpack {

constexpr uint32_t kResourceIcon = 3;
constexpr uint32_t kResourceDialog = 5;
constexpr uint32_t kResourceGroupIcon = 14;
constexpr uint32_t kResourceVersion = 16;
constexpr uint32_t kResourceManifest = 24;
constexpr size_t kMaxResourceItems = 4096;

struct ResourceItem {
  // A number, or (when the name is not empty) a name.
  uint32_t type = 0;
  std::u16string typeName;
  uint32_t id = 0;
  std::u16string name;
  uint32_t language = 0;
  uint32_t codePage = 0;
  std::string data;
};

// The tree in `bytes`, which an image maps at `rva`.
support::Result<std::vector<ResourceItem>> ParseResourceTree(std::span<const uint8_t> bytes,
                                                             uint32_t rva);
// The tree of the PE at `path` (empty when it has no resource directory).
support::Result<std::vector<ResourceItem>> ReadImageResources(const std::string& path);

struct IconImage {
  unsigned width = 0, height = 0, bitCount = 0;
  bool png = false;
  uint32_t size = 0;
};

struct IdentityReport {
  std::vector<IconImage> icons;                              // of the first group icon
  std::vector<std::pair<std::string, std::string>> strings;  // the version strings, in order
  std::optional<std::string> fileVersion, productVersion;    // the numbers, "a.b.c.d"
  std::string executionLevel;                                // from the manifest, "" if none
  std::string dpiAwareness;                                  // "" when the manifest says none
};
// What `items` say of the program; fails naming what is malformed.
support::Result<IdentityReport> DescribeIdentity(const std::vector<ResourceItem>& items);
// One line of it: icon sizes, product name and versions, execution level, DPI awareness (the
// file's strings escaped).
std::string SummarizeIdentity(const IdentityReport& report);
// The identity of the PE at `path`, read and described.
support::Result<IdentityReport> ReadIdentity(const std::string& path);

}  // namespace ztpack
