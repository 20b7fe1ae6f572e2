// The key place: the two public keys the installer trusts, kept in the stub's image so that the
// tool that writes an installer chooses them, not the compiler that built the stub.
//
// What it holds. The bundle root key (DER SubjectPublicKeyInfo of a 2048-bit RSA key with
// e = 65537, 294 bytes), which certifies the key a bundle is signed with, and the setup signing
// key (4096-bit, e = 17, 548 bytes), which signs the setup program. One prebuilt stub serves
// every product: `ztpack build` and `make` write the product's keys into the place of the copy
// that becomes the installer.
//
// Layout: KeyPlace below, 1024 bytes, alone in the stub's section ".ztkeys" (a section of its
// own, so that the tool finds it through the section table and never by a search of code and
// data). All integers are little-endian u32.
//
//   0     marker, 16 bytes "ZT-KEY-PLACE" 00 00 00 01: the layout's name and version
//   16    state: 0 empty, 1 filled
//   20    root key length: 294 when filled, else 0
//   24    setup key length: 548 when filled, else 0
//   28    reserved, 0
//   32    the root key, then zeros up to 336
//   336   the setup key, then zeros up to 1024
//
// Why fixed sizes: the keys the front end accepts have exactly these sizes, so the place never
// needs to grow, the writer patches bytes in place (no section moves, no relocation), and a
// place that states any other size is not a filled place.
//
// What is trusted. The front end reads the place as a constant of its own image: no bytes of
// any file are parsed for it. A place that is not filled is refused before anything else
// happens: an installer that trusted no key, or a key nobody chose, must not run. The tools read
// the place of a stub or an installer from the file through ParseKeyPlace, which checks the
// marker, the state and both lengths before a key byte is taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "support/result.h"

namespace verify {

constexpr char kKeyPlaceSection[] = ".ztkeys";
constexpr size_t kKeyPlaceSize = 1024;
constexpr uint8_t kKeyPlaceMarker[16] = {'Z', 'T', '-', 'K', 'E', 'Y', '-', 'P',
                                         'L', 'A', 'C', 'E', 0,   0,   0,   1};
constexpr size_t kKeyPlaceStateOffset = 16;
constexpr size_t kKeyPlaceRootLengthOffset = 20;
constexpr size_t kKeyPlaceSetupLengthOffset = 24;
constexpr size_t kKeyPlaceRootOffset = 32;
constexpr size_t kKeyPlaceSetupOffset = 336;
constexpr uint32_t kKeyPlaceEmpty = 0;
constexpr uint32_t kKeyPlaceFilled = 1;
constexpr uint32_t kRootKeyDerSize = 294;   // 2048-bit modulus, e = 65537
constexpr uint32_t kSetupKeyDerSize = 548;  // 4096-bit modulus, e = 17

struct KeyPlace {
  uint8_t marker[16] = {'Z', 'T', '-', 'K', 'E', 'Y', '-', 'P', 'L', 'A', 'C', 'E', 0, 0, 0, 1};
  uint32_t state = kKeyPlaceEmpty;
  uint32_t rootLength = 0;
  uint32_t setupLength = 0;
  uint32_t reserved = 0;
  uint8_t root[kKeyPlaceSetupOffset - kKeyPlaceRootOffset] = {};
  uint8_t setup[kKeyPlaceSize - kKeyPlaceSetupOffset] = {};
};
static_assert(sizeof(KeyPlace) == kKeyPlaceSize);
static_assert(offsetof(KeyPlace, state) == kKeyPlaceStateOffset);
static_assert(offsetof(KeyPlace, rootLength) == kKeyPlaceRootLengthOffset);
static_assert(offsetof(KeyPlace, setupLength) == kKeyPlaceSetupLengthOffset);
static_assert(offsetof(KeyPlace, root) == kKeyPlaceRootOffset);
static_assert(offsetof(KeyPlace, setup) == kKeyPlaceSetupOffset);
static_assert(kKeyPlaceRootOffset + kRootKeyDerSize <= kKeyPlaceSetupOffset);
static_assert(kKeyPlaceSetupOffset + kSetupKeyDerSize <= kKeyPlaceSize);

// The keys of this program's own place (empty strings when it is not filled).
bool KeysArePlaced();
std::string PlacedRootKey();
std::string PlacedSetupKey();

// A place read from a file.
struct PlacedKeys {
  bool filled = false;
  std::string root, setup;  // DER, empty when not filled
};
// The place in `bytes` (exactly kKeyPlaceSize of them): fails naming the field when the marker is
// not there or the state or a length is neither an empty place's nor a filled one's.
support::Result<PlacedKeys> ParseKeyPlace(std::span<const uint8_t> bytes);
// The place's bytes holding `root` and `setup` (both of their fixed sizes), or an empty place
// when both are empty.
support::Result<std::string> EncodeKeyPlace(const std::string& root, const std::string& setup);

}  // namespace verify
