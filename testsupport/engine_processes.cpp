#include "testsupport/engine_processes.h"

#include <algorithm>

#include <QByteArray>
#include <QDir>
#include <QFile>

namespace vorla::testing {

QList<int> RendererPids(int browserPid) {
  struct Process {
    int pid, parent;
    QByteArray cmdline;
  };
  QList<Process> processes;
  for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
    QFile cmdline("/proc/" + entry + "/cmdline");
    QFile stat("/proc/" + entry + "/stat");
    if (!entry.toInt() || !cmdline.open(QIODevice::ReadOnly) || !stat.open(QIODevice::ReadOnly))
      continue;
    // "pid (name) state ppid ...": the name may hold blanks and parentheses.
    const QByteArray fields = stat.readAll().split(')').last().trimmed();
    if (fields.startsWith('Z'))
      continue;
    processes.append({entry.toInt(), fields.split(' ').value(1).toInt(), cmdline.readAll()});
  }
  // Without the sandbox a zygote forks the renderers itself; with it, the
  // zygote is the first process of a namespace of its own and forks the one
  // that forks them. Either way the renderers are the zygotes' last descendants.
  QList<int> parents, renderers;
  for (const Process& process : processes)
    if (process.parent == browserPid && process.cmdline.contains("--type=zygote"))
      parents.append(process.pid);
  while (!parents.isEmpty()) {
    const int parent = parents.takeFirst();
    for (const Process& process : processes) {
      if (process.parent != parent)
        continue;
      const bool hasChildren = std::any_of(processes.begin(), processes.end(),
                                           [&](const Process& other) { return other.parent == process.pid; });
      (hasChildren ? parents : renderers).append(process.pid);
    }
  }
  return renderers;
}

int SeccompMode(int pid) {
  QFile status(QStringLiteral("/proc/%1/status").arg(pid));
  if (!status.open(QIODevice::ReadOnly))
    return -1;
  for (const QByteArray& line : status.readAll().split('\n'))
    if (line.startsWith("Seccomp:"))
      return line.mid(8).trimmed().toInt();
  return -1;
}

}  // namespace vorla::testing
