#include "engine/engine.h"

#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QPointer>
#include <QWebEngineDownloadRequest>
#include <QWebEngineNotification>
#include <QWebEngineProfile>
#include <QWebEngineSettings>

#include "engine/browser_keys.h"
#include "engine/deferred_download.h"
#include "engine/web_browser.h"

// Qt WebEngine's own sub-process entry, exported by the library but not
// declared in its public headers; QtWebEngineProcess is a thin main over it.
namespace QtWebEngineCore {
int processMain(int argc, const char** argv);
}

namespace vorla::engine {
namespace {

constexpr char kProfileName[] = "vorla";
// Installed with the program, beside its bin/ folder, as .bdic files named
// after their language ("en-US.bdic").
constexpr char kDictionaryFolder[] = "/../share/vorla/qtwebengine_dictionaries";
constexpr char kDictionariesVariable[] = "QTWEBENGINE_DICTIONARIES_PATH";
constexpr char kFallbackLanguage[] = "en-US";

// Signals the program gives a meaning to (SIGUSR1 asks for the home page;
// SIGINT and SIGHUP end it in order) and whose default would kill a helper:
// "kill -USR1" by name, Ctrl+C to the terminal's process group or a closed
// terminal must reach the program alone, not kill its renderers. SIGTERM
// still ends a helper.
constexpr int kProgramSignals[] = {SIGUSR1, SIGINT, SIGHUP};

// Chromium's switch for intranet services on plain HTTP; it takes a comma-separated list.
constexpr char kSecureOriginSwitch[] = "--unsafely-treat-insecure-origin-as-secure=";

struct EngineState {
  Settings settings;
  RefPtr<Application> application;
  // Made by Initialize, deleted by Shutdown only: never at exit, after Qt is gone.
  QApplication* ownApplication = nullptr;
  QString cookieStoragePath;
  bool persistSessionCookies = false;
  QWebEngineProfile* profile = nullptr;
  NotificationHandler* notificationHandler = nullptr;
  bool quitRequested = false;
};

EngineState& State() {
  static EngineState state;
  return state;
}

// Continue is honoured only during OnBeforeDownload: the request must be
// accepted before the signal that carries it returns.
class DownloadCallback final : public BeforeDownloadCallback {
 public:
  DownloadCallback(QWebEngineDownloadRequest* request, QWidget* window) : m_request(request), m_window(window) {}

  void Continue(const QString& path, bool showDialog) override {
    if (!m_request || m_request->state() != QWebEngineDownloadRequest::DownloadRequested)
      return;
    if (showDialog) {
      DeferredDownload::Start(m_request, path, m_window);
      return;
    }
    if (path.isEmpty())
      return;
    const QFileInfo info(path);
    m_request->setDownloadDirectory(info.absolutePath());
    m_request->setDownloadFileName(info.fileName());
    m_request->accept();
  }

  void Expire() { m_request = nullptr; }

 private:
  QPointer<QWebEngineDownloadRequest> m_request;
  QPointer<QWidget> m_window;
};

DownloadItem Snapshot(const QWebEngineDownloadRequest& request) {
  DownloadItem item;
  item.url = request.url();
  item.fullPath = QDir(request.downloadDirectory()).filePath(request.downloadFileName());
  item.receivedBytes = request.receivedBytes();
  item.totalBytes = request.totalBytes();
  item.isInProgress = request.state() == QWebEngineDownloadRequest::DownloadInProgress;
  item.isComplete = request.state() == QWebEngineDownloadRequest::DownloadCompleted;
  item.isCanceled = request.state() == QWebEngineDownloadRequest::DownloadCancelled;
  return item;
}

void OnDownloadRequested(QWebEngineDownloadRequest* request) {
  RefPtr<WebBrowser> browser = WebBrowser::FromPage(request->page());
  if (!browser)
    return;  // not accepted: cancelled
  DownloadHandler* handler = browser->GetClient()->GetDownloadHandler();
  if (!handler)
    return;
  RefPtr<DownloadCallback> callback(new DownloadCallback(request, browser->Window()));
  handler->OnBeforeDownload(browser, Snapshot(*request), request->suggestedFileName(), callback);
  callback->Expire();
  if (request->state() == QWebEngineDownloadRequest::DownloadRequested)
    return;
  auto updated = [browser, request] {
    if (DownloadHandler* handler = browser->GetClient()->GetDownloadHandler())
      handler->OnDownloadUpdated(browser, Snapshot(*request));
  };
  QObject::connect(request, &QWebEngineDownloadRequest::receivedBytesChanged, request, updated);
  QObject::connect(request, &QWebEngineDownloadRequest::stateChanged, request, updated);
}

// The spelling language for the user's LANG among the dictionaries there:
// "de_DE.UTF-8" is "de-DE", "de_AT" takes "de-DE" when no "de-AT" is there,
// and a language without a dictionary ("zh_CN": Chinese has none) English.
// Empty when there is none to take.
QString SpellCheckLanguage(const QString& folder) {
  QStringList available;
  QDirIterator it(folder, {QStringLiteral("*.bdic")}, QDir::Files);
  while (it.hasNext())
    available << QFileInfo(it.next()).completeBaseName();
  QString wanted = qEnvironmentVariable("LANG").section(QLatin1Char('.'), 0, 0).section(QLatin1Char('@'), 0, 0);
  wanted.replace(QLatin1Char('_'), QLatin1Char('-'));
  const QString fallback = QString::fromLatin1(kFallbackLanguage);
  if (available.contains(wanted))
    return wanted;
  // "en" and "en_IN" take "en-US"; the others of a language come in name order.
  const QString language = wanted.section(QLatin1Char('-'), 0, 0) + QLatin1Char('-');
  if (language.size() > 1 && fallback.startsWith(language) && available.contains(fallback))
    return fallback;
  available.sort();
  for (const QString& name : std::as_const(available))
    if (language.size() > 1 && name.startsWith(language))
      return name;
  return available.contains(fallback) ? fallback : QString();
}

// A page's notification, owned here once the engine has handed it over.
class PageNotification final : public Notification {
 public:
  explicit PageNotification(std::unique_ptr<QWebEngineNotification> notification)
      : m_notification(std::move(notification)) {}
  // The last reference may go inside the notification's own closed signal.
  ~PageNotification() override { m_notification.release()->deleteLater(); }

