#pragma once

#include <QDialog>

class QAuthenticator;
class QLineEdit;

namespace vorla::engine {

// Asks for the user name and password a proxy or a site wants, for this one
// request: nothing is stored. Main thread only.
class CredentialsDialog final : public QDialog {
 public:
  CredentialsDialog(QWidget* parent, const QString& prompt);

  // Fills `authenticator` from the user's answer; Cancel, or the window going
  // meanwhile, leaves it null so the engine shows the page's own answer.
  static void Ask(QWidget* parent, const QString& prompt, QAuthenticator* authenticator);

 private:
  QLineEdit* m_user;
  QLineEdit* m_password;
};

}  // namespace vorla::engine
