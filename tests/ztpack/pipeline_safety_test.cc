// The release pipeline against someone who can write its output or payload folder, each test the
// attack itself: a payload file swapped after it was listed (for a link or a hard link to a key,
// or another file), the bundle given to sign-setup swapped between binding and appending, the
// signed installer swapped under its name while it is checked, and a make killed while
// osslsigncode holds the password (no secret, no scratch left); and no child's environment
// carries a PIN or password.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "author/bundle_writer.h"
#include "author/make_pipeline.h"
#include "author/setup_signer.h"
#include "container/attachment.h"
#include "os/file_ops.h"
#include "os/process.h"
#include "testutil/process.h"
#include "verify/bundle_binding.h"
#include "worker/installer_fixture.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Env = std::vector<std::pair<std::string, std::string>>;

// Every regular file below `dir` whose content holds `needle`.
std::vector<fs::path> FilesHolding(const fs::path& dir, const std::string& needle) {
  std::vector<fs::path> found;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_symlink() || !it->is_regular_file()) continue;
    if (testutil::ReadFile(it->path()).find(needle) != std::string::npos) found.push_back(*it);
  }
  return found;
}

std::vector<std::string> Names(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class Pipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_DEV_KEYS();
    for (const char* made : {"payload", "out", "tmp", "keys"}) fs::remove_all(dir_ / made);
    fs::create_directories(dir_ / "payload/sub");
    fs::create_directories(dir_ / "out");
    fs::create_directories(dir_ / "tmp");
    fs::copy(ZT_DEV_KEYS_DIR, dir_ / "keys");
    testutil::WriteFile(dir_ / "payload/install_script",
                        "dep-silent,a.txt,a.txt\ndep-silent,sub/b.txt,b.txt\n");
    testutil::WriteFile(dir_ / "payload/a.txt", "a");
    testutil::WriteFile(dir_ / "payload/sub/b.txt", "b");
    testutil::WriteFile(dir_ / "stub.exe", testutil::KeyedStub());
    testutil::WriteFile(dir_ / "setup.sh", worker_test::kReportingSetup);
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  void WriteManifest(const std::string& sections = "") const {
    testutil::WriteFile(dir_ / "m.toml",
                        "stub = 'stub.exe'\nsetup = 'setup.sh'\nmode = 'silent'\n"
                        "output = 'out/made.exe'\n[payload]\nfolder = 'payload'\n[keys]\n"
                        "dir = 'keys'\n" +
                            sections);
  }
  // A self-signed Authenticode certificate and key, and the same in a PKCS#12 file protected
  // by `password`.
  void MakeCertificate(const std::string& password) const {
    auto run = testutil::RunProcess({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                                     "-days", "2", "-subj", "/CN=Release", "-keyout",
                                     Path("cert.key"), "-out", Path("cert.pem")});
    ASSERT_EQ(run.exitCode, 0) << run.output();
    run = testutil::RunProcess({"openssl", "pkcs12", "-export", "-in", Path("cert.pem"), "-inkey",
                                Path("cert.key"), "-passout", "pass:" + password, "-out",
                                Path("cert.pfx")});
    ASSERT_EQ(run.exitCode, 0) << run.output();
  }
  testutil::RunResult Make(const Env& env) const {
    testutil::RunOptions options;
    options.env = env;
    options.env.push_back({"TMPDIR", Path("tmp")});
    return testutil::RunProcess({ZT_ZTPACK, "make", "-q", Path("m.toml")}, options);
  }
  testutil::TempDir dir_;
};

// ---- 2. A payload file is packed from the file listed, read once ----

