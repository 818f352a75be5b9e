/* Runs one command with its standard input and output taken from and written to files, and prints
 * its wall time and peak resident set size: "<seconds> <peak KiB> <exit status>".
 *
 * The peak is wait4's ru_maxrss of the child. Linux counts in it the memory the child held before
 * exec, and after fork (or vfork) that is the parent's: started from the Python benchmark, which
 * holds its workloads, every command would report the benchmark's own size. This small program
 * sits in between, so a figure carries at most its footprint (about a megabyte).
 *
 *     timerss STDIN STDOUT COMMAND [ARG...] */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: timerss STDIN STDOUT COMMAND [ARG...]\n");
    return 2;
  }
  int in = open(argv[1], O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    perror(argv[1]);
    return 2;
  }
  int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) {
    perror(argv[2]);
    return 2;
  }
  struct timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    return 2;
  }
  if (pid == 0) {
    if (dup2(in, 0) < 0 || dup2(out, 1) < 0) _exit(127);
    execvp(argv[3], argv + 3);
    perror(argv[3]);
    _exit(127);
  }
  int status;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) < 0) {
    perror("wait4");
    return 2;
  }
  clock_gettime(CLOCK_MONOTONIC, &t1);
  double seconds = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) * 1e-9;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  printf("%.6f %ld %d\n", seconds, usage.ru_maxrss, code);
  return 0;
}
