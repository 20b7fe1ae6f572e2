// Storing identical files once, when the author asks for it (`bundle --store-once`, a manifest's
// `store_once = true` in [payload]).
//
// Payloads often carry the same bytes under several names (licence texts, libraries installed
// under two names). A bundle entry can be extracted as often as directives name it, so an
// entry whose content equals an earlier entry's is left out, and every install-script directive
// that names it is rewritten to name the earlier entry instead. The later name is then gone
// from the bundle: a setup program that opens the bundle and reads entries by name no longer
// finds it, and an entry no directive names is dropped without a directive to rewrite. So it is
// a size trade only the author can make; by default every entry given is stored under its name.
//
// The rewrite must give the front end exactly the directives it would have seen, apart from the
// name. It reads the script in pieces as its line reader delivers them (script_line.h: carriage
// returns dropped, a piece ends after a line feed or at 2047 bytes, a zero byte ends what is
// used), trims each and splits it on ",": field 1 is the entry name. Only a piece that ends with a
// line feed (or the script's end) and still fits in 2047 bytes after the rewrite can be rewritten;
// an entry named by any other piece keeps its own copy, and so does an entry whose name is not
// unique among the inputs (readers take the first of a name, so dropping it could expose another).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "author/bundle_writer.h"
#include "support/result.h"

namespace ztpack {

// The script with every directive naming a key of `renames` rewritten to name its value. Names
// that some piece names but that cannot be rewritten there are added to `*refused`, and none of
// their directives are rewritten.
std::string RenameScriptEntries(std::string_view script,
                                const std::map<std::string, std::string>& renames,
                                std::set<std::string>* refused);

struct StoreOnceSummary {
  size_t dropped = 0;         // entries left out
  uint64_t bytesDropped = 0;  // their content
  // Each entry left out and the entry that now stands for it, in the order of the inputs.
  std::vector<std::pair<std::string, std::string>> pointsTo;
};

// For people: one line per entry left out ("\"b\" now points to \"a\""), then the total.
std::vector<std::string> DescribeStoreOnce(const StoreOnceSummary& summary);

// Leaves out of `inputs` every entry whose content equals an earlier entry's (where the rules
// above allow it) and rewrites the "install_script" entry, which becomes an in-memory entry.
// Without an "install_script" entry nothing is changed.
support::Result<StoreOnceSummary> StoreIdenticalOnce(std::vector<BundleInput>* inputs);

}  // namespace ztpack
