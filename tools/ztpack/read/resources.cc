#include "read/resources.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "read/escape.h"
#include "read/pe_sections.h"
#include "support/byte_reader.h"
#include "support/text.h"

namespace ztpack {
namespace {

using ull = unsigned long long;
constexpr uint32_t kHighBit = 0x80000000u;
constexpr int kResourceDirectory = 2;  // the data directory's resource entry
constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;

class TreeParser {
 public:
  TreeParser(std::span<const uint8_t> bytes, uint32_t rva) : r_(bytes), bytes_(bytes), rva_(rva) {}

  support::Status Directory(uint64_t offset, int level, const ResourceItem& path) {
    if (!seen_.insert(offset).second) {
      return support::Errorf("resources: the directory at 0x%llx is entered twice (the tree loops)",
                             static_cast<ull>(offset));
    }
    auto named = r_.U16le(offset + 12);
    auto numbered = r_.U16le(offset + 14);
    const uint64_t count = named && numbered ? uint64_t{*named} + *numbered : 0;
    if (!named || !numbered || !r_.Has(offset + 16, count * 8)) {
      return support::Errorf("resources: the directory at 0x%llx runs past the %zu bytes",
                             static_cast<ull>(offset), bytes_.size());
    }
    for (uint64_t i = 0; i < count; ++i) {
      const uint32_t name = *r_.U32le(offset + 16 + 8 * i);
      const uint32_t target = *r_.U32le(offset + 20 + 8 * i);
      ResourceItem item = path;
      std::u16string text;
      if (name & kHighBit) {
        auto read = Name(name & ~kHighBit);
        if (!read) return read.takeError();
        text = *read;
      }
      if (level == 0) (item.typeName = text, item.type = text.empty() ? name : 0);
      if (level == 1) (item.name = text, item.id = text.empty() ? name : 0);
      if (level == 2) item.language = name & ~kHighBit;
      if (target & kHighBit) {
        if (level == 2) {
          return support::Errorf("resources: a language entry at 0x%llx holds a directory",
                                 static_cast<ull>(offset));
        }
        support::Status sub = Directory(target & ~kHighBit, level + 1, item);
        if (!sub) return sub;
      } else {
        if (level != 2) {
          return support::Errorf("resources: a data entry at level %d (at 0x%llx), not 3",
                                 level + 1, static_cast<ull>(offset));
        }
        support::Status data = Data(target, &item);
        if (!data) return data;
        if (items.size() >= kMaxResourceItems) {
          return support::Errorf("resources: more than %zu items", kMaxResourceItems);
        }
        items.push_back(std::move(item));
      }
    }
    return {};
  }

  std::vector<ResourceItem> items;

 private:
  support::Result<std::u16string> Name(uint32_t offset) {
    auto length = r_.U16le(offset);
    if (!length || !r_.Has(offset + 2, uint64_t{*length} * 2)) {
      return support::Errorf("resources: the name at 0x%x runs past the end", offset);
    }
    // An empty name could not be told from a number once read, nor written back as a name.
    if (*length == 0) return support::Errorf("resources: the name at 0x%x is empty", offset);
    std::u16string text;
    for (uint32_t i = 0; i < *length; ++i) text.push_back(*r_.U16le(offset + 2 + 2 * i));
    return text;
  }
  support::Status Data(uint32_t offset, ResourceItem* item) {
    auto dataRva = r_.U32le(offset);
    auto size = r_.U32le(offset + 4);
    auto codePage = r_.U32le(offset + 8);
    if (!dataRva || !size || !codePage) {
      return support::Errorf("resources: the data entry at 0x%x runs past the end", offset);
    }
    if (*dataRva < rva_ || !r_.Has(*dataRva - rva_, *size)) {
      return support::Errorf(
          "resources: data of %u bytes at RVA 0x%x lies outside the resources (0x%x, %zu bytes)",
          *size, *dataRva, rva_, bytes_.size());
    }
    // Entries may share their data; copying it for each would let a small tree fill memory.
    // Data that lies apart fits in the bytes given, so more than that is refused.
    if (*size > bytes_.size() - copied_) {
      return support::Errorf(
          "resources: the items' data add up to more than the %zu bytes of "
          "the resources (entries share their data)",
          bytes_.size());
    }
    copied_ += *size;
    item->codePage = *codePage;
    item->data.assign(reinterpret_cast<const char*>(bytes_.data()) + (*dataRva - rva_), *size);
    return {};
  }

