// Other programs that ztpack runs (osslsigncode, and itself for `verify`): started by their
// arguments, never through a shell, with standard input from the null device so that nothing
// waits for a person to type, and their standard output and error captured together.
// process_posix.cc and process_win32.cc implement it.
//
// Secrets never reach a child by its environment: the variables that hold them (the token PIN
// $ZTPACK_PKCS11_PIN, and whatever NeverPassOn names, such as [authenticode] password_env) are
// left out of every child's environment. A secret a child needs is handed to it through an
// inherited descriptor (a pipe the parent has filled), so that it never lies in a file.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/result.h"

namespace ztpack::process {

struct Finished {
  int exitCode = -1;   // the program's exit status; 128 + the signal when one ended it
  std::string output;  // standard output and error, interleaved (at most kMaxOutput bytes)
};
inline constexpr size_t kMaxOutput = 1 << 20;

struct RunOptions {
  // Variables added to (or replacing those of) the tool's own environment, for the child only.
  std::vector<std::pair<std::string, std::string>> environment;
  // Descriptors (RawFile::NativeHandle, a pipe's end) the child receives open; the child opens
  // the i-th as InheritedName(i). Not on Windows, where Run refuses them.
  std::vector<intptr_t> inherit;
};

// Runs `program` (a path) with `arguments` (argv[1...]) and waits for it. Fails only when the
// program cannot be started.
support::Result<Finished> Run(const std::string& program, const std::vector<std::string>& arguments,
                              const RunOptions& options = {});

// The name under which a child opens the i-th descriptor of RunOptions::inherit ("/dev/fd/3"
// for the first); empty where descriptors cannot be handed on (Windows).
std::string InheritedName(size_t index);

// A variable that is never passed to a child (it holds a secret). $ZTPACK_PKCS11_PIN always is.
void NeverPassOn(const std::string& name);
// True when `name` is one of those (on Windows without regard to case).
bool IsNeverPassedOn(const std::string& name);

// A pipe whose read end a child inherits, filled with `data` and closed for writing before the
// child starts (at most kMaxPipedSecret bytes, which fit a pipe's buffer on every system). The
// read end is closed when the object goes.
class SecretPipe {
 public:
  static support::Result<SecretPipe> Create(const std::string& data);
  SecretPipe() = default;
  ~SecretPipe();
  SecretPipe(SecretPipe&& other) noexcept;
  SecretPipe& operator=(SecretPipe&& other) noexcept;
  SecretPipe(const SecretPipe&) = delete;
  SecretPipe& operator=(const SecretPipe&) = delete;
  intptr_t readEnd() const { return readEnd_; }

 private:
  intptr_t readEnd_ = -1;
};
inline constexpr size_t kMaxPipedSecret = 4096;

// `name` itself when it holds a directory separator, else the first executable file of that
// name in PATH (on Windows also with ".exe"); empty when there is none.
std::string FindProgram(const std::string& name);

}  // namespace ztpack::process
