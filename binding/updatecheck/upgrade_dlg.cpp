#include "updatecheck/upgrade_dlg.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>

#include <QCoreApplication>
#include <QFontDatabase>
#include <QIcon>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QThread>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "desktop/retry_timer.h"
#include "manifest/manifest.h"
#include "manifest/update_key.h"
#include "manifest/update_signature.h"
#include "platform/platform.h"
#include "ui_upgrade_dlg.h"
#include "updatecheck/cache_purge.h"
#include "updatecheck/check_result_event.h"

namespace {
namespace fs = std::filesystem;

const char kCaption[] = "Vorla";
const char kNetworkFailed[] = "网络连接失败，请稍后再试。";
const char kNoVersion[] = "未获取到软件版本号，请重新安装。";
const char kAskUpgrade[] = "软件已经有一个新版本，是否现在升级？";
const char kMustUpgrade[] = "软件已经有一个新版本，必须升级后才可以继续使用。";
const char kWaitingPicture[] = ":/binding/waiting.png";
const char kFailurePicture[] = ":/binding/failure.png";
const char kSkipUpdateVariable[] = "VORLA_SKIP_UPDATE";

const char kFontFamily[] = "Microsoft Sans Serif";
// The text's Han glyphs come from here: left to fontconfig's fallback they
// could take another region's forms.
const char kCjkFamily[] = "Noto Sans CJK SC";
constexpr int kFontPoints = 18;

// Part of the layout arithmetic: the picture's bottom edge and the text's top
// edge come out 30 pixels apart.
constexpr int kLayoutGap = 20;

const char kWebVersionFile[] = "webversion";
constexpr size_t kStoredWebVersionBytes = 100;

const char kUpgradeProgram[] = "upgrade";
const char kUpgradeFlag[] = "-vorla";

// The picture for the panel's screen: on one that scales (1.5, 2) QIcon takes
// the NAME@2x.png beside it, so no 1x bitmap is stretched there.
QPixmap Picture(const char* path, const QWidget* panel) {
  const QString file = QString::fromLatin1(path);
  return QIcon(file).pixmap(QImageReader(file).size(), panel->devicePixelRatio());
}

QFont PanelFont() {
  QFont font;
  const QString primary = QFontDatabase::hasFamily(QString::fromLatin1(kFontFamily))
                              ? QString::fromLatin1(kFontFamily)
                              : QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
  font.setFamilies({primary, QString::fromLatin1(kCjkFamily)});
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(kFontPoints);
  return font;
}

// True for a regular file: a pipe or device at the name would block the UI
// thread, or never hold what was written.
bool IsRegularFile(int fd) {
  struct stat info {};
  return fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

// At most the first 100 bytes, up to a NUL: "abc\0def" reads as "abc". A
// missing or unreadable file, or anything but a regular file, reads as empty.
std::string ReadStoredWebVersion(const fs::path& file) {
  // O_NONBLOCK: opening a pipe must not wait for a writer.
  const int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return {};
  std::string value(kStoredWebVersionBytes, '\0');
  size_t got = 0;
  if (IsRegularFile(fd)) {
    while (got < value.size()) {
      const ssize_t n = read(fd, value.data() + got, value.size() - got);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        break;
      got += static_cast<size_t>(n);
    }
  }
  close(fd);
  value.resize(got);
  const size_t nul = value.find('\0');
  if (nul != std::string::npos)
    value.resize(nul);
  return value;
}

// The bytes exactly as published, nothing added. Best effort: a value that
// could not be stored only means another cache purge at the next start.
void StoreWebVersion(const fs::path& file, const std::string& value) {
  // O_NOFOLLOW: truncating through a link would clobber whatever it points at.
  // O_NONBLOCK and no O_TRUNC: a pipe or device is neither waited for nor
  // touched; only a regular file is emptied and written.
  const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0)
    return;
  if (!IsRegularFile(fd) || ftruncate(fd, 0) != 0) {
    close(fd);
    return;
  }
  FILE* stream = fdopen(fd, "wb");
  if (!stream) {
    close(fd);
    return;
  }
  std::fwrite(value.data(), 1, value.size(), stream);
  std::fclose(stream);
}

// `folder` and whatever above it is missing, each private to the user, as the
// XDG base directory rules ask. Best effort: EEXIST for all that is there.
void CreateFolders(const fs::path& folder) {
  fs::path partial;
  for (const fs::path& part : folder) {
    partial /= part;
    mkdir(partial.c_str(), 0700);
  }
}

// Stores a web version that differs from the stored one and empties the
// browser cache for it: "2024.2" after "2024.1" purges, "2024.1" again does not.
void UpdateWebVersion(const std::string& document) {
  std::string published;
  if (!vorla::GetTagValue(document, "<webversion>", "</webversion>", published))
    return;
  const fs::path folder = vorla::platform::DataFolder();
  // Without a home there is no data folder; a relative "vorla/cache" would
  // empty whatever the working folder holds.
  if (folder.empty())
    return;
  const fs::path file = folder / kWebVersionFile;
  if (ReadStoredWebVersion(file) == published)
    return;
  // The browser engine creates its folders lazily: at a first start there may
  // be none yet, and the value could never be stored.
  CreateFolders(folder);
  // Emptied before the value is stored: a start killed in between purges
  // again at the next start instead of keeping the stale cache for good.
  vorla::PurgeCache(folder);
  StoreWebVersion(file, published);
}

// Built with the vendor's key, an offer the vendor did not sign is no offer:
// otherwise anyone on the network could end every start in the updater and
// keep the user from the service. The web version is not signed and needs not be.
bool IsOfferTrusted(const std::string& document) {
  const std::string_view key = UpdatePublicKey();
  return key.empty() || IsSignedManifest(key, document);
}

// Whatever the check found: what this start moved aside, and what an earlier
// start left, go off the UI thread.
void StartOldCacheSweep() {
  const fs::path folder = vorla::platform::DataFolder();
  if (!folder.empty())
    vorla::SweepOldCaches(folder);
}

}  // namespace

