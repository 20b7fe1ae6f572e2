#include "bundle/bundle_reader.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "bundle/bundle_reader_impl.h"
#include "bundle/entry_walk.h"
#include "script_line.h"
#include "support/byte_reader.h"
#include "support/trace.h"
#include "verify/key_place.h"

namespace bundle {
namespace {

// The path for the "%ls" trace conversion, in the C runtime's wide characters.
std::wstring TraceablePath(const std::u16string& path) {
  std::wstring out;
  for (size_t i = 0; i < path.size(); ++i) {
    char32_t c = path[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < path.size() && path[i + 1] >= 0xDC00 &&
        path[i + 1] < 0xE000 && sizeof(wchar_t) >= 4) {
      c = 0x10000 + ((c - 0xD800) << 10) + (path[i + 1] - 0xDC00);
      ++i;
    }
    out.push_back(static_cast<wchar_t>(c));
  }
  return out;
}

// Names are compared by ExtractEntry as C strings: an embedded zero ends them.
std::string CStringKey(const std::string& name) { return std::string(name.c_str()); }

}  // namespace

std::string BuiltinRootKey() { return verify::PlacedRootKey(); }

// ---------------------------------------------------------------------------------------------
// ReadAheadFile

bool ReadAheadFile::Open(const std::u16string& path) {
  Close();
  file_ = platform::File::Open(path, platform::OpenMode::kRead);
  if (!file_.IsOpen()) return false;
  if (!buffer_) buffer_ = std::make_unique<uint8_t[]>(kBufferSize);
  return true;
}

void ReadAheadFile::Close() {
  file_.Close();
  bufferStart_ = 0;
  cursor_ = 0;
  filled_ = 0;
}

size_t ReadAheadFile::Read(void* out, size_t n) {
  auto* dst = static_cast<uint8_t*>(out);
  size_t done = 0;
  while (done < n) {
    if (cursor_ < filled_) {
      size_t take = std::min(n - done, filled_ - cursor_);
      std::memcpy(dst + done, buffer_.get() + cursor_, take);
      cursor_ += take;
      done += take;
      continue;
    }
    // Buffer used up: move its start to the current position.
    bufferStart_ += static_cast<int64_t>(cursor_);
    cursor_ = 0;
    filled_ = 0;
    if (file_.Seek(bufferStart_, platform::Whence::kBegin) < 0) break;
    if (n - done >= kBufferSize) {
      int64_t got = file_.Read(dst + done, n - done);
      if (got <= 0) break;
      done += static_cast<size_t>(got);
      bufferStart_ += got;
      continue;
    }
    int64_t got = file_.Read(buffer_.get(), kBufferSize);
    if (got <= 0) break;
    filled_ = static_cast<size_t>(got);
  }
  return done;
}

bool ReadAheadFile::Seek(int64_t position) {
  if (!file_.IsOpen() || position < 0) return false;
  if (position >= bufferStart_ && position <= bufferStart_ + static_cast<int64_t>(filled_)) {
    cursor_ = static_cast<size_t>(position - bufferStart_);
    return true;
  }
  bufferStart_ = position;
  cursor_ = 0;
  filled_ = 0;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Internal operations

uint8_t* BundleReader::Impl::Reserve(Buffer& buffer, size_t n) {
  if (buffer.size < n || !buffer.data) {
    buffer.data = std::make_unique_for_overwrite<uint8_t[]>(std::max<size_t>(n, 1));
    buffer.size = n;
  }
  return buffer.data.get();
}

bool BundleReader::Impl::Rewind() {
  if (!open) return false;
  file.Seek(kHeaderSize);
  state = KeyStreamState();
  return true;
}

size_t BundleReader::Impl::ReadStream(void* buffer, size_t itemSize, size_t count,
                                      bool feedValidation, bool advanceOnly) {
  if (itemSize == 0 || count == 0) return 0;
  if (count > SIZE_MAX / itemSize) return 0;
  auto* bytes = static_cast<uint8_t*>(buffer);
  size_t got = file.Read(bytes, itemSize * count);
  // The verifier gets exactly the bytes that arrived, as stored.
  if (feedValidation && hasher != nullptr) hasher->Put(bytes, got);
  if (advanceOnly) {
    keys.Advance(state, bytes, got);
    return got / itemSize;
  }
  keys.Unscramble(state, bytes, got);
  if (feedValidation) sha1.Update(bytes, got);
  return got / itemSize;
}

bool BundleReader::Impl::ReadU32(uint32_t* value, bool feedValidation) {
  uint8_t b[4];
  if (ReadStream(b, 4, 1, feedValidation, false) != 1) return false;
  *value = support::LoadU32le(b);
  return true;
}

namespace {

// The entry walk's source and visitor both for the rest of one entry's record, from its chunk
// count on: each chunk's data is read where it is copied, so the two roles are one object.
class ChunkCopier {
 public:
  ChunkCopier(BundleReader::Impl& reader, platform::File& out) : reader_(reader), out_(out) {}
  bool U32(uint32_t* value) { return reader_.ReadU32(value, false); }
  bool Entry(const std::string&, uint32_t chunkCount) {
    chunkCount_ = chunkCount;
    return true;
  }
  bool Chunk(uint32_t index, uint32_t stored, uint32_t inflated) {
    // Lengths from the file size buffers only within the chunk limits and the bytes left.
    if (!ChunkWithinLimits(stored, inflated, reader_.maxChunkSize)) return false;
    if (static_cast<int64_t>(stored) > reader_.fileSize - reader_.file.Tell()) return false;
    index_ = index;
    inflated_ = inflated;
    return true;
  }
  bool ChunkData(uint32_t stored) {
    return reader_.CopyChunk(out_, index_ + 1 == chunkCount_, stored, inflated_);
  }
  bool EntryEnd() { return true; }

 private:
  BundleReader::Impl& reader_;
  platform::File& out_;
  uint32_t chunkCount_ = 0, index_ = 0, inflated_ = 0;
};

}  // namespace

bool BundleReader::Impl::CopyEntryTo(platform::File& out) {
  ChunkCopier copier(*this, out);
  return !WalkEntryChunks(copier, copier, std::string()).has_value();
}

bool BundleReader::Impl::CopyChunk(platform::File& out, bool last, uint32_t stored,
                                   uint32_t inflated) {
  // A chunk goes to the writer's thread when that thread has (almost) nothing left to do:
  // where writing is slow, it is kept busy by the writes alone. The file's last chunk stays
  // here: this thread would otherwise wait idle for it.
  const bool shareable =
      twoProcessors && !last && inflated > 0 && stored <= kShareLimit && inflated <= kShareLimit;
  if (shareable && writer.Backlog() <= kIdleBacklog && writer.Done(handoff.ticket)) {
    uint8_t* in = Reserve(handoff, stored);
    if (ReadStream(in, 1, stored, false, false) != stored) return false;
    handoff.ticket = writer.SubmitInflate(&out, in, stored, inflated);
    return true;
  }

  uint8_t* in = Reserve(storedBytes, stored);
  if (ReadStream(in, 1, stored, false, false) != stored) return false;
  if (inflated == 0) {
    // Nothing can be written; uncompress() says whether the stream is acceptable.
    uint8_t none = 0;
    uLongf destLength = 0;
    return uncompress(&none, &destLength, in, stored) == Z_OK;
  }
  // Whatever the chunk inflates to is written, piece by piece; the buffer is reused only
  // once its pieces are written (the first chunk of a file does not wait for its creation).
  Buffer& dest = inflated <= kShareLimit ? outputs[nextOutput ^= 1] : outputs[0];
  writer.WaitFor(dest.ticket);
  if (writer.Failed()) return false;
  if (!inflater.Inflate(in, stored, inflated, Reserve(dest, inflated), inflated,
                        [&](const uint8_t* piece, size_t n) {
                          dest.ticket = writer.Submit(&out, piece, n);
                          return !writer.Failed();
                        })) {
    return false;
  }
  return true;
}

void BundleReader::Impl::ResetCatalogue() {
  signedDigest.clear();
  while (!catalogue.empty()) catalogue.pop_back();
  cataloguedChunks = 0;
  index.Clear();
}

int64_t BundleReader::Impl::FindChunk(const EntryHandle* handle, uint64_t offset) {
  const auto& starts = handle->chunkStarts;
  // The last chunk starting at or before the offset; empty chunks share a start with the next.
  auto it = std::upper_bound(starts.begin(), starts.end(), offset);
  if (it == starts.begin()) return -1;
  size_t i = static_cast<size_t>(it - starts.begin()) - 1;
  if (offset >= starts[i] + handle->chunks[i].inflatedLength) return -1;
  return static_cast<int64_t>(i);
}

const CachedChunk* BundleReader::Impl::FindCached(EntryHandle* handle, size_t index) const {
  for (const CachedChunk& item : handle->cache) {
    if (item.index == index) return &item;
  }
  return nullptr;
}

const CachedChunk* BundleReader::Impl::LoadChunk(EntryHandle* handle, size_t index) {
  const ChunkDescriptor& chunk = handle->chunks[index];
  while (handle->cache.size() >= handle->cacheLimit) handle->cache.pop_front();
  // Validation bounded both lengths; checked again here so that nothing sizes a buffer from a
  // file that may have changed beyond what the file and the limits allow.
  if (chunk.storedLength > StoredLengthBound(maxChunkSize) ||
      static_cast<int64_t>(chunk.storedLength) > fileSize - chunk.dataOffset ||
      !file.Seek(chunk.dataOffset)) {
    std::fputs("?!!\n", stdout);
    return nullptr;
  }
  state = chunk.state;
  uint8_t* in = Reserve(storedBytes, chunk.storedLength);
  if (ReadStream(in, 1, chunk.storedLength, false, false) != chunk.storedLength) {
    std::fputs("?!!\n", stdout);
    return nullptr;
  }
  if (chunk.inflatedLength > maxChunkSize) {
    std::fputs("?!!!\n", stdout);
    return nullptr;
  }
  CachedChunk item;
  item.index = index;
  item.data =
      std::make_unique_for_overwrite<uint8_t[]>(std::max<uint32_t>(chunk.inflatedLength, 1));
  uLongf destLength = chunk.inflatedLength;
  // A chunk that inflates to fewer bytes than it states fails too: Read must never serve bytes
  // that no inflation wrote.
  if (uncompress(item.data.get(), &destLength, in, chunk.storedLength) != Z_OK ||
      destLength != chunk.inflatedLength) {
    std::fputs("?!!!\n", stdout);
    return nullptr;
  }
  item.inflated = destLength;
  handle->cache.push_back(std::move(item));
  return &handle->cache.back();
}

// ---------------------------------------------------------------------------------------------
// BundleReader

BundleReader::BundleReader() : impl_(std::make_unique<Impl>()) {
  impl_->rootKey = BuiltinRootKey();
}

BundleReader::~BundleReader() { Close(); }

void BundleReader::SetGoal(const std::string& goal) { impl_->goal = goal; }
void BundleReader::SetMaxChunkSize(uint32_t maxChunkSize) { impl_->maxChunkSize = maxChunkSize; }
void BundleReader::SetRootKey(const std::string& derPublicKey) { impl_->rootKey = derPublicKey; }

bool BundleReader::IsOpen() const { return impl_->open; }
const std::string& BundleReader::SignedDigest() const { return impl_->signedDigest; }
const std::vector<CatalogueEntry>& BundleReader::Catalogue() const { return impl_->catalogue; }
size_t BundleReader::OpenHandleCount() const { return impl_->handles.size(); }
int64_t BundleReader::StreamPosition() const { return impl_->file.Tell(); }
KeyStreamState BundleReader::CurrentKeyState() const { return impl_->state; }

bool BundleReader::Open(const std::u16string& path) {
  Impl& d = *impl_;
  if (d.open) Close();
  d.state = KeyStreamState();
  d.ResetCatalogue();

  if (!d.file.Open(path)) {
    support::Trace("Couldn't open file %ls!\n", TraceablePath(path).c_str());
    return false;
  }
  d.fileSize = d.file.Size();
  uint8_t header[kHeaderSize];
  size_t got = d.file.Read(header, kHeaderSize);
  support::ByteReader reader(std::span<const uint8_t>(header, got));
  auto version = reader.U8(kMagicSize);
  if (got < kMagicSize || std::memcmp(header, kMagic, kMagicSize) != 0 || !version ||
      *version != kVersion || !reader.Has(kMagicSize + 1, 12)) {
    d.file.Close();
    return false;
  }

  d.sha1.Restart();
  d.path = path;
  if (!d.Validate()) {
    support::Trace("%s", "Invalid SHA1 encountered!\n");
    d.file.Close();
    d.ResetCatalogue();
    return false;
  }
  d.open = true;
  d.Rewind();
  return true;
}

EntryHandle* BundleReader::OpenEntry(const char* name) {
  Impl& d = *impl_;
  if (!d.open || name == nullptr) return nullptr;
  // The handle list is capped: past it, opening fails instead of growing without bound.
  if (d.handles.size() >= kMaxOpenHandles) return nullptr;
  size_t nameLength = std::strlen(name);
  for (const CatalogueEntry& entry : d.catalogue) {
    if (entry.name.size() != nameLength || std::memcmp(entry.name.data(), name, nameLength) != 0) {
      continue;
    }
    auto handle = std::make_unique<EntryHandle>();
    handle->cacheLimit = kChunkCacheLimit;
    handle->savedPosition = d.file.Tell();
    handle->savedState = d.state;
    handle->chunks = entry.chunks;
    handle->totalLength = entry.totalLength;
    handle->chunkStarts.reserve(entry.chunks.size());
    uint64_t base = 0;
    for (const ChunkDescriptor& chunk : entry.chunks) {
      handle->chunkStarts.push_back(base);
      base += chunk.inflatedLength;
    }
    d.handles.push_back(std::move(handle));
    return d.handles.back().get();
  }
  return nullptr;
}

const CachedChunk* BundleReader::Impl::ChunkHolding(EntryHandle* handle, uint64_t offset,
                                                    uint64_t* base) {
  if (offset >= handle->totalLength) return nullptr;
  int64_t i = FindChunk(handle, offset);
  if (i < 0) {
    std::fputs("?!\n", stdout);
    return nullptr;
  }
  *base = handle->chunkStarts[i];
  const CachedChunk* item = FindCached(handle, static_cast<size_t>(i));
  return item != nullptr ? item : LoadChunk(handle, static_cast<size_t>(i));
}

size_t BundleReader::Read(void* buffer, size_t itemSize, size_t count, EntryHandle* handle) {
  Impl& d = *impl_;
  if (handle == nullptr || buffer == nullptr || itemSize == 0) return 0;
  uint64_t want = count > UINT64_MAX / itemSize ? UINT64_MAX : uint64_t{itemSize} * count;
  if (handle->readOffset >= handle->totalLength) return 0;
  want = std::min(want, handle->totalLength - handle->readOffset);

  auto* out = static_cast<uint8_t*>(buffer);
  uint64_t offset = handle->readOffset;
  uint64_t left = want;
  while (left > 0) {
    uint64_t base = 0;
    const CachedChunk* item = d.ChunkHolding(handle, offset, &base);
    if (item == nullptr) return 0;
    uint64_t take = std::min<uint64_t>(left, base + item->inflated - offset);
    std::memcpy(out, item->data.get() + (offset - base), static_cast<size_t>(take));
    out += take;
    offset += take;
    left -= take;
  }
  handle->readOffset = offset;
  return static_cast<size_t>(want / itemSize);
}

char* BundleReader::ReadLine(char* buffer, int size, EntryHandle* handle) {
  Impl& d = *impl_;
  if (buffer == nullptr || size < 1 || handle == nullptr) return nullptr;
  const size_t limit = static_cast<size_t>(size) - 1;
  // The line rules are script_line.h's, applied to each chunk's bytes in turn; a piece that the
  // entry's end (or a chunk that fails to load) cuts short is returned as far as it got.
  size_t stored = 0;
  while (stored < limit) {
    uint64_t base = 0;
    const CachedChunk* item = d.ChunkHolding(handle, handle->readOffset, &base);
    if (item == nullptr) {
      if (stored == 0) return nullptr;
      break;
    }
    const size_t pos = static_cast<size_t>(handle->readOffset - base);
    const installer::PieceScan scan = installer::ScanScriptPiece(
        {item->data.get() + pos, item->inflated - pos}, buffer, limit, &stored);
    handle->readOffset += scan.consumed;
    if (scan.ended) break;
  }
  buffer[stored] = '\0';
  return buffer;
}

void BundleReader::CloseEntry(EntryHandle* handle) {
  Impl& d = *impl_;
  auto it = std::find_if(d.handles.begin(), d.handles.end(),
                         [handle](const auto& h) { return h.get() == handle; });
  if (it == d.handles.end()) return;
  handle->cache.clear();
  d.file.Seek(handle->savedPosition);
  d.state = handle->savedState;
  d.handles.erase(it);
}

namespace {

// The entry walk's source as extraction reads the stream: unscrambled, not hashed; chunk data
// only moves the key streams on (they depend on every data byte, but only its bit 0 is used).
class ExtractionSource {
 public:
  explicit ExtractionSource(BundleReader::Impl& reader) : reader_(reader) {}
  bool U32(uint32_t* value) { return reader_.ReadU32(value, false); }
  bool Name(std::string* name) {
    return reader_.ReadStream(name->data(), 1, name->size(), false, false) == name->size();
  }
  bool ChunkData(uint32_t stored) {
    uint8_t block[4096];
    for (uint64_t left = stored; left > 0;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(left, sizeof block));
      if (reader_.ReadStream(block, 1, n, false, true) != n) return false;
      left -= n;
    }
    return true;
  }

 private:
  BundleReader::Impl& reader_;
};

// Stops the walk after the name of the first entry named `key` (as a C string), or after the
// first name when `firstOnly`.
struct EntryFinder {
  const std::string& key;
  bool firstOnly = false;
  bool found = false;
  void EntryStart() {}
  bool Named(const std::string& name) {
    found = CStringKey(name) == key;
    return !found && !firstOnly;
  }
  bool Entry(const std::string&, uint32_t) { return true; }
  bool Chunk(uint32_t, uint32_t, uint32_t) { return true; }
  bool EntryEnd() { return true; }
};

}  // namespace

bool BundleReader::Impl::WalkFrom(const std::string& key, bool firstOnly) {
  ExtractionSource source(*this);
  EntryFinder finder{key, firstOnly};
  const WalkEnd end = WalkEntryStream(source, finder);
  // The stream's end (or what cannot be a name length) puts the stream back at its start.
  if (end == WalkEnd::kTerminator || end == WalkEnd::kNameLengthTooLarge) Rewind();
  return finder.found;
}

bool BundleReader::Impl::SeekEntry(const std::string& key) {
  Rewind();
  // The walk would find the first entry of that name; the index recorded by Validate says where
  // it starts, so the walk starts there instead of at offset 25 (the result is the same, and
  // extracting every entry does not read the stream once per entry).
  auto hit = index.firstByName.find(key);
  if (hit != index.firstByName.end()) {
    file.Seek(hit->second.offset);
    state = hit->second.state;
    if (WalkFrom(key, true)) return true;
    Rewind();
    return WalkFrom(key, false);
  }
  if (index.complete) return false;
  if (index.full) {
    file.Seek(index.resume.offset);
    state = index.resume.state;
  }
  return WalkFrom(key, false);
}

bool BundleReader::ExtractEntry(const std::u16string& targetPath, const std::string& entryName) {
  Impl& d = *impl_;
  if (!d.open) return false;
  if (!d.SeekEntry(CStringKey(entryName))) return false;

  // The file is created on the writer's thread while the first chunk is read and inflated.
  // Every job has run (or failed) before the file is looked at again; a failed chunk may have
  // left pieces queued. A file that could not be created is not deleted.
  platform::File out;
  d.writer.SubmitOpen(&out, &targetPath);
  bool ok = d.CopyEntryTo(out);
  ok = d.writer.Wait() && ok;
  if (!out.IsOpen()) return false;
  out.Close();
  if (!ok) platform::DeleteFile(targetPath);
  return ok;
}

namespace {

// The entry walk's source and visitor for ExtractSmall: an entry of no chunk, or of one chunk
// within kSmallFile, is extracted as one job; for any other it stops before reading data.
class SmallEntry {
 public:
  enum Outcome { kNotSmall, kSmall, kFailed };
  SmallEntry(BundleReader::Impl& reader, platform::File* out, const std::u16string* target,
             support::ParentDirectories* parents, WriteBehind::Ticket* ticket)
      : reader_(reader), out_(out), target_(target), parents_(parents), ticket_(ticket) {}
  bool U32(uint32_t* value) { return reader_.ReadU32(value, false); }
  bool Entry(const std::string&, uint32_t chunkCount) {
    if (chunkCount == 0) {
      *ticket_ = reader_.writer.SubmitFile(out_, target_, parents_, nullptr, 0);
      outcome = kSmall;
    }
    return chunkCount <= 1;
  }
  bool Chunk(uint32_t, uint32_t stored, uint32_t inflated) {
    // The checks of ChunkCopier, in its order.
    if (!ChunkWithinLimits(stored, inflated, reader_.maxChunkSize)) {
      outcome = kFailed;
      return false;
    }
    inflated_ = inflated;
    return inflated <= BundleReader::Impl::kSmallFile && stored <= BundleReader::Impl::kSmallFile;
  }
  bool ChunkData(uint32_t stored) {
    outcome = reader_.ExtractSmallChunk(out_, target_, parents_, ticket_, stored, inflated_)
                  ? kSmall
                  : kFailed;
    return outcome == kSmall;
  }
  bool EntryEnd() { return true; }
  Outcome outcome = kNotSmall;

