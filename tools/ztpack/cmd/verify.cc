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
#include "cmd/verify.h"
#include "install_script.h"
#include "install_steps.h"
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

enum class Status { kOk, kFailed, kNotReached };

struct CheckLine {
  std::string name;
  Status status = Status::kOk;
  std::string detail;
  // A failure that stops the installer on every platform (the script's own findings say on
  // which platforms they stop it).
  bool fatal = true;
  std::optional<installer::InstallCheck> check;  // the installer's (install_steps.h), if one
};

// A check line as the text report prints it.
std::string CheckLineText(const CheckLine& c) {
  const char* mark = c.status == Status::kOk       ? "ok     "
                     : c.status == Status::kFailed ? "FAILED "
                                                   : "-      ";
  char name[32];
  std::snprintf(name, sizeof name, "%-17s", c.name.c_str());
  return std::string("  ") + mark + " " + name + " " + c.detail;
}

// The unpacking's progress, as the installer layers report it.
auto Percent(ProgressMeter* meter) {
  return [meter](uint64_t done, uint64_t total) {
    meter->SetTotals(total, 0);
    meter->Update(done, 0);
  };
}

class Verification {
 public:
  explicit Verification(const VerifyOptions& options) : options_(options) {}
  // The command: every check, then the report.
  int Run();
  // Every check and the verdict, without a report.
  VerifyVerdict Verdict();

 private:
  using Verdicts = std::vector<std::pair<int, std::string>>;  // platform, its first failure

  void Add(const std::string& name, Status status, const std::string& detail, bool fatal = true) {
    checks_.push_back({name, status, detail, fatal, current_});
  }
  // A line for the check being made (current_).
  void Record(Status status, const std::string& detail, bool fatal = true) {
    Add(installer::CheckRow(*current_).name, status, detail, fatal);
  }
  // Records why nothing can be checked; false.
  bool Unusable(int exitCode, const std::string& message) {
    errorExit_ = exitCode;
    error_ = message;
    return false;
  }

  // Every check, in the installer's order; false (with error_) when nothing could be checked.
  bool CheckAll();
  bool Applies(installer::InstallCheck check) const;
  // The checks of the installer's steps (install_steps.h), by InstallCheck; each returns whether
  // the checks that need it can run.
  bool CheckSetupProgram();
  bool CheckBundleAttachment();
  bool CheckBundle();
  bool CheckBinding();
  bool CheckInstallScript();
  bool CheckEntries();
  bool CheckSetupSignature();
  using Checker = bool (Verification::*)();
  static constexpr Checker kCheckers[installer::kInstallCheckCount] = {
      &Verification::CheckSetupProgram,  &Verification::CheckBundleAttachment,
      &Verification::CheckBundle,        &Verification::CheckBinding,
      &Verification::CheckInstallScript, &Verification::CheckEntries,
      &Verification::CheckSetupSignature};
  // Those before and after them that the front end does not make in its worker.
  bool LoadKeys();
  bool FrontEndRunsOnAskedPlatform();
  void CheckRunMode();
  void CheckIdentity();
  void CheckAuthenticode();

  // The verdict.
  std::vector<int> PlatformsInQuestion() const;
  std::string FailureOn(int platform) const;
  Verdicts Decide(bool* runsEverywhere) const;
  std::vector<std::string> VerdictLines(const Verdicts& verdicts, bool runsEverywhere) const;
  int ReportJson(const Verdicts& verdicts, bool runsEverywhere) const;
  int ReportText(const Verdicts& verdicts, bool runsEverywhere) const;

  const VerifyOptions& options_;
  int errorExit_ = kExitUnusable;
  std::string error_;
  std::string rootDer_, setupDer_, rootLabel_, setupLabel_;
  FileKind kind_ = FileKind::kBundle;
  std::string runMode_, setupPath_, bundlePath_;
  std::unique_ptr<ScratchDir> scratch_;
  std::optional<ProgressMeter> unpacking_;
  bundle::BundleReader reader_;
  support::Status opened_;
  std::optional<support::Result<BundleInfo>> info_;
  std::optional<installer::InstallCheck> current_;  // the check being made
  std::vector<CheckLine> checks_;
  std::optional<ScriptCheck> script_;
  // Failures that concern only some platforms: the line they occur at, and the platforms.
  std::vector<ScriptFinding> entryFailures_;
  std::optional<AuthenticodeReport> authenticode_;
  // A 64-bit front end runs only on 64-bit Windows, where it takes the -x64 directives.
  bool stub64_ = false;
};