  support::ByteReader r_;
  std::span<const uint8_t> bytes_;
  uint32_t rva_;
  std::set<uint64_t> seen_;
  uint64_t copied_ = 0;
};

// One node of a version resource: length, value length, type, key, value, children.
struct VersionNode {
  std::u16string key;
  std::span<const uint8_t> value;
  bool text = false;
  std::vector<VersionNode> children;
};

uint64_t Align4(uint64_t v) { return (v + 3) & ~uint64_t{3}; }

support::Result<VersionNode> ParseVersionNode(std::span<const uint8_t> bytes, uint64_t at,
                                              int depth, uint64_t* end) {
  support::ByteReader r(bytes);
  auto length = r.U16le(at);
  auto valueLength = r.U16le(at + 2);
  auto type = r.U16le(at + 4);
  if (!length || !valueLength || !type || *length < 6 || !r.Has(at, *length)) {
    return support::Errorf("version resource: the block at 0x%llx runs past its end",
                           static_cast<ull>(at));
  }
  if (depth > 3) return support::Errorf("version resource: blocks nested deeper than 4");
  const uint64_t limit = at + *length;
  VersionNode node;
  uint64_t p = at + 6;
  for (;;) {
    auto c = p + 2 <= limit ? r.U16le(p) : std::nullopt;
    if (!c)
      return support::Errorf("version resource: a key at 0x%llx is not terminated",
                             static_cast<ull>(at));
    p += 2;
    if (*c == 0) break;
    node.key.push_back(*c);
  }
  p = Align4(p);
  node.text = *type == 1;
  const uint64_t valueBytes = node.text ? uint64_t{*valueLength} * 2 : *valueLength;
  if (p > limit || valueBytes > limit - p) {
    return support::Errorf("version resource: the value of \"%s\" runs past its block",
                           support::WideToUtf8(node.key).c_str());
  }
  node.value = bytes.subspan(p, valueBytes);
  p = Align4(p + valueBytes);
  while (p + 6 <= limit) {
    uint64_t childEnd = 0;
    auto child = ParseVersionNode(bytes.subspan(0, limit), p, depth + 1, &childEnd);
    if (!child) return child.takeError();
    node.children.push_back(std::move(*child));
    p = Align4(childEnd);
  }
  *end = limit;
  return node;
}

std::string Dotted(uint32_t ms, uint32_t ls) {
  char text[48];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF);
  return text;
}

std::string TextValue(std::span<const uint8_t> value) {
  std::u16string text;
  for (size_t i = 0; i + 1 < value.size(); i += 2) {
    const char16_t c = static_cast<char16_t>(value[i] | (value[i + 1] << 8));
    if (c == 0) break;
    text.push_back(c);
  }
  return support::WideToUtf8(text);
}

support::Status DescribeVersion(const std::string& data, IdentityReport* report) {
  std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  uint64_t end = 0;
  auto root = ParseVersionNode(bytes, 0, 0, &end);
  if (!root) return root.takeError();
  if (root->value.size() >= 52) {
    support::ByteReader r(root->value);
    if (*r.U32le(0) != kFixedFileInfoSignature) {
      return support::Errorf("version resource: the fixed file information has no signature");
    }
    report->fileVersion = Dotted(*r.U32le(8), *r.U32le(12));
    report->productVersion = Dotted(*r.U32le(16), *r.U32le(20));
  }
  for (const VersionNode& info : root->children) {
    if (info.key != u"StringFileInfo") continue;
    for (const VersionNode& table : info.children) {
      for (const VersionNode& s : table.children) {
        report->strings.emplace_back(support::WideToUtf8(s.key), TextValue(s.value));
      }
    }
  }
  return {};
}

// The value of the first `attribute="..."` after `element` in the manifest's text.
std::string Attribute(const std::string& xml, const std::string& element,
                      const std::string& attribute) {
  size_t at = xml.find("<" + element);
  if (at == std::string::npos) return {};
  const size_t close = xml.find('>', at);
  at = xml.find(attribute + "=\"", at);
  if (at == std::string::npos || at > close) return {};
  at += attribute.size() + 2;
  const size_t quote = xml.find('"', at);
  return quote == std::string::npos ? std::string() : xml.substr(at, quote - at);
}

// The text of the first `<element ...>text<`.
std::string ElementText(const std::string& xml, const std::string& element) {
  size_t at = xml.find("<" + element);
  if (at == std::string::npos) return {};
  at = xml.find('>', at);
  if (at == std::string::npos) return {};
  const size_t end = xml.find('<', at);
  return end == std::string::npos ? std::string() : xml.substr(at + 1, end - at - 1);
}

}  // namespace

support::Result<std::vector<ResourceItem>> ParseResourceTree(std::span<const uint8_t> bytes,
                                                             uint32_t rva) {
  TreeParser parser(bytes, rva);
  support::Status parsed = parser.Directory(0, 0, ResourceItem{});
  if (!parsed) return parsed.takeError();
  return std::move(parser.items);
}

