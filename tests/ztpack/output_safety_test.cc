// ztpack against someone who can write where its outputs go: every file is created new under a
// random name (never through a link put in its way, never into a file made there first), private
// keys are their owner's alone, the setup key signs the bytes ztpack wrote and not what the name
// holds meanwhile, scratch directories are removed without following links, and no private key
// is packed as a payload.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cryptopp/queue.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "author/keys.h"
#include "author/make_pipeline.h"
#include "author/setup_signer.h"
#include "os/file_ops.h"
#include "os/output_file.h"
#include "os/scratch_dir.h"
#include "support/text.h"
#include "verify/setup_signature.h"
#include "worker/installer_fixture.h"

namespace {

namespace fs = std::filesystem;

mode_t ModeOf(const fs::path& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// Runs ztpack in a child whose process id is known before ztpack starts: `plant` gets it first,
// so that files can be put at the temporary names that used to be made from it.
int RunWithKnownPid(const std::vector<std::string>& args, const fs::path& errFile,
                    const std::function<void(pid_t)>& plant) {
  std::vector<std::string> all = {ZT_ZTPACK};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int gate[2];
  if (err < 0 || ::pipe(gate) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    char go;
    ::close(gate[1]);
    if (::read(gate[0], &go, 1) != 1) ::_exit(126);
    ::dup2(err, 1);
    ::dup2(err, 2);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(gate[0]);
  ::close(err);
  try {
    plant(pid);
  } catch (...) {
    ::close(gate[1]);  // the child ends without running ztpack
    ::waitpid(pid, nullptr, 0);
    throw;
  }
  const ssize_t sent = ::write(gate[1], "g", 1);
  ::close(gate[1]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return sent == 1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// "@" in `text` replaced with `dir`.
std::string At(std::string text, const std::string& dir) {
  for (size_t i = text.find('@'); i != std::string::npos; i = text.find('@', i + dir.size())) {
    text.replace(i, 1, dir);
  }
  return text;
}

struct WriterCase {
  const char* name;
  std::vector<std::string> args;     // "@": the case's directory
  std::vector<std::string> outputs;  // below it; "*" in front: a private key (0600)
  std::string plantBeside;           // where the old names were made (empty: each output)
};

class PlantedNames : public ::testing::TestWithParam<std::tuple<WriterCase, bool>> {};

// At each name ztpack used to write through ("<out>.tmp-<pid>" for keygen, certify and bundle,
// "<out>.tmp-<pid>-<n>" for the others, sign-setup's drafts) a link to a victim, or a 0666 file
// of the attacker's. The link would have sent the output (a private key) into the victim; the
// file would have been filled and renamed into place, writable by them. Now no name can be known
// in advance, and the old ones are left alone.
TEST_P(PlantedNames, LeaveTheVictimAndThePlantedFilesAlone) {
  SKIP_WITHOUT_DEV_KEYS();
  const auto& [c, asLink] = GetParam();
  testutil::TempDir dir;
  const std::string keys = ZT_DEV_KEYS_DIR;
  fs::create_directories(dir / "in/payload");
  fs::create_directories(dir / "out/keys");
  for (const char* pe : {"in/stub.exe", "out/stub.exe"}) {
    testutil::WriteFile(dir / pe, testutil::KeyedStub());
  }
  for (const char* file : {"in/a", "in/payload/a", "out/file"})
    testutil::WriteFile(dir / file, "a");
  testutil::WriteFile(dir / "in/payload/install_script", "dep-silent,a,a.txt\n");
  testutil::WriteFile(dir / "in/setup.sh", worker_test::kReportingSetup);
  testutil::WriteFile(dir / "in/make.toml",
                      "stub = 'stub.exe'\nsetup = 'setup.sh'\nmode = 'silent'\n"
                      "output = '../out/made.exe'\n[payload]\nfolder = 'payload'\n[keys]\ndir = '" +
                          keys + "'\n");
  const auto& k = worker_test::DevKeys::Get();
  testutil::WriteFile(dir / "in/cert", *ztpack::MakePublicKeyBlock(
                                           k.root, ztpack::PublicKeyDer(k.bundle), "IBND", 0));
  worker_test::InstallerRecipe recipe;
  recipe.script = "dep-silent,a,a.txt\n";
  recipe.entries = {{"a", "a"}};
  testutil::TempDir recipeDir;
  fs::copy_file(worker_test::MakeInstaller(recipeDir, recipe), dir / "in/installer.exe");
  fs::copy_file(recipeDir / "ibnd", dir / "in/ibnd");
  testutil::WriteFile(dir / "victim", "victim");

  std::vector<fs::path> planted;
  auto plant = [&](pid_t pid) {
    const std::string p = std::to_string(pid);
    std::vector<std::string> beside;
    for (const std::string& o : c.outputs) beside.push_back(o.substr(o[0] == '*'));
    if (!c.plantBeside.empty()) beside = {c.plantBeside};
    for (const std::string& out : beside) {
      std::vector<std::string> names = {".tmp-" + p};
      for (const std::string& d :
           {std::string(), ".sign-draft-" + p + "-0", ".sign-out-" + p + "-1"}) {
        if (!d.empty()) names.push_back(d);
        for (int m = 0; m < 3; ++m) names.push_back(d + ".tmp-" + p + "-" + std::to_string(m));
      }
      for (const std::string& name : names) {
        const fs::path at = dir / (out + name);
        if (asLink) {
          fs::create_symlink(dir / "victim", at);
        } else {
          testutil::WriteFile(at, "planted");
          fs::permissions(at, fs::perms::owner_read | fs::perms::owner_write |
                                  fs::perms::group_read | fs::perms::group_write |
                                  fs::perms::others_read | fs::perms::others_write);
        }
        planted.push_back(at);
      }
    }
  };
  std::vector<std::string> args;
  for (const std::string& a : c.args) args.push_back(At(a, dir.path().string()));
  ASSERT_EQ(RunWithKnownPid(args, dir / "err.txt", plant), 0)
      << testutil::ReadFile(dir / "err.txt");

  EXPECT_EQ(testutil::ReadFile(dir / "victim"), "victim");
  std::set<fs::path> expected(planted.begin(), planted.end());
  for (const fs::path& p : planted) {
    EXPECT_TRUE(asLink ? fs::is_symlink(p)
                       : testutil::ReadFile(p) == "planted" && (ModeOf(p) & 0777) == 0666)
        << p;
  }
  for (const std::string& o : c.outputs) {
    const fs::path output = dir / o.substr(o[0] == '*');
    EXPECT_TRUE(S_ISREG(ModeOf(output))) << output;
    if (o[0] == '*') {
      EXPECT_EQ(ModeOf(output) & 0777, 0600u) << output;
    }
    expected.insert(output);
  }
  for (const auto& e : fs::recursive_directory_iterator(dir / "out")) {
    const std::string name = e.path().filename();
    if (e.is_directory() || name == "stub.exe" || name == "file") continue;
    EXPECT_EQ(expected.count(e.path()), 1u) << "left behind: " << e.path();
  }
}

const std::string kKeys = ZT_DEV_KEYS_DIR;

INSTANTIATE_TEST_SUITE_P(
    EveryWriter, PlantedNames,
    ::testing::Combine(
        ::testing::Values(
            WriterCase{"Keygen",
                       {"keygen", "--out", "@/out/keys"},
                       {"*out/keys/root.key", "out/keys/root.der", "*out/keys/bundle.key",
                        "out/keys/bundle.der", "*out/keys/setup.key", "out/keys/setup.der"},
                       ""},
            WriterCase{"Certify",
                       {"certify", "--root-key", kKeys + "/root.key", "--public",
                        kKeys + "/bundle.der", "--goal", "IBND", "--out", "@/out/cert"},
                       {"out/cert"},
                       ""},
            WriterCase{
                "Bundle",
                {"bundle", "-q", "--script", "@/in/payload/install_script", "--entry", "a=@/in/a",
                 "--key", kKeys + "/bundle.key", "--cert", "@/in/cert", "--out", "@/out/ibnd"},
                {"out/ibnd"},
                ""},
            WriterCase{"Attach",
                       {"attach", "--type", "ABCD", "--data", "@/in/a", "@/out/file"},
                       {"out/file"},
                       ""},
            WriterCase{"Section",
                       {"section", "--type", "ABCD", "--data", "@/in/a", "@/out/stub.exe"},
                       {"out/stub.exe"},
                       ""},
            WriterCase{"SignSetup",
                       {"sign-setup", "--key", kKeys + "/setup.key", "--in", "@/in/stub.exe",
                        "--bundle", "@/in/ibnd", "--out", "@/out/setup.exe"},
                       {"out/setup.exe"},
                       ""},
            WriterCase{"Build",
                       {"build", "--stub", "@/in/stub.exe", "--setup", "@/in/a", "--mode", "gui",
                        "--out", "@/out/installer.exe"},
                       {"out/installer.exe"},
                       ""},
            WriterCase{"Make", {"make", "-q", "@/in/make.toml"}, {"out/made.exe"}, ""},
            WriterCase{"Extract",
                       {"extract", "-q", "@/in/installer.exe", "--out", "@/out/x"},
                       {"out/x/a", "out/x/install_script"},
                       "out/x"}),
        ::testing::Bool()),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) +
             (std::get<1>(info.param) ? "Link" : "File");
    });

// Creating a file never goes through what is at its name (a link to a file or to nothing, a
// file someone made); and a temporary name made to name another file (theirs renamed into
// place of ours) is never renamed onto the target, nor removed.
TEST(OutputFile, NeverWritesOrCommitsWhatSomeoneElsePutThere) {
  testutil::TempDir dir;
  testutil::WriteFile(dir / "victim", "victim");
  fs::create_symlink(dir / "victim", dir / "link");
  fs::create_symlink(dir / "nowhere", dir / "dangling");
  testutil::WriteFile(dir / "file", "theirs");
  using Mode = ztpack::fileops::RawFile::Mode;
  for (const char* name : {"link", "dangling", "file"}) {
    for (Mode mode : {Mode::kCreateExclusive, Mode::kCreateExclusiveSecret}) {
      bool exists = false;
      EXPECT_FALSE(ztpack::fileops::RawFile::Open((dir / name).string(), mode, &exists).IsOpen());
      EXPECT_TRUE(exists) << name;
    }
  }
  EXPECT_FALSE(fs::exists(dir / "nowhere"));
  EXPECT_EQ(testutil::ReadFile(dir / "victim"), "victim");

  auto out = ztpack::OutputFile::Create((dir / "victim").string());
  ASSERT_TRUE(out.ok() && (*out)->Write("ours", 4).ok());
  const std::string temp = (*out)->temp();
  fs::rename(temp, dir / "moved");
  testutil::WriteFile(temp, "theirs");
  support::Status committed = (*out)->Commit();
  EXPECT_NE(committed.error().find("no longer names the file written"), std::string::npos);
  out->reset();
  EXPECT_EQ(testutil::ReadFile(dir / "victim"), "victim");
  EXPECT_EQ(testutil::ReadFile(temp), "theirs");
}

// The draft is replaced between writing and signing (a debugger breakpoint stood in for the
// race once): the setup key signs only the bytes ztpack wrote, and the run fails rather than
// put the other file under the output's name.
TEST(SignSetup, SignsTheBytesWrittenNotWhatTheNameHolds) {
  SKIP_WITHOUT_DEV_KEYS();
  const auto& keys = worker_test::DevKeys::Get();
  testutil::TempDir dir;
  testutil::WriteFile(dir / "setup.exe", testutil::PeFixture{}.Build());
  std::string temp, forged;
  ztpack::test_hooks::SetDraftWrittenHook([&](const std::string& name) {
    temp = name;
    forged = testutil::ReadFile(name);
    forged[0x400] ^= 0x55;  // the attacker's code in .text
    fs::rename(name, dir / "written");
    testutil::WriteFile(name, forged);
  });
  auto summary = ztpack::SignSetup(
      keys.setup, {(dir / "setup.exe").string(), (dir / "signed.exe").string(), "", false, {}});
  ztpack::test_hooks::SetDraftWrittenHook(nullptr);
  ASSERT_FALSE(summary.ok());
  EXPECT_NE(summary.error().find("no longer names the file written"), std::string::npos)
      << summary.error();
  EXPECT_FALSE(fs::exists(dir / "signed.exe"));
  EXPECT_EQ(testutil::ReadFile(temp), forged);
  // The bytes ztpack wrote carry the signature, over themselves.
  ztpack::StdoutToStderr quiet;
  EXPECT_TRUE(
      verify::VerifySetupSignatureWithKey(support::Utf8ToWide((dir / "written").string(), true),
                                          ztpack::PublicKeyDer(keys.setup), false));
}

// Removal removes links as links: what they point to, from inside or from the directory's own
// place, stays.
TEST(ScratchDir, RemovalNeverFollowsLinks) {
  testutil::TempDir dir;
  fs::create_directories(dir / "outside/sub");
  testutil::WriteFile(dir / "outside/sub/keep", "keep");
  for (const char* prefix : {"inside-", "replaced-"}) {
    auto scratch = ztpack::ScratchDir::Create(dir.path(), prefix);
    ASSERT_TRUE(scratch.ok()) << scratch.error();
    const fs::path path = (*scratch)->path();
    EXPECT_EQ(ModeOf(path) & 0777, 0700u);
    fs::create_directories(path / "deep");
    fs::create_directory_symlink(dir / "outside", path / "deep/dirlink");
    fs::create_symlink(dir / "outside/sub/keep", path / "filelink");
    if (prefix[0] == 'r') {
      fs::rename(path, dir / "renamed");
      fs::create_directory_symlink(dir / "outside", path);
    }
    scratch->reset();
    EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << prefix;
  }
  EXPECT_EQ(testutil::ReadFile(dir / "outside/sub/keep"), "keep");
}

// ---- Private keys as payload ----

std::string Pkcs1Der(const ztpack::RsaPrivateKey& key) {
  std::string der;
  CryptoPP::StringSink sink(der);
  key.DEREncodePrivateKey(sink);
  return der;
}

struct KeyContentCase {
  const char* name;
  std::function<std::string(const ztpack::RsaPrivateKey&)> content;
  std::string kind;  // empty: not a key
};

TEST(PrivateKeyKind, ByContent) {
  SKIP_WITHOUT_DEV_KEYS();
  const auto& key = worker_test::DevKeys::Get().setup;
  const std::string big(3 << 19, 'x');  // 1.5 MiB: the 1 MiB piece boundary inside the block
  const std::vector<KeyContentCase> cases = {
      {"Pkcs8Pem", [](auto& k) { return ztpack::PrivateKeyPem(k); }, "a PEM \"PRIVATE KEY\" block"},
      {"Pkcs8Der", [](auto& k) { return ztpack::PrivateKeyDer(k); }, "DER PKCS#8 PrivateKeyInfo"},
      {"Pkcs1Der", Pkcs1Der, "DER PKCS#1 RSAPrivateKey"},
      // The labels are split so that no source file reads as a key to a scan for committed keys.
      {"RsaPemInsideText",
       [&](auto& k) {
         std::string pem = ztpack::PrivateKeyPem(k);
         pem.replace(pem.find("PRIVATE KEY"), 11, "RSA PRIVATE KEY");
         pem.replace(pem.rfind("PRIVATE KEY"), 11, "RSA PRIVATE KEY");
         return big.substr(0, (1 << 20) - 7) + "\n" + pem + big;
       },
       "a PEM \"RSA PRIVATE KEY\" block"},
      // The header text alone is no key: compiled modules and documentation quote it.
      {"HeaderTextOnly",
       [](auto&) { return std::string("-----BEGIN ENCRYPTED ") + "PRIVATE KEY-----\nMII\n"; }, ""},
      {"PublicPem", [](auto& k) { return ztpack::PublicKeyPem(ztpack::RsaPublicKey(k)); }, ""},
      {"PublicDer", [](auto& k) { return ztpack::PublicKeyDer(k); }, ""},
      {"Pkcs8DerWithATrailingByte", [](auto& k) { return ztpack::PrivateKeyDer(k) + "x"; }, ""},
      {"Pkcs8DerCut", [](auto& k) { return ztpack::PrivateKeyDer(k).substr(0, 300); }, ""},
      {"WordsOnly", [](auto&) { return "a PRIVATE KEY----- is not a block"; }, ""},
      {"Empty", [](auto&) { return ""; }, ""},
  };
  testutil::TempDir dir;
  for (const KeyContentCase& c : cases) {
    testutil::WriteFile(dir / c.name, c.content(key));
    auto kind = ztpack::PrivateKeyKind((dir / c.name).string());
    ASSERT_TRUE(kind.ok()) << c.name << ": " << kind.error();
    EXPECT_EQ(*kind, c.kind) << c.name;
  }
}

// The manifest's payload: one of the [keys] files (by name, or the same file under another
// name), a copy of one, and links out of the folder are all refused with the file's name.
TEST(Make, PayloadCannotCarryTheKeysNorLeaveTheFolder) {
  SKIP_WITHOUT_DEV_KEYS();
  struct Case {
    const char* name;
    std::function<void(const fs::path& payload, const std::string& keys)> change;
    std::string files;   // the [payload] table's files, instead of its folder ("@": keys dir)
    std::string expect;  // "@": the keys directory
    std::string keyTable = "dir = 'keys'";
  };
  auto link = [](const char* target, const char* name) {
    return
        [=](const fs::path& p, const std::string& k) { fs::create_symlink(k + target, p / name); };
  };
  const std::vector<Case> cases = {
      {"KeyByName", nullptr, "files = { 'k' = '@/root.key' }", "is the private key @/root.key"},
      {"HardLinkToAKey",
       [](const fs::path& p, const std::string& k) {
         fs::create_hard_link(k + "/setup.key", p / "s");
       },
       "", "is the private key @/setup.key"},
      {"CopyInASubfolder",
       [](const fs::path& p, const std::string& k) {
         fs::create_directories(p / "sub");
         fs::copy_file(k + "/bundle.key", p / "sub/b.pem");
       },
       "", "sub/b.pem holds a private key (a PEM \"PRIVATE KEY\" block)"},
      {"LinkToAFile", link("/root.der", "l"), "", "/l: symbolic links are not packed"},
      {"LinkToAFolder", link("", "d"), "", "/d: symbolic links are not packed"},
      {"PinFileOfATokenKey",
       [](const fs::path&, const std::string& k) { testutil::WriteFile(k + "/pin", "1234\n"); },
       "files = { 'p' = '@/pin' }", "is the PIN file @/pin",
       "root = 'pkcs11:token=t;object=root;pin-source=file:@/pin'\n"
       "bundle = 'keys/bundle.key'\nsetup = 'keys/setup.key'"},
  };
  for (const Case& c : cases) {
    testutil::TempDir dir;
    const std::string keys = (dir / "keys").string();
    fs::copy(ZT_DEV_KEYS_DIR, keys);
    fs::create_directories(dir / "payload");
    testutil::WriteFile(dir / "payload" / "install_script", "dep-silent,a,a\n");
    testutil::WriteFile(dir / "payload" / "a", "a");
    testutil::WriteFile(dir / "setup", "x");
    if (c.change) c.change(dir / "payload", keys);
    const std::string payload = c.files.empty()
                                    ? "folder = 'payload'"
                                    : "script = 'payload/install_script'\n" + At(c.files, keys);
    testutil::WriteFile(dir / "m.toml",
                        "stub = 'setup'\nsetup = 'setup'\nmode = 'silent'\n"
                        "output = 'o.exe'\n[payload]\n" +
                            payload + "\n[keys]\n" + At(c.keyTable, keys) + "\n");
    // Refused when the manifest is read, or (a key by its content, found on the bytes packed)
    // when the bundle is packed, before any output is written.
    auto manifest = ztpack::LoadManifest((dir / "m.toml").string());
    std::string error = manifest.ok() ? "" : manifest.error();
    if (manifest.ok()) {
      support::Status made = ztpack::MakeInstaller(*manifest);
      ASSERT_FALSE(made.ok()) << c.name;
      error = made.error();
      EXPECT_FALSE(fs::exists(dir / "o.exe")) << c.name;
    }
    EXPECT_NE(error.find(At(c.expect, keys)), std::string::npos) << c.name << ": " << error;
  }

  // `bundle --entry` likewise, before anything is written.
  const std::string keys = ZT_DEV_KEYS_DIR;
  testutil::TempDir dir;
  testutil::WriteFile(dir / "script", "dep-silent,k,k\n");
  const auto& k = worker_test::DevKeys::Get();
  testutil::WriteFile(
      dir / "cert", *ztpack::MakePublicKeyBlock(k.root, ztpack::PublicKeyDer(k.bundle), "IBND", 0));
  const fs::path err = dir / "err.txt";
  const int exit =
      RunWithKnownPid({"bundle", "-q", "--script", (dir / "script").string(), "--entry",
                       "k=" + keys + "/root.key", "--key", keys + "/bundle.key", "--cert",
                       (dir / "cert").string(), "--out", (dir / "ibnd").string()},
                      err, [](pid_t) {});
  EXPECT_EQ(exit, 1);
  EXPECT_NE(
      testutil::ReadFile(err).find("entry \"k\": " + keys +
                                   "/root.key holds a private key (a PEM \"PRIVATE KEY\" block)"),
      std::string::npos)
      << testutil::ReadFile(err);
  EXPECT_FALSE(fs::exists(dir / "ibnd"));
}

}  // namespace