int Verification::Run() {
  if (!CheckAll()) return kErrors.Fail(errorExit_, error_);
  bool runsEverywhere = true;
  const Verdicts verdicts = Decide(&runsEverywhere);
  return options_.json ? ReportJson(verdicts, runsEverywhere)
                       : ReportText(verdicts, runsEverywhere);
}

VerifyVerdict Verification::Verdict() {
  if (!CheckAll()) return {errorExit_, error_, {}};
  bool runsEverywhere = true;
  const Verdicts verdicts = Decide(&runsEverywhere);
  VerifyVerdict verdict;
  verdict.exitCode = runsEverywhere ? kExitOk : kExitFailed;
  for (const CheckLine& c : checks_) {
    if (c.status == Status::kFailed) verdict.failures.push_back(EscapeText(CheckLineText(c)));
  }
  for (const std::string& line : VerdictLines(verdicts, runsEverywhere)) {
    verdict.failures.push_back(EscapeText(line));
  }
  return verdict;
}

bool Verification::CheckAll() {
  auto kind = ClassifyFile(options_.file);
  if (!kind) return Unusable(kExitUnusable, kind.error());
  kind_ = *kind;
  if (!LoadKeys()) return false;
  auto scratch = ScratchDir::Create({}, "ztpack-verify-");
  if (!scratch) return Unusable(kExitFailed, scratch.error());
  scratch_ = std::move(*scratch);
  if (!FrontEndRunsOnAskedPlatform()) return false;
  runMode_ = options_.mode;
  setupPath_ = bundlePath_ = options_.file;

  unpacking_.emplace("verify: unpacking", 0, 0, options_.quiet || options_.json);
  if (kind_ == FileKind::kInstaller) {
    CheckRunMode();
    CheckIdentity();
  }
  // A check whose file does not come in (a bundle on its own has no setup program to be bound
  // to) is passed over as if it went through; one whose need did not go through is not reached.
  bool wentThrough[installer::kInstallCheckCount] = {};
  for (const installer::InstallCheckRow& row : installer::kInstallChecks) {
    const size_t i = static_cast<size_t>(row.id);
    if (row.step > installer::InstallStep::kUnpackBundle) unpacking_->Finish();
    if (row.step > installer::InstallStep::kApplyInstallScript) reader_.Close();
    current_ = row.id;
    if (!Applies(row.id)) {
      wentThrough[i] = row.needs == row.id || wentThrough[static_cast<size_t>(row.needs)];
    } else if (row.needs != row.id && !wentThrough[static_cast<size_t>(row.needs)]) {
      Add(row.name, Status::kNotReached, "an earlier check failed");
    } else {
      wentThrough[i] = (this->*kCheckers[i])();
    }
  }
  current_.reset();
  unpacking_->Finish();
  reader_.Close();
  // The installer's own signature matters only for an installer that holds a setup program.
  if (kind_ == FileKind::kInstaller &&
      wentThrough[static_cast<size_t>(installer::InstallCheck::kSetupProgram)]) {
    CheckAuthenticode();
  }
  return true;
}

bool Verification::Applies(installer::InstallCheck check) const {
  using installer::InstallCheck;
  switch (check) {
    case InstallCheck::kSetupProgram: return kind_ == FileKind::kInstaller;
    case InstallCheck::kBundleAttachment:
    case InstallCheck::kBundleBinding:
    case InstallCheck::kSetupSignature: return kind_ != FileKind::kBundle;
    default: return true;
  }
}

