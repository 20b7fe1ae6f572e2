// Validation of a bundle: the public key block against the root key, the bundle signature
// against the key in that block, every chunk bounded, and the catalogue built on the way.
#include <cryptopp/filters.h>
#include <cryptopp/rsa.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "bundle/bundle_reader_impl.h"
#include "bundle/entry_walk.h"
#include "support/byte_reader.h"
#include "support/detecting_sha1.h"
#include "support/text.h"
#include "support/trace.h"

namespace bundle {
namespace {

using Verifier = CryptoPP::RSASS<CryptoPP::PKCS1v15, support::DetectingSha1>::Verifier;
constexpr size_t kDigestSize = support::DetectingSha1::DIGESTSIZE;

// Signature at the end of the input, error on a bad signature.
constexpr CryptoPP::word32 kFilterFlags = CryptoPP::SignatureVerificationFilter::THROW_EXCEPTION;
static_assert(kFilterFlags == 16);

void SayBoth(const char* text) {
  std::fputs(text, stdout);
  support::Trace("%s", text);
}

// The digest inside a signature that has verified: PKCS #1 v1.5 signs the encoded message
// 00 01 FF..FF 00 DigestInfo(SHA-1) H, so the public key's function gives it back, H being its
// last 20 bytes. One RSA operation with the public exponent instead of a second hash of the
// whole bundle.
std::string RecoverSignedDigest(const CryptoPP::RSA::PublicKey& key, const uint8_t* signature,
                                size_t length) {
  const CryptoPP::Integer encoded = key.ApplyFunction(CryptoPP::Integer(signature, length));
  const size_t size = key.GetModulus().ByteCount();
  if (size < kDigestSize) return std::string();
  std::string message(size, '\0');
  encoded.Encode(reinterpret_cast<uint8_t*>(message.data()), size);
  return message.substr(size - kDigestSize);
}

}  // namespace

std::unique_ptr<CryptoPP::RSA::PublicKey> ParsePublicKeyBlock(const uint8_t* block, size_t length,
                                                              const std::string& goal,
                                                              const std::string& rootKey) {
  if (block == nullptr || length < kMinPublicKeyBlock) return nullptr;
  support::ByteReader reader(std::span<const uint8_t>(block, length));
  char want[4] = {0, 0, 0, 0};
  std::memcpy(want, goal.data(), std::min<size_t>(goal.size(), 4));
  if (std::memcmp(block, want, 4) != 0) {
    support::Trace("Public key goal is %c%c%c%c, should be %c%c%c%c\n", block[0], block[1],
                   block[2], block[3], want[0], want[1], want[2], want[3]);
    return nullptr;
  }
  uint64_t c = *reader.U32le(8);
  if (!reader.Has(12, c)) {
    support::Trace("%s", "Public key is truncated\n");
    return nullptr;
  }
  auto d = reader.U32le(12 + c);
  if (!d || !reader.Has(16 + c, *d)) {
    support::Trace("%s", "Public key sign is truncated\n");
    return nullptr;
  }
  // Root signature over goal tag, expiry and key bytes; the length fields are not signed.
  try {
    CryptoPP::RSA::PublicKey root;
    CryptoPP::StringSource source(rootKey, true);
    root.BERDecode(source);
    Verifier verifier(root);
    CryptoPP::SignatureVerificationFilter filter(verifier, nullptr, kFilterFlags);
    filter.Put(block, 8);
    filter.Put(block + 12, static_cast<size_t>(c));
    filter.Put(block + 16 + c, *d);
    filter.MessageEnd();
  } catch (const support::Sha1CollisionDetected& e) {
    // The signed message is the block's first 8 bytes and then its key bytes from offset 12.
    const uint64_t at = e.blockOffset() < 8 ? e.blockOffset() : e.blockOffset() + 4;
    support::TraceCollision(at, "the public key block");
    support::Trace("%s", "Public key sign is not valid");
    return nullptr;
  } catch (...) {
    support::Trace("%s", "Public key sign is not valid");
    return nullptr;
  }
  // A certified key that does not decode as RSA is refused here rather than escaping as an
  // exception from Open.
  try {
    auto key = std::make_unique<CryptoPP::RSA::PublicKey>();
    CryptoPP::StringSource source(block + 12, static_cast<size_t>(c), true);
    key->BERDecode(source);
    return key;
  } catch (const std::exception& e) {
    support::Trace("Bundle key is not an RSA public key: %s\n", e.what());
    return nullptr;
  } catch (...) {
    support::Trace("Bundle key is not an RSA public key\n");
    return nullptr;
  }
}

// The validation walk's reading side: every byte goes to the verifier as stored, the plain
// bytes to the checksum, and the key streams follow.
struct BundleReader::Impl::ValidationSource {
  ValidationSource(Impl& impl, bool filterMade) : d(impl), filterExists(filterMade) {}
  Impl& d;
  const bool filterExists;
  std::unique_ptr<uint8_t[]> piece;