// Between LoadManifest (the listing) and MakeInstaller (the packing), the way the shown attack
// swapped a file 1.2 s into make: for a link to the root key, for a hard link to it, or for a
// file of someone else's. Nothing of it is packed and no output is written.
TEST_F(Pipeline, PayloadFileSwappedAfterListingIsNeverPacked) {
  struct Case {
    const char* name;
    const char* file;  // below payload/
    std::function<void(const fs::path& file, const fs::path& keys)> swap;
    std::string error;  // part of it
  } cases[] = {
      {"LinkToTheRootKey", "sub/b.txt",
       [](const fs::path& f, const fs::path& k) {
         fs::remove(f);
         fs::create_symlink(k / "root.key", f);
       },
       "symbolic link"},
      {"HardLinkToTheRootKey", "a.txt",
       [](const fs::path& f, const fs::path& k) {
         fs::remove(f);
         fs::create_hard_link(k / "root.key", f);
       },
       "is the private key"},
      {"AnotherFileRenamedIn", "a.txt",
       [](const fs::path& f, const fs::path&) {
         testutil::WriteFile(f.string() + ".new", "theirs");
         fs::rename(f.string() + ".new", f);
       },
       "no longer the file listed"},
      {"ScriptSwappedForALink", "install_script",
       [](const fs::path& f, const fs::path& k) {
         fs::remove(f);
         fs::create_symlink(k / "setup.key", f);
       },
       "symbolic link"},
      // A key put into a listed file's own bytes is found on the bytes packed.
      {"KeyWrittenIntoTheFile", "sub/b.txt",
       [](const fs::path& f, const fs::path& k) {
         testutil::WriteFile(f, testutil::ReadFile(k / "bundle.key"));
       },
       "holds a private key"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    WriteManifest();
    auto manifest = ztpack::LoadManifest(Path("m.toml"));
    ASSERT_TRUE(manifest.ok()) << manifest.error();
    c.swap(dir_ / "payload" / c.file, dir_ / "keys");
    support::Status made = ztpack::MakeInstaller(*manifest);
    ASSERT_FALSE(made.ok());
    EXPECT_NE(made.error().find(c.error), std::string::npos) << made.error();
    EXPECT_FALSE(fs::exists(dir_ / "out/made.exe"));
    EXPECT_EQ(Names(dir_ / "out"), std::vector<std::string>{});
    fs::remove_all(dir_ / "payload");
  }
}

// The packer itself (bundle --entry/--dir use it): the file opened must be the one listed.
TEST_F(Pipeline, WriteBundleOpensEachFileOnceAsListed) {
  const auto& keys = worker_test::DevKeys::Get();
  auto block = ztpack::MakePublicKeyBlock(keys.root, ztpack::PublicKeyDer(keys.bundle), "IBND", 0);
  ASSERT_TRUE(block.ok());
  const std::string a = Path("payload/a.txt");
  auto listed = ztpack::fileops::IdentityOf(a, false);
  ASSERT_TRUE(listed.ok());
  std::vector<ztpack::BundleInput> inputs = {{"install_script", "", std::string("x\n")},
                                             {"a.txt", a, std::nullopt, *listed}};
  ztpack::BundleOptions options;
  options.checkPrivateKeys = true;
  std::string digest;
  options.signedDigest = &digest;
  ASSERT_TRUE(ztpack::WriteBundle(Path("ok.bnd"), inputs, keys.bundle, *block, options).ok());
  // The digest the writer signed is the one a binding reads back from the file.
  auto bound = ztpack::BundleBindingDigest(Path("ok.bnd"));
  ASSERT_TRUE(bound.ok()) << bound.error();
  EXPECT_EQ(verify::DigestText(digest), *bound);

  fs::remove(a);
  fs::create_symlink(dir_ / "keys/root.key", a);
  support::Status swapped =
      ztpack::WriteBundle(Path("bad.bnd"), inputs, keys.bundle, *block, options);
  EXPECT_NE(swapped.error().find("symbolic link"), std::string::npos) << swapped.error();
  EXPECT_FALSE(fs::exists(dir_ / "bad.bnd"));
}

// sign-setup --bundle: the bundle is opened once; whatever its name holds by the time it is
// appended, the bytes appended are the bytes bound.
TEST_F(Pipeline, SignSetupAppendsTheBundleItBound) {
  const auto& keys = worker_test::DevKeys::Get();
  auto block = ztpack::MakePublicKeyBlock(keys.root, ztpack::PublicKeyDer(keys.bundle), "IBND", 0);
  ASSERT_TRUE(block.ok());
  for (const char* name : {"one.bnd", "two.bnd"}) {
    std::vector<ztpack::BundleInput> inputs = {
        {"install_script", "", std::string("# ") + name + "\n"}};
    ASSERT_TRUE(
        ztpack::WriteBundle(Path(name), inputs, keys.bundle, *block, ztpack::BundleOptions{}).ok());
  }
  const std::string one = testutil::ReadFile(dir_ / "one.bnd");
  ztpack::test_hooks::SetDraftWrittenHook([&](const std::string&) {
    fs::rename(dir_ / "one.bnd", dir_ / "one.moved");
    fs::copy_file(dir_ / "two.bnd", dir_ / "one.bnd");
  });
  ztpack::SignSetupOptions options;
  options.input = Path("stub.exe");
  options.output = Path("signed.exe");
  options.bundle = Path("one.bnd");
  options.bindBundle = options.bundle;
  auto summary = ztpack::SignSetup(keys.setup, options);
  ztpack::test_hooks::SetDraftWrittenHook(nullptr);
  ASSERT_TRUE(summary.ok()) << summary.error();
  testutil::DebugCapture quiet;
  ASSERT_TRUE(container::ExtractAttachmentToFile(false, dir_.u16("signed.exe"), "IBND",
                                                 dir_.u16("appended.bnd"), 1, 0));
  EXPECT_EQ(testutil::ReadFile(dir_ / "appended.bnd"), one);
  const verify::BundleBinding binding = verify::ReadBundleBinding(dir_.u16("signed.exe"));
  auto expected = ztpack::BundleBindingDigest(Path("one.moved"));
  ASSERT_TRUE(expected.ok());
  EXPECT_EQ(binding.signedDigest, *expected);
}

// ---- 1. make's scratch directory, and the output from the bytes checked ----

// A stand-in for osslsigncode that plays the attacker: when signing it records where make's
// scratch directory is and what the output folder holds; when verifying it puts a file of its
// own under the signed installer's name. The real osslsigncode does the work.
std::string FakeOsslsigncode(const fs::path& log, const fs::path& outDir) {
  return "#!/bin/bash\nlog='" + log.string() +
         "'\nargs=(\"$@\")\n"
         "for ((i = 0; i < ${#args[@]}; i++)); do\n"
         "  case \"${args[i]}\" in\n"
         "    -out) out=${args[i+1]} ;; -CAfile) ca=${args[i+1]} ;; -readpass) rp=${args[i+1]} ;;\n"
         "  esac\ndone\n"
         "env >\"$log/$1.env\"\n"
         "if [ \"$1\" = sign ]; then\n"
         "  dirname \"$out\" >\"$log/scratch.path\"; stat -c %a \"$(dirname \"$out\")\" "
         ">\"$log/scratch.mode\"\n"
         "  ls -A '" +
         outDir.string() +
         "' >\"$log/outdir.list\"\n"
         "  if [ -n \"$rp\" ]; then\n"
         "    echo \"$rp\" >\"$log/readpass.name\"; secret=$(cat \"$rp\")\n"
         "    ls -A \"$(dirname \"$out\")\" >\"$log/scratch.list\"\n"
         "    printf %s \"$secret\" >\"$log/readpass.got\"\n"
         "    exec 3< <(printf %s \"$secret\")\n"
         "  fi\n"
         "fi\n"
         "if [ \"$1\" = verify ]; then\n"
         "  d=$(dirname \"$ca\")\n"
         "  mv \"$d/signed.exe\" \"$d/signed.orig\" && printf FORGED >\"$d/signed.exe\"\n"
         "fi\n"
         "exec osslsigncode \"$@\"\n";
}

TEST_F(Pipeline, MakeChecksAndWritesTheSignedBytesNotWhatTheirNameHolds) {
  if (!testutil::HaveCommand("osslsigncode") || !testutil::HaveCommand("openssl")) {
    GTEST_SKIP() << "osslsigncode or openssl not installed";
  }
  MakeCertificate("pw");
  fs::create_directories(dir_ / "log");
  testutil::WriteFile(dir_ / "fake-osslsigncode", FakeOsslsigncode(dir_ / "log", dir_ / "out"));
  fs::permissions(dir_ / "fake-osslsigncode", fs::perms::owner_all);
  WriteManifest(
      "[authenticode]\ncertificate = 'cert.pem'\nkey = 'cert.key'\nca_file = 'cert.pem'\n");
  auto made = Make({{"ZTPACK_OSSLSIGNCODE", Path("fake-osslsigncode")}});
  ASSERT_EQ(made.exitCode, 0) << made.output();
  // The scratch directory was the user's own, in $TMPDIR, and the output folder held none of it.
  const std::string scratch = testutil::ReadFile(dir_ / "log/scratch.path");
  EXPECT_EQ(scratch.rfind(Path("tmp") + "/ztpack-make-", 0), 0u) << scratch;
  EXPECT_EQ(testutil::ReadFile(dir_ / "log/scratch.mode"), "700\n");
  EXPECT_EQ(testutil::ReadFile(dir_ / "log/outdir.list"), "");
  // The file swapped in under signed.exe's name during the checks is not what was written.
  const std::string output = testutil::ReadFile(dir_ / "out/made.exe");
  EXPECT_GT(output.size(), 1000u);
  EXPECT_EQ(output.find("FORGED"), std::string::npos);
  auto verified = testutil::RunProcess(
      {"osslsigncode", "verify", "-CAfile", Path("cert.pem"), "-in", Path("out/made.exe")});
  EXPECT_EQ(verified.exitCode, 0) << verified.output();
  EXPECT_EQ(Names(dir_ / "tmp"), std::vector<std::string>{});
  EXPECT_EQ(Names(dir_ / "out"), std::vector<std::string>{"made.exe"});
}

// ---- 4. Secrets ----

// The password reaches osslsigncode through an inherited pipe, never a file; neither it nor the
// token PIN is in osslsigncode's environment or the checking verify's.
TEST_F(Pipeline, SecretsReachOsslsigncodeByPipeAndNoChildsEnvironment) {
  if (!testutil::HaveCommand("osslsigncode") || !testutil::HaveCommand("openssl")) {
    GTEST_SKIP() << "osslsigncode or openssl not installed";
  }
  const std::string password = "Sekr1t-pw";
  MakeCertificate(password);
  fs::create_directories(dir_ / "log");
  testutil::WriteFile(dir_ / "fake-osslsigncode", FakeOsslsigncode(dir_ / "log", dir_ / "out"));
  fs::permissions(dir_ / "fake-osslsigncode", fs::perms::owner_all);
  WriteManifest(
      "[authenticode]\npkcs12 = 'cert.pfx'\npassword_env = 'ZT_PFX'\n"
      "ca_file = 'cert.pem'\n");
  auto made = Make({{"ZTPACK_OSSLSIGNCODE", Path("fake-osslsigncode")},
                    {"ZT_PFX", password},
                    {"ZTPACK_PKCS11_PIN", "731904"}});
  ASSERT_EQ(made.exitCode, 0) << made.output();
  EXPECT_EQ(testutil::ReadFile(dir_ / "log/readpass.name"), "/dev/fd/3\n");
  EXPECT_EQ(testutil::ReadFile(dir_ / "log/readpass.got"), password);
  // While osslsigncode had it, no file in the scratch directory held it (none named "secret").
  EXPECT_EQ(testutil::ReadFile(dir_ / "log/scratch.list").find("secret"), std::string::npos);
  for (const char* child : {"sign.env", "verify.env"}) {
    const std::string env = testutil::ReadFile(dir_ / "log" / child);
    EXPECT_EQ(env.find("ZT_PFX="), std::string::npos) << child;
    EXPECT_EQ(env.find(password), std::string::npos) << child;
    EXPECT_EQ(env.find("ZTPACK_PKCS11_PIN"), std::string::npos) << child;
    EXPECT_NE(env.find("TMPDIR="), std::string::npos) << child;  // the rest is passed on
  }
  // Only the log holds the password, which the stand-in wrote there itself.
  for (const fs::path& file : FilesHolding(dir_.path(), password)) {
    EXPECT_EQ(file.parent_path(), dir_ / "log") << file;
  }
}

// Every child, the checking `ztpack verify` included, is started by process::Run.
TEST(ProcessRun, NeverPassesOnTheSecretVariables) {
  ::setenv("ZTPACK_PKCS11_PIN", "731904", 1);
  ::setenv("ZT_TEST_PASSWORD", "pw", 1);
  ::setenv("ZT_TEST_KEPT", "kept", 1);
  ztpack::process::NeverPassOn("ZT_TEST_PASSWORD");
  ztpack::process::RunOptions options;
  options.environment = {{"ZT_TEST_PASSWORD", "given"}, {"ZT_TEST_ADDED", "added"}};
  auto run = ztpack::process::Run("/usr/bin/env", {}, options);
  ::unsetenv("ZTPACK_PKCS11_PIN");
  ::unsetenv("ZT_TEST_PASSWORD");
  ::unsetenv("ZT_TEST_KEPT");
  ASSERT_TRUE(run.ok()) << run.error();
  EXPECT_EQ(run->output.find("ZTPACK_PKCS11_PIN"), std::string::npos) << run->output;
  EXPECT_EQ(run->output.find("ZT_TEST_PASSWORD"), std::string::npos) << run->output;
  EXPECT_NE(run->output.find("ZT_TEST_KEPT=kept"), std::string::npos);
  EXPECT_NE(run->output.find("ZT_TEST_ADDED=added"), std::string::npos);

  // A secret handed on by pipe: the child reads it from the name it was given.
  auto pipe = ztpack::process::SecretPipe::Create("the secret");
  ASSERT_TRUE(pipe.ok()) << pipe.error();
  ztpack::process::RunOptions piped;
  piped.inherit = {pipe->readEnd()};
  auto cat = ztpack::process::Run("/bin/cat", {ztpack::process::InheritedName(0)}, piped);
  ASSERT_TRUE(cat.ok()) << cat.error();
  EXPECT_EQ(cat->output, "the secret");
}

// make is killed (SIGTERM, as a cancelled CI job) while osslsigncode waits for a timestamp
// server that accepts and never answers: no file held the password at any time, and nothing of
// make is left, in $TMPDIR or beside the output; osslsigncode is ended with it.
TEST_F(Pipeline, KilledWhileSigningLeavesNoSecretAndNoScratch) {
  if (!testutil::HaveCommand("osslsigncode") || !testutil::HaveCommand("openssl")) {
    GTEST_SKIP() << "osslsigncode or openssl not installed";
  }
  const std::string password = "Sekr1t-pw";
  MakeCertificate(password);
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const int port = ntohs(address.sin_port);
  WriteManifest(
      "[authenticode]\npkcs12 = 'cert.pfx'\npassword_env = 'ZT_PFX'\n"
      "timestamp_url = 'http://127.0.0.1:" +
      std::to_string(port) + "/'\n");

  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
  env.push_back("ZT_PFX=" + password);
  env.push_back("TMPDIR=" + Path("tmp"));
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = {ZT_ZTPACK, "make", "-q", Path("m.toml")};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, Path("make.log").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  ASSERT_EQ(::posix_spawn(&pid, ZT_ZTPACK, &actions, nullptr, argv.data(), envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);

  pollfd waiting{listener, POLLIN, 0};
  const bool connected = ::poll(&waiting, 1, 60000) == 1;
  if (!connected) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    FAIL() << "osslsigncode never asked the timestamp server: "
           << testutil::ReadFile(dir_ / "make.log");
  }
  const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(connection, 0);
  // osslsigncode has the password now, and is waiting: no file holds it, and make's scratch is
  // in $TMPDIR, not beside the output.
  EXPECT_EQ(FilesHolding(dir_.path(), password), std::vector<fs::path>{});
  EXPECT_EQ(Names(dir_ / "out"), std::vector<std::string>{});
  ASSERT_EQ(Names(dir_ / "tmp").size(), 1u);
  EXPECT_EQ(Names(dir_ / "tmp")[0].rfind("ztpack-make-", 0), 0u);

  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_EQ(Names(dir_ / "tmp"), std::vector<std::string>{});
  EXPECT_EQ(Names(dir_ / "out"), std::vector<std::string>{});
  EXPECT_EQ(FilesHolding(dir_.path(), password), std::vector<fs::path>{});
  // osslsigncode went with it: its connection closes (after what it had still sent, which is
  // read and dropped; on a loaded machine its end may come a moment after make's).
  ssize_t got = -1;
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       got != 0 && std::chrono::steady_clock::now() < end;) {
    pollfd closing{connection, POLLIN, 0};
    if (::poll(&closing, 1, 1000) != 1) continue;
    char buffer[512];
    got = ::recv(connection, buffer, sizeof buffer, MSG_DONTWAIT);
  }
  EXPECT_EQ(got, 0) << "osslsigncode still runs";
  ::close(connection);
  ::close(listener);
}

}  // namespace
