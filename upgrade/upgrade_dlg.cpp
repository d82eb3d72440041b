#include "upgrade/upgrade_dlg.h"

#include <system_error>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFontMetrics>
#include <QImageReader>
#include <QMessageBox>
#include <QThread>

#include "ui_upgrade_dlg.h"
#include "upgrade/download_worker.h"

namespace {

// Ends the local wait in WaitForWorker; posted by the worker as its last act.
constexpr QEvent::Type kWorkerFinishedEvent = QEvent::Type(QEvent::User + 200);

// Dialog units as the dialog font defines them: a horizontal unit is a quarter
// of the average character width, a vertical unit an eighth of the height.
class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    static const QString kLetters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    m_baseX = (metrics.horizontalAdvance(kLetters) / 26 + 1) / 2;
    m_baseY = metrics.height();
  }
  int X(int units) const { return units * m_baseX / 4; }
  int Y(int units) const { return units * m_baseY / 8; }
  QRect Rect(const QRect& units) const {
    return QRect(X(units.x()), Y(units.y()), X(units.width()), Y(units.height()));
  }

 private:
  int m_baseX = 0;
  int m_baseY = 0;
};

// The banner for the window's screen: on one that scales (1.5, 2) QIcon takes
// the banner@2x.png beside it, so no 1x bitmap is stretched there.
QPixmap Banner(const QWidget* window) {
  const QString file = QStringLiteral(":/upgrade/banner.png");
  return QIcon(file).pixmap(QImageReader(file).size(), window->devicePixelRatio());
}

}  // namespace

CupgradeDlg::CupgradeDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      m_ui(std::make_unique<Ui::CupgradeDlg>()),
      m_icon(QStringLiteral(":/upgrade/icon.png")) {
  m_ui->setupUi(this);
  m_ui->banner->setPixmap(Banner(this));
  OnInitDialog();
}

CupgradeDlg::~CupgradeDlg() {
  WaitForWorker();
}

void CupgradeDlg::OnInitDialog() {
  QFont font = this->font();
  font.setPointSize(9);
  setFont(font);
  PlaceControls();
  setWindowIcon(m_icon);
  m_ui->progressBar->setRange(0, 100);
  m_ui->progressBar->setValue(0);
  m_worker = std::make_unique<DownloadWorker>(*this);
  try {
    m_workerThread = std::thread(&DownloadWorker::DownloadThreadProc, m_worker.get());
  } catch (const std::system_error&) {
    // No thread to be had: the window stays as it opened, and closing it asks
    // the quit question, since the work never ended.
    m_worker.reset();
  }
}

void CupgradeDlg::PlaceControls() {
  const DialogUnits units(font());
  setFixedSize(units.Rect(property("dialogRect").toRect()).size());
  for (QWidget* control : {static_cast<QWidget*>(m_ui->progressBar), static_cast<QWidget*>(m_ui->statusText)})
    control->setGeometry(units.Rect(control->property("dialogRect").toRect()));
  // A picture control takes its bitmap's size.
  const QRect banner = units.Rect(m_ui->banner->property("dialogRect").toRect());
  m_ui->banner->setGeometry(QRect(banner.topLeft(), m_ui->banner->pixmap().deviceIndependentSize().toSize()));
}

void CupgradeDlg::SetStatusText(const QString& text) {
  QMetaObject::invokeMethod(
      this, [this, text] { m_ui->statusText->setText(text); }, Qt::BlockingQueuedConnection);
}

void CupgradeDlg::SetProgressPosition(int position) {
  QMetaObject::invokeMethod(
      this, [this, position] { m_ui->progressBar->setValue(position); }, Qt::BlockingQueuedConnection);
}

void CupgradeDlg::reject() {
  Q_ASSERT(QThread::currentThread() == qApp->thread());
  if (m_stop.load() == 0) {
    QMessageBox question(QMessageBox::Question, QStringLiteral("Vorla"),
                         QStringLiteral("你确定要退出升级吗？"), QMessageBox::Yes | QMessageBox::No, this);
    question.setDefaultButton(QMessageBox::Yes);
    m_quitQuestion = &question;
    const int answer = question.exec();
    if (answer != QMessageBox::Yes)
      return;
    m_stop = 1;
  }
  QDialog::reject();
}

bool CupgradeDlg::event(QEvent* event) {
  if (event->type() == kCloseRequestEvent) {
    // The installer runs: a quit question still open has nothing left to guard.
    if (m_quitQuestion)
      m_quitQuestion->done(QMessageBox::No);
    done(QDialog::Accepted);
    return true;
  }
  if (event->type() == kWorkerFinishedEvent) {
    OnWorkerFinished();
    return true;
  }
  return QDialog::event(event);
}

void CupgradeDlg::OnWorkerFinished() {
  m_workerFinished = true;
  if (m_waitLoop)
    m_waitLoop->quit();
}

void CupgradeDlg::WaitForWorker() {
  Q_ASSERT(QThread::currentThread() == qApp->thread());
  if (!m_workerThread.joinable())
    return;
  m_stop = 1;
  // The worker may be inside a blocking hand-off to this thread, so wait by
  // handling events until its last posted event arrives. Bounded: with the
  // flag set, each of its transfers ends within about a second, and every
  // other step it takes is short.
  if (!m_workerFinished) {
    QEventLoop loop;
    m_waitLoop = &loop;
    loop.exec();
    m_waitLoop = nullptr;
  }
  m_workerThread.join();
}

void CupgradeDlg::PostWorkerFinished() {
  QCoreApplication::postEvent(this, new QEvent(kWorkerFinishedEvent));
}

void CupgradeDlg::PostCloseRequest() {
  QCoreApplication::postEvent(this, new QEvent(kCloseRequestEvent));
}
