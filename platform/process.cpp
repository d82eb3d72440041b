#include "platform/platform.h"

#include <cerrno>
#include <csignal>

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
    // The program starts clean: none of our descriptors (each goes at the
    // exec, the report pipe included), and signals as a fresh process has them
    // (the updater ignores SIGXFSZ for itself; threads may block signals).
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
      for (int fd = 3; fd < 65536; ++fd)
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    sigaction(SIGXFSZ, &defaultAction, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
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
