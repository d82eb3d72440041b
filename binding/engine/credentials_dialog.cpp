#include "engine/credentials_dialog.h"

#include <QAuthenticator>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>

namespace vorla::engine {
namespace {

const char kCaption[] = "需要登录";
const char kUser[] = "用户名(&U)：";
const char kPassword[] = "密码(&P)：";
const char kOk[] = "确定";
const char kCancel[] = "取消";

}  // namespace

CredentialsDialog::CredentialsDialog(QWidget* parent, const QString& prompt)
    : QDialog(parent), m_user(new QLineEdit(this)), m_password(new QLineEdit(this)) {
  setWindowTitle(QString::fromUtf8(kCaption));
  setWindowModality(Qt::WindowModal);
  auto* layout = new QFormLayout(this);
  auto* text = new QLabel(prompt, this);
  text->setWordWrap(true);
  text->setTextFormat(Qt::PlainText);
  layout->addRow(text);
  // Labels with buddies: a screen reader names each field by its label.
  layout->addRow(QString::fromUtf8(kUser), m_user);
  m_password->setEchoMode(QLineEdit::Password);
  layout->addRow(QString::fromUtf8(kPassword), m_password);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Ok)->setText(QString::fromUtf8(kOk));
  buttons->button(QDialogButtonBox::Cancel)->setText(QString::fromUtf8(kCancel));
  layout->addRow(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  setAccessibleDescription(prompt);
  m_user->setFocus();
}

void CredentialsDialog::Ask(QWidget* parent, const QString& prompt, QAuthenticator* authenticator) {
  // The engine waits inside its signal for the answer; the window may go
  // while the dialog is open, and the dialog and the request with it.
  QPointer<CredentialsDialog> dialog = new CredentialsDialog(parent, prompt);
  const int answer = dialog->exec();
  if (!dialog)
    return;
  if (answer == QDialog::Accepted) {
    authenticator->setUser(dialog->m_user->text());
    authenticator->setPassword(dialog->m_password->text());
  } else {
    *authenticator = QAuthenticator();  // null: the engine takes it as Cancel
  }
  delete dialog.data();
}

}  // namespace vorla::engine
