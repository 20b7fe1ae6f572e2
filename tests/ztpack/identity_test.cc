// The installer's identity: an icon file read and refused by what is wrong with it, and the
// resources with an identity applied, written and read back as inspect reads them, keeping what
// the front end needs.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "author/identity.h"
#include "read/resources.h"
#include "testutil/files.h"
#include "testutil/temp_dir.h"

namespace {

void Put32(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}

// A bitmap image of an icon: BITMAPINFOHEADER (height doubled for the mask) and pixels.
std::string Bitmap(uint32_t size, uint16_t bits) {
  std::string b(40 + size * size * bits / 8 + size * size / 8, '\x5a');
  Put32(b, 0, 40);
  Put32(b, 4, size);
  Put32(b, 8, 2 * size);
  b[12] = 1, b[13] = 0, b[14] = static_cast<char>(bits), b[15] = 0;
  return b;
}

// The start of a PNG: signature and IHDR (width, height big-endian), then some bytes.
std::string Png(uint32_t width, uint32_t height) {
  std::string b = std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
  for (uint32_t v : {width, height}) {
    for (int i = 3; i >= 0; --i) b.push_back(static_cast<char>(v >> (8 * i)));
  }
  return b + std::string(40, '\x11');
}

// An .ico file of `images`, each given with the sizes its directory states.
std::string Ico(const std::vector<std::pair<uint8_t, std::string>>& images) {
  std::string b(6 + 16 * images.size(), '\0');
  b[2] = 1;
  b[4] = static_cast<char>(images.size());
  for (size_t i = 0; i < images.size(); ++i) {
    const size_t e = 6 + 16 * i;
    b[e] = b[e + 1] = static_cast<char>(images[i].first);
    b[e + 4] = 1;
    b[e + 6] = 32;
    Put32(b, e + 8, static_cast<uint32_t>(images[i].second.size()));
    Put32(b, e + 12, static_cast<uint32_t>(b.size()));
    b += images[i].second;
  }
  return b;
}

TEST(Identity, IconFilesAreRefusedNamingWhatIsWrong) {
  testutil::TempDir dir;
  struct Case {
    const char* name;
    std::string file;
    const char* error;  // empty: accepted
  } cases[] = {
      {"bitmap and PNG", Ico({{16, Bitmap(16, 32)}, {0, Png(256, 256)}}), ""},
      {"not an icon", "MZ\x90\0", "not an icon file"},
      {"no image", Ico({}), "0 images"},
      {"larger than 256", Ico({{0, Png(512, 512)}}), "512 x 512 pixels, larger"},
      {"sizes disagree", Ico({{32, Bitmap(16, 32)}}),
       "the directory says 32 x 32, the image is 16 x 16"},
      {"neither PNG nor bitmap", Ico({{16, std::string(64, 'x')}}), "neither a PNG nor a bitmap"},
      {"odd bitmap", Ico({{16, Bitmap(16, 7)}}), "is malformed"},
      {"truncated", Ico({{16, Bitmap(16, 32)}}).substr(0, 100), "lie outside the file"},
  };
  for (const Case& c : cases) {
    testutil::WriteFile(dir / "i.ico", c.file);
    auto images = ztpack::ReadIcoFile((dir / "i.ico").string());
    if (std::string(c.error).empty()) {
      ASSERT_TRUE(images.ok()) << c.name << ": " << images.error();
      EXPECT_EQ(images->size(), 2u);
    } else {
      ASSERT_FALSE(images.ok()) << c.name;
      EXPECT_NE(images.error().find(c.error), std::string::npos)
          << c.name << ": " << images.error();
    }
  }
}

TEST(Identity, AppliedWrittenAndReadBackKeepingTheFrontEndsResources) {
  testutil::TempDir dir;
  testutil::WriteFile(dir / "app.ico", Ico({{16, Bitmap(16, 32)}, {0, Png(256, 256)}}));
  const std::string dialog(200, '\x42');
  const std::string manifest =
      "<assembly><trustInfo><requestedExecutionLevel level=\"requireAdministrator\" "
      "uiAccess=\"false\"/></trustInfo><dependency>Microsoft.Windows.Common-Controls</dependency>"
      "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/></assembly>";
  std::vector<ztpack::ResourceItem> stub = {
      {ztpack::kResourceDialog, {}, 101, {}, 0x409, 0, dialog},
      {ztpack::kResourceManifest, {}, 1, {}, 0x409, 0, manifest},
      {ztpack::kResourceVersion, {}, 1, {}, 0x409, 0, "old"},
      {7, u"CUSTOM", 0, u"NAMED", 0, 0, "kept"}};
  ztpack::Identity identity;
  identity.icon = (dir / "app.ico").string();
  identity.strings = {
      {"ProductName", "Demo App"}, {"CompanyName", "Example Ltd"}, {"Comments", "ä"}};
  identity.fileVersion = ztpack::ParseVersionNumber("2.1.0.7").value();
  identity.productVersion = ztpack::ParseVersionNumber("2.1").value();
  identity.executionLevel = "asInvoker";
  identity.dpiAwareness = "permonitorv2";
  auto applied = ztpack::ApplyIdentity(stub, identity);
  ASSERT_TRUE(applied.ok()) << applied.error();

  const std::string tree = ztpack::WriteResourceTree(*applied, 0x7000);
  auto back = ztpack::ParseResourceTree(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(tree.data()), tree.size()), 0x7000);
  ASSERT_TRUE(back.ok()) << back.error();
  EXPECT_EQ(back->size(), applied->size());
  auto report = ztpack::DescribeIdentity(*back);
  ASSERT_TRUE(report.ok()) << report.error();
  ASSERT_EQ(report->icons.size(), 2u);
  EXPECT_EQ(report->icons[0].width, 16u);
  EXPECT_FALSE(report->icons[0].png);
  EXPECT_EQ(report->icons[1].width, 256u);
  EXPECT_TRUE(report->icons[1].png);
  const std::vector<std::pair<std::string, std::string>> strings = {{"ProductName", "Demo App"},
                                                                    {"CompanyName", "Example Ltd"},
                                                                    {"Comments", "ä"},
                                                                    {"FileVersion", "2.1.0.7"},
                                                                    {"ProductVersion", "2.1.0.0"}};
  EXPECT_EQ(report->strings, strings);
  EXPECT_EQ(report->fileVersion, "2.1.0.7");
  EXPECT_EQ(report->productVersion, "2.1.0.0");
  EXPECT_EQ(report->executionLevel, "asInvoker");
  EXPECT_EQ(report->dpiAwareness, "PerMonitorV2, PerMonitor");
  // What the front end needs stays: dialog 101 byte for byte, the manifest's dependency and
  // supported systems; a named resource too.
  bool dialogKept = false, namedKept = false;
  for (const ztpack::ResourceItem& item : *back) {
    dialogKept |= item.type == ztpack::kResourceDialog && item.id == 101 && item.data == dialog;
    namedKept |= item.typeName == u"CUSTOM" && item.name == u"NAMED" && item.data == "kept";
    if (item.type == ztpack::kResourceManifest) {
      EXPECT_NE(item.data.find("Common-Controls"), std::string::npos);
      EXPECT_NE(item.data.find("8e0f7a12"), std::string::npos);
    }
  }
  EXPECT_TRUE(dialogKept);
  EXPECT_TRUE(namedKept);

