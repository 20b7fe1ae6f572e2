#include "bundle/hash_behind.h"

#include <gtest/gtest.h>

#include <cryptopp/filters.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

namespace {

using bundle::HashBehind;

// A sink that keeps what it gets, slowly in odd rounds, so that the caller fills every block
// and has to wait for the thread.
class CollectingSink : public CryptoPP::Bufferless<CryptoPP::Sink> {
 public:
  CollectingSink(std::string& out, bool slow) : out_(out), slow_(slow) {}
  size_t Put2(const CryptoPP::byte* data, size_t length, int, bool) override {
    if (slow_) std::this_thread::sleep_for(std::chrono::microseconds(300));
    out_.append(reinterpret_cast<const char*>(data), length);
    return 0;
  }

 private:
  std::string& out_;
  bool slow_;
};

// Bytes put and committed in any mix of sizes (block boundaries included) reach the sink whole
// and in order, whether or not a second thread does the feeding, and whichever side is faster.
TEST(HashBehind, FeedsEveryByteInOrder) {
  std::mt19937 rng(3);
  for (int round = 0; round < 20; ++round) {
    std::string received, expected;
    CollectingSink sink(received, round % 2 == 1);
    {
      HashBehind hasher(sink);
      for (int step = 0; step < 200; ++step) {
        const size_t kinds[] = {1, 4, 12, 4096, HashBehind::kBlockSize - 1, HashBehind::kBlockSize};
        size_t n = rng() % 3 == 0 ? kinds[rng() % 6] : rng() % 70000;
        std::string bytes(n, '\0');
        for (char& c : bytes) c = static_cast<char>(rng());
        if (rng() % 2) {
          hasher.Put(reinterpret_cast<const uint8_t*>(bytes.data()), n);
        } else {
          uint8_t* room = hasher.Space(n);
          size_t filled = rng() % 4 == 0 && n > 0 ? n / 2 : n;  // a short read commits less
          std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(filled), room);
          hasher.Commit(filled);
          bytes.resize(filled);
        }
        expected += bytes;
      }
      hasher.Finish();
      ASSERT_EQ(received.size(), expected.size()) << "round " << round;
      ASSERT_EQ(received, expected) << "round " << round;
    }
  }
}

// A sink that throws on the first bytes it gets: the error comes out of Finish, and the
// destructor still stops cleanly.
class ThrowingSink : public CryptoPP::Bufferless<CryptoPP::Sink> {
 public:
  size_t Put2(const CryptoPP::byte*, size_t length, int, bool) override {
    if (length > 0) throw std::runtime_error("sink refused");
    return 0;
  }
};

TEST(HashBehind, SinkErrorsComeOutOfFinish) {
  ThrowingSink sink;
  HashBehind hasher(sink);
  std::string bytes(3 * HashBehind::kBlockSize, 'x');
  try {
    hasher.Put(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    hasher.Finish();
    FAIL() << "Finish did not throw";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "sink refused");
  }
}

}  // namespace
