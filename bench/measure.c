/* Runs a command once with this process's standard input and output and appends
   "WALL_SECONDS PEAK_RSS_KIB EXIT_STATUS CPU_SECONDS" to RESULTS: wall time from fork to reaped,
   peak resident memory and user plus system time from wait4. It may stand between
   systemd-socket-activate and a service: the connection, descriptor 3, is inherited. With an ACCOUNT other than "-" the command runs as it (needs root).

     measure RESULTS ACCOUNT COMMAND ARGS... */
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

int main(int argc, char** argv) {
  FILE* results = argc > 3 ? fopen(argv[1], "ae") : NULL;
  const struct passwd* account = argc > 3 && strcmp(argv[2], "-") != 0 ? getpwnam(argv[2]) : NULL;
  if (results == NULL || (account == NULL && strcmp(argv[2], "-") != 0)) {
    fprintf(stderr, "usage: measure RESULTS ACCOUNT|- COMMAND ARGS...\n");
    return 2;
  }
  const double start = now();
  const pid_t child = fork();
  if (child == 0) {
    const int null = open("/dev/null", O_WRONLY);
    if (null < 0 || dup2(null, 2) < 0) _exit(126);
    if (account != NULL &&
        (setgroups(0, NULL) != 0 || setgid(account->pw_gid) != 0 || setuid(account->pw_uid) != 0))
      _exit(126);
    execvp(argv[3], argv + 3);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  while (child > 0 && wait4(child, &status, 0, &usage) < 0) {
    if (errno != EINTR) return 2;
  }
  if (child < 0) return 2;
  const double cpu = (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     (double)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
  fprintf(results, "%.6f %ld %d %.6f\n", now() - start, usage.ru_maxrss,
          WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), cpu);
  return fclose(results) == 0 ? 0 : 2;
}
