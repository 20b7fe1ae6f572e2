// WriteBundle: the entry stream cut into jobs that are compressed on several threads and written
// in order by the calling thread.
//
// A job is a run of consecutive stream items (an entry's header, or one chunk) holding at most
// kJobBudget plain bytes, or one chunk when chunks are larger; many small files share a job, so
// that handing work over costs little beside compressing it. A worker produces the job's plain
// stream bytes (headers and chunk records) in one buffer; the calling thread scrambles, signs and
// writes the buffers in job order. A thread reads each chunk whole and deflates it at once, so
// a job in flight costs its largest chunk plus its compressed size. At most `threads + 1` jobs
// are taken and not yet written.
//
// Each chunk is a zlib stream of its own made by ChunkDeflater, whose output depends only on the
// chunk and the level: the bytes equal BundleWriter::AddFile's whatever the number of threads.
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "author/bundle_writer.h"
#include "author/chunk_deflater.h"
#include "os/file_ops.h"
#include "support/byte_reader.h"

namespace ztpack {
namespace {

using support::Errorf;

constexpr size_t kJobBudget = 1u << 20;
constexpr size_t kMaxItemsPerJob = 4096;

struct Item {
  size_t input = 0;
  bool header = false;
  uint32_t chunkCount = 0;  // header
  uint64_t offset = 0;      // chunk: where its plain bytes start in the content
  uint32_t length = 0;      // chunk: plain bytes
};

struct Job {
  size_t firstItem = 0, endItem = 0;
  uint64_t content = 0;   // plain content bytes
  uint64_t outBound = 0;  // the most stream bytes it can produce
};

struct Plan {
  std::vector<uint64_t> sizes;
  std::vector<Item> items;
  std::vector<Job> jobs;
  uint64_t total = 0;
  uint64_t cataloguedChunks = 0;  // in the first kMaxCatalogueEntries entries
};

support::Result<Plan> MakePlan(const std::vector<BundleInput>& entries, uint32_t chunkSize) {
  Plan plan;
  const size_t budget = std::min<size_t>(kJobBudget, chunkSize);
  Job job;
  auto add = [&](const Item& item, uint64_t content, uint64_t bound) {
    const size_t count = plan.items.size() - job.firstItem;
    if (count > 0 && (job.content + content > budget || count >= kMaxItemsPerJob)) {
      job.endItem = plan.items.size();
      plan.jobs.push_back(job);
      job = Job{};
      job.firstItem = plan.items.size();
    }
    plan.items.push_back(item);
    job.content += content;
    job.outBound += bound;
  };
  for (size_t i = 0; i < entries.size(); ++i) {
    const BundleInput& e = entries[i];
    if (e.name.empty() || e.name.size() > bundle::kMaxNameLength) {
      return Errorf("entry name \"%s\": %zu bytes, outside 1..%u", e.name.c_str(), e.name.size(),
                    bundle::kMaxNameLength);
    }
    uint64_t size;
    if (e.data) {
      size = e.data->size();
    } else {
      auto regular = fileops::RegularFileSize(e.path);
      if (!regular && regular.error() == fileops::kNotRegularFile) {
        return Errorf("entry \"%s\": %s is not a regular file", e.name.c_str(), e.path.c_str());
      }
      if (!regular) {
        return Errorf("entry \"%s\": cannot open %s: %s", e.name.c_str(), e.path.c_str(),
                      regular.error().c_str());
      }
      size = *regular;
    }
    const uint64_t chunks = ChunkCount(size, chunkSize);
    if (chunks > UINT32_MAX) return Errorf("entry \"%s\": too many chunks", e.name.c_str());
    if (i < bundle::kMaxCatalogueEntries) {
      plan.cataloguedChunks += chunks;
      if (plan.cataloguedChunks > bundle::kMaxCataloguedChunks) {
        return support::Error{ChunkLimitError(e.name, plan.cataloguedChunks, chunkSize).error()};
      }
    }
    plan.sizes.push_back(size);
    plan.total += size;
    Item header;
    header.input = i;
    header.header = true;
    header.chunkCount = static_cast<uint32_t>(chunks);
    add(header, 0, 8 + e.name.size());
    for (uint64_t at = 0; at < size; at += chunkSize) {
      Item chunk;
      chunk.input = i;
      chunk.offset = at;
      chunk.length = static_cast<uint32_t>(std::min<uint64_t>(chunkSize, size - at));
      add(chunk, chunk.length, 8 + ChunkDeflater::Bound(chunk.length));
    }
  }
  if (plan.items.size() > job.firstItem) {
    job.endItem = plan.items.size();
    plan.jobs.push_back(job);
  }
  return plan;
}

// One thread's compressor: a deflater and a buffer that holds the largest chunk read so far.
class ChunkCompressor {
 public:
  explicit ChunkCompressor(int level) : deflater_(level) {}

  // Appends the job's stream bytes to `out`, which has room reserved for the job's bound.
  support::Status Run(const std::vector<BundleInput>& entries, const Plan& plan, const Job& job,
                      std::vector<uint8_t>* out) {
    out->clear();
    out->reserve(job.outBound);
    for (size_t k = job.firstItem; k < job.endItem; ++k) {
      const Item& item = plan.items[k];
      const BundleInput& e = entries[item.input];
      if (item.header) {
        support::PutU32le(*out, static_cast<uint32_t>(e.name.size()));
        out->insert(out->end(), e.name.begin(), e.name.end());
        support::PutU32le(*out, item.chunkCount);
        continue;
      }
      if (auto s = Chunk(e, item, out); !s) return s;
    }
    return {};
  }

