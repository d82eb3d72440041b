#pragma once

#include <functional>

#include <QRect>
#include <QString>
#include <QStringList>

#include "engine/application.h"
#include "engine/client.h"
#include "engine/notification.h"

class QWidget;

// Our layer over Qt WebEngine: what binding needs of a browser engine, and no more.
// Everything here runs on the main thread.
namespace vorla::engine {

struct Settings {
  bool noSandbox = false;
  // Only false is supported: the engine runs on the thread that initialised it.
  bool multiThreadedMessageLoop = false;
  // The HTTP disk cache's folder; nothing else of the profile lives there.
  QString cachePath;
  // Plain-HTTP origins ("http://app.vorla.example") the engine treats as
  // secure contexts, as it does HTTPS: pages there get the APIs kept for
  // secure origins (notifications, service workers).
  QStringList secureOrigins;
};

// When this process is one of the engine's sub-processes (renderer, GPU,
// utility, zygote), runs it to its end and returns its result (0 or more).
// Otherwise returns -1 at once.
int ExecuteProcess(int argc, char** argv, RefPtr<Application> application);

// Starts the engine in this, the browser process; creates the application
// object when none exists yet. `argc` must outlive Shutdown. False when the
// engine cannot run here (no display, an unsupported setting).
bool Initialize(int& argc, char** argv, const Settings& settings, RefPtr<Application> application);

// Runs the message loop until QuitMessageLoop; returns at once when a quit was
// already asked for.
void RunMessageLoop();
void QuitMessageLoop();

// Closes every browser still open, then the profile (its cookie store is written
// to disk), then the application object if Initialize created it.
void Shutdown();

// Where the cookie store (and the web storage kept beside it) lives; with
// `persistSessionCookies` session cookies are kept across runs too. Takes
// effect for the profile, which is created with the first browser.
void SetCookieStoragePath(const QString& path, bool persistSessionCookies);

// Every browser's pages show at `factor` (1.0: 100 %) from their first paint,
// those open and those made later; `onChanged` hears each zoom the user makes
// with the keys or Ctrl+wheel, in any window.
void SetPageZoom(double factor, std::function<void(double)> onChanged);

// Where the pages' notifications go; null (the default) drops them. The
// handler must outlive every browser, or be unset before it goes.
void SetNotificationHandler(NotificationHandler* handler);

// Creates a browser as a child of `parent` at `rect` showing `url`. The client
// hears of it in OnAfterCreated. False when it could not be created.
bool CreateBrowser(QWidget* parent, const QRect& rect, RefPtr<Client> client, const QUrl& url);

}  // namespace vorla::engine
