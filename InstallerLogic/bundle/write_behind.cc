#include "bundle/write_behind.h"

#include <algorithm>
#include <system_error>

namespace bundle {

bool WriteBehind::Perform(const Job& job) {
  switch (job.kind) {
    case Kind::kOpen:
      if (job.parents != nullptr) job.parents->MakeFor(*job.path);
      *job.file = platform::File::Open(*job.path, platform::OpenMode::kWrite);
      return job.file->IsOpen();
    case Kind::kClose: job.file->Close(); return true;
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
      return job.size == 0 || job.file->Write(job.data, job.size) == static_cast<int64_t>(job.size);
    case Kind::kInflate:
      // Room for the whole chunk, so that it is inflated at once; kept for the next one.
      if (const size_t need = std::max<size_t>(job.limit, 1); chunkOutputSize_ < need) {
        chunkOutput_.reset();
        chunkOutput_ = std::make_unique_for_overwrite<uint8_t[]>(need);
        chunkOutputSize_ = need;
      }
      return inflater_.Inflate(job.data, job.size, job.limit, chunkOutput_.get(), chunkOutputSize_,
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
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ticket = ++submitted_;
    if (failed_) {
      completed_ = ticket;  // dropped: done at once
      return ticket;
    }
    queue_.push_back(job);
    wake = idle_;
  }
  if (wake) wake_.notify_one();
  return ticket;
}

bool WriteBehind::Done(Ticket ticket) { return completed_.load() >= ticket; }

size_t WriteBehind::Backlog() { return static_cast<size_t>(submitted_ - completed_.load()); }

void WriteBehind::WaitFor(Ticket ticket) {
  if (completed_.load() >= ticket) return;
  std::unique_lock<std::mutex> lock(mutex_);
  // Said before `completed_` is read again, so that the thread, counting the job after that
  // read, sees that it must wake this one (and takes the lock first, so not before the wait).
  awaited_ = ticket;
  done_.wait(lock, [this, ticket] { return completed_.load() >= ticket; });
  awaited_ = 0;
}

bool WriteBehind::Wait() { return Drain() == 0; }

WriteBehind::Ticket WriteBehind::Drain() {
  WaitFor(submitted_);
  std::lock_guard<std::mutex> lock(mutex_);
  Ticket first = failed_ ? firstFailed_ : 0;
  failed_ = false;
  firstFailed_ = 0;
  return first;
}

bool WriteBehind::Failed() { return failed_.load(); }

void WriteBehind::Completed() {
  const Ticket now = ++completed_;
  const Ticket awaited = awaited_.load();
  if (awaited != 0 && awaited <= now) {
    { std::lock_guard<std::mutex> lock(mutex_); }
    done_.notify_all();
  }
}

void WriteBehind::Run() {
  std::deque<Job> batch;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    idle_ = true;
    wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    idle_ = false;
    if (queue_.empty()) return;  // stop, nothing left
    // Everything queued so far is taken at once: one lock for many small files.
    batch.swap(queue_);
    lock.unlock();
    bool ok = true;
    while (ok && !batch.empty()) {
      ok = Perform(batch.front());
      batch.pop_front();
      if (ok) Completed();
    }
    lock.lock();
    if (!ok) {
      // The failed job and the jobs behind it are dropped, and so are done.
      firstFailed_ = completed_ + 1;
      failed_ = true;
      completed_ += 1 + batch.size() + queue_.size();
      batch.clear();
      queue_.clear();
      done_.notify_all();
    }
  }
}

}  // namespace bundle
