// The installer's identity, written into its resources: an icon, the version resource and the
// application manifest's execution level and DPI awareness.
//
// Where the resources go. The stub's own resource tree (dialog 101, manifest, version) is read,
// changed as the identity says and written again, whole, at the start of the ".ZTBNDL" section,
// in front of the attachment chain, with the data directory's resource entry pointing there. The
// section stays the last one, no section header is added and nothing of the stub moves; the
// chain is still found from the section's end, and the zeros between the tree and the chain end
// its backward walk. The stub's old resources stay in their section, no longer pointed to.
//
// What stays: every resource the identity does not replace (the dialog above all), and in the
// manifest everything but the execution level and the DPI settings: the common-controls 6
// dependency and the supported-OS list are the front end's.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "read/resources.h"
#include "support/result.h"

namespace ztpack {

using VersionNumber = std::array<uint16_t, 4>;

struct Identity {
  std::string icon;  // an .ico file; "" keeps the stub's icons (it has none)
  // Version strings in order (ProductName, FileDescription, ... and any the author names).
  std::vector<std::pair<std::string, std::string>> strings;
  std::optional<VersionNumber> fileVersion, productVersion;
  std::string executionLevel;  // "requireAdministrator", "highestAvailable", "asInvoker"; "" keeps
  std::string dpiAwareness;    // "unaware", "system", "permonitor", "permonitorv2"; "" keeps

  bool Empty() const {
    return icon.empty() && strings.empty() && !fileVersion && !productVersion &&
           executionLevel.empty() && dpiAwareness.empty();
  }
};

// "1", "1.2", "1.2.3" or "1.2.3.4", each part 0..65535.
support::Result<VersionNumber> ParseVersionNumber(const std::string& text);
// Checks a value of execution level and DPI awareness; the error names the choices.
support::Status CheckIdentityChoices(const Identity& identity);

// The images of an .ico file (1 to 64 of them, each BMP or PNG of at most 256 x 256 pixels, the
// file at most 4 MiB), as RT_ICON data with their group entries. Errors name the image and what
// is wrong with it.
struct IcoImage {
  uint8_t width = 0, height = 0, colorCount = 0;  // 0 means 256 for the sizes
  uint16_t planes = 0, bitCount = 0;
  std::string data;
};
support::Result<std::vector<IcoImage>> ReadIcoFile(const std::string& path);

// `items` with the identity applied.
support::Result<std::vector<ResourceItem>> ApplyIdentity(std::vector<ResourceItem> items,
                                                         const Identity& identity);
// The tree of `items` as an image maps it at `rva`: directories, names, data entries, data.
std::string WriteResourceTree(const std::vector<ResourceItem>& items, uint32_t rva);

}  // namespace ztpack
