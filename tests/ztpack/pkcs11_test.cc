// Keys in a PKCS#11 token (SoftHSM): the same installer as from the key files, keygen inside the
// token, and failures that name their cause and leave no output.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "author/keys.h"
#include "testutil/softhsm.h"
#include "worker/installer_fixture.h"

namespace {

namespace fs = std::filesystem;
using testutil::RunOptions;
using testutil::RunResult;
using testutil::SoftHsmToken;

#define SKIP_WITHOUT_SOFTHSM()    \
  if (!SoftHsmToken::Available()) \
  GTEST_SKIP() << "SoftHSM (softhsm2, scripts/setup.sh) is not installed"

RunResult Ztpack(std::vector<std::string> args, const RunOptions& options) {
  args.insert(args.begin(), ZT_ZTPACK);
  return testutil::RunProcess(args, options);
}

// A payload, a fixture stub and a setup program in `dir`, and a manifest of them with `keys`
// (the lines of [keys] and anything after it).
std::string WriteManifest(const fs::path& dir, const std::string& name, const std::string& keys) {
  if (!fs::exists(dir / "payload")) {
    fs::create_directories(dir / "payload");
    testutil::WriteFile(dir / "payload" / "install_script", "dep-silent,a.txt,a.txt\n");
    testutil::WriteFile(dir / "payload" / "a.txt", std::string(300000, 'a'));
    testutil::WriteFile(dir / "stub.exe", testutil::KeyedStub());
    testutil::WriteFile(dir / "setup.sh", worker_test::kReportingSetup);
  }
  const fs::path manifest = dir / (name + ".toml");
  testutil::WriteFile(manifest,
                      "stub = \"stub.exe\"\nsetup = \"setup.sh\"\nmode = \"silent\"\n"
                      "output = \"" +
                          name +
                          ".exe\"\n[payload]\nfolder = \"payload\"\n"
                          "[keys]\n" +
                          keys);
  return manifest.string();
}

std::string TokenKeys(const SoftHsmToken& token, const std::string& module,
                      const std::string& uriTail = "") {
  return "root = \"" + token.Uri("root") + uriTail + "\"\nbundle = \"" + token.Uri("bundle") +
         uriTail + "\"\nsetup = \"" + token.Uri("setup") + uriTail + "\"\n[pkcs11]\nmodule = \"" +
         module + "\"\n";
}

TEST(Pkcs11, TokenKeysGiveTheSameInstallerAsTheirFiles) {
  SKIP_WITHOUT_DEV_KEYS();
  SKIP_WITHOUT_SOFTHSM();
  SoftHsmToken token;
  ASSERT_TRUE(token.error().empty()) << token.error();
  const std::string keys = ZT_DEV_KEYS_DIR;
  for (const char* id : {"01", "02", "03"}) {
    const std::string name = id[1] == '1' ? "root" : id[1] == '2' ? "bundle" : "setup";
    ASSERT_TRUE(token.Import(keys + "/" + name + ".key", name, id)) << token.error();
  }
  const fs::path dir = token.dir() / "work";
  fs::create_directories(dir);
  testutil::WriteFile(dir / "pin", token.pin() + "\n");
  struct Case {
    const char* name;
    std::string keys;
    bool pinInEnvironment;
  } cases[] = {
      {"file", "dir = \"" + keys + "\"\n", false},
      // CKM_SHA1_RSA_PKCS, the PIN from the environment.
      {"token", TokenKeys(token, SoftHsmToken::kModule), true},
      // The fallback to CKM_RSA_PKCS over a DigestInfo, the PIN from a file.
      {"shim", TokenKeys(token, ZT_PKCS11_SHIM, ";pin-source=file:" + (dir / "pin").string()),
       false},
  };
  std::string first;
  for (const Case& c : cases) {
    RunResult r =
        Ztpack({"make", WriteManifest(dir, c.name, c.keys)}, token.Options(c.pinInEnvironment));
    ASSERT_EQ(r.exitCode, 0) << c.name << ": " << r.output();
    const std::string made = testutil::ReadFile(dir / (std::string(c.name) + ".exe"));
    if (first.empty()) first = made;
    EXPECT_TRUE(made == first) << c.name << ": differs from the installer made with key files";
  }
}

TEST(Pkcs11, KeygenMakesThePairsInTheTokenAndMakeVerifiesWithThem) {
  SKIP_WITHOUT_SOFTHSM();
  SoftHsmToken token;
  ASSERT_TRUE(token.error().empty()) << token.error();
  const fs::path out = token.dir() / "public";
  const std::vector<std::string> keygen = {
      "keygen", "--pkcs11",  token.Uri(), "--pkcs11-module", SoftHsmToken::kModule,
      "--out",  out.string()};
  // A wrong PIN: the token cannot be used, and not even the output directory is left.
  RunOptions wrongPin = token.Options(false);
  wrongPin.env.push_back({"ZTPACK_PKCS11_PIN", "4321"});
  RunResult r = Ztpack(keygen, wrongPin);
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("CKR_PIN_INCORRECT"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(out));

  r = Ztpack(keygen, token.Options());
  ASSERT_EQ(r.exitCode, 0) << r.output();
  std::vector<std::string> listed;
  for (const auto& e : fs::directory_iterator(out)) listed.push_back(e.path().filename().string());
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{"bundle.der", "root.der", "setup.der"}));
  const std::string rootDer = testutil::ReadFile(out / "root.der");
  // The private halves never leave the token (OpenSC's lister, where installed).
  if (testutil::HaveCommand("pkcs11-tool")) {
    r = testutil::RunProcess({"pkcs11-tool", "--module", SoftHsmToken::kModule, "--login", "--pin",
                              token.pin(), "--list-objects", "--type", "privkey"},
                             token.Options());
    size_t count = 0;
    for (size_t at = 0; (at = r.out.find("Access:", at)) != std::string::npos; ++at, ++count) {
      const std::string access = r.out.substr(at, r.out.find('\n', at) - at);
      EXPECT_NE(access.find("never extractable"), std::string::npos) << r.out;
      EXPECT_NE(access.find("always sensitive"), std::string::npos) << r.out;
    }
    EXPECT_EQ(count, 3u) << r.output();
  }

  // A URI naming an object: keygen labels the keys itself, and the token is never opened.
  r = Ztpack({"keygen", "--pkcs11", token.Uri("root"), "--pkcs11-module", SoftHsmToken::kModule,
              "--out", (token.dir() / "named").string()},
             token.Options());
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("name the token only (no object, id or type): the keys are labelled root, "
                       "bundle and setup"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(token.dir() / "named"));

  // Again: refused without --force, the token and the files left as they were.
  r = Ztpack(keygen, token.Options());
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("exists already"), std::string::npos) << r.err;
  r = Ztpack({"keygen", "--pkcs11", token.Uri(), "--pkcs11-module", SoftHsmToken::kModule, "--out",
              (token.dir() / "other").string()},
             token.Options());
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("holds objects labelled \"root\" already"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(token.dir() / "other" / "root.der"));
  EXPECT_EQ(testutil::ReadFile(out / "root.der"), rootDer);

  // With --force new pairs replace the old ones, which are gone (else a label names two keys).
  std::vector<std::string> force = keygen;
  force.push_back("--force");
  r = Ztpack(force, token.Options());
  ASSERT_EQ(r.exitCode, 0) << r.output();
  EXPECT_NE(testutil::ReadFile(out / "root.der"), rootDer);

  const fs::path dir = token.dir() / "work";
  fs::create_directories(dir);
  r = Ztpack({"make", WriteManifest(dir, "m", TokenKeys(token, SoftHsmToken::kModule))},
             token.Options());
  ASSERT_EQ(r.exitCode, 0) << r.output();
  r = Ztpack({"verify", (dir / "m.exe").string(), "--root-key", (out / "root.der").string(),
              "--setup-key", (out / "setup.der").string()},
             token.Options());
  EXPECT_EQ(r.exitCode, 0) << r.output();
}

