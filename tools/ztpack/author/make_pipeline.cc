#include "author/make_pipeline.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "author/attachment_writer.h"
#include "author/authenticode_signer.h"
#include "author/bundle_writer.h"
#include "author/keys.h"
#include "author/pe_image.h"
#include "author/pkcs11.h"
#include "author/setup_signer.h"
#include "author/store_once.h"
#include "os/file_ops.h"
#include "os/output_file.h"
#include "os/scratch_dir.h"
#include "read/pe_sections.h"
#include "read/resources.h"
#include "read/script_check.h"
#include "verify/bundle_binding.h"

namespace ztpack {
namespace fs = std::filesystem;
using fileops::U8Path;
using fileops::U8String;
namespace {

// The directory an output goes to (the current one for a bare name).
fs::path OutputDirectory(const std::string& output) {
  fs::path dir = U8Path(output).parent_path();
  return dir.empty() ? fs::path(".") : dir;
}

bool ResourcesInBundleSection(const std::string& stub) {
  auto view = ReadPeView(stub);
  if (!view || view->sections.empty() || view->directories.size() <= 2) return false;
  const PeSectionView& last = view->sections.back();
  const uint32_t rva = view->directories[2].first;
  return last.name == container::kSectionName && view->directories[2].second != 0 &&
         rva >= last.virtualAddress && rva - last.virtualAddress < last.sizeOfRawData;
}

}  // namespace

std::string DefaultStub(std::string* searched) {
  std::vector<fs::path> candidates;
  std::error_code ec;
  const std::string self = fileops::ExecutablePath();
  if (!self.empty()) {
    candidates.push_back((U8Path(self).parent_path() / ZT_STUB_FROM_TOOL).lexically_normal());
  }
  // A build tree's own stub; a Windows build of the tool has none that it could name.
  if (std::string(ZT_BUILD_STUB_X86).size() > 0) candidates.push_back(ZT_BUILD_STUB_X86);
  for (const fs::path& candidate : candidates) {
    if (searched != nullptr) *searched += (searched->empty() ? "" : " or ") + U8String(candidate);
    if (fs::is_regular_file(candidate, ec)) return U8String(candidate.lexically_normal());
  }
  return {};
}

namespace {

// The installer at `out`: `stub` with its key place filled, the identity applied, and
// `attachments` in its .ZTBNDL section; checked with the keys as written against `setup` (and
// `bundle`, when it goes in behind the setup program) before it takes the name `out`.
support::Status BuildInstallerFrom(const std::string& stub,
                                   const std::vector<AttachmentInput>& attachments,
                                   const std::string& setup, const std::string& bundle,
                                   const std::string& out, const InstallerKeys& keys,
                                   const std::function<void(const std::string&)>& note,
                                   const Identity& identity) {
  auto placed = PlaceInstallerKeys(stub, keys, note);
  if (!placed) return placed.takeError();
  auto output = OutputFile::Create(out);
  if (!output) return output.takeError();
  ResourceMaker resources;
  // A stub that is itself an installer with an identity keeps its resources in the .ZTBNDL
  // section that is replaced: they are written again, else they would be lost.
  if (!identity.Empty() || ResourcesInBundleSection(stub)) {
    auto items = ReadImageResources(stub);
    if (!items) return items.takeError();
    auto changed = ApplyIdentity(std::move(*items), identity);
    if (!changed) return support::Errorf("identity: %s", changed.error().c_str());
    resources = [tree = std::move(*changed)](uint32_t rva) -> support::Result<std::string> {
      return WriteResourceTree(tree, rva);
    };
  }
  support::Status written = WriteBundleSection(stub, **output, attachments, {*placed}, resources);
  if (!written) return written;
  support::Status checked = CheckWrittenKeys(**output, *placed, setup, bundle);
  if (!checked) return checked;
  return (*output)->Commit();
}

}  // namespace

support::Status BuildInstaller(const std::string& stub, const std::string& setup,
                               const std::string& mode, const std::string& out,
                               const InstallerKeys& keys,
                               const std::function<void(const std::string&)>& note,
                               const Identity& identity) {
  if (mode.empty()) {
    return support::Errorf("the run mode is empty: an installer without one refuses to run");
  }
  std::error_code ec;
  if (!fs::is_regular_file(U8Path(setup), ec)) {
    return support::Errorf("%s: the setup program is not a readable file", setup.c_str());
  }
  const std::vector<AttachmentInput> attachments = {AttachmentInput::FromBytes("TYPE", mode),
                                                    AttachmentInput::FromFile("LOAD", setup)};
  return BuildInstallerFrom(stub, attachments, setup, {}, out, keys, note, identity);
}

support::Result<ManifestKeys> OpenManifestKeys(const Manifest& manifest,
                                               const std::string& module) {
  Pkcs11Options pkcs11{module.empty() ? manifest.pkcs11Module : module};
  auto root = OpenSigningKey(manifest.rootKey, KeyRole::kRoot, pkcs11);
  if (!root) return support::Errorf("root key: %s", root.error().c_str());
  auto bundle = OpenSigningKey(manifest.bundleKey, KeyRole::kBundle, pkcs11);
  if (!bundle) return support::Errorf("bundle key: %s", bundle.error().c_str());
  auto setup = OpenSigningKey(manifest.setupKey, KeyRole::kSetup, pkcs11);
  if (!setup) return support::Errorf("setup key: %s", setup.error().c_str());
  return ManifestKeys{*root, *bundle, *setup};
}

support::Status MakeInstaller(const Manifest& manifest, const MakeOptions& makeOptions) {
  auto keys = OpenManifestKeys(manifest);
  if (!keys) return keys.takeError();
  return MakeInstaller(manifest, *keys, makeOptions);
}

namespace {

// The script, read once (as listed), checked as the installer reads it against the entries and
// the run mode; its bytes are what gets packed. An error refuses the manifest before anything is
// written; warnings go to options.warn.
support::Result<std::string> ReadAndCheckScript(const Manifest& manifest,
                                                const MakeOptions& makeOptions) {
  auto scriptBytes =
      ReadPayloadFile(manifest.script, manifest.scriptIdentity, manifest.neverPacked);
  if (!scriptBytes) return support::Errorf("install script: %s", scriptBytes.error().c_str());
  auto scriptLines = ReadScriptAsInstaller(*scriptBytes, manifest.script);
  if (!scriptLines) return support::Errorf("install script: %s", scriptLines.error().c_str());
  std::vector<std::string> names = {"install_script"};
  for (const ManifestEntry& file : manifest.files) names.push_back(file.name);
  ScriptCheck check = CheckScript(*scriptLines, names, {manifest.mode});
  CheckExpiry(manifest.expiry, std::time(nullptr), &check);
  std::string refusals;
  for (const std::string& line : DescribeFindings(check)) {
    if (line.rfind("error: ", 0) == 0) {
      refusals += "\n  " + manifest.script + ": " + line.substr(7);
    } else if (makeOptions.warn) {
      makeOptions.warn(manifest.script + ": " + line);
    }
  }
  if (!refusals.empty()) {
    return support::Errorf(
        "the installer would refuse or skip what the install script says; "
        "nothing written:%s",
        refusals.c_str());
  }
  return std::move(*scriptBytes);
}

// The signed bundle at `bundlePath`; returns the digest the writer signed.
support::Result<std::string> PackBundle(const Manifest& manifest, std::string scriptBytes,
                                        const SigningKey& bundleKey, const std::string& block,
                                        const std::string& bundlePath,
                                        const MakeOptions& makeOptions) {
  std::vector<BundleInput> entries;
  entries.push_back(BundleInput{"install_script", manifest.script, std::move(scriptBytes)});
  for (const ManifestEntry& file : manifest.files) {
    entries.push_back(BundleInput{file.name, file.path, std::nullopt, file.identity});
  }
  // Entries the author named in allow_private_keys ship whatever they hold, and are listed.
  for (BundleInput& entry : entries) {
    entry.mayHoldPrivateKey =
        std::find(manifest.allowPrivateKeys.begin(), manifest.allowPrivateKeys.end(), entry.name) !=
        manifest.allowPrivateKeys.end();
  }
  if (manifest.storeOnce) {
    auto once = StoreIdenticalOnce(&entries);
    if (!once) return support::Errorf("bundle: %s", once.error().c_str());
    if (makeOptions.note) {
      for (const std::string& line : DescribeStoreOnce(*once)) makeOptions.note(line);
    }
  }
  BundleOptions options;
  if (manifest.chunkSize != 0) options.chunkSize = manifest.chunkSize;
  options.compressionLevel = manifest.level;
  options.threads = manifest.threads;
  options.progress = makeOptions.progress;
  options.checkPrivateKeys = true;
  options.neverPacked = manifest.neverPacked;
  std::vector<std::string> allowedKeyLines;
  options.allowedKeyLines = &allowedKeyLines;
  std::string signedDigest;
  options.signedDigest = &signedDigest;
  support::Status bundled = WriteBundle(bundlePath, entries, bundleKey, block, options);
  if (!bundled) return support::Errorf("bundle: %s", bundled.error().c_str());
  if (makeOptions.note) {
    for (const std::string& line : allowedKeyLines) makeOptions.note(line);
  }
  return signedDigest;
}

// The setup program is signed without its bundle, bound to the digest the writer signed (not
// to a second reading of the bundle); the bundle goes into LOAD behind it, in the one pass
// that writes the installer (InstallerAttachments).
support::Status SignSetupProgram(const Manifest& manifest, const SigningKey& setupKey,
                                 const std::string& signedDigest, const std::string& signedSetup) {
  SignSetupOptions signing;
  signing.input = manifest.setup;
  signing.output = signedSetup;
  if (manifest.bindBundle) signing.bindDigest = verify::DigestText(signedDigest);
  // The installer's own readers, which check the result, print on standard output.
  StdoutToStderr toStderr;
  auto signedOk = SignSetup(setupKey, signing);
  if (!signedOk) return support::Errorf("setup program: %s", signedOk.error().c_str());
  return {};
}

// The last check of the signed installer, with the public keys written into the private scratch
// directory by this process.
support::Status VerifySigned(const fileops::RawFile& held, const std::string& signedInstaller,
                             const ManifestKeys& keys, const ScratchDir& scratch,
                             const MakeOptions& makeOptions) {
  if (!makeOptions.verifyInstaller) return {};
  if (makeOptions.step) makeOptions.step("checking the signed installer as ztpack verify does");
  const std::string rootDer = scratch / "root.der", setupDer = scratch / "setup.der";
  for (const auto& [path, der] : {std::pair{rootDer, PublicKeyDer(keys.root)},
                                  std::pair{setupDer, PublicKeyDer(keys.setup)}}) {
    support::Status written = WriteOutputFile(path, der);
    if (!written) return written;
  }
  support::Status verified = makeOptions.verifyInstaller(held, signedInstaller, rootDer, setupDer);
  if (!verified) return support::Errorf("signed installer: %s", verified.error().c_str());
  return {};
}

// The output is the very bytes checked: copied from the file held open since the checks began.
support::Status CopyHeldToOutput(fileops::RawFile& held, const std::string& signedInstaller,
                                 const std::string& out) {
  auto size = held.RegularSize();
  if (!size) return support::Errorf("%s: %s", signedInstaller.c_str(), size.error().c_str());
  auto output = OutputFile::Create(out);
  if (!output) return output.takeError();
  constexpr size_t kBlock = 1 << 20;
  std::vector<uint8_t> block(kBlock);
  for (uint64_t done = 0; done < *size;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(*size - done, kBlock));
    if (held.ReadFullyAt(done, block.data(), want) != static_cast<int64_t>(want)) {
      return support::Errorf("%s: reading the signed installer at 0x%llx failed: %s",
                             signedInstaller.c_str(), static_cast<unsigned long long>(done),
                             fileops::LastErrorText().c_str());
    }
    if (auto s = (*output)->Write(block.data(), want); !s) return s;
    done += want;
  }
  return (*output)->Commit();
}

}  // namespace