  bool U32(uint32_t* value) { return d.ReadU32(value, true); }
  bool Name(std::string* name) {
    return d.ReadStream(name->data(), 1, name->size(), true, false) == name->size();
  }
  // The chunk's bytes go to the verifier as stored, in pieces of bounded size, so a stated
  // length never sizes a buffer; a length past the end of the file ends as a short read.
  bool ChunkData(uint32_t stored) {
    uint64_t left = stored;
    while (left > 0) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(left, kWalkPiece));
      if (d.hasher != nullptr) {
        // Read straight into the hasher's block: the key streams follow the bytes here while
        // the signature check hashes them on its own thread.
        uint8_t* room = d.hasher->Space(n);
        size_t got = d.file.Read(room, n);
        d.keys.Advance(d.state, room, got);
        d.hasher->Commit(got);
        if (got != n) return false;
      } else {
        if (!piece) piece = std::make_unique_for_overwrite<uint8_t[]>(kWalkPiece);
        if (d.ReadStream(piece.get(), 1, n, true, filterExists) != n) return false;
      }
      left -= n;
    }
    return true;
  }
};

// The validation walk's keeping side: every chunk within the limits, the first 256 entries
// catalogued with their chunks, every entry recorded in the index.
struct BundleReader::Impl::ValidationVisitor {
  explicit ValidationVisitor(Impl& impl) : d(impl) {}
  Impl& d;
  int64_t entryStart = 0;
  KeyStreamState entryState;
  bool catalogued = false;
  CatalogueEntry entry;

  void EntryStart() {
    entryStart = d.file.Tell();
    entryState = d.state;
  }
  void Named(const std::string& name) { support::Trace("Iterated %s\n", name.c_str()); }
  bool Entry(const std::string& name, uint32_t) {
    catalogued = d.catalogue.size() < kMaxCatalogueEntries;
    entry = CatalogueEntry();
    entry.name = name;
    return true;
  }
  bool Chunk(uint32_t, uint32_t stored, uint32_t inflated) {
    if (!ChunkWithinLimits(stored, inflated, d.maxChunkSize)) return Failed();
    if (!catalogued) return true;
    // Descriptors cost memory per chunk; their total across the catalogue is capped.
    if (d.cataloguedChunks >= kMaxCataloguedChunks) return Failed();
    ++d.cataloguedChunks;
    entry.chunks.push_back(ChunkDescriptor{d.file.Tell(), stored, inflated, d.state});
    entry.totalLength += inflated;
    return true;
  }
  // Entries past the catalogue's 256 are walked, bounded and signed like the others, and reached
  // by ExtractEntry; OpenEntry does not find them.
  bool EntryEnd() {
    d.RecordInIndex(entry.name, entryStart, entryState);
    if (catalogued) d.catalogue.push_back(std::move(entry));
    return true;
  }
  bool Failed() {
    support::Trace("%s", "Reading file for checksum failed!\n");
    return false;
  }
};

void BundleReader::Impl::RecordInIndex(const std::string& name, int64_t offset,
                                       const KeyStreamState& at) {
  if (index.full) return;
  std::string key(name.c_str());
  size_t cost = key.size() + 64;
  if (index.bytesUsed + cost > EntryIndex::kBudget) {
    index.full = true;
    index.resume = {offset, at};
    return;
  }
  if (index.firstByName.try_emplace(key, EntryIndex::Place{offset, at}).second) {
    index.bytesUsed += cost;
  }
}

