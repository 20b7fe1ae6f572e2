// ztpack extract FILE --out DIR: from a finished installer, a setup program or a bundle, after
// the validation the installer runs, one of
//   - the bundle's entries (all, or those named), under their entry names;
//   - the setup program (--setup, from an installer), as DIR/setup.exe;
//   - what the install script installs on one platform (--install --platform x86|x64
//     --windows-major N [--mode M]): the worker's own decisions and extraction, replayed into
//     DIR in place of the workspace.
// A bundle the setup program is not bound to is refused, as the installer refuses it.
// Everything is written into a fresh directory beside DIR and renamed to DIR at the end, so a
// failure leaves nothing behind; DIR must not exist or be empty. Nothing is written outside it:
// entry names are refused when they would climb out, targets when the installer refuses them.
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>

#include "author/keys.h"
#include "author/pe_image.h"
#include "bundle/bundle_format.h"
#include "bundle/bundle_reader.h"
#include "cmd/command.h"
#include "cmd/trusted_keys.h"
#include "install_script.h"
#include "install_steps.h"
#include "os/file_ops.h"
#include "os/progress.h"
#include "os/scratch_dir.h"
#include "read/bundle_description.h"
#include "read/diagnostics.h"
#include "read/installer_layers.h"
#include "read/script_check.h"
#include "support/text.h"
#include "support/workspace.h"
#include "verify/bundle_binding.h"

namespace ztpack {
namespace {

namespace fs = std::filesystem;
using fileops::U8Path;
using fileops::U8String;

struct Options {
  std::string file, out, rootKey, setupKey, mode, platform;
  std::vector<std::string> names;
  int windowsMajor = -1;
  bool setup = false, install = false, quiet = false;
};

constexpr CommandErrors kErrors{"extract"};
int Fail(const std::string& message) { return kErrors.Fail(kExitFailed, message); }
int Usage(const std::string& message) { return kErrors.Fail(kExitUnusable, message); }

// The fresh directory the output is put together in, beside the target directory.
class Staging {
 public:
  support::Status Create(const std::string& out) {
    out_ = U8Path(out);
    std::error_code ec;
    if (fs::exists(out_, ec) && !(fs::is_directory(out_, ec) && fs::is_empty(out_, ec))) {
      return support::Errorf("%s exists and is not an empty directory", out.c_str());
    }
    fs::path parent = out_.parent_path();
    if (parent.empty()) parent = ".";
    fs::create_directories(parent, ec);
    if (ec)
      return support::Errorf("cannot create %s: %s", U8String(parent).c_str(),
                             ec.message().c_str());
    auto dir = ScratchDir::Create(parent, (U8String(out_.filename()) + ".partial-").c_str());
    if (!dir) return dir.takeError();
    dir_ = std::move(*dir);
    return {};
  }
  const fs::path& path() const { return dir_->path(); }
  support::Status Commit() {
    std::error_code ec;
    if (fs::exists(out_, ec)) fs::remove(out_, ec);  // empty, checked before
    fs::rename(dir_->path(), out_, ec);
    if (ec)
      return support::Errorf("cannot rename into %s: %s", U8String(out_).c_str(),
                             ec.message().c_str());
    return {};
  }

 private:
  fs::path out_;
  std::unique_ptr<ScratchDir> dir_;  // removed unless renamed away
};

uint64_t FileSize(const fs::path& path) {
  std::error_code ec;
  uint64_t size = fs::file_size(path, ec);
  return ec ? 0 : size;
}

// One run of the command: the installer's steps up to its install script, replayed from
// install_steps.h, between the command's own. A part that ends the command returns its exit code.
class Extraction {
 public:
  explicit Extraction(const Options& options)
      : options_(options),
        install_(options_.install || !options_.platform.empty() || options_.windowsMajor >= 0) {}

  int Run() {
    if (auto exit = CheckOptions()) return *exit;
    if (auto exit = MakeDirectories()) return *exit;
    for (Runner runner : kRunners) {
      if (runner == nullptr) continue;
      if (auto exit = (this->*runner)()) return *exit;  // --setup ends after the first
    }
    return Commit();
  }

