#include "author/identity.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "os/file_ops.h"
#include "support/byte_reader.h"
#include "support/text.h"

namespace ztpack {
namespace {

constexpr uint32_t kLanguage = 0x409;  // the stub's own resources are US English
constexpr uint64_t kMaxIcoFile = 4u << 20;
constexpr size_t kMaxIcoImages = 64;

void PutU16(std::string& b, uint16_t v) {
  b.push_back(static_cast<char>(v));
  b.push_back(static_cast<char>(v >> 8));
}
void PutU32(std::string& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<char>(v >> (8 * i)));
}
void SetU16(std::string& b, size_t at, uint16_t v) {
  b[at] = static_cast<char>(v);
  b[at + 1] = static_cast<char>(v >> 8);
}
void SetU32(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}
void Pad(std::string& b, size_t alignment) {
  while (b.size() % alignment != 0) b.push_back('\0');
}
std::string Utf16(const std::u16string& text, bool terminated) {
  std::string b;
  for (char16_t c : text) PutU16(b, c);
  if (terminated) PutU16(b, 0);
  return b;
}

// One block of a version resource: length, value length, type, key, value, children.
std::string VersionBlock(const std::u16string& key, const std::string& value, uint16_t valueLength,
                         uint16_t type, const std::vector<std::string>& children) {
  std::string b(6, '\0');
  b += Utf16(key, true);
  Pad(b, 4);
  b += value;
  for (const std::string& child : children) {
    Pad(b, 4);
    b += child;
  }
  SetU16(b, 0, static_cast<uint16_t>(b.size()));
  SetU16(b, 2, valueLength);
  SetU16(b, 4, type);
  return b;
}

uint32_t High(const VersionNumber& v) { return (uint32_t{v[0]} << 16) | v[1]; }
uint32_t Low(const VersionNumber& v) { return (uint32_t{v[2]} << 16) | v[3]; }
std::string Dotted(const VersionNumber& v) {
  return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
         std::to_string(v[3]);
}

support::Result<std::string> VersionResource(const Identity& identity) {
  auto strings = identity.strings;
  auto has = [&](const char* key) {
    return std::any_of(strings.begin(), strings.end(), [&](auto& s) { return s.first == key; });
  };
  if (identity.fileVersion && !has("FileVersion")) {
    strings.emplace_back("FileVersion", Dotted(*identity.fileVersion));
  }
  if (identity.productVersion && !has("ProductVersion")) {
    strings.emplace_back("ProductVersion", Dotted(*identity.productVersion));
  }
  std::vector<std::string> table;
  for (const auto& [key, value] : strings) {
    const std::u16string text = support::Utf8ToWide(value, true);
    if (text.size() + 1 > 0x7FFF)
      return support::Errorf("version string %s is too long", key.c_str());
    table.push_back(VersionBlock(support::Utf8ToWide(key, true), Utf16(text, true),
                                 static_cast<uint16_t>(text.size() + 1), 1, {}));
  }
  const VersionNumber file =
      identity.fileVersion.value_or(identity.productVersion.value_or(VersionNumber{0, 0, 0, 0}));
  const VersionNumber product = identity.productVersion.value_or(file);
  std::string fixed;
  for (uint32_t v : {0xFEEF04BDu, 0x00010000u, High(file), Low(file), High(product), Low(product),
                     0x3Fu, 0u, 0x40004u /* VOS_NT_WINDOWS32 */, 1u /* VFT_APP */, 0u, 0u, 0u}) {
    PutU32(fixed, v);
  }
  std::string translation;
  PutU16(translation, kLanguage);
  PutU16(translation, 1200);
  std::string stringFileInfo =
      VersionBlock(u"StringFileInfo", "", 0, 1, {VersionBlock(u"040904B0", "", 0, 1, table)});
  std::string varFileInfo =
      VersionBlock(u"VarFileInfo", "", 0, 1, {VersionBlock(u"Translation", translation, 4, 0, {})});
  return VersionBlock(u"VS_VERSION_INFO", fixed, static_cast<uint16_t>(fixed.size()), 0,
                      {stringFileInfo, varFileInfo});
}

support::Result<std::string> EditManifest(std::string xml, const Identity& identity) {
  if (!identity.executionLevel.empty()) {
    size_t at = xml.find("<requestedExecutionLevel");
    const size_t close = at == std::string::npos ? at : xml.find('>', at);
    at = at == std::string::npos ? at : xml.find("level=\"", at);
    if (at == std::string::npos || at > close) {
      return support::Errorf("the stub's manifest has no requestedExecutionLevel to set");
    }
    at += 7;
    const size_t quote = xml.find('"', at);
    xml.replace(at, quote - at, identity.executionLevel);
  }
  if (!identity.dpiAwareness.empty()) {
    if (xml.find("<windowsSettings") != std::string::npos) {
      return support::Errorf("the stub's manifest has DPI settings of its own");
    }
    const size_t end = xml.rfind("</assembly>");
    if (end == std::string::npos) return support::Errorf("the stub's manifest has no </assembly>");
    const std::string& d = identity.dpiAwareness;
    const std::string aware = d == "unaware" ? "false" : d == "system" ? "true" : "true/pm";
    std::string settings =
        "  <application xmlns=\"urn:schemas-microsoft-com:asm.v3\">\n"
        "    <windowsSettings>\n"
        "      <dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">" +
        aware + "</dpiAware>\n";
    if (d == "permonitor" || d == "permonitorv2") {
      settings +=
          "      <dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/"
          "WindowsSettings\">" +
          std::string(d == "permonitorv2" ? "PerMonitorV2, PerMonitor" : "PerMonitor") +
          "</dpiAwareness>\n";
    }
    settings += "    </windowsSettings>\n  </application>\n";
    xml.insert(end, settings);
  }
  return xml;
}

bool IsNumbered(const ResourceItem& item, uint32_t type) {
  return item.typeName.empty() && item.type == type;
}

// The sort order of a directory's entries: names (in code-unit order) before numbers.
bool Before(const std::u16string& an, uint32_t a, const std::u16string& bn, uint32_t b) {
  if (an.empty() != bn.empty()) return !an.empty();
  return an.empty() ? a < b : an < bn;
}

}  // namespace