namespace {

// The signature block the tail names, read whole and split into its two fields.
struct StoredSignature {
  uint64_t start = 0;  // file offset of the block: the signed region ends here
  std::vector<uint8_t> block;
  SignatureBlockFields fields;

  const uint8_t* signature() const { return block.data() + SignatureBlockFields::kSignatureAt; }
  const uint8_t* keyBlock() const { return block.data() + fields.keyBlockAt(); }
};

std::optional<StoredSignature> ReadStoredSignature(const support::ByteReader& file) {
  SignatureTail tail;
  const SignatureTailFault fault = ReadSignatureTail(file, &tail);
  if (fault == SignatureTailFault::kShort) return std::nullopt;
  if (fault == SignatureTailFault::kNoMarker) {
    SayBoth("Error: Bundle is not digitally signed.\n");
    return std::nullopt;
  }
  support::Trace("Going to read signature\n");
  if (fault != SignatureTailFault::kNone) return std::nullopt;
  auto block = file.Bytes(tail.blockStart, tail.blockLength);
  if (!block) return std::nullopt;
  auto fields = SplitSignatureBlock(support::ByteReader{std::span<const uint8_t>(*block)});
  if (!fields) return std::nullopt;
  return StoredSignature{tail.blockStart, std::move(*block), *fields};
}

// The key, verifier and filter of one validation. They live only in Validate: the destructor
// clears the reader's pointers to them on every way out, so that no later ReadStream feeds a
// stale filter.
struct SignatureCheck {
  explicit SignatureCheck(BundleReader::Impl& reader) : d(reader) {}
  ~SignatureCheck() {
    d.filter = nullptr;
    d.hasher = nullptr;
  }
  SignatureCheck(const SignatureCheck&) = delete;
  SignatureCheck& operator=(const SignatureCheck&) = delete;

  BundleReader::Impl& d;
  std::unique_ptr<CryptoPP::RSA::PublicKey> bundleKey;
  std::unique_ptr<Verifier> verifier;
  std::unique_ptr<CryptoPP::SignatureVerificationFilter> filter;
  // Declared after the filter it feeds, so that it stops before the filter goes.
  std::unique_ptr<HashBehind> hasher;
};

// Takes the bundle key from the public key block and sets up the verifier, fed with the header.
// A refused key block leaves no filter (the walk then only checks the stored checksum); false
// when the verifier cannot be made or the header not read.
bool StartSignatureCheck(const support::ByteReader& file, const StoredSignature& stored,
                         SignatureCheck* check) {
  BundleReader::Impl& d = check->d;
  check->bundleKey =
      ParsePublicKeyBlock(stored.keyBlock(), stored.fields.keyBlockLength, d.goal, d.rootKey);
  if (!check->bundleKey) {
    SayBoth("Invalid public key inside bundle\n");
    return true;
  }
  try {
    check->verifier = std::make_unique<Verifier>(*check->bundleKey);
    check->filter = std::make_unique<CryptoPP::SignatureVerificationFilter>(*check->verifier,
                                                                            nullptr, kFilterFlags);
    uint8_t header[kHeaderSize];
    if (!file.Read(0, header, kHeaderSize)) return false;
    check->filter->Put(header, kHeaderSize);
    d.filter = check->filter.get();
    check->hasher = std::make_unique<HashBehind>(*check->filter);
    d.hasher = check->hasher.get();
  } catch (const std::exception& e) {
    support::Trace("Exception in validate sign: %s\n", e.what());
    return false;
  }
  return true;
}

// Feeds the junk between the entry stream and the signature block to the verifier, then the
// signature; *verified tells whether it verifies. False when the junk cannot be read.
bool FinishSignatureCheck(const StoredSignature& stored, SignatureCheck& check, bool* verified) {
  BundleReader::Impl& d = check.d;
  int64_t remaining = static_cast<int64_t>(stored.start) - d.file.Tell();
  uint8_t junk[kJunkPiece];
  while (remaining > 0) {
    support::Trace("Junk len %d\n", static_cast<int>(remaining));
    size_t n = static_cast<size_t>(std::min<int64_t>(remaining, kJunkPiece));
    if (d.file.Read(junk, n) != n) {
      support::Trace("Junk read fail\n");
      return false;
    }
    check.hasher->Put(junk, n);
    remaining -= static_cast<int64_t>(n);
  }
  support::Trace("Junk read done\n");
  check.hasher->Finish();
  // The filter would take the last bytes of a longer field as the signature and the rest as
  // message: a field of any other length than the key's signatures is refused, as ztpack's
  // reader refuses it, so that the two cannot disagree.
  const uint32_t length = stored.fields.signatureLength;
  if (length != check.verifier->SignatureLength()) {
    support::Trace("Bundle signature is %u bytes, the bundle key's are %u\n",
                   static_cast<unsigned>(length),
                   static_cast<unsigned>(check.verifier->SignatureLength()));
    *verified = false;
    return true;
  }
  check.filter->Put(stored.signature(), length);
  check.filter->MessageEnd();
  *verified = true;
  d.signedDigest = RecoverSignedDigest(*check.bundleKey, stored.signature(), length);
  return true;
}

}  // namespace

