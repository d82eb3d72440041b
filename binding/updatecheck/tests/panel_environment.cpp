#include "panel_environment.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>

namespace {

bool WriteFile(const QString& path, const QByteArray& content) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

}  // namespace

PanelEnvironment::PanelEnvironment() : m_server(std::make_unique<vorla::testing::LoopbackServer>()) {
  // The built-in vendor host is reached through the loopback server as proxy.
  qputenv("http_proxy", QByteArray::fromStdString(m_server->BaseUrl()));
  qunsetenv("no_proxy");
  qputenv("XDG_DATA_HOME", Path(QStringLiteral("data")).toUtf8());
  qputenv("VORLA_UPGRADE_RECORD", Path(QStringLiteral("upgrade-record")).toUtf8());
}

PanelEnvironment::~PanelEnvironment() {
  m_server->Stop();
}

void PanelEnvironment::ServeManifest(vorla::testing::Response response) {
  m_server->Route("/pcupdate/update.xml", std::move(response));
}

bool PanelEnvironment::MakeCache() {
  const QString cache = DataFolder() + QStringLiteral("/cache");
  return QDir().mkpath(cache + QStringLiteral("/sub/deeper")) && QDir().mkpath(Path(QStringLiteral("outside"))) &&
         QDir().mkpath(DataFolder() + QStringLiteral("/cookies")) &&
         WriteFile(DataFolder() + QStringLiteral("/cookies/Cookies"), "session") &&
         WriteFile(Path(QStringLiteral("outside/keep.txt")), "keep") &&
         WriteFile(cache + QStringLiteral("/a.bin"), "a") && WriteFile(cache + QStringLiteral("/sub/b.bin"), "b") &&
         WriteFile(cache + QStringLiteral("/sub/deeper/c.bin"), "c") &&
         QFile::link(Path(QStringLiteral("outside")), cache + QStringLiteral("/sub/outside-folder")) &&
         QFile::link(Path(QStringLiteral("outside/keep.txt")), cache + QStringLiteral("/outside-file")) &&
         QDir().mkpath(DataFolder() + QStringLiteral("/cache.old-1-1/sub")) &&
         WriteFile(DataFolder() + QStringLiteral("/cache.old-1-1/sub/old.bin"), "old") &&
         QFile::link(Path(QStringLiteral("outside")), DataFolder() + QStringLiteral("/cache.old-1-1/sub/out")) &&
         QFile::link(Path(QStringLiteral("outside")), DataFolder() + QStringLiteral("/cache.old-1-2"));
}

QStringList PanelEnvironment::CacheEntries() const {
  const QDir cache(DataFolder() + QStringLiteral("/cache"));
  QStringList entries;
  QDirIterator it(cache.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QFileInfo entry(it.next());
    const QString name = cache.relativeFilePath(entry.filePath());
    entries << (entry.isSymLink() ? name + '@' : entry.isDir() ? name + '/' : name);
  }
  entries.sort();
  return entries;
}

QStringList PanelEnvironment::MovedAside() const {
  return QDir(DataFolder()).entryList({QStringLiteral("cache.old-*")}, QDir::AllEntries | QDir::System, QDir::Name);
}

bool PanelEnvironment::OutsideIntact() const {
  QFile keep(Path(QStringLiteral("outside/keep.txt")));
  QFile cookies(DataFolder() + QStringLiteral("/cookies/Cookies"));
  return keep.open(QIODevice::ReadOnly) && keep.readAll() == "keep" && cookies.open(QIODevice::ReadOnly) &&
         cookies.readAll() == "session";
}

QStringList PanelEnvironment::FullCache() {
  return {"a.bin", "outside-file@", "sub/", "sub/b.bin", "sub/deeper/", "sub/deeper/c.bin", "sub/outside-folder@"};
}

QStringList PanelEnvironment::EmptiedInPlace() {
  return {"sub/", "sub/deeper/"};
}

QString PanelEnvironment::UpdaterRecord() const {
  QFile record(Path(QStringLiteral("upgrade-record")));
  return record.open(QIODevice::ReadOnly) ? QString::fromUtf8(record.readAll()) : QString();
}
