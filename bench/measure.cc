// measure: runs a command in a directory with a given standard input, reads
// and discards its standard output, and prints three figures: its wall-clock
// seconds, its peak resident memory in KB (the kernel's accounting of the
// child), and the seconds until the last line of the directory-move phase
// (the last "renamed ..." line printed by mv), 0 when there was none.
//
//   measure DIR INPUT -- COMMAND [ARG...]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  if (argc < 5 || std::strcmp(argv[3], "--") != 0) {
    std::fprintf(stderr, "usage: measure DIR INPUT -- COMMAND [ARG...]\n");
    return 2;
  }
  int out[2];
  if (pipe(out) != 0) return 1;
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open(argv[2], O_RDONLY);
    if (in < 0 || chdir(argv[1]) != 0) _exit(126);
    dup2(in, 0);
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    execv(argv[4], argv + 4);
    _exit(127);
  }
  close(out[1]);

  auto moves_end = start;
  std::string line;  // the start of the current line, enough to tell a move
  char buffer[1 << 16];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) {
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] == '\n') {
        if (line.starts_with("renamed ")) moves_end = Clock::now();
        line.clear();
      } else if (line.size() < 8) {
        line += buffer[i];
      }
    }
  }
  close(out[0]);

  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "measure: %s failed\n", argv[4]);
    return 1;
  }
  const auto seconds = [start](Clock::time_point t) { return std::chrono::duration<double>(t - start).count(); };
  std::printf("%.3f %ld %.3f\n", seconds(Clock::now()), usage.ru_maxrss, seconds(moves_end));
  return 0;
}