support::Result<VersionNumber> ParseVersionNumber(const std::string& text) {
  VersionNumber v{0, 0, 0, 0};
  size_t part = 0, at = 0;
  for (;;) {
    size_t end = text.find('.', at);
    const std::string digits = text.substr(at, end == std::string::npos ? end : end - at);
    if (part >= 4 || digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos || std::stoul(digits) > 65535) {
      return support::Errorf(
          "version \"%s\": give 1 to 4 numbers 0..65535 separated by dots (\"1.2.3.4\")",
          text.c_str());
    }
    v[part++] = static_cast<uint16_t>(std::stoul(digits));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return v;
}

support::Status CheckIdentityChoices(const Identity& identity) {
  const std::string& level = identity.executionLevel;
  if (!level.empty() && level != "requireAdministrator" && level != "highestAvailable" &&
      level != "asInvoker") {
    return support::Errorf(
        "execution level \"%s\": give requireAdministrator, highestAvailable or asInvoker",
        level.c_str());
  }
  const std::string& dpi = identity.dpiAwareness;
  if (!dpi.empty() && dpi != "unaware" && dpi != "system" && dpi != "permonitor" &&
      dpi != "permonitorv2") {
    return support::Errorf("DPI awareness \"%s\": give unaware, system, permonitor or permonitorv2",
                           dpi.c_str());
  }
  for (const auto& [key, value] : identity.strings) {
    if (key.empty() || value.empty())
      return support::Errorf("version strings need a name and a value");
  }
  return {};
}

support::Result<std::vector<IcoImage>> ReadIcoFile(const std::string& path) {
  auto size = fileops::RegularFileSize(path);
  if (!size) return support::Errorf("%s: %s", path.c_str(), size.error().c_str());
  if (*size > kMaxIcoFile) {
    return support::Errorf("%s: %llu bytes, more than an icon file may have (4 MiB)", path.c_str(),
                           static_cast<unsigned long long>(*size));
  }
  auto text = fileops::ReadWholeFile(path, kMaxIcoFile);
  if (!text) return text.takeError();
  const char* p = path.c_str();
  std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(text->data()), text->size());
  support::ByteReader r(bytes);
  auto reserved = r.U16le(0), type = r.U16le(2), count = r.U16le(4);
  if (!reserved || !type || !count || *reserved != 0 || *type != 1) {
    return support::Errorf("%s: not an icon file (no header 0, 1 at its start)", p);
  }
  if (*count == 0 || *count > kMaxIcoImages) {
    return support::Errorf("%s: %u images; an icon holds 1 to %zu", p, *count, kMaxIcoImages);
  }
  if (!r.Has(6, uint64_t{*count} * 16)) {
    return support::Errorf("%s: the directory of %u images runs past the end of the file", p,
                           *count);
  }
  std::vector<IcoImage> images;
  for (unsigned i = 0; i < *count; ++i) {
    const uint64_t e = 6 + 16 * i;
    IcoImage image;
    image.width = *r.U8(e);
    image.height = *r.U8(e + 1);
    image.colorCount = *r.U8(e + 2);
    image.planes = *r.U16le(e + 4);
    image.bitCount = *r.U16le(e + 6);
    const uint32_t length = *r.U32le(e + 8), offset = *r.U32le(e + 12);
    const unsigned width = image.width == 0 ? 256 : image.width;
    const unsigned height = image.height == 0 ? 256 : image.height;
    auto data = r.Sub(offset, length);
    if (!data || length < 40) {
      return support::Errorf("%s: image %u: %u bytes at 0x%x lie outside the file or are too few",
                             p, i + 1, length, offset);
    }
    support::ByteReader d(*data);
    unsigned w = 0, h = 0;
    if (length >= 24 && std::memcmp(data->data(), "\x89PNG\r\n\x1a\n", 8) == 0) {
      if (std::memcmp(data->data() + 12, "IHDR", 4) != 0) {
        return support::Errorf("%s: image %u: a PNG without its IHDR header first", p, i + 1);
      }
      auto be = [&](size_t at) {
        return (uint32_t{(*data)[at]} << 24) | ((*data)[at + 1] << 16) | ((*data)[at + 2] << 8) |
               (*data)[at + 3];
      };
      w = be(16);
      h = be(20);
    } else {
      if (*d.U32le(0) != 40) {
        return support::Errorf("%s: image %u: neither a PNG nor a bitmap (header size %u, not 40)",
                               p, i + 1, *d.U32le(0));
      }
      const int32_t bw = static_cast<int32_t>(*d.U32le(4)), bh = static_cast<int32_t>(*d.U32le(8));
      const uint16_t bits = *d.U16le(14);
      if (bw <= 0 || bh <= 0 || bh % 2 != 0 ||
          (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)) {
        return support::Errorf("%s: image %u: a bitmap of %d x %d/2 pixels at %u bits is malformed",
                               p, i + 1, bw, bh, bits);
      }
      w = static_cast<unsigned>(bw);
      h = static_cast<unsigned>(bh) / 2;
    }
    if (w > 256 || h > 256) {
      return support::Errorf("%s: image %u: %u x %u pixels, larger than an icon's 256 x 256", p,
                             i + 1, w, h);
    }
    if (w != width || h != height) {
      return support::Errorf("%s: image %u: the directory says %u x %u, the image is %u x %u", p,
                             i + 1, width, height, w, h);
    }
    image.data.assign(reinterpret_cast<const char*>(data->data()), length);
    images.push_back(std::move(image));
  }
  return images;
}

