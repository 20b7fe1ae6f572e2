#include "verify/key_place.h"

#include <cstring>

#include "support/byte_reader.h"

// The place of this program, defined by the key library it is linked with (keys/key_place_data.cc,
// built once filled and once empty). Defined in its own translation unit, so that no read of it
// here is folded into a constant by the compiler: the bytes read are those in the image.
extern const verify::KeyPlace kKeyPlace;

namespace verify {
namespace {

bool Filled(const KeyPlace& place) {
  return std::memcmp(place.marker, kKeyPlaceMarker, sizeof kKeyPlaceMarker) == 0 &&
         place.state == kKeyPlaceFilled && place.rootLength == kRootKeyDerSize &&
         place.setupLength == kSetupKeyDerSize;
}

}  // namespace

bool KeysArePlaced() { return Filled(kKeyPlace); }

std::string PlacedRootKey() {
  if (!Filled(kKeyPlace)) return std::string();
  return std::string(reinterpret_cast<const char*>(kKeyPlace.root), kRootKeyDerSize);
}

std::string PlacedSetupKey() {
  if (!Filled(kKeyPlace)) return std::string();
  return std::string(reinterpret_cast<const char*>(kKeyPlace.setup), kSetupKeyDerSize);
}

support::Result<PlacedKeys> ParseKeyPlace(std::span<const uint8_t> bytes) {
  if (bytes.size() != kKeyPlaceSize) {
    return support::Errorf("key place: %zu bytes, not %zu", bytes.size(), kKeyPlaceSize);
  }
  support::ByteReader reader(bytes);
  if (std::memcmp(bytes.data(), kKeyPlaceMarker, sizeof kKeyPlaceMarker) != 0) {
    return support::Errorf("key place: no marker \"ZT-KEY-PLACE\" (version 1) at its start");
  }
  const uint32_t state = *reader.U32le(kKeyPlaceStateOffset);
  const uint32_t rootLength = *reader.U32le(kKeyPlaceRootLengthOffset);
  const uint32_t setupLength = *reader.U32le(kKeyPlaceSetupLengthOffset);
  PlacedKeys keys;
  if (state == kKeyPlaceEmpty) {
    if (rootLength != 0 || setupLength != 0) {
      return support::Errorf("key place: empty, but it states key lengths %u and %u", rootLength,
                             setupLength);
    }
    return keys;
  }
  if (state != kKeyPlaceFilled) {
    return support::Errorf("key place: state %u is neither empty (0) nor filled (1)", state);
  }
  if (rootLength != kRootKeyDerSize) {
    return support::Errorf("key place: root key length %u, not %u", rootLength, kRootKeyDerSize);
  }
  if (setupLength != kSetupKeyDerSize) {
    return support::Errorf("key place: setup key length %u, not %u", setupLength, kSetupKeyDerSize);
  }
  keys.filled = true;
  keys.root.assign(reinterpret_cast<const char*>(bytes.data()) + kKeyPlaceRootOffset, rootLength);
  keys.setup.assign(reinterpret_cast<const char*>(bytes.data()) + kKeyPlaceSetupOffset,
                    setupLength);
  return keys;
}

support::Result<std::string> EncodeKeyPlace(const std::string& root, const std::string& setup) {
  std::string out(kKeyPlaceSize, '\0');
  std::memcpy(out.data(), kKeyPlaceMarker, sizeof kKeyPlaceMarker);
  if (root.empty() && setup.empty()) return out;
  if (root.size() != kRootKeyDerSize) {
    return support::Errorf(
        "root key: %zu bytes of DER, but the installer takes a 2048-bit key with e = 65537 (%u "
        "bytes)",
        root.size(), kRootKeyDerSize);
  }
  if (setup.size() != kSetupKeyDerSize) {
    return support::Errorf(
        "setup key: %zu bytes of DER, but the installer takes a 4096-bit key with e = 17 (%u "
        "bytes)",
        setup.size(), kSetupKeyDerSize);
  }
  uint8_t* p = reinterpret_cast<uint8_t*>(out.data());
  support::StoreU32le(p + kKeyPlaceStateOffset, kKeyPlaceFilled);
  support::StoreU32le(p + kKeyPlaceRootLengthOffset, kRootKeyDerSize);
  support::StoreU32le(p + kKeyPlaceSetupLengthOffset, kSetupKeyDerSize);
  std::memcpy(p + kKeyPlaceRootOffset, root.data(), root.size());
  std::memcpy(p + kKeyPlaceSetupOffset, setup.data(), setup.size());
  return out;
}

}  // namespace verify
