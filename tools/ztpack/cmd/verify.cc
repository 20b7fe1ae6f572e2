// ztpack verify FILE: runs offline, in the installer's order, every check the installer runs on
// a finished installer (or on a setup program, or a bundle, from the step where that file comes
// in), with the keys the installer's stub holds (cmd/trusted_keys.h): the keys, the run mode
// (TYPE), the setup program (LOAD), the bundle at its end (IBND), the bundle's validation, the
// install script and the entries it selects on each platform, and the setup program's signature.
// One line per check, the script's findings, and a verdict; the exit code is 0 only when the
// installer would run its setup program (on every platform, or on the one asked for).
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "author/keys.h"
#include "author/pe_image.h"
#include "bundle/bundle_reader.h"
#include "cmd/command.h"
#include "cmd/trusted_keys.h"
#include "install_script.h"
#include "os/file_ops.h"
#include "os/progress.h"
#include "os/scratch_dir.h"
#include "read/authenticode.h"
#include "read/bundle_description.h"
#include "read/diagnostics.h"
#include "read/escape.h"
#include "read/installer_layers.h"
#include "read/resources.h"
#include "read/script_check.h"
#include "support/text.h"
#include "verify/bundle_binding.h"
#include "verify/setup_signature.h"

namespace ztpack {
namespace {

constexpr CommandErrors kErrors{"verify"};

struct VerifyOptions {
  std::string file, rootKey, setupKey, mode, platform;
  int windowsMajor = -1;
  bool json = false, quiet = false;
};

enum class Status { kOk, kFailed, kNotReached };

struct CheckLine {
  std::string name;
  Status status = Status::kOk;
  std::string detail;
  // A failure that stops the installer on every platform (the script's own findings say on
  // which platforms they stop it).
  bool fatal = true;
};

// The unpacking's progress, as the installer layers report it.
auto Percent(ProgressMeter* meter) {
  return [meter](uint64_t done, uint64_t total) {
    meter->SetTotals(total, 0);
    meter->Update(done, 0);
  };
}

class Verification {
 public:
  explicit Verification(const VerifyOptions& options) : o_(options) {}
  int Run();

 private:
  void Add(const std::string& name, Status status, const std::string& detail, bool fatal = true) {
    checks_.push_back({name, status, detail, fatal});
  }
  void NotReached(std::initializer_list<const char*> names) {
    for (const char* name : names) Add(name, Status::kNotReached, "an earlier check failed");
  }
  // Those of `names` that have no line yet.
  void NotReachedUnlessChecked(std::initializer_list<const char*> names) {
    for (const char* name : names) {
      bool present = false;
      for (const CheckLine& c : checks_) present |= c.name == name;
      if (!present) NotReached({name});
    }
  }

  // The steps, in the installer's order.
  bool LoadKeys();
  bool FrontEndRunsOnAskedPlatform();
  void CheckRunMode();
  void CheckIdentity();
  bool CheckSetupProgram(const ScratchDir& scratch, ProgressMeter* unpacking);
  bool CheckBundleAttachment(const ScratchDir& scratch, ProgressMeter* unpacking);
  bool CheckBundleAndScript(bundle::BundleReader* reader, const ScratchDir& scratch);
  bool CheckBundle(const support::Status& opened, const support::Result<BundleInfo>& info,
                   bundle::BundleReader* reader);
  bool CheckBinding(const std::string& bundleDigest);
  bool CheckInstallScript(bundle::BundleReader* reader, const support::Result<BundleInfo>& info,
                          const ScratchDir& scratch);
  void CheckEntries(bundle::BundleReader* reader, const BundleInfo& info,
                    const ScratchDir& scratch);
  void CheckSetupSignature();
  void CheckAuthenticode();

  // The verdict.
  using Verdicts = std::vector<std::pair<int, std::string>>;  // platform, its first failure
  std::vector<int> PlatformsInQuestion() const;
  std::string FailureOn(int platform) const;
  int Report();
  int ReportJson(const Verdicts& verdicts, bool runsEverywhere) const;
  int ReportText(const Verdicts& verdicts, bool runsEverywhere) const;

