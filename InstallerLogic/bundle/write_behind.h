// Creates and writes files on a second thread while the caller inflates what comes next, so
// that extraction costs about the inflation alone instead of inflation plus the file system's
// work. Jobs run in the order submitted; the caller keeps each piece's bytes, the paths and the
// File objects unchanged and untouched until Wait() has returned. If the thread cannot be
// started, jobs run at once on the caller's thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace bundle {

class WriteBehind {
 public:
  WriteBehind() = default;
  ~WriteBehind();
  WriteBehind(const WriteBehind&) = delete;
  WriteBehind& operator=(const WriteBehind&) = delete;

  // Queues the creation (or truncation) of the file at `path` into `*file`; if it cannot be
  // opened, `*file` stays closed and the jobs after it fail.
  void SubmitOpen(platform::File* file, const std::u16string* path);
  // Queues `n` bytes at `data` for `file`, after the jobs queued before. Once a job has failed,
  // later ones are dropped until Wait().
  void Submit(platform::File* file, const uint8_t* data, size_t n);
  // Waits until every queued piece is written. True when all of them were written in full since
  // the previous Wait(); the failure is then forgotten.
  bool Wait();
  // True once a piece since the previous Wait() failed (the caller may stop producing early).
  bool Failed();

 private:
  struct Piece {
    platform::File* file;
    const uint8_t* data;
    size_t size;
    const std::u16string* path;  // set for an open
  };
  static bool Perform(const Piece& piece);
  void Queue(const Piece& piece);
  void Run();
  bool Start();

  std::mutex mutex_;
  std::condition_variable wake_;  // the thread: a piece was queued, or stop
  std::condition_variable idle_;  // the caller: the queue ran empty
  std::deque<Piece> queue_;
  bool busy_ = false;   // the thread is writing a piece it took off the queue
  bool failed_ = false;
  bool stop_ = false;
  bool started_ = false;
  bool inline_ = false;  // the thread could not be started: write on the caller's thread
  std::thread thread_;
};

}  // namespace bundle
