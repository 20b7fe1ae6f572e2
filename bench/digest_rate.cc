// The digest rate of SHA-1 with collision detection (support::DetectingSha1, what every check
// that trusts a SHA-1 uses) beside Crypto++'s plain SHA-1, on the same bytes in the same run:
// random bytes in memory, fed in the 256 KiB pieces of the bundle check and the 64 KiB pieces
// of the setup check, and the real collision file (its detection's cost on a hit).
//
//   bench_digest_rate [MiB, default 256]
#include <cryptopp/sha.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/detecting_sha1.h"

namespace {

using Clock = std::chrono::steady_clock;

template <typename Hash>
double BestSeconds(const std::vector<uint8_t>& data, size_t piece, int rounds) {
  double best = 1e30;
  for (int r = 0; r < rounds; ++r) {
    Hash hash;
    auto start = Clock::now();
    for (size_t at = 0; at < data.size(); at += piece) {
      hash.Update(data.data() + at, std::min(piece, data.size() - at));
    }
    uint8_t digest[20];
    if constexpr (std::is_same_v<Hash, support::DetectingSha1>) {
      hash.FinalChecked(digest);
    } else {
      hash.Final(digest);
    }
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

void Compare(const char* what, const std::vector<uint8_t>& data, size_t piece, int rounds) {
  const double mb = static_cast<double>(data.size()) / 1e6;
  const double plain = BestSeconds<CryptoPP::SHA1>(data, piece, rounds);
  const double detecting = BestSeconds<support::DetectingSha1>(data, piece, rounds);
  std::printf("%-34s Crypto++ SHA-1 %7.1f MB/s   with detection %7.1f MB/s   ratio %.2fx\n", what,
              mb / plain, mb / detecting, detecting / plain);
}

}  // namespace

int main(int argc, char** argv) {
  const size_t mib = argc > 1 ? static_cast<size_t>(std::atoll(argv[1])) : 256;
  std::vector<uint8_t> data(mib << 20);
  uint32_t x = 0x9E3779B9u;
  for (uint8_t& b : data) b = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
  std::printf("%zu MiB of random bytes, best of 3 rounds, one thread\n", mib);
  Compare("pieces of 256 KiB (bundle check)", data, 256 << 10, 3);
  Compare("pieces of 64 KiB (setup check)", data, 64 << 10, 3);
#ifdef ZT_SHATTERED_PDF
  std::ifstream pdf(ZT_SHATTERED_PDF, std::ios::binary);
  std::vector<uint8_t> collision((std::istreambuf_iterator<char>(pdf)), {});
  if (!collision.empty()) Compare("shattered-1.pdf (detected)", collision, 64 << 10, 20);
#endif
  return 0;
}
