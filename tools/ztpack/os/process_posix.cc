#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "os/process.h"

extern char** environ;

namespace ztpack::process {

support::Result<Finished> Run(const std::string& program, const std::vector<std::string>& arguments,
                              const std::vector<std::pair<std::string, std::string>>& environment) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& [key, value] : environment) replaced |= key == name;
    if (!replaced) env.push_back(entry);
  }
  for (const auto& [key, value] : environment) env.push_back(key + "=" + value);
  std::vector<std::string> args = {program};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv, envp;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    return support::Errorf("%s: no pipe: %s", program.c_str(), std::strerror(errno));
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  pid_t pid = -1;
  const int spawned =
      ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (spawned != 0) {
    ::close(pipeFds[0]);
    return support::Errorf("%s: cannot be started: %s", program.c_str(), std::strerror(spawned));
  }
  Finished finished;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(pipeFds[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    const size_t room = kMaxOutput - std::min(kMaxOutput, finished.output.size());
    finished.output.append(buffer, std::min(room, static_cast<size_t>(got)));
  }
  ::close(pipeFds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      return support::Errorf("%s: cannot wait for it: %s", program.c_str(), std::strerror(errno));
    }
  }
  finished.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return finished;
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
