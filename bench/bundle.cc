// Bundle reader speed on a bundle of real files (>= 500 MB from /usr/lib and /usr/share):
//   Open (validation)       beside SHA-1 of the same file bytes, read the same way;
//   extracting every entry  beside zlib uncompress of the same chunks (from memory);
//   ReadLine over a script  beside uncompress of that entry's chunks;
// and the peak memory of Open plus extraction. The bundle is cached in $ZT_BENCH_DIR
// (default /tmp/zt-bench-bundle) between runs; the files are extracted into a fresh directory
// under $ZT_BENCH_OUT (default the same). Creating a file costs very different amounts on
// different file systems, so the bench also times creating and writing the same files from
// memory there. Usage: bench_bundle [MB]
#include <sys/stat.h>
#include <zlib.h>

#include <cryptopp/sha.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "author/bundle_writer.h"
#include "author/keys.h"
#include "bundle/bundle_format.h"
#include "bundle/bundle_reader.h"
#include "bundle/key_stream.h"
#include "support/byte_reader.h"
#include "support/detecting_sha1.h"
#include "support/text.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

long ProcStatusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  }
  return -1;
}
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// Real files, largest names first in no particular order; no two names equal in letter case.
std::vector<std::pair<std::string, std::string>> PickFiles(uint64_t wanted) {
  std::vector<std::pair<std::string, std::string>> files;
  std::set<std::string> lower;
  uint64_t total = 0;
  for (const char* root : {"/usr/lib", "/usr/share"}) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(
             root, fs::directory_options::skip_permission_denied, ec);
         it != fs::recursive_directory_iterator() && total < wanted; it.increment(ec)) {
      if (ec) break;
      if (it->is_symlink() || !it->is_regular_file(ec)) continue;
      uint64_t size = it->file_size(ec);
      if (ec || size < 16384 || size > (64u << 20)) continue;
      std::string name = fs::relative(it->path(), "/usr", ec).generic_string();
      if (ec || name.size() > 200) continue;
      std::string l = name;
      for (char& c : l) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (!lower.insert(l).second) continue;
      if (::access(it->path().c_str(), R_OK) != 0) continue;
      files.push_back({name, it->path().string()});
      total += size;
    }
  }
  return files;
}

struct Chunk {
  int64_t offset;
  uint32_t stored, inflated;
  bundle::KeyStreamState state;
};
struct WalkedEntry {
  std::string name;
  std::vector<Chunk> chunks;
};

// Walks the stream with the key streams, for the chunk list of every entry.
std::vector<WalkedEntry> Walk(const std::string& path) {
  std::vector<WalkedEntry> out;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  std::fseek(f, bundle::kHeaderSize, SEEK_SET);
  bundle::KeyStreamState state;
  const auto& keys = bundle::KeyStreams::Builtin();
  int64_t pos = bundle::kHeaderSize;
  auto u32 = [&](uint32_t* v) {
    uint8_t b[4];
    if (std::fread(b, 1, 4, f) != 4) return false;
    keys.Unscramble(state, b, 4);
    pos += 4;
    *v = support::LoadU32le(b);
    return true;
  };
  std::vector<uint8_t> skip(1 << 20);
  for (;;) {
    uint32_t n = 0, count = 0;
    if (!u32(&n) || n == 0 || n > 255) break;
    WalkedEntry e;
    e.name.resize(n);
    std::fread(e.name.data(), 1, n, f);
    keys.Unscramble(state, reinterpret_cast<uint8_t*>(e.name.data()), n);
    pos += n;
    u32(&count);
    for (uint32_t i = 0; i < count; ++i) {
      Chunk c;
      u32(&c.stored);
      u32(&c.inflated);
      c.offset = pos;
      c.state = state;
      skip.resize(std::max<size_t>(skip.size(), c.stored));
      std::fread(skip.data(), 1, c.stored, f);
      keys.Advance(state, skip.data(), c.stored);
      pos += c.stored;
      e.chunks.push_back(c);
    }
    out.push_back(std::move(e));
  }
  std::fclose(f);
  return out;
}

