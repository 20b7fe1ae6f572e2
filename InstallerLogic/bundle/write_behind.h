// Creates and writes files on a second thread while the caller inflates what comes next, so
// that extraction costs about the inflation alone instead of inflation plus the file system's
// work. The thread can also inflate a whole chunk itself and write it, so that two chunks of
// one file are inflated at once. Jobs run in the order submitted; the caller keeps each job's
// bytes, the paths and the File objects unchanged and untouched until the job is done (its
// ticket, or Wait()). If the thread cannot be started, jobs run at once on the caller's thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "bundle/piece_inflater.h"
#include "platform/platform.h"
#include "support/workspace.h"

namespace bundle {

class WriteBehind {
 public:
  // Names a job: it is done (run, or dropped after a failure) once Done(ticket) is true.
  using Ticket = uint64_t;

  WriteBehind() = default;
  ~WriteBehind();
  WriteBehind(const WriteBehind&) = delete;
  WriteBehind& operator=(const WriteBehind&) = delete;

  // Queues the creation (or truncation) of the file at `path` into `*file`; if it cannot be
  // opened, `*file` stays closed and the jobs after it fail. With `parents`, the missing parent
  // directories are made first.
  Ticket SubmitOpen(platform::File* file, const std::u16string* path,
                    support::ParentDirectories* parents = nullptr);
  // Queues closing `*file`.
  Ticket SubmitClose(platform::File* file);
  // Queues a whole small file in one job: parents made (with `parents`), `*file` created, the
  // `n` bytes at `data` written, the file closed. A file that was created but not written stays
  // open, so that the caller can tell that it exists.
  Ticket SubmitFile(platform::File* file, const std::u16string* path,
                    support::ParentDirectories* parents, const uint8_t* data, size_t n);
  // Queues `n` bytes at `data` for `file`, after the jobs queued before. Once a job has failed,
  // later ones are dropped until Wait().
  Ticket Submit(platform::File* file, const uint8_t* data, size_t n);
  // Queues the inflation of the zlib stream in the `stored` bytes at `in` (at most `limit`
  // bytes out, accepted as PieceInflater accepts it) and the writing of what it gives to `file`.
  Ticket SubmitInflate(platform::File* file, const uint8_t* in, size_t stored, size_t limit);
  // True once the job is done; the caller may then reuse what it handed over.
  bool Done(Ticket ticket);
  // The number of jobs queued or running.
  size_t Backlog();
  // Waits until the job is done.
  void WaitFor(Ticket ticket);
  // Waits until every queued job is done. True when all of them succeeded since the previous
  // Wait(); the failure is then forgotten.
  bool Wait();
  // The same, giving the first job that failed (0: none).
  Ticket Drain();
  // True once a job since the previous Wait() failed (the caller may stop producing early).
  bool Failed();

 private:
  enum class Kind { kOpen, kWrite, kInflate, kClose, kFile };
  struct Job {
    Kind kind;
    platform::File* file;
    const uint8_t* data;
    size_t size;
    size_t limit;                // kInflate: the most bytes the stream may inflate to
    const std::u16string* path;  // kOpen, kFile
    support::ParentDirectories* parents = nullptr;  // kOpen, kFile
  };
  bool Perform(const Job& job);
  Ticket Queue(const Job& job);
  // Counts one more job done, and wakes the caller if it waits for that many.
  void Completed();
  void Run();
  bool Start();

  // The two threads meet only where one must wait for the other: the caller reads progress
  // without the lock, the thread is woken only when it waits for work, and the caller only when
  // it waits for the job just done. Under Wine every wake-up is a round trip to the server.
  std::mutex mutex_;
  std::condition_variable wake_;  // the thread: a job was queued, or stop
  std::condition_variable done_;  // the caller: the job it waits for is done
  std::deque<Job> queue_;
  Ticket submitted_ = 0;  // tickets are handed out in order: 1, 2, ... (the caller's thread only)
  std::atomic<Ticket> completed_{0};  // every job up to this one is done
  std::atomic<Ticket> awaited_{0};    // the ticket the caller waits for; 0: it does not wait
  std::atomic<bool> failed_{false};
  Ticket firstFailed_ = 0;
  bool idle_ = false;  // the thread waits for work
  bool stop_ = false;
  bool started_ = false;
  bool inline_ = false;  // the thread could not be started: jobs run on the caller's thread
  std::thread thread_;
  // Used only by whichever thread performs the jobs.
  PieceInflater inflater_;
  std::unique_ptr<uint8_t[]> chunkOutput_;  // the output of a chunk to inflate
  size_t chunkOutputSize_ = 0;
};

}  // namespace bundle