  QUrl GetOrigin() const override { return m_notification->origin(); }
  QString GetTitle() const override { return m_notification->title(); }
  QString GetMessage() const override { return m_notification->message(); }
  QString GetTag() const override { return m_notification->tag(); }
  QImage GetIcon() const override { return m_notification->icon(); }
  void Shown() override { m_notification->show(); }
  void Click() override { m_notification->click(); }
  void Close() override { m_notification->close(); }

 private:
  std::unique_ptr<QWebEngineNotification> m_notification;
};

void OnNotification(std::unique_ptr<QWebEngineNotification> notification) {
  if (!State().notificationHandler)
    return;  // dropped: the page hears nothing
  QWebEngineNotification* engineNotification = notification.get();
  RefPtr<Notification> presented(new PageNotification(std::move(notification)));
  // The connection goes with the engine's object, which the notification owns.
  QObject::connect(engineNotification, &QWebEngineNotification::closed, engineNotification,
                   [raw = presented.get()] {
                     if (NotificationHandler* handler = State().notificationHandler)
                       handler->OnCloseNotification(raw);
                   });
  State().notificationHandler->OnShowNotification(presented);
}

// The one profile, made when the first browser needs it: the cache folder is
// emptied by the start-up check before that, with nothing of the engine in it.
QWebEngineProfile* Profile() {
  EngineState& state = State();
  if (state.profile)
    return state.profile;
  auto* profile = new QWebEngineProfile(QString::fromLatin1(kProfileName));
  profile->setHttpCacheType(QWebEngineProfile::DiskHttpCache);
  if (!state.settings.cachePath.isEmpty())
    profile->setCachePath(state.settings.cachePath);
  // Cookies and web storage live apart from the cache, so that emptying the
  // cache never signs the user out.
  if (!state.cookieStoragePath.isEmpty())
    profile->setPersistentStoragePath(state.cookieStoragePath);
  profile->setPersistentCookiesPolicy(state.persistSessionCookies ? QWebEngineProfile::ForcePersistentCookies
                                                                  : QWebEngineProfile::AllowPersistentCookies);
  // Each widens what a page reaches and none is needed: local content reading
  // files, a dropped file or link replacing the page with no way back, WebRTC
  // telling the machine's private addresses.
  QWebEngineSettings* settings = profile->settings();
  settings->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, false);
  settings->setAttribute(QWebEngineSettings::NavigateOnDropEnabled, false);
  settings->setAttribute(QWebEngineSettings::WebRTCPublicInterfacesOnly, true);
  const QString language = SpellCheckLanguage(qEnvironmentVariable(kDictionariesVariable));
  if (!language.isEmpty()) {
    profile->setSpellCheckLanguages({language});
    profile->setSpellCheckEnabled(true);
  }
  QObject::connect(profile, &QWebEngineProfile::downloadRequested, profile, &OnDownloadRequested);
  profile->setNotificationPresenter(&OnNotification);
  state.profile = profile;
  return profile;
}

}  // namespace