support::Status MakeInstaller(const Manifest& manifest, const ManifestKeys& keys,
                              const MakeOptions& makeOptions) {
  // The signing tools and secrets are found first: a missing one fails before any work.
  std::optional<AuthenticodeTools> authenticode;
  if (manifest.authenticode) {
    auto tools = PrepareAuthenticode(*manifest.authenticode, manifest.pkcs11Module);
    if (!tools) return support::Errorf("Authenticode: %s", tools.error().c_str());
    authenticode = std::move(*tools);
  }
  auto scriptBytes = ReadAndCheckScript(manifest, makeOptions);
  if (!scriptBytes) return scriptBytes.takeError();
  auto block =
      MakePublicKeyBlock(keys.root, PublicKeyDer(keys.bundle), manifest.goal, manifest.expiry);
  if (!block) return support::Errorf("public key block: %s", block.error().c_str());

  std::error_code ec;
  fs::create_directories(OutputDirectory(manifest.output), ec);
  if (ec) {
    return support::Errorf("%s: cannot create the output directory: %s",
                           U8String(OutputDirectory(manifest.output)).c_str(),
                           ec.message().c_str());
  }
  // In the user's own temporary directory, never beside the output: whoever can write the
  // output's folder must not be able to put files of theirs where they get signed or checked.
  auto scratch = ScratchDir::Create({}, "ztpack-make-");
  if (!scratch) return scratch.takeError();
  const std::string bundlePath = **scratch / "ibnd";
  const std::string signedSetup = **scratch / "setup.exe";
  auto signedDigest =
      PackBundle(manifest, std::move(*scriptBytes), keys.bundle, *block, bundlePath, makeOptions);
  if (!signedDigest) return signedDigest.takeError();
  support::Status signedOk = SignSetupProgram(manifest, keys.setup, *signedDigest, signedSetup);
  if (!signedOk) return signedOk;

  // TYPE, and LOAD: the signed setup program with the bundle appended as IBND, which is what
  // sign-setup --bundle writes, here without a file of its own.
  AttachmentInput load = AttachmentInput::FromFile("LOAD", signedSetup);
  load.nested.push_back(AttachmentInput::FromFile("IBND", bundlePath));
  const std::vector<AttachmentInput> attachments = {
      AttachmentInput::FromBytes("TYPE", manifest.mode), load};
  // The installer trusts the manifest's keys, whatever keys the stub was built with.
  const InstallerKeys installerKeys{PublicKeyDer(keys.root), PublicKeyDer(keys.setup)};
  auto build = [&](const std::string& out) -> support::Status {
    support::Status built =
        BuildInstallerFrom(manifest.stub, attachments, signedSetup, bundlePath, out, installerKeys,
                           makeOptions.note, manifest.identity);
    if (!built) return support::Errorf("installer: %s", built.error().c_str());
    return {};
  };
  if (!authenticode) return build(manifest.output);

  // Built, signed and checked in the scratch directory; the output's name receives only an
  // installer that passed every check.
  const std::string unsignedInstaller = **scratch / "unsigned.exe";
  const std::string signedInstaller = **scratch / "signed.exe";
  if (support::Status built = build(unsignedInstaller); !built) return built;
  auto held = SignAndCheckAuthenticode(*manifest.authenticode, *authenticode, unsignedInstaller,
                                       signedInstaller, **scratch, makeOptions.step);
  if (!held) return held.takeError();
  support::Status verified = VerifySigned(*held, signedInstaller, keys, **scratch, makeOptions);
  if (!verified) return verified;
  return CopyHeldToOutput(*held, signedInstaller, manifest.output);
}

}  // namespace ztpack