bool BundleReader::Impl::Validate() {
  support::Trace("Validating checksum\n");
  fileSize = file.Size();
  if (fileSize < 0) return false;
  support::ByteReader tail(file.file(), static_cast<uint64_t>(fileSize));
  const uint64_t size = static_cast<uint64_t>(fileSize);

  uint8_t storedChecksum[kChecksumSize];
  bool haveChecksum =
      size >= kChecksumSize && tail.Read(size - kChecksumSize, storedChecksum, kChecksumSize);
  auto stored = ReadStoredSignature(tail);
  if (!stored) return false;

  bool ok = true;
  bool filterMade = false;
  {
    SignatureCheck check(*this);
    if (!StartSignatureCheck(tail, *stored, &check)) return false;
    if (!check.bundleKey) ok = false;
    filterMade = filter != nullptr;

    support::Trace("Going to read checksum\n");
    file.Seek(kHeaderSize);
    state = KeyStreamState();
    try {
      ValidationSource source(*this, filter != nullptr);
      ValidationVisitor visitor(*this);
      switch (WalkEntryStream(source, visitor)) {
        case WalkEnd::kShortChunks: visitor.Failed(); return false;
        case WalkEnd::kRefused: return false;
        default:  // the end of the stream, junk, or a short name: the signature decides
          break;
      }
      if (!index.full) index.complete = true;
      support::Trace("Iterate done\n");
      if (filter != nullptr && !FinishSignatureCheck(*stored, check, &ok)) return false;
    } catch (const support::Sha1CollisionDetected& e) {
      // The verifier hashes the bundle from offset 0: the block's offset is a file offset.
      support::TraceCollision(e.blockOffset(), support::WideToUtf8(path, true));
      ok = false;
    } catch (const std::exception& e) {
      support::Trace("Exception in validate sign: %s\n", e.what());
      ok = false;
    } catch (...) {
      support::Trace("Exception in validate sign\n");
      ok = false;
    }
  }

  if (!ok) SayBoth("Digital signature is invalid!\n");
  if (filterMade) return ok;

  // The public key block was refused: the result is false, and the stored checksum is compared
  // only to tell a damaged file from a mis-signed one.
  uint8_t computed[kDigestSize];
  // The checksum covers the plain entry stream from the end of the header on.
  if (std::optional<uint64_t> collision = sha1.FinalChecked(computed)) {
    support::TraceCollision(kHeaderSize + *collision, support::WideToUtf8(path, true));
    return false;
  }
  if (!haveChecksum || std::memcmp(computed, storedChecksum, kChecksumSize) != 0) {
    support::Trace("Digest compare fail\n");
    for (int i = 0; i < 20; ++i) {
      support::Trace("%02d: read %02X calc %02X\n", i, haveChecksum ? storedChecksum[i] : 0,
                     computed[i]);
    }
  }
  return false;
}

}  // namespace bundle
