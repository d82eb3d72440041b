// The installer file is created exclusively and never through a link: a link
// planted at its name in the instant between the removal of whatever stood
// there and the creation must not redirect the download. The program is caught
// at exactly that instant by wrapping unlink().

#include <atomic>
#include <cerrno>
#include <memory>
#include <string_view>

#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QtTest>
#include <dlfcn.h>
#include <unistd.h>

#include "manifest/curl_handles.h"
#include "testsupport/loopback_server.h"
#include "upgrade/upgrade_dlg.h"

using vorla::testing::LoopbackServer;
using vorla::testing::Response;

namespace {

const QString kCannotCreate = QStringLiteral("下载文件创建失败，请关闭杀毒软件。");

// While set, the next removal of an installer file is followed at once by a
// link at its name to this file.
std::atomic<const char*> g_plantLinkTo{nullptr};

}  // namespace

extern "C" int unlink(const char* path) {
  static const auto real = reinterpret_cast<int (*)(const char*)>(dlsym(RTLD_NEXT, "unlink"));
  const int result = real(path);
  const int saved = errno;
  if (std::string_view(path).ends_with("/vorlax.exe")) {
    if (const char* target = g_plantLinkTo.exchange(nullptr))
      symlink(target, path);  // checked by the test: the victim's content
  }
  errno = saved;
  return result;
}

class UpgradeFileRaceTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QVERIFY(vorla::InitializeCurl()); }
  void linkPlantedAfterTheRemovalIsNotWrittenThrough();
};

void UpgradeFileRaceTest::linkPlantedAfterTheRemovalIsNotWrittenThrough() {
  QTemporaryDir temp;
  QVERIFY(temp.isValid());
  LoopbackServer server;
  qputenv("http_proxy", QByteArray::fromStdString(server.BaseUrl()));
  qunsetenv("no_proxy");
  qputenv("TMPDIR", temp.path().toUtf8());
  qunsetenv("XDG_RUNTIME_DIR");
  const QString marker = temp.filePath("installer-ran");
  server.Route("/pcupdate/update.xml",
               Response{.body = "<update><version>3.0.0.8</version><url>http://www.vorla.example/dl/setup</url></update>"});
  server.Route("/dl/setup", Response{.body = "#!/bin/sh\ntouch '" + marker.toStdString() + "'\n"});
  const QString victim = temp.filePath("victim");
  QFile victimFile(victim);
  QVERIFY(victimFile.open(QIODevice::WriteOnly));
  victimFile.write("keep");
  victimFile.close();
  const QByteArray target = victim.toUtf8();
  g_plantLinkTo = target.constData();

  CupgradeDlg dlg;
  dlg.show();
  QTRY_COMPARE_WITH_TIMEOUT(dlg.findChild<QLabel*>("statusText")->text(), kCannotCreate, 15000);
  QVERIFY2(g_plantLinkTo.load() == nullptr, "the link was planted");
  dlg.WaitForWorker();
  QCOMPARE(server.RequestCount(), size_t(1));  // no installer request
  QVERIFY(victimFile.open(QIODevice::ReadOnly));
  QCOMPARE(victimFile.readAll(), QByteArray("keep"));
  QVERIFY(!QFile::exists(marker));
}

QTEST_MAIN(UpgradeFileRaceTest)
#include "upgrade_file_race_test.moc"
