// korvel_mutex_probe NAME: takes the single-instance lock NAME the way the
// run driver does, in a process of its own, and tells by its exit code what
// it found: 0 free (taken, then released at exit), 1 held by another
// process, 2 not creatable, 3 bad arguments.
#include "host/host.h"

int main(int argc, char** argv) {
  const std::unique_ptr<korvel::host::Host> host = korvel::host::CreateSystemHost(argc, argv);
  const std::vector<std::string> args = host->Arguments();
  if (args.size() != 2) return 3;
  const korvel::host::NamedMutex mutex = host->CreateNamedMutex(args[1]);
  if (mutex.already_existed) return 1;
  return mutex.handle ? 0 : 2;
}