TEST(Pkcs11, FailuresNameTheCauseAndLeaveNoOutput) {
  SKIP_WITHOUT_DEV_KEYS();
  SKIP_WITHOUT_SOFTHSM();
  SoftHsmToken token;
  ASSERT_TRUE(token.error().empty()) << token.error();
  const std::string keys = ZT_DEV_KEYS_DIR;
  const fs::path work = token.dir() / "work";
  fs::create_directories(work);
  // Keys the installer cannot use: too small for the root, the wrong exponent for the setup.
  struct Unfit {
    const char* label;
    unsigned bits, exponent;
    const char* id;
  } unfit[] = {{"small", 1024, 65537, "0a"}, {"e3", 4096, 3, "0b"}};
  for (const Unfit& u : unfit) {
    auto key = ztpack::GenerateKey(u.bits, u.exponent);
    ASSERT_TRUE(key.ok());
    testutil::WriteFile(work / u.label, ztpack::PrivateKeyPem(*key));
    ASSERT_TRUE(token.Import((work / u.label).string(), u.label, u.id)) << token.error();
  }
  ASSERT_TRUE(token.Import(keys + "/root.key", "root", "01")) << token.error();
  ASSERT_TRUE(token.Import(keys + "/root.key", "twin", "02")) << token.error();
  ASSERT_TRUE(token.Import(keys + "/root.key", "twin", "03")) << token.error();
  testutil::WriteFile(work / "not-a-module.so", "just text\n");
  // A working module under a bare name in the current directory, which must not be loaded.
  fs::copy_file(SoftHsmToken::kModule, work / "zt-planted.so");
  Dl_info libc{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&std::fflush), &libc), 0);

  const std::string module = SoftHsmToken::kModule;
  struct Case {
    const char* name;
    std::string command;  // certify or sign-setup
    std::string uri, module;
    const char* pin;  // $ZTPACK_PKCS11_PIN, or null for none
    bool corrupt;     // the shim flips a bit of each signature
    int exitCode;
    std::string message;
  } cases[] = {
      {"wrong PIN", "certify", token.Uri("root"), module, "0000", false, 2,
       "login to token \"release\" failed: CKR_PIN_INCORRECT (the PIN is wrong)"},
      {"no PIN", "certify", token.Uri("root"), module, nullptr, false, 2,
       "needs a PIN: give pin-source=file:PATH"},
      {"PIN in the URI", "certify", token.Uri("root") + ";pin-value=1234", module, "1234", false, 2,
       "pin-value=...: the URI carries the PIN itself"},
      {"PIN file missing", "certify",
       token.Uri("root") + ";pin-source=file:" + (work / "nope").string(), module, "1234", false, 2,
       "PIN file: "},
      {"token missing", "certify", "pkcs11:token=elsewhere;object=root", module, "1234", false, 2,
       "no token matches (tokens present: \"release\")"},
      {"object missing", "certify", token.Uri("nothing"), module, "1234", false, 2,
       "holds no private key that the URI names"},
      {"URI names a certificate", "certify", token.Uri("root") + ";type=cert", module, "1234",
       false, 2, "the URI names another type of object than a private key (type=private)"},
      {"two keys match", "certify", token.Uri("twin"), module, "1234", false, 2,
       "2 private keys in token \"release\" match"},
      {"text file as module", "certify", token.Uri("root"), (work / "not-a-module.so").string(),
       "1234", false, 2, "is not a PKCS#11 module that loads"},
      {"a bare name planted in the current directory", "certify", token.Uri("root"),
       "zt-planted.so", "1234", false, 2,
       "zt-planted.so is not a PKCS#11 module that loads (a name without a slash is looked up in "
       "p11-kit's module directory"},
      {"libc as module", "certify", token.Uri("root"), libc.dli_fname, "1234", false, 2,
       "C_GetFunctionList"},
      {"root key too small", "certify", token.Uri("small"), module, "1234", false, 2,
       "a 1024-bit key with exponent 65537 cannot serve as the root key"},
      {"setup key with exponent 3", "sign-setup", token.Uri("e3"), module, "1234", false, 2,
       "a 4096-bit key with exponent 3 cannot serve as the setup key"},
      {"faulty token", "certify", token.Uri("root"), ZT_PKCS11_SHIM, "1234", true, 1,
       "its own public key does not verify"},
  };
  for (const Case& c : cases) {
    const fs::path out = work / "out";
    std::vector<std::string> args = {c.command, "--pkcs11-module", c.module, "--out", out.string()};
    if (c.command == "certify") {
      args.insert(args.end(),
                  {"--root-key", c.uri, "--public", keys + "/bundle.der", "--goal", "IBND"});
    } else {
      args.insert(args.end(), {"--key", c.uri, "--in", (work / "not-a-module.so").string()});
    }
    RunOptions options = token.Options(false);
    options.workDir = work.string();
    if (c.pin != nullptr) options.env.push_back({"ZTPACK_PKCS11_PIN", c.pin});
    if (c.corrupt) options.env.push_back({"ZT_SHIM_CORRUPT", "1"});
    RunResult r = Ztpack(args, options);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.name << ": " << r.output();
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << ": " << r.err;
    EXPECT_EQ(r.output().find("1234"), std::string::npos) << c.name << ": the PIN was printed";
    EXPECT_FALSE(fs::exists(out)) << c.name;
  }

  // make refuses before it writes anything: nothing beside the manifest but its inputs.
  RunResult r =
      Ztpack({"make", WriteManifest(work, "m", TokenKeys(token, module))}, token.Options(false));
  EXPECT_EQ(r.exitCode, 2) << r.output();
  EXPECT_NE(r.err.find("root key: "), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(work / "m.exe"));
}

}  // namespace
