// The speed of the embedded signature check on a large setup program, beside Crypto++'s SHA-1
// over the same bytes in the same run (the check is one SHA-1 pass plus reads, so SHA-1 is the
// ceiling; the check hashes with collision detection, whose own rate is shown too), and the
// memory it takes (which must not grow with the file).
//
//   bench_setup_signature [size in MiB, default 1024]
//
// Three setup programs are made from the same payload: one that is not a PE (signed plainly, so
// the plain pass accepts it) and, when a MinGW compiler is at hand, a stripped PE whose .ZTBNDL
// section carries the payload in front of the document, signed once for the header-tolerant
// pass and once plainly. On a PE the check runs the header-tolerant pass beside the plain one on
// a second thread (when there is a second processor), so either kind costs about one pass.
// Every figure is taken with the file in the page cache, the best of two rounds.
#include <unistd.h>

#include <cryptopp/sha.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "author/keys.h"
#include "author/setup_signer.h"
#include "platform/platform.h"
#include "support/detecting_sha1.h"
#include "verify/setup_signature.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A field of /proc/self/status in KiB ("VmHWM", "VmRSS"), or -1.
long StatusKiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

// Resets the peak resident size to the current one, so that the next VmHWM is the call's peak.
void ResetPeakRss() { std::ofstream("/proc/self/clear_refs") << "5"; }

// SHA-1 over [0, length) of the file, read in the check's 64 KiB pieces: Crypto++'s plain one,
// or the collision-detecting one that the check uses.
template <typename Hash = CryptoPP::SHA1>
double Sha1Seconds(const std::filesystem::path& path, int64_t length) {
  platform::File file = platform::File::Open(path.u16string(), platform::OpenMode::kRead);
  std::vector<uint8_t> buffer(verify::kSignatureReadBufferSize);
  Hash sha;
  auto start = Clock::now();
  while (length > 0) {
    int64_t got =
        file.Read(buffer.data(), static_cast<size_t>(std::min<int64_t>(length, buffer.size())));
    if (got <= 0) break;
    sha.Update(buffer.data(), static_cast<size_t>(got));
    length -= got;
  }
  uint8_t digest[CryptoPP::SHA1::DIGESTSIZE];
  sha.TruncatedFinal(digest, sizeof digest);
  return Seconds(start);
}

struct Figures {
  double verifySeconds = 1e30;
  double sha1Seconds = 1e30;
  double detectingSeconds = 1e30;
  bool verified = false;
  bool headerTolerant = false;
  long rssGrowthKiB = 0;
};

Figures Measure(const std::filesystem::path& path, const std::string& publicDer,
                int64_t dataOffset) {
  Figures f;
  Sha1Seconds(path, dataOffset);  // into the page cache
  for (int round = 0; round < 2; ++round) {
    f.sha1Seconds = std::min(f.sha1Seconds, Sha1Seconds(path, dataOffset));
    f.detectingSeconds =
        std::min(f.detectingSeconds, Sha1Seconds<support::DetectingSha1>(path, dataOffset));
    const long before = StatusKiB("VmRSS");
    ResetPeakRss();
    verify::SetupSignatureOutcome outcome;
    auto start = Clock::now();
    f.verified = verify::VerifySetupSignatureWithKey(path.u16string(), publicDer, false, &outcome);
    f.verifySeconds = std::min(f.verifySeconds, Seconds(start));
    f.headerTolerant = outcome.headerTolerant;
    f.rssGrowthKiB = std::max(f.rssGrowthKiB, StatusKiB("VmHWM") - before);
  }
  return f;
}

