#include "bundle/write_behind.h"

#include <system_error>

namespace bundle {

bool WriteBehind::Perform(const Job& job) {
  switch (job.kind) {
    case Kind::kOpen:
      if (job.parents != nullptr) job.parents->MakeFor(*job.path);
      *job.file = platform::File::Open(*job.path, platform::OpenMode::kWrite);
      return job.file->IsOpen();
    case Kind::kClose:
      job.file->Close();
      return true;
    case Kind::kFile:
      if (job.parents != nullptr) job.parents->MakeFor(*job.path);
      *job.file = platform::File::Open(*job.path, platform::OpenMode::kWrite);
      if (!job.file->IsOpen()) return false;
      if (job.size != 0 && job.file->Write(job.data, job.size) != static_cast<int64_t>(job.size)) {
        return false;
      }
      job.file->Close();
      return true;
    case Kind::kWrite:
      return job.size == 0 ||
             job.file->Write(job.data, job.size) == static_cast<int64_t>(job.size);
    case Kind::kInflate:
      if (!piece_) piece_ = std::make_unique_for_overwrite<uint8_t[]>(PieceInflater::kPiece);
      return inflater_.Inflate(job.data, job.size, job.limit, piece_.get(), PieceInflater::kPiece,
                               [&job](const uint8_t* piece, size_t n) {
                                 return job.file->Write(piece, n) == static_cast<int64_t>(n);
                               });
  }
  return false;
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

WriteBehind::Ticket WriteBehind::SubmitOpen(platform::File* file, const std::u16string* path,
                                            support::ParentDirectories* parents) {
  return Queue({Kind::kOpen, file, nullptr, 0, 0, path, parents});
}

WriteBehind::Ticket WriteBehind::SubmitClose(platform::File* file) {
  return Queue({Kind::kClose, file, nullptr, 0, 0, nullptr});
}

WriteBehind::Ticket WriteBehind::SubmitFile(platform::File* file, const std::u16string* path,
                                            support::ParentDirectories* parents,
                                            const uint8_t* data, size_t n) {
  return Queue({Kind::kFile, file, data, n, 0, path, parents});
}

WriteBehind::Ticket WriteBehind::Submit(platform::File* file, const uint8_t* data, size_t n) {
  return Queue({Kind::kWrite, file, data, n, 0, nullptr});
}

WriteBehind::Ticket WriteBehind::SubmitInflate(platform::File* file, const uint8_t* in,
                                               size_t stored, size_t limit) {
  return Queue({Kind::kInflate, file, in, stored, limit, nullptr});
}

WriteBehind::Ticket WriteBehind::Queue(const Job& job) {
  if (!Start()) {
    completed_ = ++submitted_;
    if (!failed_ && !Perform(job)) {
      failed_ = true;
      firstFailed_ = submitted_;
    }
    return submitted_;
  }
  Ticket ticket;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ticket = ++submitted_;
    if (failed_) {
      completed_ = ticket;  // dropped: done at once
      return ticket;
    }
    queue_.push_back(job);
  }
  wake_.notify_one();
  return ticket;
}

bool WriteBehind::Done(Ticket ticket) {
  std::lock_guard<std::mutex> lock(mutex_);
  return completed_ >= ticket;
}

size_t WriteBehind::Backlog() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<size_t>(submitted_ - completed_);
}

void WriteBehind::WaitFor(Ticket ticket) {
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this, ticket] { return completed_ >= ticket; });
}

bool WriteBehind::Wait() { return Drain() == 0; }

WriteBehind::Ticket WriteBehind::Drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return completed_ == submitted_; });
  Ticket first = failed_ ? firstFailed_ : 0;
  failed_ = false;
  firstFailed_ = 0;
  return first;
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
    Job job = queue_.front();
    queue_.pop_front();
    lock.unlock();
    const bool ok = Perform(job);
    lock.lock();
    ++completed_;
    if (!ok) {
      // The jobs behind a failure are dropped, and so are done.
      failed_ = true;
      firstFailed_ = completed_;
      completed_ += queue_.size();
      queue_.clear();
    }
    done_.notify_all();
  }
}

}  // namespace bundle