  const VerifyOptions& o_;
  std::string rootDer_, setupDer_, rootLabel_, setupLabel_;
  FileKind kind_ = FileKind::kBundle;
  std::string runMode_, setupPath_, bundlePath_;
  std::vector<CheckLine> checks_;
  std::optional<ScriptCheck> script_;
  // Failures that concern only some platforms: the line they occur at, and the platforms.
  std::vector<ScriptFinding> entryFailures_;
  std::optional<AuthenticodeReport> authenticode_;
  // A 64-bit front end runs only on 64-bit Windows, where it takes the -x64 directives.
  bool stub64_ = false;
};

int Verification::Run() {
  auto kind = ClassifyFile(o_.file);
  if (!kind) return kErrors.Fail(kExitUnusable, kind.error());
  kind_ = *kind;
  if (!LoadKeys()) return kExitUnusable;
  auto scratch = ScratchDir::Create({}, "ztpack-verify-");
  if (!scratch) return kErrors.Fail(kExitFailed, scratch.error());
  if (!FrontEndRunsOnAskedPlatform()) return kExitUnusable;
  runMode_ = o_.mode;
  setupPath_ = bundlePath_ = o_.file;

  ProgressMeter unpacking("verify: unpacking", 0, 0, o_.quiet || o_.json);
  if (kind_ == FileKind::kInstaller) {
    CheckRunMode();
    CheckIdentity();
    if (!CheckSetupProgram(**scratch, &unpacking)) {
      NotReached({"bundle attachment", "bundle", "bundle binding", "install script", "entries",
                  "setup signature"});
      return Report();
    }
  }
  bool reached = kind_ == FileKind::kBundle || CheckBundleAttachment(**scratch, &unpacking);
  unpacking.Finish();

  bundle::BundleReader reader;
  if (reached) reached = CheckBundleAndScript(&reader, **scratch);
  if (!reached) {
    // A bundle on its own has no setup program to be bound to, and so no binding line.
    NotReachedUnlessChecked({"bundle"});
    if (kind_ != FileKind::kBundle) NotReachedUnlessChecked({"bundle binding"});
    NotReachedUnlessChecked({"install script", "entries"});
  }
  reader.Close();

  if (kind_ != FileKind::kBundle) CheckSetupSignature();
  if (kind_ == FileKind::kInstaller) CheckAuthenticode();
  return Report();
}

// An installer's keys are its stub's; any given key is what the caller expects them to be.
bool Verification::LoadKeys() {
  auto keys = ResolveTrustedKeys(o_.file, kind_ == FileKind::kInstaller, o_.rootKey, o_.setupKey);
  if (!keys) {
    kErrors.Say(keys.error());
    return false;
  }
  if (keys->root.empty() && !keys->fromStub) {
    kErrors.Say(MissingKeyMessage("root", "--root-key"));
    return false;
  }
  if (keys->setup.empty() && kind_ == FileKind::kSetupProgram) {
    kErrors.Say(MissingKeyMessage("setup", "--setup-key"));
    return false;
  }
  rootDer_ = keys->root;
  setupDer_ = keys->setup;
  rootLabel_ = keys->root.empty() ? "no root key" : "the root key " + keys->rootLabel;
  setupLabel_ = keys->setup.empty() ? "no setup key" : "the setup key " + keys->setupLabel;
  if (keys->fromStub) {
    std::string detail;
    for (const std::string& line : keys->Lines()) detail += (detail.empty() ? "" : "; ") + line;
    for (const std::string& line : keys->mismatches) detail += "; " + line;
    Add("keys", keys->stubEmpty || !keys->mismatches.empty() ? Status::kFailed : Status::kOk,
        detail);
  }
  return true;
}

// A 64-bit front end speaks for no platform that --platform/--windows-major may leave out of it.
bool Verification::FrontEndRunsOnAskedPlatform() {
  if (kind_ != FileKind::kInstaller) return true;
  if (auto image = ReadPeImage(o_.file)) stub64_ = image->is64();
  if (stub64_ && PlatformsInQuestion().empty()) {
    kErrors.Say(o_.file + " has the 64-bit front end, which runs only on x64 Windows");
    return false;
  }
  return true;
}

void Verification::CheckRunMode() {
  const std::string type = ReadRunMode(o_.file);
  runMode_ = installer::TrimRunMode(type);
  if (type.empty()) {
    Add("run mode", Status::kFailed,
        "no TYPE attachment, or an empty one: the installer exits at once");
  } else {
    Add("run mode", Status::kOk,
        "TYPE \"" + type + "\": " + (runMode_ == "gui" ? "progress window" : "no window"));
  }
}

// What Windows shows of the installer; resources it cannot read are a failure of their own, not
// the installer's (the front end never reads them).
void Verification::CheckIdentity() {
  auto identity = ReadIdentity(o_.file);
  if (!identity) {
    Add("identity", Status::kFailed, identity.error(), false);
  } else {
    Add("identity", Status::kOk, SummarizeIdentity(*identity), false);
  }
}

bool Verification::CheckSetupProgram(const ScratchDir& scratch, ProgressMeter* unpacking) {
  setupPath_ = scratch / "setup.exe";
  support::Status load = UnpackSetupProgram(o_.file, setupPath_, Percent(unpacking));
  if (!load) {
    Add("setup program", Status::kFailed, "LOAD: " + load.error());
    return false;
  }
  const auto size = std::filesystem::file_size(fileops::U8Path(setupPath_));
  Add("setup program", Status::kOk, "LOAD, " + std::to_string(size) + " bytes, digest matches");
  return true;
}

bool Verification::CheckBundleAttachment(const ScratchDir& scratch, ProgressMeter* unpacking) {
  bundlePath_ = scratch / "ibnd";
  support::Status ibnd = UnpackBundle(setupPath_, bundlePath_, Percent(unpacking));
  if (!ibnd) {
    Add("bundle attachment", Status::kFailed, "IBND: " + ibnd.error());
    return false;
  }
  const auto size = std::filesystem::file_size(fileops::U8Path(bundlePath_));
  Add("bundle attachment", Status::kOk,
      "IBND at the setup program's end, " + std::to_string(size) + " bytes, digest matches");
  return true;
}

// The bundle as the installer validates it, its binding to the setup program, then the script
// and the entries it selects. False when the installer would stop before the entries.
bool Verification::CheckBundleAndScript(bundle::BundleReader* reader, const ScratchDir& scratch) {
  support::Status opened = OpenBundleAsInstaller(bundlePath_, rootDer_, reader);
  auto info = InspectBundle(bundlePath_, rootDer_);
  if (!CheckBundle(opened, info, reader)) return false;
  return CheckInstallScript(reader, info, scratch);
}

bool Verification::CheckBundle(const support::Status& opened,
                               const support::Result<BundleInfo>& info,
                               bundle::BundleReader* reader) {
  if (!opened) {
    Add("bundle", Status::kFailed, "refused under " + rootLabel_ + ": " + opened.error());
    return false;
  }
  std::string detail = "key certified by " + rootLabel_ + " for goal IBND, signature valid";
  if (info && info->hasPublicKeyBlock) {
    detail += "; bundle key " + std::to_string(info->bundleKeyBits) + " bits, expiry " +
              (info->expiry == 0 ? std::string("none") : FormatUtc(info->expiry));
  }
  Add("bundle", Status::kOk, detail);
  return kind_ == FileKind::kBundle || CheckBinding(reader->SignedDigest());
}

// The installer refuses a bundle other than the one the setup program is bound to, before it
// reads the install script.
bool Verification::CheckBinding(const std::string& bundleDigest) {
  std::string why;
  verify::BundleBinding binding;
  bool accepted;
  {
    Diagnostics quiet;
    binding = verify::ReadBundleBinding(support::Utf8ToWide(setupPath_, true));
    accepted = verify::BindingAccepts(binding, bundleDigest, &why);
  }
  if (!accepted) {
    Add("bundle binding", Status::kFailed, why);
  } else if (binding.Bound()) {
    Add("bundle binding", Status::kOk,
        "the setup program is bound to this bundle, " + verify::DigestText(bundleDigest) +
            (binding.signedDigest.empty() ? " (by its document only, which is not signed)" : ""));
  } else {
    Add("bundle binding", Status::kOk,
        "the setup program is not bound to a bundle: it runs with any");
  }
  return accepted;
}

bool Verification::CheckInstallScript(bundle::BundleReader* reader,
                                      const support::Result<BundleInfo>& info,
                                      const ScratchDir& scratch) {
  auto lines = ReadUntrimmedScript(reader);
  if (!lines || !info) {
    Add("install script", Status::kFailed, !lines ? lines.error() : info.error());
    return false;
  }
  std::vector<std::string> names;
  for (const BundleEntryInfo& e : info->entries) names.push_back(e.name);
  std::vector<std::string> modes;
  if (!runMode_.empty() || kind_ == FileKind::kInstaller) {
    modes = {runMode_};
  } else {
    modes = {"gui", "silent"};
  }
  script_ = CheckScript(*lines, names, modes);
  if (info->hasPublicKeyBlock) CheckExpiry(info->expiry, std::time(nullptr), &*script_);
  Add("install script", script_->ErrorCount() == 0 ? Status::kOk : Status::kFailed,
      std::to_string(script_->lineCount) + " lines, " + std::to_string(script_->directiveCount) +
          " directives, " + std::to_string(script_->ErrorCount()) + " error(s), " +
          std::to_string(script_->WarningCount()) + " warning(s)",
      false);
  CheckEntries(reader, *info, scratch);
  return true;
}

// The installer extracts every entry its script selects; one that does not inflate fails the
// run on the platforms that select it. Each distinct entry is extracted once, to a scratch file.
void Verification::CheckEntries(bundle::BundleReader* reader, const BundleInfo& info,
                                const ScratchDir& scratch) {
  std::map<std::string, std::pair<int, std::vector<int>>>
      selected;  // entry -> first line, platforms
  for (const auto& perPlatform : script_->extractions) {
    for (size_t p = 0; p < perPlatform.size(); ++p) {
      for (const ScriptExtraction& x : perPlatform[p]) {
        auto [it, fresh] = selected.emplace(x.entry, std::pair{x.line, std::vector<int>{}});
        if (!fresh) it->second.first = std::min(it->second.first, x.line);
        auto& on = it->second.second;
        if (std::find(on.begin(), on.end(), static_cast<int>(p)) == on.end())
          on.push_back(static_cast<int>(p));
      }
    }
  }
  std::map<std::string, uint64_t> sizes;
  for (const BundleEntryInfo& e : info.entries) sizes.emplace(e.name, e.inflatedTotal);
  uint64_t total = 0, done = 0;
  for (const auto& [name, use] : selected) total += sizes[name];
  ProgressMeter meter("verify: entries", total, selected.size(), o_.quiet || o_.json);
  size_t failed = 0, count = 0;
  const std::string target = scratch / "entry";
  for (const auto& [name, use] : selected) {
    bool ok;
    {
      Diagnostics quiet;
      ok = reader->ExtractEntry(support::Utf8ToWide(target, true), name);
    }
    std::error_code ec;
    std::filesystem::remove(fileops::U8Path(target), ec);
    done += sizes[name];
    meter.Update(done, ++count);
    if (!ok) {
      ++failed;
      entryFailures_.push_back(
          {true, use.first,
           "entry \"" + name + "\" does not extract (chunk unreadable or does not inflate)",
           use.second});
    }
  }
  meter.Finish();
  if (failed == 0) {
    Add("entries", Status::kOk,
        std::to_string(selected.size()) + " selected entr" + (selected.size() == 1 ? "y" : "ies") +
            " extract, " + std::to_string(total) + " bytes");
  } else {
    Add("entries", Status::kFailed, entryFailures_.front().text);
  }
}

void Verification::CheckSetupSignature() {
  verify::SetupSignatureOutcome outcome;
  bool ok;
  {
    Diagnostics quiet;
    ok = verify::VerifySetupSignatureWithKey(support::Utf8ToWide(setupPath_, true), setupDer_,
                                             false, &outcome);
  }
  if (ok) {
    Add("setup signature", Status::kOk,
        "_SG2 valid under " + setupLabel_ + " (" +
            (outcome.headerTolerant ? "header-tolerant" : "plain") + " pass)");
  } else {
    Add("setup signature", Status::kFailed,
        "not valid under " + setupLabel_ + ": " + outcome.reason);
  }
}

// The installer's own Authenticode signature, when it has one: Windows treats a signed file whose
// image hash no longer matches, or whose signature does not verify, as tampered with, so such an
// installer fails. The hash and the signer's signature are checked here; the certificate chain
// is osslsigncode's to check.
// (A setup program's own signature is not checked: its bundle, attached last, follows the
// certificate table by design.)
void Verification::CheckAuthenticode() {
  auto report = ReadAuthenticode(o_.file);
  if (!report) {
    Add("authenticode", Status::kFailed, report.error());
    return;
  }
  authenticode_ = *report;
  if (!report->present) {
    Add("authenticode", Status::kOk, "none (the installer is not signed)");
  } else if (report->Sound()) {
    Add("authenticode", Status::kOk,
        DescribeAuthenticode(*report) + " (certificate chain not checked)");
  } else {
    Add("authenticode", Status::kFailed, DescribeAuthenticode(*report));
  }
}

// The platform classes the verdict speaks for: those --platform and --windows-major name, and
// for a 64-bit front end only those of 64-bit Windows.
std::vector<int> Verification::PlatformsInQuestion() const {
  std::vector<int> platforms;
  for (size_t p = 0; p < installer::kPlatformClassCount; ++p) {
    if (!installer::PlatformClassMatches(p, o_.platform, o_.windowsMajor)) continue;
    if (stub64_ && !installer::kPlatformClasses[p].representative.wow64) continue;
    platforms.push_back(static_cast<int>(p));
  }
  return platforms;
}

// The first failure on `platform` in the installer's order, empty when it would run the setup
// program there. Checks that concern every platform come first up to the bundle's script; then
// the directives, by line; then the signature.
std::string Verification::FailureOn(int platform) const {
  for (const CheckLine& c : checks_) {
    if (c.name == "entries" || c.name == "setup signature") break;
    if (c.status == Status::kFailed && c.fatal) return c.name + ": " + c.detail;
  }
  std::vector<ScriptFinding> lineFailures;
  if (script_) {
    for (const ScriptFinding& f : script_->findings) {
      if (!f.failsOn.empty()) lineFailures.push_back(f);
    }
  }
  lineFailures.insert(lineFailures.end(), entryFailures_.begin(), entryFailures_.end());
  std::stable_sort(lineFailures.begin(), lineFailures.end(),
                   [](const ScriptFinding& a, const ScriptFinding& b) { return a.line < b.line; });
  for (const ScriptFinding& f : lineFailures) {
    if (std::find(f.failsOn.begin(), f.failsOn.end(), platform) != f.failsOn.end()) {
      return "install script line " + std::to_string(f.line) + ": " + f.text;
    }
  }
  for (const CheckLine& c : checks_) {
    if (c.name == "setup signature" && c.status == Status::kFailed) return c.name + ": " + c.detail;
  }
  for (const CheckLine& c : checks_) {
    if (c.name == "authenticode" && c.status == Status::kFailed) return c.name + ": " + c.detail;
  }
  return {};
}

int Verification::Report() {
  bool runsEverywhere = true;
  Verdicts verdicts;
  for (int p : PlatformsInQuestion()) {
    verdicts.push_back({p, FailureOn(p)});
    runsEverywhere &= verdicts.back().second.empty();
  }
  return o_.json ? ReportJson(verdicts, runsEverywhere) : ReportText(verdicts, runsEverywhere);
}

int Verification::ReportJson(const Verdicts& verdicts, bool runsEverywhere) const {
  nlohmann::json report;
  report["file"] = o_.file;
  report["kind"] = FileKindName(kind_);
  if (kind_ == FileKind::kInstaller) report["run_mode"] = runMode_;
  nlohmann::json checks = nlohmann::json::array();
  for (const CheckLine& c : checks_) {
    checks.push_back({{"check", c.name},
                      {"status", c.status == Status::kOk       ? "ok"
                                 : c.status == Status::kFailed ? "failed"
                                                               : "not reached"},
                      {"detail", c.detail}});
  }
  report["checks"] = checks;
  nlohmann::json findings = nlohmann::json::array();
  if (script_) {
    for (const ScriptFinding& f : script_->findings) {
      nlohmann::json on = nlohmann::json::array();
      for (int p : f.failsOn) on.push_back(installer::kPlatformClasses[p].name);
      findings.push_back({{"severity", f.error ? "error" : "warning"},
                          {"line", f.line},
                          {"text", f.text},
                          {"fails_on", on}});
    }
  }
  report["findings"] = findings;
  if (authenticode_) report["authenticode"] = AuthenticodeJson(*authenticode_);
  nlohmann::json verdictJson = nlohmann::json::array();
  for (const auto& [p, failure] : verdicts) {
    verdictJson.push_back({{"platform", installer::kPlatformClasses[p].name},
                           {"runs_setup", failure.empty()},
                           {"failure", failure.empty() ? nullptr : nlohmann::json(failure)}});
  }
  report["platforms"] = verdictJson;
  report["passed"] = runsEverywhere;
  std::printf("%s\n", report.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
  return runsEverywhere ? 0 : 1;
}

// Every line goes through EscapeText: the details quote the file (TYPE, entry names, reasons
// from its readers), and none of it may pass for a line of the report or hide one.
int Verification::ReportText(const Verdicts& verdicts, bool runsEverywhere) const {
  auto say = [](const std::string& line) { std::printf("%s\n", EscapeText(line).c_str()); };
  say(o_.file + ": " + FileKindName(kind_) +
      (kind_ == FileKind::kInstaller ? ", run mode \"" + runMode_ + "\"" : ""));
  for (const CheckLine& c : checks_) {
    const char* mark = c.status == Status::kOk       ? "ok     "
                       : c.status == Status::kFailed ? "FAILED "
                                                     : "-      ";
    char name[32];
    std::snprintf(name, sizeof name, "%-17s", c.name.c_str());
    say(std::string("  ") + mark + " " + name + " " + c.detail);
  }
  if (script_) {
    for (const std::string& line : DescribeFindings(*script_)) say("  " + line);
  }
  for (const ScriptFinding& f : entryFailures_) {
    say("  error: install script line " + std::to_string(f.line) + ": " + f.text);
  }
  if (kind_ == FileKind::kBundle) {
    std::string failure;
    for (const auto& [p, f] : verdicts) {
      if (failure.empty()) failure = f;
    }
    say(std::string("verdict: ") +
        (runsEverywhere ? "the installer would accept this bundle and apply its script"
                        : "the installer would fail with this bundle: " + failure));
    return runsEverywhere ? 0 : 1;
  }
  if (runsEverywhere) {
    std::string list;
    for (const auto& [p, failure] : verdicts) {
      list += std::string(list.empty() ? "" : ", ") + installer::kPlatformClasses[p].name;
    }
    std::printf("verdict: the installer would run its setup program (%s)\n", list.c_str());
    return 0;
  }
  bool same = true;
  for (const auto& [p, failure] : verdicts) same &= failure == verdicts.front().second;
  if (same) {
    say(std::string("verdict: the installer would NOT run its setup program (") +
        (verdicts.size() > 1 ? "any platform"
                             : installer::kPlatformClasses[verdicts.front().first].name) +
        "): " + verdicts.front().second);
    return 1;
  }
  for (const auto& [p, failure] : verdicts) {
    say(std::string("verdict: ") + installer::kPlatformClasses[p].name + ": " +
        (failure.empty() ? "would run its setup program"
                         : "would NOT run its setup program: " + failure));
  }
  return 1;
}

CommandRegistration registration{Command{
    "verify",
    "Run offline every check the installer runs on an installer, a setup program or a bundle",
    [](CLI::App& app) -> std::function<int()> {
      auto o = std::make_shared<VerifyOptions>();
      app.add_option("FILE", o->file, "A finished installer, a setup program or a bundle")
          ->required();
      app.add_option("--root-key", o->rootKey, kRootKeyHelp);
      app.add_option("--setup-key", o->setupKey,
                     "Setup signing public key (DER or PEM) to check a setup program with; for a "
                     "finished installer, the key its stub is expected to hold");
      app.add_option("--mode", o->mode,
                     "Run mode to check the script for (a setup program or bundle; default: gui "
                     "and silent). An installer uses its own TYPE");
      app.add_option("--platform", o->platform, "Give the verdict for x86 or x64 Windows only")
          ->check(CLI::IsMember(installer::PlatformArchitectures()));
      app.add_option("--windows-major", o->windowsMajor,
                     "Give the verdict for this major Windows version only")
          ->check(CLI::Range(0, 1000));
      app.add_flag("--json", o->json, "Print one JSON object instead of text");
      app.add_flag("--quiet,-q", o->quiet, "No progress on the terminal");
      app.footer(
          "Exit code 0 only when the installer would run its setup program; 1 when a check "
          "failed; 2 when the file or a key cannot be read.");
      return [o] { return Verification(*o).Run(); };
    }}};

}  // namespace
}  // namespace ztpack
