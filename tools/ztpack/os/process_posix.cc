#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "os/cleanup.h"
#include "os/process.h"

extern char** environ;

namespace ztpack::process {
namespace {

std::mutex secretNamesMutex;
std::set<std::string>& SecretNames() {
  static std::set<std::string> names = {"ZTPACK_PKCS11_PIN"};
  return names;
}

// The first descriptor a child receives from RunOptions::inherit.
constexpr int kFirstInherited = 3;
// Descriptors are moved up here in the parent first, so that moving them down to 3, 4, ... in
// the child cannot overwrite one not yet moved.
constexpr int kStaging = 100;

}  // namespace

void NeverPassOn(const std::string& name) {
  std::lock_guard<std::mutex> lock(secretNamesMutex);
  SecretNames().insert(name);
}

bool IsNeverPassedOn(const std::string& name) {
  std::lock_guard<std::mutex> lock(secretNamesMutex);
  return SecretNames().count(name) != 0;
}

std::string InheritedName(size_t index) {
  return "/dev/fd/" + std::to_string(kFirstInherited + index);
}

namespace {

// ztpack's environment with the options' variables set and the secrets left out.
std::vector<std::string> ChildEnvironment(const RunOptions& options) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    bool replaced = IsNeverPassedOn(name);
    for (const auto& [key, value] : options.environment) replaced |= key == name;
    if (!replaced) env.push_back(entry);
  }
  for (const auto& [key, value] : options.environment) {
    if (!IsNeverPassedOn(key)) env.push_back(key + "=" + value);
  }
  return env;
}

// The child starts with no signal blocked and the default actions (not ztpack's handlers) for
// the signals that ztpack handles; an ignored signal stays ignored.
void ResetSignals(posix_spawnattr_t* attributes) {
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction current = {};
    if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
      sigaddset(&defaults, signal);
    }
  }
  posix_spawnattr_setsigmask(attributes, &none);
  posix_spawnattr_setsigdefault(attributes, &defaults);
  posix_spawnattr_setflags(attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

// Reads the child's output to its end, keeping at most kMaxOutput bytes, then waits for it.
support::Result<Finished> Collect(const std::string& program, pid_t pid, int output) {
  cleanup::SetRunningChild(pid);
  Finished finished;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(output, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    const size_t room = kMaxOutput - std::min(kMaxOutput, finished.output.size());
    finished.output.append(buffer, std::min(room, static_cast<size_t>(got)));
  }
  ::close(output);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      const int why = errno;
      cleanup::SetRunningChild(0);
      return support::Errorf("%s: cannot wait for it: %s", program.c_str(), std::strerror(why));
    }
  }
  cleanup::SetRunningChild(0);
  finished.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return finished;
}

}  // namespace

support::Result<Finished> Run(const std::string& program, const std::vector<std::string>& arguments,
                              const RunOptions& options) {
  std::vector<std::string> env = ChildEnvironment(options);
  std::vector<std::string> args = {program};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv, envp;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  std::vector<int> staged;
  auto closeStaged = [&] {
    for (int fd : staged) ::close(fd);
  };
  for (intptr_t fd : options.inherit) {
    const int copy = ::fcntl(static_cast<int>(fd), F_DUPFD_CLOEXEC, kStaging);
    if (copy < 0) {
      const int why = errno;
      closeStaged();
      return support::Errorf("%s: cannot hand it descriptor %d: %s", program.c_str(),
                             static_cast<int>(fd), std::strerror(why));
    }
    staged.push_back(copy);
  }
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    const int why = errno;
    closeStaged();
    return support::Errorf("%s: no pipe: %s", program.c_str(), std::strerror(why));
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  // dup2 onto another number gives a descriptor without close-on-exec: these alone survive.
  for (size_t i = 0; i < staged.size(); ++i) {
    posix_spawn_file_actions_adddup2(&actions, staged[i], kFirstInherited + static_cast<int>(i));
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  ResetSignals(&attributes);
  pid_t pid = -1;
  const int spawned =
      ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(pipeFds[1]);
  closeStaged();
  if (spawned != 0) {
    ::close(pipeFds[0]);
    return support::Errorf("%s: cannot be started: %s", program.c_str(), std::strerror(spawned));
  }
  return Collect(program, pid, pipeFds[0]);
}

support::Result<SecretPipe> SecretPipe::Create(const std::string& data) {
  if (data.size() > kMaxPipedSecret) {
    return support::Errorf("a secret of %zu bytes, more than the %zu a pipe takes here",
                           data.size(), kMaxPipedSecret);
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    return support::Errorf("no pipe for the secret: %s", std::strerror(errno));
  }
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t put = ::write(fds[1], data.data() + done, data.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      const int why = errno;
      ::close(fds[0]);
      ::close(fds[1]);
      return support::Errorf("cannot fill the secret's pipe: %s", std::strerror(why));
    }
    done += static_cast<size_t>(put);
  }
  ::close(fds[1]);
  SecretPipe pipe;
  pipe.readEnd_ = fds[0];
  return pipe;
}

SecretPipe::~SecretPipe() {
  if (readEnd_ >= 0) ::close(static_cast<int>(readEnd_));
}

SecretPipe::SecretPipe(SecretPipe&& other) noexcept : readEnd_(other.readEnd_) {
  other.readEnd_ = -1;
}

SecretPipe& SecretPipe::operator=(SecretPipe&& other) noexcept {
  if (this != &other) {
    if (readEnd_ >= 0) ::close(static_cast<int>(readEnd_));
    readEnd_ = other.readEnd_;
    other.readEnd_ = -1;
  }
  return *this;
}

std::string FindProgram(const std::string& name) {
  auto executable = [](const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
  };
  if (name.find('/') != std::string::npos) return executable(name) ? name : std::string();
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
    const std::string candidate = dir + "/" + name;
    if (executable(candidate)) return candidate;
    start = end + 1;
  }
  return {};
}

}  // namespace ztpack::process
