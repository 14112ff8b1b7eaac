/* measure: runs a command and prints its resources on standard error as
 * "measure wall=S cpu=S rss_kib=K status=N", from wait4. A small C parent keeps
 * the child's peak RSS its own: a child forked from a large interpreter would
 * report the interpreter's pages as its peak. */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
  struct timespec start, stop;
  struct rusage usage;
  int status = 0;
  pid_t child;
  if (argc < 2) {
    fprintf(stderr, "usage: measure COMMAND [ARG...]\n");
    return 2;
  }
  clock_gettime(CLOCK_MONOTONIC, &start);
  child = fork();
  if (child < 0) return 1;
  if (child == 0) {
    execvp(argv[1], argv + 1);
    _exit(127);
  }
  if (wait4(child, &status, 0, &usage) < 0) return 1;
  clock_gettime(CLOCK_MONOTONIC, &stop);
  fprintf(stderr, "measure wall=%.6f cpu=%.6f rss_kib=%ld status=%d\n",
          (double)(stop.tv_sec - start.tv_sec) + (double)(stop.tv_nsec - start.tv_nsec) / 1e9,
          (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              (double)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6,
          usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  return 0;
}