  // The same inputs, the same bytes; a wrong choice is refused by name.
  EXPECT_EQ(ztpack::WriteResourceTree(ztpack::ApplyIdentity(stub, identity).value(), 0x7000), tree);
  identity.executionLevel = "admin";
  auto refused = ztpack::ApplyIdentity(stub, identity);
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().find("requireAdministrator, highestAvailable or asInvoker"),
            std::string::npos);
}

uint32_t Get32(const std::string& b, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(b[at + i]);
  return v;
}

// Trees the reader must refuse rather than walk for ever, read back as something else, or copy
// without bound: each is a written tree of three languages of one named dialog, then spoiled.
TEST(Identity, MalformedTreesAreRefused) {
  std::vector<ztpack::ResourceItem> items;
  for (uint32_t language : {1, 2, 3}) {
    items.push_back({ztpack::kResourceDialog, {}, 0, u"D", language, 0, std::string(1000, 'd')});
  }
  const std::string written = ztpack::WriteResourceTree(items, 0);
  // The root (24 bytes), the type directory (24), the name directory (40), three data entries.
  constexpr size_t kEntries = 88, kName = kEntries + 48;
  const struct {
    const char* what;
    std::function<void(std::string&)> spoil;
    const char* refusal;
  } cases[] = {
      {"the root's entry leads back to the root", [](std::string& t) { Put32(t, 20, 0x80000000u); },
       "entered twice"},
      {"the name is empty", [](std::string& t) { t[kName] = t[kName + 1] = 0; }, "is empty"},
      {"three entries share the first one's data, the rest cut off",
       [](std::string& t) {
         Put32(t, kEntries + 16, Get32(t, kEntries));
         Put32(t, kEntries + 32, Get32(t, kEntries));
         t.resize(Get32(t, kEntries) + 1000);
       },
       "add up to more"},
  };
  ASSERT_TRUE(ztpack::ParseResourceTree(
                  std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(written.data()),
                                           written.size()),
                  0)
                  .ok());
  for (const auto& c : cases) {
    std::string tree = written;
    c.spoil(tree);
    auto parsed = ztpack::ParseResourceTree(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(tree.data()), tree.size()), 0);
    ASSERT_FALSE(parsed.ok()) << c.what;
    EXPECT_NE(parsed.error().find(c.refusal), std::string::npos)
        << c.what << ": " << parsed.error();
  }
}

}  // namespace
