#include "output_file.h"

#include <atomic>
#include <cstdio>
#include <vector>

namespace ztpack {

support::Result<std::unique_ptr<OutputFile>> OutputFile::Create(const std::string& target) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp = target + ".tmp-" + std::to_string(fileops::ProcessId()) + "-" +
                       std::to_string(counter.fetch_add(1));
    // Exclusive: never write into a file someone else made under the temporary name.
    bool exists = false;
    fileops::RawFile file =
        fileops::RawFile::Open(temp, fileops::RawFile::Mode::kCreateExclusive, &exists);
    if (file.IsOpen()) {
      return std::unique_ptr<OutputFile>(new OutputFile(target, temp, std::move(file)));
    }
    if (!exists) {
      return support::Errorf("%s: cannot create %s: %s", target.c_str(), temp.c_str(),
                             fileops::LastErrorText().c_str());
    }
  }
  return support::Errorf("%s: cannot find a free temporary name beside it", target.c_str());
}

OutputFile::~OutputFile() {
  file_.Close();
  if (!committed_) fileops::RemoveFile(temp_);
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
      return support::Errorf("%s: writing %zu bytes at 0x%llx failed: %s", target_.c_str(),
                             length, static_cast<unsigned long long>(offset + done),
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
  if (!file_.TakePermissionsOf(target_) || !file_.Sync()) {
    return support::Errorf("%s: finishing %s failed: %s", target_.c_str(), temp_.c_str(),
                           fileops::LastErrorText().c_str());
  }
  if (!file_.Close()) {
    return support::Errorf("%s: closing %s failed: %s", target_.c_str(), temp_.c_str(),
                           fileops::LastErrorText().c_str());
  }
  if (!fileops::RenameOnto(temp_, target_)) {
    return support::Errorf("%s: renaming %s onto it failed: %s", target_.c_str(), temp_.c_str(),
                           fileops::LastErrorText().c_str());
  }
  committed_ = true;
  return {};
}

}  // namespace ztpack