// Time of zlib uncompress alone over the entries' chunks, their plain bytes prepared first.
double UncompressSeconds(const std::string& path, const std::vector<WalkedEntry>& entries,
                         uint64_t* outBytes) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  std::vector<uint8_t> in, out;
  double total = 0;
  *outBytes = 0;
  for (const WalkedEntry& e : entries) {
    for (const Chunk& c : e.chunks) {
      in.resize(c.stored);
      out.resize(c.inflated);
      std::fseek(f, c.offset, SEEK_SET);
      std::fread(in.data(), 1, c.stored, f);
      bundle::KeyStreamState s = c.state;
      bundle::KeyStreams::Builtin().Unscramble(s, in.data(), in.size());
      uLongf n = c.inflated;
      auto t0 = Clock::now();
      uncompress(out.data(), &n, in.data(), c.stored);
      total += Seconds(t0, Clock::now());
      *outBytes += n;
    }
  }
  std::fclose(f);
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t wantedMb = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 520;
  const char* dirEnv = std::getenv("ZT_BENCH_DIR");
  const std::string dir = dirEnv ? dirEnv : "/tmp/zt-bench-bundle";
  fs::create_directories(dir);
  const std::string bundlePath = dir + "/real.bnd";
  const std::string keysDir = ZT_DEV_KEYS_DIR;
  auto root = ztpack::LoadPrivateKey(keysDir + "/root.key");
  auto key = ztpack::LoadPrivateKey(keysDir + "/bundle.key");
  if (!root || !key) {
    std::fprintf(stderr, "bench_bundle: needs the development keys in %s\n", keysDir.c_str());
    return 1;
  }
  const std::string rootDer = ztpack::PublicKeyDer(*root);

  if (!fs::exists(bundlePath)) {
    auto files = PickFiles(wantedMb << 20);
    // A large install script: one directive per file, repeated to about 40 MB.
    std::string script;
    while (script.size() < (40u << 20)) {
      for (const auto& f : files) script += "x86,gui," + f.first + "," + f.first + "\r\n";
    }
    std::vector<ztpack::BundleInput> inputs;
    inputs.push_back({"install_script", "", script});
    for (const auto& f : files) inputs.push_back({f.first, f.second, std::nullopt});
    auto cert = ztpack::MakePublicKeyBlock(*root, ztpack::PublicKeyDer(*key), "IBND", 0);
    ztpack::BundleOptions options;
    std::fprintf(stderr, "writing %s from %zu files...\n", bundlePath.c_str(), files.size());
    auto t0 = Clock::now();
    auto status = ztpack::WriteBundle(bundlePath, inputs, *key, *cert, options);
    if (!status) {
      std::fprintf(stderr, "bench_bundle: %s\n", status.error().c_str());
      return 1;
    }
    std::fprintf(stderr, "written in %.1f s\n", Seconds(t0, Clock::now()));
  }
  const uint64_t fileSize = fs::file_size(bundlePath);
  const double fileMb = fileSize / 1e6;
  std::vector<WalkedEntry> entries = Walk(bundlePath);
  uint32_t largestChunk = 0;
  uint64_t inflatedTotal = 0;
  for (const auto& e : entries) {
    for (const auto& c : e.chunks) {
      largestChunk = std::max(largestChunk, c.inflated);
      inflatedTotal += c.inflated;
    }
  }
  std::printf("bundle: %.1f MB on disk, %zu entries, %.1f MB inflated, largest chunk %u bytes\n",
              fileMb, entries.size(), inflatedTotal / 1e6, largestChunk);

  // Warm the page cache so that both sides read from memory.
  {
    std::FILE* f = std::fopen(bundlePath.c_str(), "rb");
    std::vector<char> b(1 << 20);
    while (std::fread(b.data(), 1, b.size(), f) > 0) {
    }
    std::fclose(f);
  }

  // Open and extraction, with the peak resident memory they add.
  const long rssBefore = ProcStatusKb("VmRSS:");
  ResetPeak();
  bundle::BundleReader reader;
  reader.SetGoal("IBND");
  reader.SetMaxChunkSize(bundle::kWorkerMaxChunkSize);
  reader.SetRootKey(rootDer);
  auto t0 = Clock::now();
  bool opened = reader.Open(support::Utf8ToWide(bundlePath, true));
  double openSeconds = Seconds(t0, Clock::now());
  if (!opened) {
    std::fprintf(stderr, "bench_bundle: Open failed\n");
    return 1;
  }
  const char* outEnv = std::getenv("ZT_BENCH_OUT");
  const std::string outDir =
      (outEnv ? std::string(outEnv) : dir) + "/out-" + std::to_string(::getpid());
  fs::create_directories(outDir);
  std::set<std::string> seen;
  uint64_t extractedBytes = 0;
  t0 = Clock::now();
  size_t index = 0;
  for (const auto& e : entries) {
    if (e.name == "install_script" || !seen.insert(e.name).second) continue;
    std::string target = outDir + "/" + std::to_string(index++);
    if (!reader.ExtractEntry(support::Utf8ToWide(target, true), e.name)) {
      std::fprintf(stderr, "bench_bundle: extracting %s failed\n", e.name.c_str());
      return 1;
    }
    for (const auto& c : e.chunks) extractedBytes += c.inflated;
  }
  double extractSeconds = Seconds(t0, Clock::now());
  const long peak = ProcStatusKb("VmHWM:");

  // ReadLine over the script.
  bundle::EntryHandle* h = reader.OpenEntry("install_script");
  char line[2048];
  uint64_t lineBytes = 0, lines = 0;
  t0 = Clock::now();
  while (reader.ReadLine(line, sizeof line, h) != nullptr) {
    lineBytes += std::strlen(line);
    ++lines;
  }
  double readLineSeconds = Seconds(t0, Clock::now());
  const uint64_t scriptBytes = h->totalLength;
  reader.CloseEntry(h);
  reader.Close();

  // References in the same run: SHA-1 of the file bytes read in 1 MiB pieces (Crypto++'s, and
  // the collision-detecting one that validation uses), uncompress alone.
  auto hashFile = [&](CryptoPP::HashTransformation& sha) {
    auto start = Clock::now();
    std::FILE* f = std::fopen(bundlePath.c_str(), "rb");
    std::vector<uint8_t> b(1 << 20);
    size_t n;
    while ((n = std::fread(b.data(), 1, b.size(), f)) > 0) sha.Update(b.data(), n);
    uint8_t d[20];
    sha.TruncatedFinal(d, sizeof d);
    std::fclose(f);
    return Seconds(start, Clock::now());
  };
  CryptoPP::SHA1 plainSha1;
  support::DetectingSha1 detectingSha1;
  const double shaSeconds = hashFile(plainSha1);
  const double detectingSeconds = hashFile(detectingSha1);
  // The file system's own share: creating and writing files of the same sizes from memory, one
  // after the other, in a fresh directory beside the extraction's.
  double fsSeconds = 0;
  {
    const std::string fsDir = outDir + "-fs";
    fs::create_directories(fsDir);
    std::vector<uint8_t> bytes(largestChunk, 0x5A);
    size_t n = 0;
    std::set<std::string> once;
    t0 = Clock::now();
    for (const auto& e : entries) {
      if (e.name == "install_script" || !once.insert(e.name).second) continue;
      std::FILE* f = std::fopen((fsDir + "/" + std::to_string(n++)).c_str(), "wb");
      if (f == nullptr) break;
      std::setvbuf(f, nullptr, _IONBF, 0);
      for (const auto& c : e.chunks) std::fwrite(bytes.data(), 1, c.inflated, f);
      std::fclose(f);
    }
    fsSeconds = Seconds(t0, Clock::now());
    std::error_code ec;
    fs::remove_all(fsDir, ec);
  }
  std::vector<WalkedEntry> files, scriptOnly;
  for (const auto& e : entries) (e.name == "install_script" ? scriptOnly : files).push_back(e);
  uint64_t refBytes = 0, refScript = 0;
  double uncompressSeconds = UncompressSeconds(bundlePath, files, &refBytes);
  double uncompressScriptSeconds = UncompressSeconds(bundlePath, scriptOnly, &refScript);

  // The key-stream work alone over 64 MiB of stored-like bytes: eight at a time and serially.
  double fastSeconds = 0, serialSeconds = 0, advanceSeconds = 0;
  const size_t keyBytes = 64u << 20;
  {
    std::vector<uint8_t> buf(keyBytes);
    uint64_t x = 88172645463325252ULL;
    for (uint8_t& b : buf) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      b = static_cast<uint8_t>(x);
    }
    const auto& keys = bundle::KeyStreams::Builtin();
    bundle::KeyStreamState a, b, c;
    t0 = Clock::now();
    keys.Unscramble(a, buf.data(), buf.size());
    fastSeconds = Seconds(t0, Clock::now());
    t0 = Clock::now();
    keys.UnscrambleSerial(b, buf.data(), buf.size());
    serialSeconds = Seconds(t0, Clock::now());
    t0 = Clock::now();
    keys.Advance(c, buf.data(), buf.size());
    advanceSeconds = Seconds(t0, Clock::now());
    if (!(a == b) || !(a == c)) std::printf("key streams disagree!\n");
  }

  auto mbps = [](double bytes, double s) { return bytes / 1e6 / s; };
  std::printf(
      "Open (validation):      %8.1f MB/s of file   SHA-1 reference %8.1f MB/s   ratio %5.1f%% "
      "(target >= 70%%)\n",
      mbps(fileSize, openSeconds), mbps(fileSize, shaSeconds), 100 * shaSeconds / openSeconds);
  std::printf("  SHA-1 with collision detection %8.1f MB/s   Open at %5.1f%% of it\n",
              mbps(fileSize, detectingSeconds), 100 * detectingSeconds / openSeconds);
  std::printf(
      "extract every entry:    %8.1f MB/s inflated  uncompress ref  %8.1f MB/s   ratio %5.1f%% "
      "(target >= 85%%)\n",
      mbps(extractedBytes, extractSeconds), mbps(refBytes, uncompressSeconds),
      100 * uncompressSeconds / extractSeconds);
  std::printf("  (%zu files into a fresh directory in %s, file creation and writes included)\n",
              index, outDir.c_str());
  std::printf(
      "  the file system alone: creating and writing the same files from memory %.2f s; "
      "uncompress %.2f s; extraction %.2f s = %.1f%% of uncompress then writing\n",
      fsSeconds, uncompressSeconds, extractSeconds,
      100 * (uncompressSeconds + fsSeconds) / extractSeconds);
  std::printf(
      "ReadLine over script:   %8.1f MB/s (%llu lines, %.1f MB)  uncompress ref %8.1f MB/s   ratio "
      "%5.1f%%\n",
      mbps(scriptBytes, readLineSeconds), static_cast<unsigned long long>(lines), scriptBytes / 1e6,
      mbps(refScript, uncompressScriptSeconds), 100 * uncompressScriptSeconds / readLineSeconds);
  std::printf(
      "key streams over 64 MiB:  Unscramble %8.1f MB/s   serial %8.1f MB/s   Advance %8.1f MB/s\n",
      mbps(keyBytes, fastSeconds), mbps(keyBytes, serialSeconds), mbps(keyBytes, advanceSeconds));
  const double limitMb = (2.0 * largestChunk + (32 << 20)) / (1 << 20);
  std::printf(
      "peak memory of Open + extraction: %.1f MiB resident (%.1f MiB before), limit 2 x largest "
      "chunk + 32 MiB = %.1f MiB: %s\n",
      peak / 1024.0, rssBefore / 1024.0, limitMb, peak / 1024.0 < limitMb ? "within" : "OVER");
  std::error_code ec;
  fs::remove_all(outDir, ec);
  return 0;
}