support::Result<std::vector<ResourceItem>> ApplyIdentity(std::vector<ResourceItem> items,
                                                         const Identity& identity) {
  support::Status choices = CheckIdentityChoices(identity);
  if (!choices) return choices.takeError();
  if (!identity.icon.empty()) {
    auto images = ReadIcoFile(identity.icon);
    if (!images) return images.takeError();
    std::erase_if(items, [](const ResourceItem& item) {
      return IsNumbered(item, kResourceIcon) || IsNumbered(item, kResourceGroupIcon);
    });
    std::string group;
    PutU16(group, 0);
    PutU16(group, 1);
    PutU16(group, static_cast<uint16_t>(images->size()));
    for (size_t i = 0; i < images->size(); ++i) {
      const IcoImage& image = (*images)[i];
      group += static_cast<char>(image.width);
      group += static_cast<char>(image.height);
      group += static_cast<char>(image.colorCount);
      group += '\0';
      PutU16(group, image.planes);
      PutU16(group, image.bitCount);
      PutU32(group, static_cast<uint32_t>(image.data.size()));
      PutU16(group, static_cast<uint16_t>(i + 1));
      items.push_back(
          {kResourceIcon, {}, static_cast<uint32_t>(i + 1), {}, kLanguage, 0, image.data});
    }
    items.push_back({kResourceGroupIcon, {}, 1, {}, kLanguage, 0, group});
  }
  if (!identity.strings.empty() || identity.fileVersion || identity.productVersion) {
    auto version = VersionResource(identity);
    if (!version) return version.takeError();
    std::erase_if(items,
                  [](const ResourceItem& item) { return IsNumbered(item, kResourceVersion); });
    items.push_back({kResourceVersion, {}, 1, {}, kLanguage, 0, *version});
  }
  if (!identity.executionLevel.empty() || !identity.dpiAwareness.empty()) {
    auto manifest = std::find_if(items.begin(), items.end(), [](const ResourceItem& item) {
      return IsNumbered(item, kResourceManifest);
    });
    if (manifest == items.end()) return support::Errorf("the stub has no application manifest");
    auto edited = EditManifest(manifest->data, identity);
    if (!edited) return edited.takeError();
    manifest->data = *edited;
  }
  return items;
}

