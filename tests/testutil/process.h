// Runs programs for the tests and captures what they write: a program by its arguments, a shell
// command line, and ztpack (the native build's, ZT_ZTPACK). Standard input is /dev/null; standard
// output and error are captured apart (RunResult::output() joins them).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace testutil {

struct RunOptions {
  int timeoutSeconds = 120;                              // 0: wait as long as the program runs
  std::string workDir;                                   // empty: the current directory
  std::vector<std::pair<std::string, std::string>> env;  // added or replaced variables
  std::vector<std::string> unsetEnv;                     // removed variables
};

struct RunResult {
  bool started = false;
  bool timedOut = false;
  int exitCode = -1;  // the exit status, or 128 + signal
  std::string out;
  std::string err;
  // Both streams, for messages and searches that do not care which one a text went to.
  std::string output() const { return out + err; }
};

// Runs argv[0] (searched in PATH) with a fresh stdin of /dev/null, capturing standard output and
// error, killing the whole process group at the timeout (if any).
inline RunResult RunProcess(const std::vector<std::string>& argv, const RunOptions& options = {}) {
  RunResult result;
  if (argv.empty()) return result;

  std::vector<std::string> envStrings;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    bool drop = false;
    for (const auto& u : options.unsetEnv) drop = drop || u == name;
    for (const auto& kv : options.env) drop = drop || kv.first == name;
    if (!drop) envStrings.push_back(entry);
  }
  for (const auto& kv : options.env) envStrings.push_back(kv.first + "=" + kv.second);
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (auto& s : args) argp.push_back(s.data());
  argp.push_back(nullptr);

  int outPipe[2], errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0) return result;
  if (::pipe2(errPipe, O_CLOEXEC) != 0) {
    ::close(outPipe[0]);
    ::close(outPipe[1]);
    return result;
  }
  pid_t pid = ::fork();
  if (pid < 0) {
    for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) ::close(fd);
    return result;
  }
  if (pid == 0) {
    ::setpgid(0, 0);
    int devNull = ::open("/dev/null", O_RDONLY);
    if (devNull >= 0) ::dup2(devNull, 0);
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    if (!options.workDir.empty() && ::chdir(options.workDir.c_str()) != 0) ::_exit(126);
    ::execvpe(argp[0], argp.data(), envp.data());
    ::_exit(127);
  }
  ::setpgid(pid, pid);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  result.started = true;
  for (int fd : {outPipe[0], errPipe[0]}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);

  auto drain = [&](int fd, std::string* into) {
    char buffer[65536];
    for (;;) {
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n > 0) {
        into->append(buffer, static_cast<size_t>(n));
        continue;
      }
      return n == 0;  // true: end of file
    }
  };
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
  bool outOpen = true, errOpen = true;
  int status = 0;
  bool exited = false;
  while (!exited) {
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    ::poll(fds, 2, 50);
    if (outOpen && drain(outPipe[0], &result.out)) outOpen = false;
    if (errOpen && drain(errPipe[0], &result.err)) errOpen = false;
    pid_t w = ::waitpid(pid, &status, WNOHANG);
    if (w == pid) {
      exited = true;
    } else if (options.timeoutSeconds > 0 && std::chrono::steady_clock::now() > deadline) {
      result.timedOut = true;
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      exited = true;
    }
  }
  // Whatever the program wrote before it ended is in the pipes now.
  drain(outPipe[0], &result.out);
  drain(errPipe[0], &result.err);
  ::close(outPipe[0]);
  ::close(errPipe[0]);
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.exitCode = 128 + WTERMSIG(status);
  return result;
}

// Runs a command line with /bin/sh, so that it may quote, redirect and pipe; as long as it runs
// unless the options set a timeout.
inline RunResult Shell(const std::string& commandLine, RunOptions options) {
  return RunProcess({"/bin/sh", "-c", commandLine}, options);
}
inline RunResult Shell(const std::string& commandLine) {
  RunOptions options;
  options.timeoutSeconds = 0;
  return Shell(commandLine, options);
}

// Whether the shell finds `name` (a program in PATH, or a builtin).
inline bool HaveCommand(const std::string& name) {
  return Shell("command -v '" + name + "' >/dev/null").exitCode == 0;
}

#ifdef ZT_ZTPACK
// Runs the native ztpack with `arguments`, a shell command-line tail (paths with blanks quoted).
inline RunResult RunZtpack(const std::string& arguments) {
  return Shell(std::string(ZT_ZTPACK) + " " + arguments);
}
#endif

}  // namespace testutil