 private:
  support::Status Chunk(const BundleInput& e, const Item& item, std::vector<uint8_t>* out) {
    const uint8_t* plain;
    if (e.data) {
      plain = reinterpret_cast<const uint8_t*>(e.data->data()) + item.offset;
    } else {
      fileops::RawFile in = fileops::RawFile::Open(e.path, fileops::RawFile::Mode::kRead);
      if (input_.size() < item.length) input_.resize(item.length);
      const int64_t got =
          in.IsOpen() ? in.ReadFullyAt(item.offset, input_.data(), item.length) : -1;
      if (got < 0) {
        return Errorf("entry \"%s\": cannot read %s: %s", e.name.c_str(), e.path.c_str(),
                      fileops::LastErrorText().c_str());
      }
      if (got != item.length) {
        return Errorf("entry \"%s\": %s gave %lld of %u bytes at offset %llu (changed while read?)",
                      e.name.c_str(), e.path.c_str(), static_cast<long long>(got), item.length,
                      static_cast<unsigned long long>(item.offset));
      }
      plain = input_.data();
    }
    return deflater_.AppendRecord(plain, item.length, out);
  }

  ChunkDeflater deflater_;
  std::vector<uint8_t> input_;
};

// Jobs handed to worker threads, results taken in job order. Job j is taken only once job
// j - window has been written, so its slot (j % window) is free.
class JobQueue {
 public:
  JobQueue(const std::vector<BundleInput>& entries, const Plan& plan, int level, unsigned threads)
      : entries_(entries), plan_(plan), window_(threads + 1), slots_(window_) {
    for (unsigned t = 0; t < threads; ++t) workers_.emplace_back(&JobQueue::Work, this, level);
  }
  ~JobQueue() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    work_.notify_all();
    for (std::thread& t : workers_) t.join();
  }

  // Waits for job j's output; the caller hands the buffer back with Release(j, ...).
  support::Status Take(size_t j, std::vector<uint8_t>* out) {
    std::unique_lock<std::mutex> lock(mutex_);
    Slot& slot = slots_[j % window_];
    done_.wait(lock, [&] { return slot.ready; });
    *out = std::move(slot.bytes);
    slot.bytes = std::vector<uint8_t>();
    return slot.status;
  }
  void Release(size_t j, std::vector<uint8_t>* spent) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      Slot& slot = slots_[j % window_];
      slot.ready = false;
      slot.bytes = std::move(*spent);  // its memory serves the job that takes the slot next
      slot.bytes.clear();
      *spent = std::vector<uint8_t>();
      written_ = j + 1;
    }
    work_.notify_all();
  }

 private:
  struct Slot {
    bool ready = false;
    support::Status status;
    std::vector<uint8_t> bytes;
  };

  void Work(int level) {
    ChunkCompressor compressor(level);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      work_.wait(lock,
                 [&] { return stop_ || next_ >= plan_.jobs.size() || next_ < written_ + window_; });
      if (stop_ || next_ >= plan_.jobs.size()) return;
      const size_t j = next_++;
      std::vector<uint8_t> bytes;
      bytes.swap(slots_[j % window_].bytes);
      lock.unlock();
      support::Status status = compressor.Run(entries_, plan_, plan_.jobs[j], &bytes);
      lock.lock();
      Slot& slot = slots_[j % window_];
      slot.bytes.swap(bytes);
      slot.status = status;
      slot.ready = true;
      done_.notify_all();
    }
  }

  const std::vector<BundleInput>& entries_;
  const Plan& plan_;
  const size_t window_;
  std::mutex mutex_;
  std::condition_variable work_, done_;
  std::vector<Slot> slots_;
  size_t next_ = 0, written_ = 0;
  bool stop_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace

support::Status WriteBundle(const std::string& outPath, const std::vector<BundleInput>& entries,
                            const SigningKey& bundleKey, const std::string& publicKeyBlock,
                            const BundleOptions& options) {
  // The plan checks every entry first, so that a refused set of entries writes nothing.
  auto plan = MakePlan(entries, options.chunkSize);
  if (!plan) return support::Error{plan.error()};
  BundleWriter writer;
  writer.SetExpectedContent(plan->total);
  if (auto s = writer.Begin(outPath, bundleKey, publicKeyBlock, options); !s) return s;

  unsigned threads = options.threads;
  if (threads == 0) {
    // One per processor; with chunks of many MiB, few enough that the threads' chunks and the
    // jobs waiting to be written stay within (processors + 2) chunks and 56 MiB.
    threads = std::min<unsigned>(std::thread::hardware_concurrency(),
                                 1 + static_cast<unsigned>((56u << 20) / options.chunkSize));
  }
  threads = std::max(1u, threads);
  uint64_t done = 0;
  std::vector<uint8_t> bytes;
  auto write = [&](const Job& job) -> support::Status {
    if (auto s = writer.WriteStreamBytesInPlace(bytes.data(), bytes.size()); !s) return s;
    done += job.content;
    if (options.progress) options.progress(done, plan->total);
    return {};
  };
  if (threads == 1) {
    ChunkCompressor compressor(options.compressionLevel);
    for (const Job& job : plan->jobs) {
      if (auto s = compressor.Run(entries, *plan, job, &bytes); !s) return s;
      if (auto s = write(job); !s) return s;
    }
  } else {
    JobQueue queue(entries, *plan, options.compressionLevel, threads);
    for (size_t j = 0; j < plan->jobs.size(); ++j) {
      if (auto s = queue.Take(j, &bytes); !s) return s;
      if (auto s = write(plan->jobs[j]); !s) return s;
      queue.Release(j, &bytes);
    }
  }
  return writer.Finish();
}

}  // namespace ztpack
