// Timing of whole programs for the benchmarks that compare processes.
#pragma once
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

extern char** environ;

// Runs argv with standard output going to out_path (or nowhere) and standard
// error to nowhere; returns the wall time in seconds, or a negative value when
// the program could not be started. *exited_ok, when given, tells whether it
// ended with status 0.
inline double TimeProcess(const std::vector<std::string>& argv, const std::string& out_path = "/dev/null",
                          bool* exited_ok = nullptr) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  auto start = std::chrono::steady_clock::now();
  pid_t pid;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (exited_ok) *exited_ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return seconds;
}

inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}