void Report(const char* what, const Figures& f, int64_t bytes) {
  const double mb = static_cast<double>(bytes) / 1e6;
  const double verifyRate = mb / f.verifySeconds;
  const double shaRate = mb / f.sha1Seconds;
  std::printf("%s: %s (%s pass)\n", what, f.verified ? "verified" : "NOT VERIFIED",
              f.headerTolerant ? "header-tolerant" : "plain");
  std::printf("  signed region      %.1f MB\n", mb);
  std::printf("  SHA-1 reference    %.1f MB/s\n", shaRate);
  std::printf("  SHA-1 with collision detection %.1f MB/s = %.1f%% of SHA-1\n",
              mb / f.detectingSeconds, 100.0 * f.sha1Seconds / f.detectingSeconds);
  std::printf("  VerifySetupSignature %.1f MB/s  = %.1f%% of SHA-1\n", verifyRate,
              100.0 * verifyRate / shaRate);
  std::printf("  peak RSS growth during the check: %ld KiB\n", f.rssGrowthKiB);
}

}  // namespace

int main(int argc, char** argv) {
  const int64_t mib = argc > 1 ? std::atoll(argv[1]) : 1024;
  const int64_t size = mib << 20;

  auto key = ztpack::LoadPrivateKey(std::string(ZT_DEV_KEYS_DIR) + "/setup.key");
  if (!key) {
    std::fprintf(stderr, "%s\n", key.error().c_str());
    return 1;
  }
  const std::string publicDer = ztpack::PublicKeyDer(*key);
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("zt-bench-sig-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);

  {
    std::ofstream payload(dir / "payload.bin", std::ios::binary);
    std::vector<uint32_t> block(1 << 18);
    uint32_t x = 0x12345678;
    for (int64_t written = 0; written < size; written += block.size() * 4) {
      for (uint32_t& w : block) w = x = x * 1664525u + 1013904223u;
      payload.write(reinterpret_cast<const char*>(block.data()),
                    static_cast<std::streamsize>(block.size() * 4));
    }
    payload.seekp(0);
    payload.write("ZT", 2);  // not "MZ": the payload alone is not a PE
  }

  auto sign = [&](ztpack::SignSetupOptions options) -> int64_t {
    auto start = Clock::now();
    auto summary = ztpack::SignSetup(*key, options);
    if (!summary) {
      std::fprintf(stderr, "sign-setup: %s\n", summary.error().c_str());
      return -1;
    }
    std::printf("signed %s in %.1f s\n", options.output.c_str(), Seconds(start));
    return summary->dataOffset;
  };

  std::printf("setup programs of %lld MiB\n", static_cast<long long>(mib));
  int64_t plainOffset =
      sign({(dir / "payload.bin").string(), (dir / "plain.bin").string(), "", false, {}});
  if (plainOffset > 0) {
    Figures f = Measure(dir / "plain.bin", publicDer, plainOffset);
    Report("not a PE, signed plainly", f, plainOffset);
    std::filesystem::remove(dir / "plain.bin");
  }

  if (std::system("command -v i686-w64-mingw32-gcc >/dev/null 2>&1") == 0) {
    std::ofstream(dir / "main.c") << "int main(void){return 0;}\n";
    std::string cc = "i686-w64-mingw32-gcc -s -O2 -o '" + (dir / "setup.exe").string() + "' '" +
                     (dir / "main.c").string() + "'";
    if (std::system(cc.c_str()) == 0) {
      for (bool plain : {false, true}) {
        const auto output = dir / (plain ? "plain.exe" : "tolerant.exe");
        ztpack::SignSetupOptions options{
            (dir / "setup.exe").string(),
            output.string(),
            "",
            plain,
            {ztpack::AttachmentInput::FromFile("PAYL", (dir / "payload.bin").string())}};
        int64_t offset = sign(options);
        if (offset > 0) {
          Figures f = Measure(output, publicDer, offset);
          Report(plain ? "PE32, signed plainly (--plain)"
                       : "PE32, signed for the header-tolerant pass",
                 f, offset);
        }
        std::filesystem::remove(output);
      }
    }
  } else {
    std::printf("i686-w64-mingw32-gcc not installed: no PE figures\n");
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
