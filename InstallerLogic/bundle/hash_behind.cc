#include "bundle/hash_behind.h"

#include <cstring>
#include <exception>
#include <stdexcept>
#include <system_error>

namespace bundle {
namespace {
// 4 MiB in flight. The caller, once every block is taken, waits until half are free again, and
// each side wakes the other only when it sleeps: under Wine every wait and wake-up is a request
// to the Wine server, which cost more than hashing a block when they came for each one.
constexpr size_t kBlocks = 16;
}  // namespace

HashBehind::HashBehind(CryptoPP::BufferedTransformation& sink) : sink_(sink) {
  if (std::thread::hardware_concurrency() < 2) return;
  blocks_.resize(kBlocks);
  for (size_t i = 0; i < kBlocks; ++i) {
    blocks_[i].bytes = std::make_unique_for_overwrite<uint8_t[]>(kBlockSize);
    if (i > 0) free_.push_back(i);  // block 0 is the first one filled
  }
  try {
    thread_ = std::thread(&HashBehind::Run, this);
    threaded_ = true;
  } catch (const std::system_error&) {
    blocks_.clear();
    free_.clear();
  }
}

HashBehind::~HashBehind() {
  if (!threaded_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    ready_.clear();
  }
  wake_.notify_one();
  thread_.join();
}

void HashBehind::Put(const uint8_t* data, size_t n) {
  if (!threaded_) {
    sink_.Put(data, n);
    return;
  }
  while (n > 0) {
    if (blocks_[current_].size == kBlockSize) Submit();
    Block& target = blocks_[current_];
    size_t take = std::min(n, kBlockSize - target.size);
    std::memcpy(target.bytes.get() + target.size, data, take);
    target.size += take;
    data += take;
    n -= take;
  }
}

uint8_t* HashBehind::Space(size_t n) {
  if (!threaded_) {
    if (inlineSpace_.size() < n) inlineSpace_.resize(n);
    return inlineSpace_.data();
  }
  if (n > kBlockSize) throw std::length_error("hash block too small");
  if (kBlockSize - blocks_[current_].size < n) Submit();
  Block& block = blocks_[current_];
  return block.bytes.get() + block.size;
}

void HashBehind::Commit(size_t filled) {
  if (!threaded_) {
    sink_.Put(inlineSpace_.data(), filled);
    return;
  }
  blocks_[current_].size += filled;
}

void HashBehind::Submit() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (blocks_[current_].size > 0) {
    ready_.push_back(current_);
    if (threadSleeps_) wake_.notify_one();
    if (free_.empty()) {
      callerWaits_ = true;
      progress_.wait(lock, [this] { return free_.size() >= kBlocks / 2; });
      callerWaits_ = false;
    }
    current_ = free_.front();
    free_.pop_front();
    blocks_[current_].size = 0;
  }
}

void HashBehind::Finish() {
  if (!threaded_) return;
  Submit();
  std::unique_lock<std::mutex> lock(mutex_);
  callerWaits_ = true;
  progress_.wait(lock, [this] { return ready_.empty() && !busy_; });
  callerWaits_ = false;
  if (failed_) {
    failed_ = false;
    throw std::runtime_error(error_);
  }
}

void HashBehind::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (!stop_ && ready_.empty()) {
      threadSleeps_ = true;
      wake_.wait(lock, [this] { return stop_ || !ready_.empty(); });
      threadSleeps_ = false;
    }
    if (stop_) return;
    const size_t index = ready_.front();
    ready_.pop_front();
    busy_ = true;
    const bool skip = failed_;
    lock.unlock();
    std::string error;
    bool ok = true;
    if (!skip) {
      try {
        sink_.Put(blocks_[index].bytes.get(), blocks_[index].size);
      } catch (const std::exception& e) {
        ok = false;
        error = e.what();
      } catch (...) {
        ok = false;
        error = "unknown error while hashing";
      }
    }
    lock.lock();
    busy_ = false;
    if (!ok) {
      failed_ = true;
      error_ = error;
    }
    free_.push_back(index);
    if (callerWaits_ && (free_.size() >= kBlocks / 2 || ready_.empty())) progress_.notify_one();
  }
}

}  // namespace bundle
