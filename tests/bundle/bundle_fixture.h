// Shared pieces of the bundle tests: a throwaway key set made once per test program, bundles
// written by our own writer, and capture of the trace and standard output.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "author/bundle_writer.h"
#include "author/keys.h"
#include "bundle/bundle_format.h"
#include "bundle/bundle_reader.h"
#include "platform/platform.h"
#include "support/text.h"
#include "support/trace.h"
#include "testutil/files.h"

namespace bundle_test {

struct TestKeys {
  ztpack::RsaPrivateKey root, bundle, otherRoot;
  std::string rootDer, bundleDer, otherRootDer;

  static const TestKeys& Get() {
    static const TestKeys keys = [] {
      TestKeys k;
      k.root = ztpack::GenerateKey(2048, 65537).value();
      k.bundle = ztpack::GenerateKey(2048, 65537).value();
      k.otherRoot = ztpack::GenerateKey(2048, 65537).value();
      k.rootDer = ztpack::PublicKeyDer(k.root);
      k.bundleDer = ztpack::PublicKeyDer(k.bundle);
      k.otherRootDer = ztpack::PublicKeyDer(k.otherRoot);
      return k;
    }();
    return keys;
  }
};

inline std::string TempDir() {
  static const std::string dir = [] {
    std::string d =
        std::filesystem::temp_directory_path() / ("zt-bundle-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(d);
    return d;
  }();
  return dir;
}

inline std::string TempPath(const std::string& name) { return TempDir() + "/" + name; }
inline std::u16string Wide(const std::string& path) { return support::Utf8ToWide(path, true); }

using testutil::ReadFile;
using testutil::WriteFile;

inline std::string Certificate(const std::string& goal = "IBND", uint32_t expiry = 0xFFFFFFFFu) {
  const TestKeys& k = TestKeys::Get();
  return ztpack::MakePublicKeyBlock(k.root, k.bundleDer, goal, expiry).value();
}

struct Entry {
  std::string name;
  std::string data;
};

// A complete signed bundle of `entries` at `path`; returns the file's bytes.
inline std::string WriteBundle(const std::string& path, const std::vector<Entry>& entries,
                               ztpack::BundleOptions options = {},
                               const std::string& certificate = Certificate()) {
  std::vector<ztpack::BundleInput> inputs;
  for (const Entry& e : entries) inputs.push_back({e.name, "", e.data});
  auto status = ztpack::WriteBundle(path, inputs, TestKeys::Get().bundle, certificate, options);
  EXPECT_TRUE(status.ok()) << status.error();
  return ReadFile(path);
}

// A reader set up as the installation worker sets it up, against the test root key.
inline void Configure(bundle::BundleReader& reader,
                      uint32_t maxChunk = bundle::kWorkerMaxChunkSize) {
  reader.SetGoal("IBND");
  reader.SetMaxChunkSize(maxChunk);
  reader.SetRootKey(TestKeys::Get().rootDer);
}

// Collects trace lines (without their thread prefix) while alive.
class TraceCapture {
 public:
  TraceCapture() {
    platform::SetDebugOutputHook(&TraceCapture::Hook, this);
    support::testing::ForceTrace(1);
  }
  ~TraceCapture() {
    support::testing::ForceTrace(-1);
    platform::SetDebugOutputHook(nullptr, nullptr);
  }
  const std::vector<std::string>& lines() const { return lines_; }
  bool Contains(const std::string& line) const {
    for (const std::string& l : lines_) {
      if (l == line) return true;
    }
    return false;
  }
  std::string Joined() const {
    std::string all;
    for (const std::string& l : lines_) all += l;
    return all;
  }

 private:
  static void Hook(const char* text, void* context) {
    std::string line(text);
    if (line.rfind("[T ", 0) == 0 && line.size() >= 13) line = line.substr(13);
    static_cast<TraceCapture*>(context)->lines_.push_back(line);
  }
  std::vector<std::string> lines_;
};

inline std::string RandomBytes(std::mt19937& rng, size_t n, bool compressible) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) {
    s[i] = compressible ? "abc\n\r xyz"[rng() % 9] : static_cast<char>(rng());
  }
  return s;
}

inline std::string ZlibCompress(const std::string& data) {
  uLongf n = compressBound(static_cast<uLong>(data.size()));
  std::string out(n, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(data.data()),
            static_cast<uLong>(data.size()), 6);
  out.resize(n);
  return out;
}

}  // namespace bundle_test