namespace {

// The items of one type that share a name (one per language), and the names of one type.
struct NameGroup {
  size_t first, count;
};
struct TypeGroup {
  size_t first;
  std::vector<NameGroup> names;
};

// Where each part of the tree goes, in the order written: the root directory, the type
// directories, the name directories, the data entries, the name strings, then each item's data
// on an 8-byte boundary.
struct TreeLayout {
  std::vector<TypeGroup> types;
  std::vector<uint32_t> typeDir, nameDir, dataAt;
  uint32_t dataEntries = 0, size = 0;
  std::map<std::u16string, uint32_t> strings;
};

// Sorts the items as the tree lists them (types, then names, then languages; named keys before
// numbered ones at each level) and groups them.
std::vector<TypeGroup> SortAndGroup(std::vector<ResourceItem>& items) {
  std::stable_sort(items.begin(), items.end(), [](const ResourceItem& a, const ResourceItem& b) {
    if (a.typeName != b.typeName || a.type != b.type)
      return Before(a.typeName, a.type, b.typeName, b.type);
    if (a.name != b.name || a.id != b.id) return Before(a.name, a.id, b.name, b.id);
    return a.language < b.language;
  });
  std::vector<TypeGroup> types;
  for (size_t i = 0; i < items.size(); ++i) {
    const bool newType =
        i == 0 || items[i].typeName != items[i - 1].typeName || items[i].type != items[i - 1].type;
    if (newType) types.push_back({i, {}});
    const bool newName =
        newType || items[i].name != items[i - 1].name || items[i].id != items[i - 1].id;
    if (newName) types.back().names.push_back({i, 0});
    ++types.back().names.back().count;
  }
  return types;
}

TreeLayout LayOut(const std::vector<ResourceItem>& items, std::vector<TypeGroup> types) {
  TreeLayout layout;
  layout.types = std::move(types);
  uint32_t at = 16 + 8 * static_cast<uint32_t>(layout.types.size());
  for (const TypeGroup& t : layout.types) {
    layout.typeDir.push_back(at);
    at += 16 + 8 * static_cast<uint32_t>(t.names.size());
  }
  for (const TypeGroup& t : layout.types) {
    for (const NameGroup& n : t.names) {
      layout.nameDir.push_back(at);
      at += 16 + 8 * static_cast<uint32_t>(n.count);
    }
  }
  layout.dataEntries = at;
  at += 16 * static_cast<uint32_t>(items.size());
  for (const ResourceItem& item : items) {
    for (const std::u16string* s : {&item.typeName, &item.name}) {
      if (!s->empty() && layout.strings.emplace(*s, at).second)
        at += 2 + 2 * static_cast<uint32_t>(s->size());
    }
  }
  for (const ResourceItem& item : items) {
    at = (at + 7) & ~7u;
    layout.dataAt.push_back(at);
    at += static_cast<uint32_t>(item.data.size());
  }
  layout.size = at;
  return layout;
}

}  // namespace

