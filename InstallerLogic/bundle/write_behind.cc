#include "bundle/write_behind.h"

#include <system_error>

namespace bundle {
bool WriteBehind::Perform(const Piece& piece) {
  if (piece.path != nullptr) {
    *piece.file = platform::File::Open(*piece.path, platform::OpenMode::kWrite);
    return piece.file->IsOpen();
  }
  return piece.size == 0 || piece.file->Write(piece.data, piece.size) ==
                                static_cast<int64_t>(piece.size);
}

WriteBehind::~WriteBehind() {
  if (!started_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

bool WriteBehind::Start() {
  if (started_) return true;
  if (inline_) return false;
  try {
    thread_ = std::thread(&WriteBehind::Run, this);
    started_ = true;
  } catch (const std::system_error&) {
    inline_ = true;
  }
  return started_;
}

void WriteBehind::SubmitOpen(platform::File* file, const std::u16string* path) {
  Queue({file, nullptr, 0, path});
}

void WriteBehind::Submit(platform::File* file, const uint8_t* data, size_t n) {
  Queue({file, data, n, nullptr});
}

void WriteBehind::Queue(const Piece& piece) {
  if (!Start()) {
    if (!failed_ && !Perform(piece)) failed_ = true;
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_) return;
    queue_.push_back(piece);
  }
  wake_.notify_one();
}

bool WriteBehind::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [this] { return queue_.empty() && !busy_; });
  bool ok = !failed_;
  failed_ = false;
  return ok;
}

bool WriteBehind::Failed() {
  std::lock_guard<std::mutex> lock(mutex_);
  return failed_;
}

void WriteBehind::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stop, nothing left
    Piece piece = queue_.front();
    queue_.pop_front();
    busy_ = true;
    const bool skip = failed_;
    lock.unlock();
    const bool ok = skip || Perform(piece);
    lock.lock();
    busy_ = false;
    if (!ok) {
      failed_ = true;
      queue_.clear();
    }
    if (queue_.empty()) idle_.notify_all();
  }
}

}  // namespace bundle