CUpgradeDlg::CUpgradeDlg(QWidget* parent) : QWidget(parent) {
  Ui::CUpgradeDlg ui;
  ui.setupUi(this);
  m_stTip = ui.tip;
  m_stPicture = ui.picture;
  m_btnRetry = ui.retry;
  m_retry = new vorla::desktop::RetryTimer([this] { StartCheck(); }, this);
  connect(m_btnRetry, &QPushButton::clicked, this, [this] { m_retry->RetryNow(); });

  // White with black text whatever the desktop theme: a dark theme's light
  // text on the forced white would not be readable.
  QPalette white = palette();
  white.setColor(QPalette::Window, Qt::white);
  white.setColor(QPalette::WindowText, Qt::black);
  setPalette(white);
  setFont(PanelFont());
  // A picture control takes its bitmap's size; the text one line of the font.
  m_stPicture->setPixmap(Picture(kWaitingPicture, this));
  m_stPicture->resize(m_stPicture->pixmap().deviceIndependentSize().toSize());
  m_stTip->resize(m_stTip->width(), std::max(m_stTip->fontMetrics().height(), m_stTip->sizeHint().height()));
  m_btnRetry->resize(m_btnRetry->sizeHint());
  PlaceControls();
  StartCheck();
}

CUpgradeDlg::~CUpgradeDlg() {
  // The user quit during the check: a stalled manifest server must not keep
  // the process alive unseen. A result the worker posts meanwhile is
  // discarded, unread, by ~QObject.
  m_stop = 1;
  if (m_hThread.joinable())
    m_hThread.join();
}

std::string CUpgradeDlg::GetSelfVersion() {
  return vorla::platform::ProductVersionText();
}

void CUpgradeDlg::StartCheck() {
  // The last worker has been joined: its buffer is this thread's again.
  m_strManifest.clear();
  try {
    m_hThread = std::thread(&CUpgradeDlg::CheckUpdateThreadProc, this);
  } catch (const std::system_error&) {
    // No thread to be had now: the panel shows what it showed and tries again
    // later; its destruction has nothing to wait for.
    m_retry->OnFailure();
  }
}

void CUpgradeDlg::CheckUpdateThreadProc(CUpgradeDlg* dlg) {
  const int status = vorla::FetchManifest(dlg->m_strManifest, vorla::ManifestUrl(), dlg->m_stop);
  QCoreApplication::postEvent(dlg, new CheckResultEvent(status));
}

bool CUpgradeDlg::event(QEvent* event) {
  if (event->type() == kCheckResultEvent) {
    // Whoever else posts this type posts no status: not a result.
    if (auto* result = dynamic_cast<CheckResultEvent*>(event))
      OnCheckResult(result->Status());
    return true;  // the panel may be gone by now: nothing more here
  }
  return QWidget::event(event);
}

void CUpgradeDlg::keyPressEvent(QKeyEvent* event) {
  // Enter and Escape end here: passed on, they would close a dialog that hosts the panel.
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
      event->accept();
      return;
    default:
      QWidget::keyPressEvent(event);
  }
}

void CUpgradeDlg::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  PlaceControls();
}

