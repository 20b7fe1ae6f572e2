// Hands the bytes of a bundle to its signature check on a second thread while the caller walks
// on, so that validation costs about the hashing alone instead of hashing plus reading and
// following the key streams. Bytes reach the sink in the order given. If the thread cannot be
// started, or there is no second processor, bytes go to the sink at once on the caller's thread.
#pragma once

#include <cryptopp/cryptlib.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bundle {

class HashBehind {
 public:
  static constexpr size_t kBlockSize = 256 * 1024;

  explicit HashBehind(CryptoPP::BufferedTransformation& sink);
  ~HashBehind();
  HashBehind(const HashBehind&) = delete;
  HashBehind& operator=(const HashBehind&) = delete;

  // Copies `n` bytes for the sink.
  void Put(const uint8_t* data, size_t n);
  // Room for `n` (at most kBlockSize) bytes that the caller fills and then passes on with
  // Commit(filled), before any other call. The room stays valid until then.
  uint8_t* Space(size_t n);
  void Commit(size_t filled);
  // Waits until every byte has reached the sink; then the sink may be used directly again.
  // Throws what the sink threw (as std::runtime_error with its message).
  void Finish();

 private:
  struct Block {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0;
  };
  void Submit();  // hands the current block over and takes a free one
  void Run();

  CryptoPP::BufferedTransformation& sink_;
  bool threaded_ = false;
  std::vector<Block> blocks_;
  size_t current_ = 0;        // the block being filled
  std::deque<size_t> ready_;  // filled blocks, oldest first
  std::deque<size_t> free_;
  bool busy_ = false;
  bool stop_ = false;
  bool threadSleeps_ = false;  // the thread waits on wake_
  bool callerWaits_ = false;   // the caller waits on progress_
  std::string error_;
  bool failed_ = false;
  std::mutex mutex_;
  std::condition_variable wake_;      // the thread: a block is ready, or stop
  std::condition_variable progress_;  // the caller: a block was consumed
  std::vector<uint8_t> inlineSpace_;
  std::thread thread_;
};

}  // namespace bundle
