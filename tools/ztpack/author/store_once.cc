#include "author/store_once.h"

#include <cryptopp/sha.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>
#include <unordered_map>

#include "os/file_ops.h"
#include "script_line.h"

namespace ztpack {
namespace {

// A name a directive can carry unchanged: no field separator, nothing the line reader removes
// or splits at, nothing that ends a C string.
bool NameFitsDirective(const std::string& name) {
  return !name.empty() && name.find_first_of(std::string(",\r\n\0", 4)) == std::string::npos;
}

// Where field 1 of a directive piece lies in its text, when it is a directive of three fields or
// more as the front end reads it.
bool FindEntryField(const std::string& text, size_t* begin, size_t* end) {
  const std::string_view line = installer::TrimmedScriptLine(installer::UsedPart(text));
  if (line.empty() || line[0] == '#') return false;
  const size_t b = static_cast<size_t>(line.data() - text.data());
  const size_t e = b + line.size();
  size_t c1 = text.find(',', b);
  if (c1 == std::string::npos || c1 >= e) return false;
  size_t c2 = text.find(',', c1 + 1);
  if (c2 == std::string::npos || c2 >= e) return false;
  *begin = c1 + 1;
  *end = c2;
  return true;
}

support::Result<uint64_t> ContentSize(const BundleInput& input) {
  if (input.data) return static_cast<uint64_t>(input.data->size());
  auto size = fileops::RegularFileSize(input.path);
  if (!size) {
    return support::Errorf("entry \"%s\": %s is not a readable regular file", input.name.c_str(),
                           input.path.c_str());
  }
  return size;
}

support::Result<std::string> ContentDigest(const BundleInput& input) {
  CryptoPP::SHA256 sha;
  if (input.data) {
    sha.Update(reinterpret_cast<const uint8_t*>(input.data->data()), input.data->size());
  } else {
    auto size = fileops::RegularFileSize(input.path);
    support::Status read = size ? fileops::StreamFile(input.path, 0, *size,
                                                      [&](const uint8_t* p, size_t n) {
                                                        sha.Update(p, n);
                                                        return support::Status{};
                                                      })
                                : support::Error{input.path + ": " + size.error()};
    if (!read) {
      return support::Errorf("entry \"%s\": %s", input.name.c_str(), read.error().c_str());
    }
  }
  std::string digest(CryptoPP::SHA256::DIGESTSIZE, '\0');
  sha.Final(reinterpret_cast<uint8_t*>(digest.data()));
  return digest;
}

support::Result<std::string> ReadContent(const BundleInput& input) {
  if (input.data) return *input.data;
  auto text = fileops::ReadWholeFile(input.path);
  if (!text) return support::Errorf("install script %s", text.error().c_str());
  return text;
}

}  // namespace

std::string RenameScriptEntries(std::string_view script,
                                const std::map<std::string, std::string>& renames,
                                std::set<std::string>* refused) {
  const std::vector<installer::ScriptPiece> pieces = installer::SplitScriptPieces(script);
  struct Rewrite {
    size_t piece;
    std::string text;
  };
  std::vector<Rewrite> rewrites;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const installer::ScriptPiece& piece = pieces[i];
    size_t begin, end;
    if (!FindEntryField(piece.text, &begin, &end)) continue;
    auto hit = renames.find(piece.text.substr(begin, end - begin));
    if (hit == renames.end()) continue;
    std::string text = piece.text.substr(0, begin) + hit->second + piece.text.substr(end);
    // A piece cut at the limit, or one the new name would push past it, would change where the
    // following pieces begin; a zero byte would hide the change from the check above.
    const bool complete = piece.lineFeed || piece.end == script.size();
    if (!complete || text.size() > installer::kScriptPieceLimit ||
        installer::UsedPart(piece.text).size() != piece.text.size()) {
      refused->insert(hit->first);
      continue;
    }
    rewrites.push_back({i, std::move(text)});
  }
  std::string out;
  out.reserve(script.size());
  size_t copied = 0;
  for (const Rewrite& rewrite : rewrites) {
    const installer::ScriptPiece& piece = pieces[rewrite.piece];
    size_t begin, end;
    FindEntryField(piece.text, &begin, &end);
    if (refused->count(piece.text.substr(begin, end - begin)) != 0) continue;
    out.append(script.substr(copied, piece.begin - copied));
    out.append(rewrite.text);
    copied = piece.end;
  }
  out.append(script.substr(copied));
  return out;
}