void CUpgradeDlg::PlaceControls() {
  const int cx = width();
  const int cy = height();
  const int pw = m_stPicture->width();
  const int ph = m_stPicture->height();
  const int th = m_stTip->height();
  // 800 x 600 with a 93 x 160 picture and 30-pixel text: picture at (353, 195),
  // text at (0, 385). Integer division truncates toward zero, also below zero.
  m_stPicture->move((cx - pw) / 2, (cy - kLayoutGap - th - ph) / 2);
  m_stTip->setGeometry(0, (cy - th - ph) / 2 + ph + kLayoutGap, cx, th);
  // Below the text, as far from it as the text from the picture.
  m_btnRetry->move((cx - m_btnRetry->width()) / 2, m_stTip->y() + th + kLayoutGap);
}

void CUpgradeDlg::OnCheckResult(int status) {
  Q_ASSERT(QThread::currentThread() == qApp->thread());
  // One result per worker; a second one under this type is nobody's.
  if (!m_hThread.joinable())
    return;
  // The worker posted this as its last act, so the join is immediate; after it
  // m_strManifest is this thread's alone.
  m_hThread.join();
  const std::string document = m_strManifest;

  const bool fetched = vorla::IsSuccessStatus(status);
  if (fetched)
    UpdateWebVersion(document);
  if (!std::exchange(m_swept, true))
    StartOldCacheSweep();
  if (!fetched) {
    // A start before the network is up must not strand the user: the failure
    // stays in view while the check is tried again.
    ShowFailure(QString::fromUtf8(kNetworkFailed));
    m_btnRetry->show();
    m_retry->OnFailure();
    return;
  }
  m_retry->OnSuccess();
  m_btnRetry->hide();
  const std::string own = GetSelfVersion();
  if (own.empty()) {
    ShowFailure(QString::fromUtf8(kNoVersion));
    return;
  }
  // A missing element reads as empty: no version is newer, no type is "0" or "1".
  std::string published;
  std::string updateType;
  vorla::GetTagValue(document, "<version>", "</version>", published);
  vorla::GetTagValue(document, "<updatetype>", "</updatetype>", updateType);
  // An installer that could not install a release starts this program with
  // the variable set: offering the update again would start it again at once.
  if (!vorla::IsNewerVersion(published, own) || qEnvironmentVariableIsSet(kSkipUpdateVariable) ||
      !IsOfferTrusted(document)) {
    PostCheckDone();
    return;
  }
  if (updateType == "0") {
    const std::optional<int> answer =
        Ask(QMessageBox::Information, QString::fromUtf8(kAskUpgrade), QMessageBox::Yes | QMessageBox::No);
    if (!answer)
      return;
    if (*answer == QMessageBox::No) {
      PostCheckDone();
      return;
    }
  } else if (updateType == "1") {
    if (!Ask(QMessageBox::NoIcon, QString::fromUtf8(kMustUpgrade), QMessageBox::Ok))
      return;
  }
  StartUpgrade();
}

void CUpgradeDlg::ShowFailure(const QString& text) {
  m_stPicture->setPixmap(Picture(kFailurePicture, this));
  m_stPicture->resize(m_stPicture->pixmap().deviceIndependentSize().toSize());
  m_stPicture->setAccessibleName(text);
  m_stTip->setText(text);
  // The new picture has another size: centre it again now, not at the next resize.
  PlaceControls();
}

std::optional<int> CUpgradeDlg::Ask(QMessageBox::Icon icon, const QString& text,
                                    QMessageBox::StandardButtons buttons) {
  // The box is the panel's child and runs an event loop of its own: if the
  // panel goes meanwhile, the box goes with it and neither may be touched.
  QPointer<CUpgradeDlg> self(this);
  QPointer<QMessageBox> box = new QMessageBox(icon, QString::fromLatin1(kCaption), text, buttons, this);
  const int answer = box->exec();
  if (!self)
    return std::nullopt;
  delete box.data();
  return answer;
}

void CUpgradeDlg::PostCheckDone() {
  if (QWidget* parent = parentWidget())
    QCoreApplication::postEvent(parent, new QEvent(kCheckDoneEvent));
}

void CUpgradeDlg::StartUpgrade() {
  // A bare "upgrade" would be looked for in the working folder: without our
  // own folder there is no updater to start.
  const fs::path folder = vorla::platform::ExecutableFolder();
  if (!folder.empty())
    vorla::platform::StartDetached(folder / kUpgradeProgram, {kUpgradeFlag});  // best effort: a missing updater goes unnoticed
  // Destroyed, not closed: the parent's close question is not asked, and the
  // panel goes with it.
  if (QWidget* parent = parentWidget())
    parent->deleteLater();
}
