// What a file says cannot forge the report verify and inspect print: hostile strings in each
// field taken from the file (TYPE, entry names, script lines, the goal tag, the signer's name)
// reach the terminal escaped, while --json keeps them exact.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "author/attachment_writer.h"
#include "author/pe_image.h"
#include "read/escape.h"
#include "testutil/pe_fixture.h"
#include "testutil/process.h"
#include "worker/installer_fixture.h"

namespace {

namespace fs = std::filesystem;

TEST(EscapeText, KeepsTextAndEscapesWhatActs) {
  const std::pair<std::string, std::string> cases[] = {
      {"C:\\x \xc3\xa9t\xc3\xa9 \xf0\x9f\x93\xa6", "C:\\x \xc3\xa9t\xc3\xa9 \xf0\x9f\x93\xa6"},
      {"\x1b[8m\n\r\t\x7f", "\\x1b[8m\\x0a\\x0d\\x09\\x7f"},
      {"\xc2\x9b\xe2\x80\xae", "\\xc2\\x9b\\xe2\\x80\\xae"},  // C1 CSI, right-to-left override
      {std::string("\xff \xe2\x80 \xc0\xaf \xed\xa0\x80 \0", 13),
       "\\xff \\xe2\\x80 \\xc0\\xaf \\xed\\xa0\\x80 \\x00"},  // invalid, cut, overlong, surrogate
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(ztpack::EscapeText(in), out);
    EXPECT_EQ(ztpack::EscapeText(out), out);
  }
}

TEST(Reports, HostileStringsInEachFieldAreEscapedInTextAndExactInJson) {
  SKIP_WITHOUT_DEV_KEYS();
  testutil::TempDir dir;
  testutil::WriteFile(dir / "stub.exe", testutil::KeyedStub());
  testutil::WriteFile(dir / "setup", "setup");
  // A fake all-ok report, then what hides the rest of the screen.
  const std::string fake =
      "\n  ok      setup signature   valid\nverdict: the installer would run\x1b[8m\xe2\x80\xae";
  std::string entry =
      "e\x1b]0;title\x07\xc2\x9b"
      "2J";  // a line end would cut the script line
  auto make = [&](const std::string& name, const std::string& goal, int exit = 0) {
    fs::create_directories(dir / name);
    testutil::WriteFile(dir / name / "install_script", "dep-silent," + entry + ",a.txt\n");
    testutil::WriteFile(dir / name / entry, "a");
    testutil::WriteFile(dir / "m.toml",
                        "stub = 'stub.exe'\nsetup = 'setup'\nmode = 'silent'\n"
                        "output = '" +
                            name + ".exe'\n[payload]\nfolder = '" + name +
                            "'\n[keys]\ndir = '" ZT_DEV_KEYS_DIR "'\n[bundle]\ngoal = \"" + goal +
                            "\"\n");
    const auto made = testutil::RunZtpack("make -q " + (dir / "m.toml").string());
    EXPECT_EQ(made.exitCode, exit) << made.output();
    // A refusal names what it refused without letting the terminal act on it.
    EXPECT_EQ(made.output().find('\x1b'), std::string::npos) << made.output();
    return (dir / (name + ".exe")).string();
  };
  const std::string plain = make("plain", "IBND");
  // An installer whose bundle is certified for another goal would never run: make refuses it.
  make("goal", "\\u001b[8m", 1);
  // TYPE, which nothing signs.
  ASSERT_EQ(
      testutil::RunZtpack("extract " + plain + " --setup --out " + (dir / "s").string()).exitCode,
      0);
  const std::string typed = (dir / "typed.exe").string();
  ASSERT_TRUE(ztpack::WriteBundleSection(
                  (dir / "stub.exe").string(), typed,
                  {ztpack::AttachmentInput::FromBytes("TYPE", "gui" + fake),
                   ztpack::AttachmentInput::FromFile("LOAD", (dir / "s/setup.exe").string())})
                  .ok());
  // The signer's name.
  const std::string cn = "Acme\x1b[8m\xe2\x80\xae";
  const std::string signedFile = (dir / "signed.exe").string();
  ASSERT_EQ(testutil::Shell("cd '" + dir.path().string() +
                            "' && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -utf8 -subj "
                            "'/CN=" +
                            cn +
                            "' -keyout c.key -out c.pem 2>/dev/null && "
                            "osslsigncode sign -certs c.pem -key c.key -in plain.exe -out " +
                            signedFile + " >/dev/null")
                .exitCode,
            0);

  const std::pair<std::string, std::string> reports[] = {
      {plain, entry}, {typed, "gui" + fake}, {signedFile, cn}};
  for (const auto& [file, hostile] : reports) {
    SCOPED_TRACE(ztpack::EscapeText(hostile));
    const std::string verify = testutil::RunZtpack("verify -q " + file).out;
    const std::string inspect = testutil::RunZtpack("inspect " + file).out;
    for (const std::string& out : {verify, inspect}) {
      std::string oneLine = out;
      std::erase(oneLine, '\n');
      EXPECT_EQ(ztpack::EscapeText(oneLine), oneLine) << out;  // nothing a terminal acts on
    }
    EXPECT_NE(inspect.find(ztpack::EscapeText(hostile)), std::string::npos) << inspect;
    EXPECT_EQ(verify.find("\nverdict:"), verify.rfind("\nverdict:")) << verify;
  }
  const auto json = nlohmann::json::parse(testutil::RunZtpack("inspect --json " + typed).out);
  EXPECT_EQ(json["load"]["type"], "gui" + fake);
}

}  // namespace