support::Result<std::vector<ResourceItem>> ReadImageResources(const std::string& path) {
  auto view = ReadPeView(path);
  if (!view) return view.takeError();
  if (view->directories.size() <= kResourceDirectory ||
      view->directories[kResourceDirectory].second == 0) {
    return std::vector<ResourceItem>{};
  }
  const auto [rva, size] = view->directories[kResourceDirectory];
  auto offset = view->RvaToOffset(rva, size);
  if (!offset) {
    return support::Errorf("%s: the resources (RVA 0x%x, %u bytes) lie in no section's data",
                           path.c_str(), rva, size);
  }
  std::vector<uint8_t> bytes(size);
  platform::File file =
      platform::File::Open(support::Utf8ToWide(path, true), platform::OpenMode::kRead);
  if (!file.IsOpen() || file.ReadAt(*offset, bytes.data(), size) != static_cast<int64_t>(size)) {
    return support::Errorf("%s: cannot read the resources at 0x%llx", path.c_str(),
                           static_cast<ull>(*offset));
  }
  auto items = ParseResourceTree(bytes, rva);
  if (!items) return support::Errorf("%s: %s", path.c_str(), items.error().c_str());
  return items;
}

support::Result<IdentityReport> DescribeIdentity(const std::vector<ResourceItem>& items) {
  IdentityReport report;
  const ResourceItem* group = nullptr;
  for (const ResourceItem& item : items) {
    if (item.typeName.empty() && item.type == kResourceGroupIcon && group == nullptr) group = &item;
    if (item.typeName.empty() && item.type == kResourceVersion && report.strings.empty()) {
      support::Status version = DescribeVersion(item.data, &report);
      if (!version) return version.takeError();
    }
    if (item.typeName.empty() && item.type == kResourceManifest && report.executionLevel.empty()) {
      report.executionLevel = Attribute(item.data, "requestedExecutionLevel", "level");
      report.dpiAwareness = ElementText(item.data, "dpiAwareness");
      if (report.dpiAwareness.empty()) report.dpiAwareness = ElementText(item.data, "dpiAware");
    }
  }
  if (group != nullptr) {
    support::ByteReader r(std::span<const uint8_t>(
        reinterpret_cast<const uint8_t*>(group->data.data()), group->data.size()));
    auto count = r.U16le(4);
    if (!count || !r.Has(6, uint64_t{*count} * 14)) {
      return support::Errorf("group icon: %zu bytes do not hold its entries", group->data.size());
    }
    for (uint32_t i = 0; i < *count; ++i) {
      const uint64_t e = 6 + 14 * i;
      IconImage image;
      image.width = *r.U8(e) == 0 ? 256 : *r.U8(e);
      image.height = *r.U8(e + 1) == 0 ? 256 : *r.U8(e + 1);
      image.bitCount = *r.U16le(e + 6);
      image.size = *r.U32le(e + 8);
      const uint16_t id = *r.U16le(e + 12);
      for (const ResourceItem& icon : items) {
        if (icon.typeName.empty() && icon.type == kResourceIcon && icon.name.empty() &&
            icon.id == id) {
          image.png = icon.data.rfind("\x89PNG", 0) == 0;
        }
      }
      report.icons.push_back(image);
    }
  }
  return report;
}

std::string SummarizeIdentity(const IdentityReport& report) {
  std::string icons;
  for (const IconImage& icon : report.icons) {
    icons += (icons.empty() ? "" : ", ") + std::to_string(icon.width) +
             (icon.width == icon.height ? "" : "x" + std::to_string(icon.height)) +
             (icon.png ? " PNG" : "");
  }
  std::string line = "icon " + (icons.empty() ? std::string("none") : icons);
  for (const auto& [name, value] : report.strings) {
    if (name == "ProductName" || name == "CompanyName" || name == "FileVersion") {
      line += "; " + name + " \"" + EscapeBytes(value, 0x20, "\"\\") + "\"";
    }
  }
  line += "; " + (report.executionLevel.empty() ? std::string("no execution level")
                                                : EscapeBytes(report.executionLevel, 0x20, ""));
  line += "; DPI " + (report.dpiAwareness.empty() ? std::string("unaware (not declared)")
                                                  : EscapeBytes(report.dpiAwareness, 0x20, ""));
  return line;
}

support::Result<IdentityReport> ReadIdentity(const std::string& path) {
  auto items = ReadImageResources(path);
  if (!items) return items.takeError();
  auto report = DescribeIdentity(*items);
  if (!report) return support::Errorf("%s: %s", path.c_str(), report.error().c_str());
  return report;
}

}  // namespace ztpack
