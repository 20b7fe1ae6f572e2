// ztpack and one half of a real SHA-1 collision: never signed, never passed as verified.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "author/bundle_writer.h"
#include "bundle/bundle_format.h"
#include "bundle/key_stream.h"
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

// An entry whose stored bytes are the PDF's, 64-aligned in the signed region (the scrambling is
// a fixed table, so a supplier can arrange that): the writer names the entry and writes nothing.
TEST(Collision, BundleWriterRefusesNamingTheEntry) {
  testutil::TempDir dir;
  const std::string pdf = testutil::ShatteredPdf();
  const std::string name(23, 'n');  // 25 + 4 + 23 + 4 + 8: the chunk data start at 0x40
  std::vector<uint8_t> fields;
  support::PutU32le(fields, static_cast<uint32_t>(name.size()));
  fields.insert(fields.end(), name.begin(), name.end());
  support::PutU32le(fields, 1);
  support::PutU32le(fields, static_cast<uint32_t>(pdf.size()));
  support::PutU32le(fields, static_cast<uint32_t>(pdf.size()));
  bundle::KeyStreamState state;
  bundle::KeyStreams::Builtin().Scramble(state, fields.data(), fields.size());
  std::string plain = pdf;  // what scrambles to the PDF from this state
  bundle::KeyStreams::Builtin().Unscramble(state, reinterpret_cast<uint8_t*>(plain.data()),
                                           plain.size());

  const auto& keys = worker_test::DevKeys::Get();
  auto block = ztpack::MakePublicKeyBlock(keys.root, ztpack::PublicKeyDer(keys.bundle), "IBND", 0);
  ASSERT_TRUE(block.ok()) << block.error();
  ztpack::BundleWriter writer;
  ASSERT_TRUE(writer.Begin((dir / "b.ibnd").string(), keys.bundle, *block, {}).ok());
  ASSERT_TRUE(writer.BeginEntry(name, 1).ok());
  ASSERT_TRUE(writer.WriteChunk(plain, static_cast<uint32_t>(pdf.size())).ok());
  support::Status finished = writer.Finish();
  ASSERT_FALSE(finished.ok());
  EXPECT_EQ(finished.error(),
            "SHA-1 collision attack detected in block at 0x140 of the bundle (in "
            "entry \"" +
                name + "\"): refused to sign one half of a SHA-1 collision");
  EXPECT_FALSE(fs::exists(dir / "b.ibnd"));
}

}  // namespace