std::string WriteResourceTree(const std::vector<ResourceItem>& unsorted, uint32_t rva) {
  std::vector<ResourceItem> items = unsorted;
  const TreeLayout l = LayOut(items, SortAndGroup(items));
  std::string b(l.size, '\0');
  // A directory's counts of named and numbered entries; the entries themselves are set below.
  auto directory = [&](uint32_t offset, size_t named, size_t entries) {
    SetU16(b, offset + 12, static_cast<uint16_t>(named));
    SetU16(b, offset + 14, static_cast<uint16_t>(entries - named));
  };
  auto key = [&](const std::u16string& name, uint32_t id) {
    return name.empty() ? id : 0x80000000u | l.strings.at(name);
  };
  size_t namedTypes = 0, nameIndex = 0;
  for (size_t t = 0; t < l.types.size(); ++t) {
    const ResourceItem& first = items[l.types[t].first];
    SetU32(b, 16 + 8 * t, key(first.typeName, first.type));
    SetU32(b, 16 + 8 * t + 4, 0x80000000u | l.typeDir[t]);
    namedTypes += !first.typeName.empty();
    size_t namedNames = 0;
    for (size_t n = 0; n < l.types[t].names.size(); ++n, ++nameIndex) {
      const NameGroup& name = l.types[t].names[n];
      const ResourceItem& item = items[name.first];
      SetU32(b, l.typeDir[t] + 16 + 8 * n, key(item.name, item.id));
      SetU32(b, l.typeDir[t] + 16 + 8 * n + 4, 0x80000000u | l.nameDir[nameIndex]);
      namedNames += !item.name.empty();
      for (size_t language = 0; language < name.count; ++language) {
        const size_t i = name.first + language;
        const uint32_t entry = l.nameDir[nameIndex] + 16 + 8 * static_cast<uint32_t>(language);
        SetU32(b, entry, items[i].language);
        SetU32(b, entry + 4, l.dataEntries + 16 * static_cast<uint32_t>(i));
      }
      directory(l.nameDir[nameIndex], 0, name.count);
    }
    directory(l.typeDir[t], namedNames, l.types[t].names.size());
  }
  directory(0, namedTypes, l.types.size());
  for (size_t i = 0; i < items.size(); ++i) {
    SetU32(b, l.dataEntries + 16 * i, rva + l.dataAt[i]);
    SetU32(b, l.dataEntries + 16 * i + 4, static_cast<uint32_t>(items[i].data.size()));
    SetU32(b, l.dataEntries + 16 * i + 8, items[i].codePage);
    std::memcpy(b.data() + l.dataAt[i], items[i].data.data(), items[i].data.size());
  }
  for (const auto& [name, offset] : l.strings) {
    SetU16(b, offset, static_cast<uint16_t>(name.size()));
    std::memcpy(b.data() + offset + 2, Utf16(name, false).data(), 2 * name.size());
  }
  return b;
}

}  // namespace ztpack