// An installer's keys are its stub's; any given key is what the caller expects them to be.
bool Verification::LoadKeys() {
  auto keys = ResolveTrustedKeys(options_.file, kind_ == FileKind::kInstaller, options_.rootKey,
                                 options_.setupKey);
  if (!keys) return Unusable(kExitUnusable, keys.error());
  if (keys->root.empty() && !keys->fromStub) {
    return Unusable(kExitUnusable, MissingKeyMessage("root", "--root-key"));
  }
  if (keys->setup.empty() && kind_ == FileKind::kSetupProgram) {
    return Unusable(kExitUnusable, MissingKeyMessage("setup", "--setup-key"));
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
  if (auto image = ReadPeImage(options_.file)) stub64_ = image->is64();
  if (stub64_ && PlatformsInQuestion().empty()) {
    return Unusable(kExitUnusable,
                    options_.file + " has the 64-bit front end, which runs only on x64 Windows");
  }
  return true;
}

void Verification::CheckRunMode() {
  const std::string type = ReadRunMode(options_.file);
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
  auto identity = ReadIdentity(options_.file);
  if (!identity) {
    Add("identity", Status::kFailed, identity.error(), false);
  } else {
    Add("identity", Status::kOk, SummarizeIdentity(*identity), false);
  }
}

bool Verification::CheckSetupProgram() {
  setupPath_ = *scratch_ / "setup.exe";
  support::Status load = UnpackSetupProgram(options_.file, setupPath_, Percent(&*unpacking_));
  if (!load) {
    Record(Status::kFailed, "LOAD: " + load.error());
    return false;
  }
  const auto size = std::filesystem::file_size(fileops::U8Path(setupPath_));
  Record(Status::kOk, "LOAD, " + std::to_string(size) + " bytes, digest matches");
  return true;
}

bool Verification::CheckBundleAttachment() {
  bundlePath_ = *scratch_ / "ibnd";
  support::Status ibnd = UnpackBundle(setupPath_, bundlePath_, Percent(&*unpacking_));
  if (!ibnd) {
    Record(Status::kFailed, "IBND: " + ibnd.error());
    return false;
  }
  const auto size = std::filesystem::file_size(fileops::U8Path(bundlePath_));
  Record(Status::kOk,
         "IBND at the setup program's end, " + std::to_string(size) + " bytes, digest matches");
  return true;
}

// The bundle as the installer validates it.
bool Verification::CheckBundle() {
  opened_ = OpenBundleAsInstaller(bundlePath_, rootDer_, &reader_);
  info_ = InspectBundle(bundlePath_, rootDer_);
  if (!opened_) {
    Record(Status::kFailed, "refused under " + rootLabel_ + ": " + opened_.error());
    return false;
  }
  const support::Result<BundleInfo>& info = *info_;
  std::string detail = "key certified by " + rootLabel_ + " for goal IBND, signature valid";
  if (info && info->hasPublicKeyBlock) {
    detail += "; bundle key " + std::to_string(info->bundleKeyBits) + " bits, expiry " +
              (info->expiry == 0 ? std::string("none") : FormatUtc(info->expiry));
  }
  Record(Status::kOk, detail);
  return true;
}

// The installer refuses a bundle other than the one the setup program is bound to, before it
// reads the install script.
bool Verification::CheckBinding() {
  const std::string bundleDigest = reader_.SignedDigest();
  std::string why;
  verify::BundleBinding binding;
  bool accepted;
  {
    Diagnostics collected;
    binding = verify::ReadBundleBinding(support::Utf8ToWide(setupPath_, true));
    accepted = verify::BindingAccepts(binding, bundleDigest, &why);
  }
  if (!accepted) {
    Record(Status::kFailed, why);
  } else if (binding.Bound()) {
    Record(
        Status::kOk,
        "the setup program is bound to this bundle, " + verify::DigestText(bundleDigest) +
            (binding.signedDigest.empty() ? " (by its document only, which is not signed)" : ""));
  } else {
    Record(Status::kOk, "the setup program is not bound to a bundle: it runs with any");
  }
  return accepted;
}

// The script and the entries it selects; the installer stops before the entries when it cannot
// read the script.
bool Verification::CheckInstallScript() {
  const support::Result<BundleInfo>& info = *info_;
  auto lines = ReadUntrimmedScript(&reader_);
  if (!lines || !info) {
    Record(Status::kFailed, !lines ? lines.error() : info.error());
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
  Record(script_->ErrorCount() == 0 ? Status::kOk : Status::kFailed,
         std::to_string(script_->lineCount) + " lines, " + std::to_string(script_->directiveCount) +
             " directives, " + std::to_string(script_->ErrorCount()) + " error(s), " +
             std::to_string(script_->WarningCount()) + " warning(s)",
         false);
  return true;
}

// The installer extracts every entry its script selects; one that does not inflate fails the
// run on the platforms that select it. Each distinct entry is extracted once, to a scratch file.
bool Verification::CheckEntries() {
  const BundleInfo& info = **info_;
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
  ProgressMeter meter("verify: entries", total, selected.size(), options_.quiet || options_.json);
  size_t failed = 0, count = 0;
  const std::string target = *scratch_ / "entry";
  for (const auto& [name, use] : selected) {
    bool ok;
    {
      Diagnostics collected;
      ok = reader_.ExtractEntry(support::Utf8ToWide(target, true), name);
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
    Record(Status::kOk, std::to_string(selected.size()) + " selected entr" +
                            (selected.size() == 1 ? "y" : "ies") + " extract, " +
                            std::to_string(total) + " bytes");
  } else {
    Record(Status::kFailed, entryFailures_.front().text);
  }
  return true;
}

bool Verification::CheckSetupSignature() {
  verify::SetupSignatureOutcome outcome;
  bool ok;
  {
    Diagnostics collected;
    ok = verify::VerifySetupSignatureWithKey(support::Utf8ToWide(setupPath_, true), setupDer_,
                                             false, &outcome);
  }
  if (ok) {
    Record(Status::kOk, "_SG2 valid under " + setupLabel_ + " (" +
                            (outcome.headerTolerant ? "header-tolerant" : "plain") + " pass)");
  } else {
    Record(Status::kFailed, "not valid under " + setupLabel_ + ": " + outcome.reason);
  }
  return ok;
}

// The installer's own Authenticode signature, when it has one: Windows treats a signed file whose
// image hash no longer matches, or whose signature does not verify, as tampered with, so such an
// installer fails. The hash and the signer's signature are checked here; the certificate chain
// is osslsigncode's to check.
// (A setup program's own signature is not checked: its bundle, attached last, follows the
// certificate table by design.)
void Verification::CheckAuthenticode() {
  auto report = ReadAuthenticode(options_.file);
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
    if (!installer::PlatformClassMatches(p, options_.platform, options_.windowsMajor)) continue;
    if (stub64_ && !installer::kPlatformClasses[p].representative.wow64) continue;
    platforms.push_back(static_cast<int>(p));
  }
  return platforms;
}

// The first failure on `platform` in the installer's order, empty when it would run the setup
// program there. Checks that concern every platform come first, up to the entries, whose
// failures concern the platforms that select them; then the directives, by line; then the
// signature.
std::string Verification::FailureOn(int platform) const {
  for (const CheckLine& c : checks_) {
    if (c.check && *c.check >= installer::InstallCheck::kEntries) break;
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
    if (c.check == installer::InstallCheck::kSetupSignature && c.status == Status::kFailed) {
      return c.name + ": " + c.detail;
    }
  }
  for (const CheckLine& c : checks_) {
    if (c.name == "authenticode" && c.status == Status::kFailed) return c.name + ": " + c.detail;
  }
  return {};
}

Verification::Verdicts Verification::Decide(bool* runsEverywhere) const {
  *runsEverywhere = true;
  Verdicts verdicts;
  for (int p : PlatformsInQuestion()) {
    verdicts.push_back({p, FailureOn(p)});
    *runsEverywhere &= verdicts.back().second.empty();
  }
  return verdicts;
}

int Verification::ReportJson(const Verdicts& verdicts, bool runsEverywhere) const {
  nlohmann::json report;
  report["file"] = options_.file;
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
  say(options_.file + ": " + FileKindName(kind_) +
      (kind_ == FileKind::kInstaller ? ", run mode \"" + runMode_ + "\"" : ""));
  for (const CheckLine& c : checks_) say(CheckLineText(c));
  if (script_) {
    for (const std::string& line : DescribeFindings(*script_)) say("  " + line);
  }
  for (const ScriptFinding& f : entryFailures_) {
    say("  error: install script line " + std::to_string(f.line) + ": " + f.text);
  }
  for (const std::string& line : VerdictLines(verdicts, runsEverywhere)) say(line);
  return runsEverywhere ? kExitOk : kExitFailed;
}

std::vector<std::string> Verification::VerdictLines(const Verdicts& verdicts,
                                                    bool runsEverywhere) const {
  if (kind_ == FileKind::kBundle) {
    std::string failure;
    for (const auto& [p, f] : verdicts) {
      if (failure.empty()) failure = f;
    }
    return {std::string("verdict: ") +
            (runsEverywhere ? "the installer would accept this bundle and apply its script"
                            : "the installer would fail with this bundle: " + failure)};
  }
  if (runsEverywhere) {
    std::string list;
    for (const auto& [p, failure] : verdicts) {
      list += std::string(list.empty() ? "" : ", ") + installer::kPlatformClasses[p].name;
    }
    return {"verdict: the installer would run its setup program (" + list + ")"};
  }
  bool same = true;
  for (const auto& [p, failure] : verdicts) same &= failure == verdicts.front().second;
  if (same) {
    return {std::string("verdict: the installer would NOT run its setup program (") +
            (verdicts.size() > 1 ? "any platform"
                                 : installer::kPlatformClasses[verdicts.front().first].name) +
            "): " + verdicts.front().second};
  }
  std::vector<std::string> lines;
  for (const auto& [p, failure] : verdicts) {
    lines.push_back(std::string("verdict: ") + installer::kPlatformClasses[p].name + ": " +
                    (failure.empty() ? "would run its setup program"
                                     : "would NOT run its setup program: " + failure));
  }
  return lines;
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

VerifyVerdict VerifyQuietly(VerifyOptions options) {
  options.quiet = true;
  options.json = false;
  return Verification(options).Verdict();
}

}  // namespace ztpack
