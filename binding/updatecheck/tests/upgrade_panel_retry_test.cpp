#include <QElapsedTimer>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QtTest>

#include "host_window.h"
#include "manifest/curl_handles.h"
#include "panel_environment.h"
#include "updatecheck/upgrade_dlg.h"

using vorla::testing::Response;

// The panel after a failed fetch: "重试" tries at once, ahead of the back-off.
class UpgradePanelRetryTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QVERIFY(vorla::InitializeCurl()); }
  void retryButtonTriesAtOnce();
};

void UpgradePanelRetryTest::retryButtonTriesAtOnce() {
  PanelEnvironment env;
  QVERIFY(env.IsValid());
  env.ServeManifest(Response{.dropBeforeResponse = true});
  int checkDone = 0;
  QPointer<HostWindow> host = new HostWindow(checkDone);
  host->show();
  auto* retry = host->findChild<QPushButton*>(QStringLiteral("retry"));
  auto* tip = host->findChild<QLabel*>(QStringLiteral("tip"));
  QVERIFY(retry);
  QVERIFY(!retry->isVisible());

  // The first retry, a second after the first failure, fails too: the next
  // one by itself would come two seconds after it.
  QTRY_COMPARE_WITH_TIMEOUT(env.Server().RequestCount(), size_t(2), 10000);
  QTest::qWait(500);  // its failure is in
  QTRY_VERIFY_WITH_TIMEOUT(retry->isVisible(), 5000);
  QCOMPARE(tip->text(), QStringLiteral("网络连接失败，请稍后再试。"));
  env.ServeManifest(Response{.body = "<update><version>3.0.0.7</version></update>"});
  QElapsedTimer sinceClick;
  sinceClick.start();
  retry->click();
  QTRY_COMPARE_WITH_TIMEOUT(checkDone, 1, 5000);
  // A second after the last attempt began (half a second from here), not
  // two after it failed (one and a half from here).
  QVERIFY2(sinceClick.elapsed() < 1200, qPrintable(QString::number(sinceClick.elapsed())));
  QCOMPARE(env.Server().RequestCount(), size_t(3));
  delete host.data();
}

QTEST_MAIN(UpgradePanelRetryTest)
#include "upgrade_panel_retry_test.moc"
