#include "author/attachment_writer.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>

#include <cstring>
#include <functional>
#include <memory>

#include "container/attachment_format.h"
#include "os/file_ops.h"

namespace ztpack {
namespace {

constexpr uint64_t kLimit = static_cast<uint64_t>(container::kPositionLimit);

support::Result<uint64_t> FileSize(const std::string& path) {
  auto size = fileops::RegularFileSize(path);
  if (!size) return support::Errorf("%s: %s", path.c_str(), size.error().c_str());
  return size;
}

void FillFooter(std::string_view type, uint64_t size, CryptoPP::Weak::MD5& md5,
                uint8_t (&bytes)[container::kFooterSize]) {
  container::AttachmentFooter footer;
  md5.Final(footer.digest);
  footer.size = static_cast<uint32_t>(size);
  std::memcpy(footer.type, type.data(), container::kTypeSize);
  container::EncodeFooter(footer, bytes);
}

using Sink = std::function<support::Status(const uint8_t*, size_t)>;

// Gives the plain data of `input` to `sink` in pieces of at most kFileChunkSize: its own bytes,
// then each nested attachment as it is stored (scrambled data, then its footer).
support::Status EmitPlain(const AttachmentInput& input, const Sink& sink) {
  if (input.path.empty()) {
    for (size_t at = 0; at < input.data.size(); at += container::kFileChunkSize) {
      size_t n = std::min(input.data.size() - at, container::kFileChunkSize);
      if (auto s = sink(reinterpret_cast<const uint8_t*>(input.data.data()) + at, n); !s) return s;
    }
  } else {
    auto size = FileSize(input.path);
    if (!size) return size.takeError();
    if (auto s = fileops::StreamFile(input.path, 0, *size, sink); !s) return s;
  }
  for (const AttachmentInput& inner : input.nested) {
    if (auto s = CheckAttachmentType(inner.type); !s) return s;
    CryptoPP::Weak::MD5 md5;
    uint64_t dataSize = 0;
    std::vector<uint8_t> scrambled;
    auto put = [&](const uint8_t* p, size_t n) -> support::Status {
      md5.Update(p, n);
      dataSize += n;
      scrambled.assign(p, p + n);
      container::ScrambleInPlace(scrambled.data(), n);
      return sink(scrambled.data(), n);
    };
    if (auto s = EmitPlain(inner, put); !s) return s;
    uint8_t footer[container::kFooterSize];
    FillFooter(inner.type, dataSize, md5, footer);
    if (auto s = sink(footer, sizeof footer); !s) return s;
  }
  return {};
}

}  // namespace

support::Status CheckAttachmentType(std::string_view type) {
  if (type.size() != container::kTypeSize) {
    return support::Errorf("attachment type \"%.*s\" must be exactly 4 characters, not %zu",
                           static_cast<int>(type.size()), type.data(), type.size());
  }
  return {};
}

support::Result<uint64_t> AttachmentSize(const AttachmentInput& input) {
  uint64_t dataSize = input.data.size();
  if (!input.path.empty()) {
    auto size = FileSize(input.path);
    if (!size) return size.takeError();
    dataSize = *size;
  }
  for (const AttachmentInput& inner : input.nested) {
    auto size = AttachmentSize(inner);
    if (!size) return size.takeError();
    dataSize += *size;
  }
  if (dataSize >= kLimit) {
    return support::Errorf("%s attachment: %llu bytes of data reach the 2 GiB limit",
                           input.type.c_str(), static_cast<unsigned long long>(dataSize));
  }
  return dataSize + container::kFooterSize;
}

support::Result<uint64_t> ChainSize(const std::vector<AttachmentInput>& inputs) {
  uint64_t total = 0;
  for (const AttachmentInput& input : inputs) {
    support::Status typeOk = CheckAttachmentType(input.type);
    if (!typeOk) return typeOk.takeError();
    auto size = AttachmentSize(input);
    if (!size) return size.takeError();
    total += *size;
    if (total >= kLimit) {
      return support::Errorf("attachment chain of %llu bytes reaches the 2 GiB limit",
                             static_cast<unsigned long long>(total));
    }
  }
  return total;
}

support::Result<std::string> MakeAttachment(std::string_view type, std::string_view data) {
  support::Status typeOk = CheckAttachmentType(type);
  if (!typeOk) return typeOk.takeError();
  if (data.size() >= kLimit) return support::Errorf("attachment data reach the 2 GiB limit");
  CryptoPP::Weak::MD5 md5;
  md5.Update(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  std::string out(data);
  container::ScrambleInPlace(reinterpret_cast<uint8_t*>(out.data()), out.size());
  uint8_t footer[container::kFooterSize];
  FillFooter(type, data.size(), md5, footer);
  out.append(reinterpret_cast<const char*>(footer), sizeof footer);
  return out;
}

support::Result<std::string> MakeChain(const std::vector<AttachmentInput>& inputs) {
  auto total = ChainSize(inputs);
  if (!total) return total.takeError();
  std::string chain;
  for (const AttachmentInput& input : inputs) {
    std::string data;
    support::Status read = EmitPlain(input, [&](const uint8_t* p, size_t n) {
      data.append(reinterpret_cast<const char*>(p), n);
      return support::Status{};
    });
    if (!read) return read.takeError();
    auto one = MakeAttachment(input.type, data);
    if (!one) return one.takeError();
    chain += *one;
  }
  return chain;
}

support::Result<uint64_t> WriteAttachments(OutputFile& out,
                                           const std::vector<AttachmentInput>& inputs) {
  auto total = ChainSize(inputs);
  if (!total) return total.takeError();
  if (out.size() + *total >= kLimit) {
    return support::Errorf("%s: the attachments would end at 0x%llx, beyond the 2 GiB limit",
                           out.target().c_str(),
                           static_cast<unsigned long long>(out.size() + *total));
  }
  uint64_t written = 0;
  std::unique_ptr<uint8_t[]> scrambled(new uint8_t[container::kFileChunkSize]);
  for (const AttachmentInput& input : inputs) {
    CryptoPP::Weak::MD5 md5;
    uint64_t dataSize = 0;
    auto put = [&](const uint8_t* p, size_t n) -> support::Status {
      md5.Update(p, n);
      std::memcpy(scrambled.get(), p, n);
      container::ScrambleInPlace(scrambled.get(), n);
      dataSize += n;
      return out.Write(scrambled.get(), n);
    };
    if (support::Status status = EmitPlain(input, put); !status) {
      return status.takeError();
    }
    uint8_t footer[container::kFooterSize];
    FillFooter(input.type, dataSize, md5, footer);
    support::Status status = out.Write(footer, sizeof footer);
    if (!status) return status.takeError();
    written += dataSize + container::kFooterSize;
  }
  return written;
}

support::Status CopyFileRange(const std::string& path, uint64_t offset, uint64_t length,
                              OutputFile& out) {
  return fileops::StreamFile(path, offset, length,
                             [&](const uint8_t* p, size_t n) { return out.Write(p, n); });
}

support::Status CopyWithAttachments(const std::string& path,
                                    const std::vector<AttachmentInput>& inputs, OutputFile& out) {
  auto size = FileSize(path);
  if (!size) return size.takeError();
  support::Status copied = CopyFileRange(path, 0, *size, out);
  if (!copied) return copied;
  auto written = WriteAttachments(out, inputs);
  if (!written) return written.takeError();
  return {};
}

support::Status AppendAttachments(const std::string& path,
                                  const std::vector<AttachmentInput>& inputs,
                                  const std::string& outPath) {
  auto out = OutputFile::Create(outPath.empty() ? path : outPath);
  if (!out) return out.takeError();
  support::Status status = CopyWithAttachments(path, inputs, **out);
  if (!status) return status;
  return (*out)->Commit();
}

}  // namespace ztpack