 private:
  using Exit = std::optional<int>;
  using Runner = Exit (Extraction::*)();

  Exit CheckOptions();
  Exit MakeDirectories();
  Exit UnpackSetupProgram();
  Exit UnpackBundle();
  Exit OpenBundle();
  Exit ApplyInstallScript();
  Exit PlanInstallation();
  Exit PlanEntries();
  Exit Extract();
  int Commit();

  // By InstallStep: the setup program's signature is not checked, nor is it run.
  static constexpr Runner kRunners[installer::kInstallStepCount] = {&Extraction::UnpackSetupProgram,
                                                                    &Extraction::UnpackBundle,
                                                                    &Extraction::OpenBundle,
                                                                    &Extraction::ApplyInstallScript,
                                                                    nullptr,
                                                                    nullptr};

  const Options& options_;
  const bool install_;
  std::string rootDer_;
  FileKind kind_ = FileKind::kBundle;
  std::string runMode_, setupPath_, bundlePath_;
  // Closed in this order, the reader first: the bundle it reads lies in the scratch directory.
  Staging staging_;
  std::unique_ptr<ScratchDir> scratch_;
  std::optional<ProgressMeter> unpacking_;
  bundle::BundleReader reader_;
  std::vector<BundleEntryInfo> entries_;  // the bundle's, in stream order
  std::map<std::string, uint64_t> sizes_;
  // What to write: (entry, target below the staging directory).
  std::vector<std::pair<std::string, std::u16string>> jobs_;
};

Extraction::Exit Extraction::CheckOptions() {
  if (options_.setup && (install_ || !options_.names.empty()))
    return Usage("--setup takes no entry names and no --install");
  if (install_ && (options_.platform.empty() || options_.windowsMajor < 0)) {
    return Usage("--install needs --platform x86|x64 and --windows-major N");
  }
  if (install_ && !options_.names.empty()) return Usage("--install takes no entry names");
  auto kind = ClassifyFile(options_.file);
  if (!kind) return Usage(kind.error());
  kind_ = *kind;
  if (install_ && !installer::PlatformFor(options_.platform, 0).wow64 &&
      kind_ == FileKind::kInstaller) {
    auto image = ReadPeImage(options_.file);
    if (image && image->is64()) {
      return Fail(options_.file + " has the 64-bit front end, which runs only on x64 Windows");
    }
  }
  if (options_.setup && kind_ != FileKind::kInstaller) {
    return Fail(options_.file + " is a " + FileKindName(kind_) +
                ", not an installer: it holds no setup program");
  }
  // An installer's entries are validated with the keys its stub holds, as the installer does.
  auto keys = ResolveTrustedKeys(options_.file, kind_ == FileKind::kInstaller, options_.rootKey,
                                 options_.setupKey);
  if (!keys) return Usage(keys.error());
  if (keys->root.empty() && !keys->fromStub) return Usage(MissingKeyMessage("root", "--root-key"));
  for (const std::string& line : keys->Lines()) std::printf("%s\n", line.c_str());
  if (keys->stubEmpty) return Fail(options_.file + ": the installer's key place is empty");
  if (!keys->mismatches.empty()) return Fail(keys->mismatches.front());
  rootDer_ = keys->root;
  return std::nullopt;
}

Extraction::Exit Extraction::MakeDirectories() {
  if (auto s = staging_.Create(options_.out); !s) return Fail(s.error());
  auto scratch = ScratchDir::Create({}, "ztpack-extract-");
  if (!scratch) return Fail(scratch.error());
  scratch_ = std::move(*scratch);
  return std::nullopt;
}

// The unpacking's progress.
auto Percent(ProgressMeter* meter) {
  return [meter](uint64_t done, uint64_t total) {
    meter->SetTotals(total, 0);
    meter->Update(done, 0);
  };
}

// The setup program out of an installer.
Extraction::Exit Extraction::UnpackSetupProgram() {
  runMode_ = options_.mode;
  setupPath_ = bundlePath_ = options_.file;
  unpacking_.emplace("extract: unpacking", 0, 0, options_.quiet);
  auto percent = Percent(&*unpacking_);
  if (kind_ == FileKind::kInstaller) {
    if (runMode_.empty()) runMode_ = installer::TrimRunMode(ReadRunMode(options_.file));
    setupPath_ = options_.setup ? U8String(staging_.path() / "setup.exe") : *scratch_ / "setup.exe";
    if (auto s = ztpack::UnpackSetupProgram(options_.file, setupPath_, percent); !s) {
      return Fail(options_.file + ": the setup program (LOAD) cannot be extracted: " + s.error());
    }
    if (options_.setup) {
      if (auto s = staging_.Commit(); !s) return Fail(s.error());
      unpacking_.reset();
      std::printf("setup program written to %s\n",
                  U8String(U8Path(options_.out) / "setup.exe").c_str());
      return 0;
    }
  }
  return std::nullopt;
}

// The bundle out of a setup program.
Extraction::Exit Extraction::UnpackBundle() {
  if (kind_ != FileKind::kBundle) {
    bundlePath_ = *scratch_ / "ibnd";
    if (auto s = ztpack::UnpackBundle(setupPath_, bundlePath_, Percent(&*unpacking_)); !s) {
      return Fail(setupPath_ + ": the bundle (IBND) cannot be extracted: " + s.error());
    }
  }
  unpacking_.reset();
  return std::nullopt;
}

// The bundle validated as the installer validates it, and bound to the setup program.
Extraction::Exit Extraction::OpenBundle() {
  if (auto s = OpenBundleAsInstaller(bundlePath_, rootDer_, &reader_); !s) {
    return Fail("the bundle does not validate as the installer's (goal IBND): " + s.error());
  }
  if (kind_ != FileKind::kBundle) {
    std::string refused;
    bool accepted;
    {
      Diagnostics collected;
      accepted =
          verify::BindingAccepts(verify::ReadBundleBinding(support::Utf8ToWide(setupPath_, true)),
                                 reader_.SignedDigest(), &refused);
    }
    if (!accepted) return Fail(refused + "; nothing extracted");
  }
  auto info = InspectBundle(bundlePath_, rootDer_);
  if (!info) return Fail(info.error());
  entries_ = std::move(info->entries);
  for (const BundleEntryInfo& e : entries_) sizes_.emplace(e.name, e.inflatedTotal);
  return std::nullopt;
}

// The entries the install script selects, or those asked for, planned and extracted.
Extraction::Exit Extraction::ApplyInstallScript() {
  if (auto exit = install_ ? PlanInstallation() : PlanEntries()) return exit;
  return Extract();
}

// The extractions the installer's script makes on the platform asked for, or none at all.
Extraction::Exit Extraction::PlanInstallation() {
  const std::u16string root = support::Utf8ToWide(U8String(staging_.path()), true) + u"/";
  if (runMode_.empty()) return Fail("--mode is needed: " + options_.file + " carries no run mode");
  auto lines = ReadUntrimmedScript(&reader_);
  if (!lines) return Fail(lines.error());
  const installer::Platform platform =
      installer::PlatformFor(options_.platform, static_cast<uint32_t>(options_.windowsMajor));
  for (size_t i = 0; i < lines->size(); ++i) {
    // Refused as by any installer: below the shortest workspace it could make.
    auto action = installer::DecideScriptLine(installer::TrimScriptLine((*lines)[i]), platform,
                                              runMode_, kShortestWorkspacePath);
    if (action.kind == installer::ScriptLineAction::kRefusedTarget) {
      return Fail("install script line " + std::to_string(i + 1) + ": target \"" + action.target +
                  "\" is refused by the installer (" + action.problem + "); nothing extracted");
    }
    if (action.kind != installer::ScriptLineAction::kExtract) continue;
    if (!sizes_.count(action.entry)) {
      return Fail("install script line " + std::to_string(i + 1) + ": entry \"" + action.entry +
                  "\" is not in the bundle; the installer fails here; nothing extracted");
    }
    jobs_.push_back({action.entry, root + support::Utf8ToWide(action.target)});
  }
  return std::nullopt;
}

// The entries named (default: every name once), each under its own name.
Extraction::Exit Extraction::PlanEntries() {
  const std::u16string root = support::Utf8ToWide(U8String(staging_.path()), true) + u"/";
  std::vector<std::string> names = options_.names;
  if (names.empty()) {
    std::set<std::string> seen;
    for (const BundleEntryInfo& e : entries_) {
      if (seen.insert(e.name).second) names.push_back(e.name);
    }
  }
  for (const std::string& name : names) {
    if (!sizes_.count(name)) return Fail("no entry named \"" + name + "\" in " + options_.file);
    auto rel = SafeRelativePath(name);
    if (!rel) return Fail(rel.error() + "; nothing extracted");
    jobs_.push_back({name, root + support::Utf8ToWide(*rel, true)});
  }
  return std::nullopt;
}

Extraction::Exit Extraction::Extract() {
  uint64_t total = 0, done = 0;
  for (const auto& job : jobs_) total += sizes_[job.first];
  ProgressMeter meter("extract", total, jobs_.size(), options_.quiet);
  for (size_t i = 0; i < jobs_.size(); ++i) {
    const auto& [name, target] = jobs_[i];
    if (install_) {
      // The worker's own way: parent directories at its backslashes, then the entry (replacing
      // what an earlier directive wrote there).
      support::CreateParentDirectories(target);
    } else {
      std::error_code ec;
      fs::create_directories(U8Path(support::WideToUtf8(target, true)).parent_path(), ec);
      if (ec) return Fail("cannot create the directory for \"" + name + "\": " + ec.message());
    }
    bool ok;
    {
      Diagnostics collected;
      ok = reader_.ExtractEntry(target, name);
    }
    if (!ok) {
      return Fail("extracting \"" + name + "\" to " + support::WideToUtf8(target, true) +
                  " failed (chunk unreadable, does not inflate, or the directory is missing); "
                  "nothing extracted");
    }
    done += sizes_[name];
    meter.Update(done, i + 1);
  }
  meter.Finish();
  return std::nullopt;
}

int Extraction::Commit() {
  reader_.Close();
  if (auto s = staging_.Commit(); !s) return Fail(s.error());
  if (install_) {
    std::printf("%zu file(s) installed into %s as on %s Windows %d in run mode \"%s\"\n",
                jobs_.size(), options_.out.c_str(), options_.platform.c_str(),
                options_.windowsMajor, runMode_.c_str());
  } else {
    std::printf("%zu entries extracted into %s\n", jobs_.size(), options_.out.c_str());
  }
  return 0;
}

CommandRegistration registration{
    {"extract",
     "Validate as the installer does, then write the setup program, the bundle's entries, or what "
     "the install script installs",
     [](CLI::App& app) -> std::function<int()> {
       auto o = std::make_shared<Options>();
       app.add_option("FILE", o->file, "A finished installer, a setup program or a bundle")
           ->required();
       app.add_option("NAME", o->names, "Entries to extract (default: all)");
       app.add_option("--out", o->out, "Target directory (must not exist, or be empty)")
           ->required();
       app.add_option("--root-key", o->rootKey, kRootKeyHelp);
       app.add_option("--setup-key", o->setupKey,
                      "Setup signing public key (DER or PEM) a finished installer's stub is "
                      "expected to hold");
       app.add_flag("--setup", o->setup, "Write the installer's setup program as OUT/setup.exe");
       app.add_flag("--install", o->install,
                    "Write what the install script installs on --platform/--windows-major");
       app.add_option("--platform", o->platform, "x86 (32-bit Windows) or x64 (64-bit Windows)")
           ->check(CLI::IsMember(installer::PlatformArchitectures()));
       app.add_option("--windows-major", o->windowsMajor, "Major Windows version, e.g. 5 or 10")
           ->check(CLI::Range(0, 1000));
       app.add_option("--mode", o->mode, "Run mode (default: the installer's own TYPE)");
       app.add_flag("--quiet,-q", o->quiet, "No progress on the terminal");
       return [o] { return Extraction(*o).Run(); };
     }}};

}  // namespace
}  // namespace ztpack