 private:
  BundleReader::Impl& reader_;
  platform::File* out_;
  const std::u16string* target_;
  support::ParentDirectories* parents_;
  WriteBehind::Ticket* ticket_;
  uint32_t inflated_ = 0;
};

}  // namespace

bool BundleReader::Impl::ExtractSmall(platform::File* out, const std::u16string* target,
                                      support::ParentDirectories* parents,
                                      WriteBehind::Ticket* ticket, bool* failed) {
  const int64_t start = file.Tell();
  const KeyStreamState startState = state;
  SmallEntry small(*this, out, target, parents, ticket);
  (void)WalkEntryChunks(small, small, std::string());
  switch (small.outcome) {
    case SmallEntry::kSmall: return true;
    case SmallEntry::kNotSmall:
      file.Seek(start);
      state = startState;
      return false;
    case SmallEntry::kFailed: break;
  }
  // As CopyEntryTo fails: after the target was created.
  *ticket = writer.SubmitOpen(out, target, parents);
  *failed = true;
  return false;
}

bool BundleReader::Impl::ExtractSmallChunk(platform::File* out, const std::u16string* target,
                                           support::ParentDirectories* parents,
                                           WriteBehind::Ticket* ticket, uint32_t stored,
                                           uint32_t inflated) {
  if (static_cast<int64_t>(stored) > fileSize - file.Tell()) return false;
  uint8_t* in = Reserve(storedBytes, stored);
  if (ReadStream(in, 1, stored, false, false) != stored) return false;
  Buffer& dest = smallOutputs[nextSmall];
  if (!writer.Done(dest.ticket)) {
    // The writer is behind: wait until half the ring is free rather than for one buffer at a
    // time, so that the threads meet once per several files (the buffers were filled in turn, so
    // the one half the ring ahead holds a later ticket).
    writer.WaitFor(smallOutputs[(nextSmall + kSmallOutputs / 2 - 1) % kSmallOutputs].ticket);
  }
  nextSmall = (nextSmall + 1) % kSmallOutputs;
  uint8_t* data = Reserve(dest, std::max<size_t>(inflated, 1));
  size_t written = 0;
  if (inflated == 0) {
    uint8_t none = 0;
    uLongf destLength = 0;
    if (uncompress(&none, &destLength, in, stored) != Z_OK) return false;
  } else if (!inflater.Inflate(in, stored, inflated, data, inflated, [&](const uint8_t*, size_t n) {
               written += n;
               return true;
             })) {
    return false;
  }
  dest.ticket = *ticket = writer.SubmitFile(out, target, parents, data, written);
  return true;
}

size_t BundleReader::ExtractEntries(const std::vector<Extraction>& list,
                                    const std::function<void(size_t count)>& finished) {
  Impl& d = *impl_;
  if (!d.open) return 0;
  struct Pending {
    size_t index = 0;
    platform::File file;
    WriteBehind::Ticket first = 0, last = 0;  // its jobs
  };
  std::deque<Pending> pending;  // submitted, not yet reported; references stay valid
  support::ParentDirectories parents;
  size_t reported = 0;

  // Ends the run at the first failure: the one on the writer's thread, if any came before the
  // file that failed here (`here`, or none when everything was submitted).
  auto stop = [&](const Pending* here) -> size_t {
    const WriteBehind::Ticket bad = d.writer.Drain();
    const Pending* failed = here;
    for (const Pending& p : pending) {
      if (bad != 0 && p.first <= bad && bad <= p.last) {
        failed = &p;
        break;
      }
    }
    // A failure is always in a file not yet reported; were it not found, nothing more is claimed.
    const size_t count = failed != nullptr ? failed->index : bad != 0 ? reported : list.size();
    if (count > reported) finished(count);
    if (failed != nullptr && failed->file.IsOpen()) {
      // Created, not completely written: closed and deleted.
      const_cast<Pending*>(failed)->file.Close();
      platform::DeleteFile(list[failed->index].target);
    }
    return count;
  };

  for (size_t i = 0; i < list.size(); ++i) {
    // Report what the writer's thread has finished, in order, without waiting for it.
    size_t before = reported;
    // Done, then not failed: a failure is kept until Drain(), so none has happened up to here.
    while (!pending.empty() && d.writer.Done(pending.front().last) && !d.writer.Failed()) {
      pending.pop_front();
      ++reported;
    }
    if (d.writer.Failed()) return stop(nullptr);
    if (reported != before) finished(reported);

    Pending& p = pending.emplace_back();
    p.index = i;
    const Extraction& e = list[i];
    // The file that fails here owns every job from its first on.
    constexpr WriteBehind::Ticket kRest = UINT64_MAX;
    if (!d.SeekEntry(CStringKey(e.entryName))) return stop(&p);  // nothing was created
    bool failed = false;
    if (d.ExtractSmall(&p.file, &e.target, &parents, &p.first, &failed)) {
      p.last = p.first;
      continue;
    }
    if (failed) {
      p.last = kRest;
      return stop(&p);
    }
    p.first = d.writer.SubmitOpen(&p.file, &e.target, &parents);
    if (!d.CopyEntryTo(p.file)) {
      p.last = kRest;
      return stop(&p);
    }
    p.last = d.writer.SubmitClose(&p.file);
  }
  return stop(nullptr);
}

bool BundleReader::Close() {
  Impl& d = *impl_;
  if (!d.open) return false;
  while (!d.handles.empty()) CloseEntry(d.handles.front().get());
  d.ResetCatalogue();
  d.file.Close();
  d.open = false;
  return true;
}

}  // namespace bundle
