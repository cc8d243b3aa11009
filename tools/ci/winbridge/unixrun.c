/*
 * For the tests only: a Winelib DLL through which a Windows program under
 * wine runs a Linux program and waits for it (wine starts Linux programs
 * from CreateProcess, but hands back no handle that waits for them). The
 * test service of firebird_service.c drives the Linux test server with it.
 */
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

/* Runs `program` with the one argument `argument`; its exit code, or -1
   when it could not be started or did not end normally. */
int __attribute__((ms_abi)) RunUnixProgram(const char* program, const char* argument) {
  char* argv[] = {(char*)program, (char*)argument, 0};
  pid_t pid;
  if (posix_spawn(&pid, program, 0, 0, argv, environ) != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
