// The key place of this program (verify/key_place.h): filled with the keys the build was given
// (ZT_KEY_PLACE_ROOT and ZT_KEY_PLACE_SETUP name files of comma-separated bytes made from the DER
// files), or empty, as in the stubs that ship. `used` and the section keep it, alone, where the
// tools find it.
#include "verify/key_place.h"

#ifdef ZT_KEY_PLACE_ROOT
__attribute__((section(".ztkeys"), used)) extern const verify::KeyPlace kKeyPlace = {
    .state = verify::kKeyPlaceFilled,
    .rootLength = verify::kRootKeyDerSize,
    .setupLength = verify::kSetupKeyDerSize,
    .root =
        {
#include ZT_KEY_PLACE_ROOT
        },
    .setup =
        {
#include ZT_KEY_PLACE_SETUP
        },
};
#else
__attribute__((section(".ztkeys"), used)) extern const verify::KeyPlace kKeyPlace = {};
#endif
