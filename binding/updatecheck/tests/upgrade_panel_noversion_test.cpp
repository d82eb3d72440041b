#include <memory>

#include <QFile>
#include <QLabel>
#include <QPointer>
#include <QtTest>

#include "host_window.h"
#include "manifest/curl_handles.h"
#include "panel_environment.h"
#include "updatecheck/upgrade_dlg.h"

// The panel in a build that carries no version information.
class UpgradePanelNoVersionTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QVERIFY(vorla::InitializeCurl()); }
  void failsAfterTheWebVersionStep();
};

void UpgradePanelNoVersionTest::failsAfterTheWebVersionStep() {
  PanelEnvironment env;
  QVERIFY(env.IsValid());
  QVERIFY(env.MakeCache());
  env.ServeManifest(vorla::testing::Response{
      .body = "<update><webversion>2024.1</webversion><version>3.0.0.8</version><updatetype>2</updatetype></update>"});
  int checkDone = 0;
  QPointer<HostWindow> host = new HostWindow(checkDone);
  host->show();

  auto* tip = host->findChild<QLabel*>(QStringLiteral("tip"));
  const QString expected = QStringLiteral("未获取到软件版本号，请重新安装。");
  QTRY_COMPARE_WITH_TIMEOUT(tip->text(), expected, 15000);
  QTest::qWait(300);
  QVERIFY(!host.isNull());
  QCOMPARE(checkDone, 0);
  auto* picture = host->findChild<QLabel*>(QStringLiteral("picture"));
  QCOMPARE(picture->pixmap().size(), QSize(104, 137));
  QCOMPARE(picture->accessibleName(), expected);
  QCOMPARE(env.UpdaterRecord(), QString());
  // The web version step came first.
  QFile stored(env.WebVersionFile());
  QVERIFY(stored.open(QIODevice::ReadOnly));
  QCOMPARE(stored.readAll(), QByteArray("2024.1"));
  QCOMPARE(env.CacheEntries(), QStringList());
  QVERIFY(env.OutsideIntact());
  // No network failure: nothing to try again, and no button for it.
  QTest::qWait(2500);
  QCOMPARE(env.Server().RequestCount(), size_t(1));
  QVERIFY(!host->findChild<QWidget*>(QStringLiteral("retry"))->isVisible());
  delete host.data();
}

QTEST_MAIN(UpgradePanelNoVersionTest)
#include "upgrade_panel_noversion_test.moc"
