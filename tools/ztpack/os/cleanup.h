// What ztpack removes when it is interrupted (SIGINT, SIGTERM, SIGHUP; on Windows Ctrl+C,
// Ctrl+Break and the console closing): its scratch directories and the temporary files of its
// outputs, so that a cancelled CI job leaves none of the intermediate files (unsigned installers,
// bundles) behind; and the program it is running, which is sent SIGTERM.
//
// On POSIX the handler runs on whichever thread the signal hits, so it does only what is
// async-signal-safe: it reads a fixed table of paths (no allocation, no lock), removes them with
// openat/getdents64/unlinkat (never following a link: a link is removed as a link), then puts
// the signal's default action back and raises it again, so that the process ends as the signal
// says (exit status 128 + signal). A signal that was ignored when ztpack started (nohup) stays
// ignored. Paths are registered for as long as the object that owns them lives.
#pragma once

#include <cstdint>
#include <string>

namespace ztpack::cleanup {

enum class Kind { kFile, kDirectory };

// Registers `path` (absolute or relative to the current directory, which ztpack never changes);
// the token for Unregister, or -1 when the table is full (the path is then only removed the
// ordinary way).
int Register(const std::string& path, Kind kind);
void Unregister(int token);

// The child being waited for (0: none), sent SIGTERM when ztpack is interrupted.
void SetRunningChild(int64_t pid);

}  // namespace ztpack::cleanup
