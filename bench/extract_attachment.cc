// ExtractAttachmentToFile against the plain work it cannot avoid: reading the same bytes,
// computing their MD5 and writing them, with the same 1 MiB buffer, in the same process.
//
//   bench_extract_attachment [MiB] [directory]     (default 512 MiB in $TMPDIR or /tmp)
//
// Both contenders run warm (the container is read once before timing, so both read from the
// page cache) and write into a file deleted just before, alternating which goes first, best of six
// rounds.
#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "author/attachment_writer.h"
#include "container/attachment.h"
#include "container/attachment_format.h"
#include "platform/platform.h"
#include "support/trace.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// The reference: read, MD5, write, nothing else.
bool PlainCopy(const std::string& from, uint64_t offset, uint64_t length, const std::string& to) {
  int in = ::open(from.c_str(), O_RDONLY);
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0) return false;
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[container::kFileChunkSize]);
  CryptoPP::Weak::MD5 md5;
  bool ok = true;
  for (uint64_t done = 0; ok && done < length;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(length - done, container::kFileChunkSize));
    ok = ::pread(in, buffer.get(), n, static_cast<off_t>(offset + done)) == static_cast<ssize_t>(n);
    md5.Update(buffer.get(), n);
    ok = ok && ::write(out, buffer.get(), n) == static_cast<ssize_t>(n);
    done += n;
  }
  uint8_t digest[16];
  md5.Final(digest);
  ::close(in);
  ::close(out);
  return ok;
}

void Warm(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY);
  std::unique_ptr<char[]> buffer(new char[1 << 20]);
  while (::read(fd, buffer.get(), 1 << 20) > 0) {
  }
  ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 512;
  const char* tmp = std::getenv("TMPDIR");
  const fs::path base = argc > 2 ? fs::path(argv[2]) : fs::path(tmp ? tmp : "/tmp");
  const fs::path dir = base / ("zt-bench-extract-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const uint64_t size = mib << 20;

  // The payload: pseudo-random bytes (MD5 and XOR do not care, but the disk might).
  {
    FILE* f = std::fopen((dir / "payload").c_str(), "wb");
    std::mt19937_64 rng(1);
    std::unique_ptr<uint64_t[]> block(new uint64_t[1 << 17]);
    for (uint64_t done = 0; done < size; done += 1 << 20) {
      for (size_t i = 0; i < (1 << 17); ++i) block[i] = rng();
      std::fwrite(block.get(), 1, static_cast<size_t>(std::min<uint64_t>(1 << 20, size - done)), f);
    }
    std::fclose(f);
  }
  std::FILE* stub = std::fopen((dir / "container").c_str(), "wb");
  std::fputs("stub", stub);
  std::fclose(stub);
  auto status = ztpack::AppendAttachments(
      (dir / "container").string(),
      {ztpack::AttachmentInput::FromFile("LOAD", (dir / "payload").string())});
  fs::remove(dir / "payload");
  if (!status.ok()) {
    std::fprintf(stderr, "%s\n", status.error().c_str());
    return 1;
  }
  const std::string containerPath = (dir / "container").string();
  const std::string outPath = (dir / "out").string();
  const std::u16string containerWide(containerPath.begin(), containerPath.end());
  const std::u16string outWide(outPath.begin(), outPath.end());

  platform::SetDebugOutputHook([](const char*, void*) {}, nullptr);  // progress texts
  support::testing::ForceTrace(0);
  Warm(containerPath);

  // Alternating which goes first, so that neither always meets the other's dirty pages.
  double bestExtract = 1e30, bestPlain = 1e30;
  for (int round = 0; round < 6; ++round) {
    for (int turn = 0; turn < 2; ++turn) {
      const bool extract = (round + turn) % 2 == 0;
      fs::remove(outPath);
      ::sync();
      auto start = Clock::now();
      bool ok =
          extract ? container::ExtractAttachmentToFile(false, containerWide, "LOAD", outWide, 50, 0)
                  : PlainCopy(containerPath, 4, size, outPath);
      double took = Seconds(start);
      if (!ok) {
        std::fprintf(stderr, "%s failed\n", extract ? "extraction" : "plain copy");
        return 1;
      }
      (extract ? bestExtract : bestPlain) = std::min(extract ? bestExtract : bestPlain, took);
    }
  }
  fs::remove_all(dir);

  const double mb = static_cast<double>(size) / 1e6;
  std::printf("attachment of %llu MiB, best of 6, warm cache, fresh destination file\n",
              static_cast<unsigned long long>(mib));
  std::printf("ExtractAttachmentToFile   %8.1f MB/s\n", mb / bestExtract);
  std::printf("plain read/MD5/write      %8.1f MB/s\n", mb / bestPlain);
  std::printf("ratio                     %8.3f (target >= 0.80)\n", bestPlain / bestExtract);
  return 0;
}
