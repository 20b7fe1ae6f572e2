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
//
// Every file is opened once (OpenInputs), by whichever thread first needs one of its chunks, and
// closed when its last chunk has been read: all of its bytes come from that one descriptor, and
// the checks (the file listed, not a link, none of the release's key files) are made on it. A
// worker keeps the plain bytes of its job beside the stream bytes, so that the calling thread,
// which takes the jobs in order, feeds each entry's bytes in order to the private-key scanner:
// the bytes checked are the bytes packed, read once.
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "author/bundle_writer.h"
#include "author/chunk_deflater.h"
#include "author/keys.h"
#include "author/private_key_scan.h"
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

// Each file entry's one open descriptor, opened on first use and checked then, closed once all
// of its chunks have been read.
class OpenInputs {
 public:
  OpenInputs(const std::vector<BundleInput>& entries, const Plan& plan,
             const BundleOptions& options)
      : entries_(entries),
        plan_(plan),
        options_(options),
        files_(entries.size()),
        chunksLeft_(entries.size(), 0) {
    for (const Item& item : plan.items) {
      if (!item.header) ++chunksLeft_[item.input];
    }
  }

  // The open file of entry `input`, opened and checked when it is first asked for.
  support::Result<std::shared_ptr<fileops::RawFile>> Acquire(size_t input) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (files_[input]) return files_[input];
    auto opened = Open(input);
    if (!opened) return opened.takeError();
    files_[input] = std::move(*opened);
    return files_[input];
  }
  // One chunk of entry `input` read: the last one closes it (once every holder lets go).
  void Done(size_t input) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--chunksLeft_[input] == 0) files_[input].reset();
  }

 private:
  support::Result<std::shared_ptr<fileops::RawFile>> Open(size_t input) {
    const BundleInput& e = entries_[input];
    const bool checked = e.identity.has_value();
    auto file = std::make_shared<fileops::RawFile>(fileops::RawFile::Open(
        e.path, checked ? fileops::RawFile::Mode::kReadNoFollow : fileops::RawFile::Mode::kRead));
    if (!file->IsOpen()) {
      return Errorf("entry \"%s\": cannot open %s: %s", e.name.c_str(), e.path.c_str(),
                    fileops::LastErrorText().c_str());
    }
    auto size = file->RegularSize();
    if (!size) {
      return Errorf("entry \"%s\": %s is not a regular file (%s)", e.name.c_str(), e.path.c_str(),
                    size.error().c_str());
    }
    if (!checked) return file;
    auto identity = file->Identity();
    if (!identity) {
      return Errorf("entry \"%s\": %s: %s", e.name.c_str(), e.path.c_str(),
                    identity.error().c_str());
    }
    // The release's own key files, also under another name (a hard link).
    for (const NeverPacked& never : options_.neverPacked) {
      if (never.identity == *identity) {
        return Errorf("entry \"%s\": %s is %s: it is never packed", e.name.c_str(), e.path.c_str(),
                      never.what.c_str());
      }
    }
    if (!(*identity == *e.identity)) {
      return Errorf("entry \"%s\": %s is no longer the file listed (replaced since); not packed",
                    e.name.c_str(), e.path.c_str());
    }
    if (*size != plan_.sizes[input]) {
      return Errorf("entry \"%s\": %s changed size since it was listed (%llu bytes, now %llu)",
                    e.name.c_str(), e.path.c_str(),
                    static_cast<unsigned long long>(plan_.sizes[input]),
                    static_cast<unsigned long long>(*size));
    }
    return file;
  }

  const std::vector<BundleInput>& entries_;
  const Plan& plan_;
  const BundleOptions& options_;
  std::mutex mutex_;
  std::vector<std::shared_ptr<fileops::RawFile>> files_;
  std::vector<uint64_t> chunksLeft_;
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
        return ChunkLimitError(e.name, plan.cataloguedChunks, chunkSize).takeError();
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

// One thread's compressor. The job's plain content is read into `plain` (the chunks one after
// the other), where the calling thread finds it for the private-key scan.
class ChunkCompressor {
 public:
  ChunkCompressor(int level, OpenInputs* inputs) : deflater_(level), inputs_(inputs) {}