int ExecuteProcess(int argc, char** argv, RefPtr<Application> application) {
  Q_UNUSED(application);
  // Chromium starts its sub-processes with "--type=<role>"; the user never does.
  bool subProcess = false;
  for (int i = 1; i < argc && !subProcess; ++i)
    subProcess = std::strncmp(argv[i], "--type=", 7) == 0;
  if (!subProcess)
    return -1;
  // Ignored, not handled: the disposition survives the zygote's forks.
  for (const int number : kProgramSignals)
    std::signal(number, SIG_IGN);
  // Chromium rewrites the memory of argv for the process title, and Qt reads
  // its arguments later: Qt gets copies of the strings, Chromium the originals.
  std::vector<std::string> copies(argv, argv + argc);
  std::vector<char*> arguments;
  for (std::string& copy : copies)
    arguments.push_back(copy.data());
  arguments.push_back(nullptr);
  int qtArgc = argc;
  QCoreApplication application_(qtArgc, arguments.data());
  const int result = QtWebEngineCore::processMain(argc, const_cast<const char**>(argv));
  return result < 0 ? 0 : result;
}

bool Initialize(int& argc, char** argv, const Settings& settings, RefPtr<Application> application) {
  if (settings.multiThreadedMessageLoop)
    return false;
  EngineState& state = State();
  state.settings = settings;
  state.application = std::move(application);
  // This executable serves as the engine's sub-process executable too.
  if (qEnvironmentVariableIsEmpty("QTWEBENGINEPROCESS_PATH")) {
    const QByteArray self = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath().toLocal8Bit();
    if (!self.isEmpty())
      qputenv("QTWEBENGINEPROCESS_PATH", self);
  }
  if (settings.noSandbox)
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
  // The engine looks for spelling dictionaries beside the executable or in
  // Qt's data folder; ours are installed with the program's data.
  if (qEnvironmentVariableIsEmpty(kDictionariesVariable)) {
    const QString dictionaries =
        QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath() + QLatin1String(kDictionaryFolder);
    if (QFileInfo(dictionaries).isDir())
      qputenv(kDictionariesVariable, QFileInfo(dictionaries).canonicalFilePath().toLocal8Bit());
  }
  // Qt WebEngine hands these flags to Chromium's browser process. Qt WebEngine
  // 6.4 does not pass this one on to its renderers, so there the page stays
  // no secure context; an HTTPS build needs none of it.
  if (!settings.secureOrigins.isEmpty()) {
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    flags += (flags.isEmpty() ? "" : " ") + QByteArray(kSecureOriginSwitch) +
             settings.secureOrigins.join(QLatin1Char(',')).toLatin1();
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags);
  }

  if (!qApp) {
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
      return false;  // QApplication would abort the process
    state.ownApplication = new QApplication(argc, argv);
  }
  // Windows close when their object goes; the loop ends only when asked.
  QApplication::setQuitOnLastWindowClosed(false);
  return true;
}

void RunMessageLoop() {
  EngineState& state = State();
  if (!state.quitRequested)
    QApplication::exec();
  state.quitRequested = false;
}

void QuitMessageLoop() {
  State().quitRequested = true;
  // Not quit(): in Qt 6 that first closes every window, as if the user had.
  QCoreApplication::exit(0);
}

void Shutdown() {
  EngineState& state = State();
  WebBrowser::DestroyAll();
  // Views closed inside the loop may still wait for their deferred delete; the
  // profile must outlive every page.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  delete state.profile;
  state.profile = nullptr;
  delete std::exchange(state.ownApplication, nullptr);
  state.application = nullptr;
  state.quitRequested = false;
}

void SetCookieStoragePath(const QString& path, bool persistSessionCookies) {
  EngineState& state = State();
  state.cookieStoragePath = path;
  state.persistSessionCookies = persistSessionCookies;
  if (state.profile) {
    state.profile->setPersistentStoragePath(path);
    state.profile->setPersistentCookiesPolicy(persistSessionCookies ? QWebEngineProfile::ForcePersistentCookies
                                                                    : QWebEngineProfile::AllowPersistentCookies);
  }
}

void SetPageZoom(double factor, std::function<void(double)> onChanged) {
  BrowserKeys::SetZoom(factor, std::move(onChanged));
}

void SetNotificationHandler(NotificationHandler* handler) { State().notificationHandler = handler; }

bool CreateBrowser(QWidget* parent, const QRect& rect, RefPtr<Client> client, const QUrl& url) {
  if (!qApp || !parent || !client)
    return false;
  RefPtr<WebBrowser> browser = WebBrowser::Create(Profile(), parent, rect, std::move(client));
  browser->Load(url);
  return true;
}

}  // namespace vorla::engine
