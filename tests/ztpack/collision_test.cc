// ztpack and one half of a real SHA-1 collision: never signed, never passed as verified.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "author/bundle_writer.h"
#include "read/bundle_description.h"
#include "testutil/collision.h"
#include "testutil/process.h"
#include "testutil/temp_dir.h"
#include "worker/installer_fixture.h"

namespace {

namespace fs = std::filesystem;
using testutil::RunZtpack;

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

TEST(Collision, SignSetupRefusesTheShatteredPdfNamingIt) {
  testutil::TempDir dir;
  testutil::WriteFile(dir / "setup.pdf", testutil::ShatteredPdf());
  testutil::RunResult r =
      RunZtpack("sign-setup --key " ZT_DEV_KEYS_DIR "/setup.key --in " + Quoted(dir / "setup.pdf") +
                " --out " + Quoted(dir / "signed.pdf"));
  EXPECT_EQ(r.exitCode, 1) << r.output();
  EXPECT_NE(r.err.find((dir / "setup.pdf").string() +
                       ": SHA-1 collision attack detected in block at 0x100: refused to sign"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(dir / "signed.pdf"));
}

// The attacker's installer: the PDF as setup program, signed without detection. verify says
// the setup signature fails, and why.
TEST(Collision, VerifyFailsTheSetupSignatureOfTheShatteredPdf) {
  testutil::TempDir dir;
  worker_test::InstallerRecipe recipe;
  recipe.script = "dep-silent,a,a.txt\n";
  recipe.entries = {{"a", "a"}};
  recipe.setupPath = ZT_SHATTERED_PDF;
  recipe.testOnlySigner = true;
  const std::string installer = worker_test::MakeInstaller(dir, recipe);
  testutil::RunResult r = RunZtpack("verify " + Quoted(installer));
  EXPECT_EQ(r.exitCode, 1) << r.output();
  EXPECT_NE(r.output().find("SHA-1 collision attack detected in block at 0x100"), std::string::npos)
      << r.output();
}

// A refusal names the entry by the offset of the colliding block: every offset of an entry's
// records maps to it, the header and the junk to none, however the entries are cut in chunks.
TEST(Collision, BundleWriterNamesTheEntryAtEveryOffset) {
  testutil::TempDir dir;
  const auto& keys = worker_test::DevKeys::Get();
  auto block = ztpack::MakePublicKeyBlock(keys.root, ztpack::PublicKeyDer(keys.bundle), "IBND", 0);
  ASSERT_TRUE(block.ok()) << block.error();
  ztpack::BundleOptions options;
  options.chunkSize = 1000;
  options.junkLength = 100;
  ztpack::BundleWriter writer;
  ASSERT_TRUE(writer.Begin((dir / "b.ibnd").string(), keys.bundle, *block, options).ok());
  for (const auto& [name, size] :
       {std::pair<std::string, size_t>{"a", 10}, {"b", 2500}, {"c", 0}, {"d", 1000}}) {
    ASSERT_TRUE(writer.AddData(name, std::string(size, name[0])).ok());
  }
  ASSERT_TRUE(writer.Finish().ok());
  auto info = ztpack::InspectBundle((dir / "b.ibnd").string(), ztpack::PublicKeyDer(keys.root));
  ASSERT_TRUE(info.ok()) << info.error();
  ASSERT_EQ(info->entries.size(), 4u);
  std::string previous;  // the header's
  for (const ztpack::BundleEntryInfo& e : info->entries) {
    EXPECT_EQ(writer.EntryAt(e.offset - 1), previous) << e.name;
    EXPECT_EQ(writer.EntryAt(e.offset), e.name);
    previous = e.name;
  }
  EXPECT_EQ(writer.EntryAt(info->streamEndOffset - 1), "d");
  EXPECT_EQ(writer.EntryAt(info->signedLength - 1), "");  // junk
}

}  // namespace