  // Appends the job's stream bytes to `out`, which has room reserved for the job's bound, and
  // its plain file content to `plain` (when not null).
  support::Status Run(const std::vector<BundleInput>& entries, const Plan& plan, const Job& job,
                      std::vector<uint8_t>* out, std::vector<uint8_t>* plain) {
    out->clear();
    out->reserve(job.outBound);
    if (plain != nullptr) {
      plain->clear();
      plain->reserve(job.content);
    }
    for (size_t k = job.firstItem; k < job.endItem; ++k) {
      const Item& item = plan.items[k];
      const BundleInput& e = entries[item.input];
      if (item.header) {
        support::PutU32le(*out, static_cast<uint32_t>(e.name.size()));
        out->insert(out->end(), e.name.begin(), e.name.end());
        support::PutU32le(*out, item.chunkCount);
        continue;
      }
      if (auto s = Chunk(e, item, out, plain); !s) return s;
    }
    return {};
  }

 private:
  support::Status Chunk(const BundleInput& e, const Item& item, std::vector<uint8_t>* out,
                        std::vector<uint8_t>* plain) {
    if (e.data) {
      const uint8_t* bytes = reinterpret_cast<const uint8_t*>(e.data->data()) + item.offset;
      if (plain != nullptr) plain->insert(plain->end(), bytes, bytes + item.length);
      return deflater_.AppendRecord(bytes, item.length, out);
    }
    uint8_t* into;
    if (plain != nullptr) {
      const size_t at = plain->size();
      plain->resize(at + item.length);
      into = plain->data() + at;
    } else {
      if (input_.size() < item.length) input_.resize(item.length);
      into = input_.data();
    }
    auto file = inputs_->Acquire(item.input);
    if (!file) return file.takeError();
    const int64_t got = (*file)->ReadFullyAt(item.offset, into, item.length);
    const std::string why = got < 0 ? fileops::LastErrorText() : std::string();
    file->reset();
    inputs_->Done(item.input);
    if (got < 0) {
      return Errorf("entry \"%s\": cannot read %s: %s", e.name.c_str(), e.path.c_str(),
                    why.c_str());
    }
    if (got != item.length) {
      return Errorf("entry \"%s\": %s gave %lld of %u bytes at offset %llu (changed while read?)",
                    e.name.c_str(), e.path.c_str(), static_cast<long long>(got), item.length,
                    static_cast<unsigned long long>(item.offset));
    }
    return deflater_.AppendRecord(into, item.length, out);
  }

  ChunkDeflater deflater_;
  OpenInputs* inputs_;
  std::vector<uint8_t> input_;
};

// The private-key check of each entry, fed on the calling thread in stream order.
class EntryScanner {
 public:
  EntryScanner(const std::vector<BundleInput>& entries, const Plan& plan,
               std::vector<std::string>* allowedLines)
      : entries_(entries), plan_(plan), allowedLines_(allowedLines) {}

  // The job's items, with `plain` the job's plain content as ChunkCompressor::Run left it.
  support::Status Feed(const Job& job, const std::vector<uint8_t>& plain) {
    size_t at = 0;
    for (size_t k = job.firstItem; k < job.endItem; ++k) {
      const Item& item = plan_.items[k];
      if (item.header) {
        if (auto s = EndEntry(); !s) return s;
        current_ = item.input;
        scanner_ = PrivateKeyScanner();
        open_ = true;
        continue;
      }
      scanner_.Feed(
          std::string_view(reinterpret_cast<const char*>(plain.data()) + at, item.length));
      at += item.length;
    }
    return {};
  }
  support::Status EndEntry() {
    if (!open_) return {};
    open_ = false;
    const std::string found = scanner_.Finish();
    const BundleInput& e = entries_[current_];
    if (e.mayHoldPrivateKey) {
      if (allowedLines_) allowedLines_->push_back(DescribeAllowedPrivateKey(e.name, found));
      return {};
    }
    if (found.empty()) return {};
    return Errorf(
        "entry \"%s\": %s holds a private key (%s): it is packed only when its entry is named to "
        "ship on purpose ([payload] allow_private_keys, bundle --allow-private-key)",
        e.name.c_str(), e.data ? "its content" : e.path.c_str(), found.c_str());
  }

 private:
  const std::vector<BundleInput>& entries_;
  const Plan& plan_;
  std::vector<std::string>* allowedLines_;
  PrivateKeyScanner scanner_;
  size_t current_ = 0;
  bool open_ = false;
};

