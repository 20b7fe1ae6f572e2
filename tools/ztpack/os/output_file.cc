#include "os/output_file.h"

#include <random>

#include <vector>
#include "os/cleanup.h"

namespace ztpack {
namespace {

// 64 random bits: a name nobody can know in advance and put something at.
std::string RandomSuffix() {
  static const char kHex[] = "0123456789abcdef";
  std::random_device random;
  std::string suffix;
  for (int i = 0; i < 4; ++i) {
    const unsigned part = random();
    for (int j = 0; j < 4; ++j) suffix += kHex[(part >> (4 * j)) & 15];
  }
  return suffix;
}

}  // namespace

support::Result<std::unique_ptr<OutputFile>> OutputFile::Create(const std::string& target,
                                                                Access access) {
  const auto mode = access == Access::kSecret ? fileops::RawFile::Mode::kCreateExclusiveSecret
                                              : fileops::RawFile::Mode::kCreateExclusive;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp = target + ".tmp-" + RandomSuffix();
    bool exists = false;
    fileops::RawFile file = fileops::RawFile::Open(temp, mode, &exists);
    if (file.IsOpen()) {
      return std::unique_ptr<OutputFile>(
          new OutputFile(target, std::move(temp), std::move(file), access));
    }
    if (!exists) {
      return support::Errorf("%s: cannot create %s: %s", target.c_str(), temp.c_str(),
                             fileops::LastErrorText().c_str());
    }
  }
  return support::Errorf("%s: cannot find a free temporary name beside it", target.c_str());
}

OutputFile::OutputFile(std::string target, std::string temp, fileops::RawFile file, Access access)
    : target_(std::move(target)),
      temp_(std::move(temp)),
      file_(std::move(file)),
      access_(access),
      cleanup_(cleanup::Register(temp_, cleanup::Kind::kFile)) {}

OutputFile::~OutputFile() {
  if (committed_) return;
  // Only the file written is removed, not another that took its name.
  const bool ours = file_.IsOpen() && file_.IsNamedBy(temp_);
  file_.Close();
  if (ours) fileops::RemoveFile(temp_);
  cleanup::Unregister(cleanup_);
}

support::Status OutputFile::Write(const void* data, size_t length) {
  support::Status status = WriteAt(size_, data, length);
  return status;
}

support::Status OutputFile::WriteZeros(uint64_t length) {
  static const std::vector<uint8_t> zeros(65536, 0);
  while (length > 0) {
    size_t n = length < zeros.size() ? static_cast<size_t>(length) : zeros.size();
    support::Status status = Write(zeros.data(), n);
    if (!status) return status;
    length -= n;
  }
  return {};
}

support::Status OutputFile::WriteAt(uint64_t offset, const void* data, size_t length) {
  const auto* p = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < length) {
    int64_t r = file_.WriteAt(offset + done, p + done, length - done);
    if (r <= 0) {
      return support::Errorf("%s: writing %zu bytes at 0x%llx failed: %s", target_.c_str(), length,
                             static_cast<unsigned long long>(offset + done),
                             r < 0 ? fileops::LastErrorText().c_str() : "nothing written");
    }
    done += static_cast<size_t>(r);
  }
  if (offset + length > size_) size_ = offset + length;
  return {};
}

support::Result<size_t> OutputFile::ReadAt(uint64_t offset, void* data, size_t length) {
  auto* p = static_cast<uint8_t*>(data);
  size_t done = 0;
  while (done < length) {
    int64_t r = file_.ReadAt(offset + done, p + done, length - done);
    if (r < 0) {
      return support::Errorf("%s: reading back at 0x%llx failed: %s", target_.c_str(),
                             static_cast<unsigned long long>(offset + done),
                             fileops::LastErrorText().c_str());
    }
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return done;
}

support::Status OutputFile::Commit() {
  if (committed_ || !file_.IsOpen()) {
    return support::Errorf("%s: output already finished", target_.c_str());
  }
  if ((access_ == Access::kPublic && !file_.TakePermissionsOf(target_)) || !file_.Sync()) {
    return support::Errorf("%s: finishing %s failed: %s", target_.c_str(), temp_.c_str(),
                           fileops::LastErrorText().c_str());
  }
  cleanup::Unregister(cleanup_);
  cleanup_ = -1;
  if (!file_.MoveTo(temp_, target_)) {
    return support::Errorf("%s: renaming %s onto it failed: %s", target_.c_str(), temp_.c_str(),
                           fileops::LastErrorText().c_str());
  }
  committed_ = true;
  // Whoever can write the directory can still rename another file to the temporary name in the
  // instant before the rename: then the target holds theirs, and must not stay.
  if (!file_.IsNamedBy(target_)) {
    fileops::RemoveFile(target_);
    file_.Close();
    return support::Errorf(
        "%s: another file was put in place of %s while it was written; "
        "removed, nothing written",
        target_.c_str(), temp_.c_str());
  }
  if (!file_.Close()) {
    return support::Errorf("%s: closing it failed: %s", target_.c_str(),
                           fileops::LastErrorText().c_str());
  }
  return {};
}

support::Status WriteOutputFile(const std::string& path, std::string_view data,
                                OutputFile::Access access) {
  auto out = OutputFile::Create(path, access);
  if (!out) return out.takeError();
  if (auto s = (*out)->Write(data.data(), data.size()); !s) return s;
  return (*out)->Commit();
}

}  // namespace ztpack
