// The writing side of the attachment container (layout and constants in
// container/attachment_format.h, shared with the reader): an attachment is its data, XORed
// with the container key, followed by a 28-byte footer holding the MD5 of the plain data, the
// size, the four-character type and the magic "ABD2". Attachments written in order form a
// chain; the reader finds the last one written first.
//
// Data come from memory or are streamed from a file in 1 MiB pieces, so attachments of any
// size are written in bounded memory. Everything that would put a position of the result at or
// beyond 2 GiB is refused: the reader's positions are signed 32-bit.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "os/output_file.h"
#include "support/result.h"

namespace ztpack {

struct AttachmentInput {
  std::string type;  // exactly four characters, e.g. "LOAD"
  std::string data;  // the plain data, used when `path` is empty
  std::string path;  // when set, the plain data are read from this file
  // Attachments whose stored bytes (scrambled data and footer) follow the data above inside this
  // one's data, as if they had been appended to that file first: `make` puts the setup program
  // and its bundle into LOAD in one pass, without a copy of the setup program with the bundle.
  std::vector<AttachmentInput> nested{};

  static AttachmentInput FromBytes(std::string type, std::string data) {
    return AttachmentInput{std::move(type), std::move(data), {}};
  }
  static AttachmentInput FromFile(std::string type, std::string path) {
    return AttachmentInput{std::move(type), {}, std::move(path)};
  }
};

// Ok when `type` is exactly four characters.
support::Status CheckAttachmentType(std::string_view type);

// Bytes the attachment takes in a chain: its data plus the 28-byte footer.
support::Result<uint64_t> AttachmentSize(const AttachmentInput& input);
// The sum over a chain, refused when it reaches 2 GiB.
support::Result<uint64_t> ChainSize(const std::vector<AttachmentInput>& inputs);

// One attachment as bytes: scrambled data followed by its footer.
support::Result<std::string> MakeAttachment(std::string_view type, std::string_view data);
// The chain of several attachments in memory (tests, small payloads).
support::Result<std::string> MakeChain(const std::vector<AttachmentInput>& inputs);

// Appends the attachments, in order, at the end of `out`; returns the bytes written.
support::Result<uint64_t> WriteAttachments(OutputFile& out,
                                           const std::vector<AttachmentInput>& inputs);

// Writes a copy of `path` with the attachments appended at its end into `out`, which the caller
// commits.
support::Status CopyWithAttachments(const std::string& path,
                                    const std::vector<AttachmentInput>& inputs, OutputFile& out);

// The same to `outPath` (the file itself when `outPath` is empty), written beside and renamed.
support::Status AppendAttachments(const std::string& path,
                                  const std::vector<AttachmentInput>& inputs,
                                  const std::string& outPath = "");

// Copies `length` bytes of the file at `path` from `offset` to the end of `out`.
support::Status CopyFileRange(const std::string& path, uint64_t offset, uint64_t length,
                              OutputFile& out);

}  // namespace ztpack
