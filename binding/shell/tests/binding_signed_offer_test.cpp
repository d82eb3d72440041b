// binding built with the vendor's key, run for real: an update offer the key
// does not verify is no offer (the user reaches the sign-in page, no updater
// starts), while the web version it names still empties the cache; a signed
// offer starts the updater as before.

#include <memory>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "testsupport/loopback_server.h"
#include "testsupport/update_signing.h"

using vorla::testing::CountRequests;
using vorla::testing::LoopbackServer;
using vorla::testing::Response;
using vorla::testing::SignUpdate;

namespace {

QByteArray ReadFile(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

class BindingSignedOfferTest : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();
  void onlyASignedOfferStartsTheUpdater_data();
  void onlyASignedOfferStartsTheUpdater();

 private:
  QString Path(const QString& relative) const { return m_temp->filePath(relative); }

  std::unique_ptr<QTemporaryDir> m_temp;
  std::unique_ptr<LoopbackServer> m_server;
};

void BindingSignedOfferTest::init() {
  m_temp = std::make_unique<QTemporaryDir>();
  QVERIFY(m_temp->isValid());
  // binding takes its updater from its own folder: a copy beside a fake one.
  for (const char* folder : {"bin", "home", "run"})
    QVERIFY(QDir().mkpath(Path(folder)));
  QVERIFY(QFile::setPermissions(Path("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
  QVERIFY(QFile::copy(SIGNED_BINDING_PROGRAM, Path("bin/binding")));
  QFile updater(Path("bin/upgrade"));
  QVERIFY(updater.open(QIODevice::WriteOnly));
  updater.write(("#!/bin/sh\necho \"$*\" > '" + Path("upgrade-record").toStdString() + "'\n").c_str());
  updater.close();
  QVERIFY(updater.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
  m_server = std::make_unique<LoopbackServer>();
  m_server->Route("/signin", Response{.headers = {{"Content-Type", "text/html"}},
                                      .body = "<html><body>Sign in<script>"
                                              "addEventListener('load',()=>fetch('/loaded'));</script></body></html>"});
  m_server->Route("/loaded", Response{.body = "ok"});
}

void BindingSignedOfferTest::cleanup() {
  m_server.reset();
  m_temp.reset();
}

void BindingSignedOfferTest::onlyASignedOfferStartsTheUpdater_data() {
  QTest::addColumn<QString>("signer");  // empty: unsigned
  QTest::addColumn<bool>("updates");
  QTest::newRow("unsigned") << QString() << false;
  QTest::newRow("another key's") << QStringLiteral("other") << false;
  QTest::newRow("the vendor's") << QStringLiteral(TEST_KEY) << true;
}

void BindingSignedOfferTest::onlyASignedOfferStartsTheUpdater() {
  QFETCH(QString, signer);
  QFETCH(bool, updates);
  if (signer == "other") {
    signer = Path("other-key.pem");
    QCOMPARE(QProcess::execute("openssl", {"genpkey", "-algorithm", "ed25519", "-out", signer}), 0);
  }
  // A silent update: acted on, it ends binding before any page loads.
  const std::string version = "9.0.0.0";
  const std::string digest = QCryptographicHash::hash("installer", QCryptographicHash::Sha256).toHex().toStdString();
  std::string manifest = "<update><version>" + version + "</version><webversion>w2</webversion>"
                         "<updatetype>2</updatetype><url>http://www.vorla.example/dl/setup</url><sha256>" + digest +
                         "</sha256>";
  if (!signer.isEmpty())
    manifest += "<signature>" + SignUpdate(signer, version, digest) + "</signature>";
  m_server->Route("/pcupdate/update.xml", Response{.body = manifest + "</update>"});

  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("http_proxy", QString::fromStdString(m_server->BaseUrl()));
  environment.remove("no_proxy");
  environment.insert("XDG_DATA_HOME", Path("data"));
  environment.insert("HOME", Path("home"));
  environment.insert("XDG_RUNTIME_DIR", Path("run"));
  environment.insert("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu");
  QProcess process;
  process.setProcessEnvironment(environment);
  process.setWorkingDirectory(Path("home"));
  process.start(Path("bin/binding"), {});
  QVERIFY(process.waitForStarted(10000));
  if (updates) {
    QVERIFY2(process.waitForFinished(30000), "binding should end after starting the updater");
    QTRY_COMPARE_WITH_TIMEOUT(ReadFile(Path("upgrade-record")), QByteArray("-vorla\n"), 10000);
    QCOMPARE(CountRequests(*m_server, "/signin"), 0);
    return;
  }
  QTRY_VERIFY_WITH_TIMEOUT(CountRequests(*m_server, "/loaded") == 1, 60000);
  QCOMPARE(process.state(), QProcess::Running);
  QVERIFY(!QFile::exists(Path("upgrade-record")));
  // The web version is not signed, and still empties the cache.
  QCOMPARE(ReadFile(Path("data/vorla/webversion")), QByteArray("w2"));
  process.terminate();  // ends as the session's end does
  QVERIFY(process.waitForFinished(30000));
}

QTEST_GUILESS_MAIN(BindingSignedOfferTest)
#include "binding_signed_offer_test.moc"