// Jobs handed to worker threads, results taken in job order. Job j is taken only once job
// j - window has been written, so its slot (j % window) is free.
class JobQueue {
 public:
  JobQueue(const std::vector<BundleInput>& entries, const Plan& plan, int level, unsigned threads,
           OpenInputs* inputs, bool keepPlain)
      : entries_(entries),
        plan_(plan),
        window_(threads + 1),
        slots_(window_),
        inputs_(inputs),
        keepPlain_(keepPlain) {
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
  support::Status Take(size_t j, std::vector<uint8_t>* out, std::vector<uint8_t>* plain) {
    std::unique_lock<std::mutex> lock(mutex_);
    Slot& slot = slots_[j % window_];
    done_.wait(lock, [&] { return slot.ready; });
    *out = std::move(slot.bytes);
    slot.bytes = std::vector<uint8_t>();
    *plain = std::move(slot.plain);
    slot.plain = std::vector<uint8_t>();
    return slot.status;
  }
  void Release(size_t j, std::vector<uint8_t>* spent, std::vector<uint8_t>* spentPlain) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      Slot& slot = slots_[j % window_];
      slot.ready = false;
      slot.bytes = std::move(*spent);  // its memory serves the job that takes the slot next
      slot.bytes.clear();
      slot.plain = std::move(*spentPlain);
      slot.plain.clear();
      *spent = std::vector<uint8_t>();
      *spentPlain = std::vector<uint8_t>();
      written_ = j + 1;
    }
    work_.notify_all();
  }

 private:
  struct Slot {
    bool ready = false;
    support::Status status;
    std::vector<uint8_t> bytes, plain;
  };

  void Work(int level) {
    ChunkCompressor compressor(level, inputs_);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      work_.wait(lock,
                 [&] { return stop_ || next_ >= plan_.jobs.size() || next_ < written_ + window_; });
      if (stop_ || next_ >= plan_.jobs.size()) return;
      const size_t j = next_++;
      std::vector<uint8_t> bytes, plain;
      bytes.swap(slots_[j % window_].bytes);
      plain.swap(slots_[j % window_].plain);
      lock.unlock();
      support::Status status =
          compressor.Run(entries_, plan_, plan_.jobs[j], &bytes, keepPlain_ ? &plain : nullptr);
      lock.lock();
      Slot& slot = slots_[j % window_];
      slot.bytes.swap(bytes);
      slot.plain.swap(plain);
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
  OpenInputs* inputs_;
  const bool keepPlain_;
  std::vector<std::thread> workers_;
};

}  // namespace

support::Status WriteBundle(const std::string& outPath, const std::vector<BundleInput>& entries,
                            const SigningKey& bundleKey, const std::string& publicKeyBlock,
                            const BundleOptions& options) {
  // The plan checks every entry first, so that a refused set of entries writes nothing.
  auto plan = MakePlan(entries, options.chunkSize);
  if (!plan) return plan.takeError();
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
  OpenInputs inputs(entries, *plan, options);
  EntryScanner scanner(entries, *plan, options.allowedKeyLines);
  const bool scan = options.checkPrivateKeys;
  uint64_t done = 0;
  std::vector<uint8_t> bytes, plain;
  auto write = [&](const Job& job) -> support::Status {
    // Checked before its bytes are written: an entry found to hold a key stops the bundle here.
    if (scan) {
      if (auto s = scanner.Feed(job, plain); !s) return s;
    }
    if (auto s = writer.WriteStreamBytesInPlace(bytes.data(), bytes.size()); !s) return s;
    done += job.content;
    if (options.progress) options.progress(done, plan->total);
    return {};
  };
  if (threads == 1) {
    ChunkCompressor compressor(options.compressionLevel, &inputs);
    for (const Job& job : plan->jobs) {
      if (auto s = compressor.Run(entries, *plan, job, &bytes, scan ? &plain : nullptr); !s)
        return s;
      if (auto s = write(job); !s) return s;
    }
  } else {
    JobQueue queue(entries, *plan, options.compressionLevel, threads, &inputs, scan);
    for (size_t j = 0; j < plan->jobs.size(); ++j) {
      if (auto s = queue.Take(j, &bytes, &plain); !s) return s;
      if (auto s = write(plan->jobs[j]); !s) return s;
      queue.Release(j, &bytes, &plain);
    }
  }
  if (scan) {
    if (auto s = scanner.EndEntry(); !s) return s;
  }
  return writer.Finish();
}

}  // namespace ztpack