support::Result<StoreOnceSummary> StoreIdenticalOnce(std::vector<BundleInput>* inputs) {
  std::vector<BundleInput>& in = *inputs;
  size_t scriptIndex = in.size();
  std::unordered_map<std::string, size_t> nameCount;  // by the C-string key readers compare
  for (size_t i = 0; i < in.size(); ++i) {
    ++nameCount[std::string(in[i].name.c_str())];
    if (scriptIndex == in.size() && in[i].name == "install_script") scriptIndex = i;
  }
  if (scriptIndex == in.size()) return StoreOnceSummary{};

  // Only files whose size another file shares are read for their digest.
  std::vector<uint64_t> sizes(in.size(), 0);
  std::vector<bool> eligible(in.size(), false);
  std::map<uint64_t, size_t> sizeCount;
  for (size_t i = 0; i < in.size(); ++i) {
    if (i == scriptIndex || nameCount[std::string(in[i].name.c_str())] != 1 ||
        !NameFitsDirective(in[i].name)) {
      continue;
    }
    auto size = ContentSize(in[i]);
    if (!size) return size.takeError();
    sizes[i] = *size;
    eligible[i] = true;
    ++sizeCount[*size];
  }
  // The digests are computed on every processor; which copy is kept depends only on the order.
  std::vector<size_t> candidates;
  for (size_t i = 0; i < in.size(); ++i) {
    if (eligible[i] && sizeCount[sizes[i]] >= 2) candidates.push_back(i);
  }
  std::vector<std::optional<support::Result<std::string>>> digests(candidates.size());
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t k; (k = next++) < candidates.size();) digests[k] = ContentDigest(in[candidates[k]]);
  };
  std::vector<std::thread> threads;
  const unsigned helpers = std::min<unsigned>(std::thread::hardware_concurrency(), 16);
  for (unsigned t = 1; t < helpers && t < candidates.size(); ++t) threads.emplace_back(work);
  work();
  for (std::thread& t : threads) t.join();

  std::map<std::pair<uint64_t, std::string>, size_t> firstWithContent;
  std::map<std::string, std::string> renames;
  std::map<std::string, size_t> renamedIndex;
  for (size_t k = 0; k < candidates.size(); ++k) {
    const size_t i = candidates[k];
    const support::Result<std::string>& digest = *digests[k];
    if (!digest) return digest.takeError();
    auto [it, first] = firstWithContent.try_emplace({sizes[i], *digest}, i);
    if (first) continue;
    renames[in[i].name] = in[it->second].name;
    renamedIndex[in[i].name] = i;
  }
  if (renames.empty()) return StoreOnceSummary{};

  auto script = ReadContent(in[scriptIndex]);
  if (!script) return script.takeError();
  std::set<std::string> refused;
  std::string rewritten = RenameScriptEntries(*script, renames, &refused);

  StoreOnceSummary summary;
  std::vector<bool> drop(in.size(), false);
  for (const auto& [name, index] : renamedIndex) {
    if (refused.count(name) != 0) continue;
    drop[index] = true;
    ++summary.dropped;
    summary.bytesDropped += sizes[index];
  }
  for (size_t i = 0; i < in.size(); ++i) {
    if (drop[i]) summary.pointsTo.emplace_back(in[i].name, renames[in[i].name]);
  }
  in[scriptIndex].data = std::move(rewritten);
  std::vector<BundleInput> kept;
  kept.reserve(in.size() - summary.dropped);
  for (size_t i = 0; i < in.size(); ++i) {
    if (!drop[i]) kept.push_back(std::move(in[i]));
  }
  in = std::move(kept);
  return summary;
}

std::vector<std::string> DescribeStoreOnce(const StoreOnceSummary& summary) {
  std::vector<std::string> lines;
  for (const auto& [dropped, kept] : summary.pointsTo) {
    lines.push_back("stored once: \"" + dropped + "\" now points to \"" + kept + "\"");
  }
  lines.push_back("stored once: " + std::to_string(summary.dropped) + " entr" +
                  (summary.dropped == 1 ? "y" : "ies") + " of identical content left out, " +
                  std::to_string(summary.bytesDropped) + " bytes");
  return lines;
}

}  // namespace ztpack
