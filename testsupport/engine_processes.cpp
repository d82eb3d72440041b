#include "testsupport/engine_processes.h"

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
  QList<int> zygotes, renderers;
  for (const Process& process : processes)
    if (process.parent == browserPid && process.cmdline.contains("--type=zygote"))
      zygotes.append(process.pid);
  for (const Process& process : processes)
    if (zygotes.contains(process.parent) && !zygotes.contains(process.pid))
      renderers.append(process.pid);
  return renderers;
}

}  // namespace vorla::testing
