#include "platform/platform.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vorla::platform {

bool StartDetached(const std::filesystem::path& program, const std::vector<std::string>& arguments) {
  // Everything the child needs is prepared here: after fork() in a threaded
  // program only async-signal-safe calls are allowed.
  const std::string file = program.string();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(file.c_str()));
  for (const std::string& argument : arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  // The exec closes this pipe; an errno written into it means the exec failed.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0)
    return false;

  const pid_t child = fork();
  if (child < 0) {
    close(report[0]);
    close(report[1]);
    return false;
  }
  if (child == 0) {
    close(report[0]);
    setsid();
    // A second fork leaves the program to init, so nobody has to reap it.
    const pid_t grandchild = fork();
    if (grandchild != 0)
      _exit(grandchild < 0 ? 1 : 0);
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
      if (null > 2)
        close(null);
    }
    execv(argv[0], argv.data());
    const int error = errno;
    (void)!write(report[1], &error, sizeof error);
    _exit(127);
  }

  close(report[1]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int error = 0;
  ssize_t got;
  while ((got = read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
  }
  close(report[0]);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && got == 0;
}

}  // namespace vorla::platform
