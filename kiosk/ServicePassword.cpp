#include "kiosk/ServicePassword.h"

#include <QEvent>
#include <QGraphicsDropShadowEffect>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "kiosk/ButtonStrip.h"
#include "kiosk/Common.h"
#include "kiosk/DialogsAndMessages.h"
#include "kiosk/Main.h"
#include "kiosk/SettingsKeys.h"
#include "kiosk/TouchButton.h"

TfmServicePassword* fmServicePassword = nullptr;

namespace {

QLabel* formLabel(const QString& text, QWidget* parent) {
  auto* l = new QLabel(text, parent);
  l->setTextFormat(Qt::PlainText);
  QFont f = l->font();
  f.setPointSizeF(30);
  l->setFont(f);
  return l;
}

}  // namespace

TfmServicePassword::TCheck TfmServicePassword::checkPassword(const QString& typed,
                                                             const QString& servicePassword) {
  const QString text = typed.trimmed();
  if (text.isEmpty()) return pcEmpty;
  return text == servicePassword ? pcAccepted : pcWrong;
}

TfmServicePassword::TfmServicePassword(const QString& servicePassword, bool virtualKeyboard,
                                       QWidget* parent)
    : QDialog(parent), service_password_(servicePassword), virtual_keyboard_(virtualKeyboard) {
  setObjectName(QStringLiteral("fmServicePassword"));
  setWindowTitle(QStringLiteral("Проверка пароля"));
  setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, QColor(0xE0, 0xE0, 0xE0));
  setPalette(pal);

  ed = new QLineEdit(this);
  ed->setObjectName(QStringLiteral("ed"));
  ed->setEchoMode(QLineEdit::Password);
  ed->setAlignment(Qt::AlignCenter);
  // The on-screen keyboard offers digits: the factory password is a number.
  ed->setInputMethodHints(Qt::ImhDigitsOnly | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);
  QFont ef = ed->font();
  ef.setPointSizeF(30);
  ed->setFont(ef);
  lb1 = formLabel(QStringLiteral("Введите пароль"), this);
  pnBottom = createButtonStrip(this);
  btOK = stripButton(QStringLiteral("OK"), true, pnBottom);
  btCancel = stripButton(QStringLiteral("Отмена"), false, pnBottom);
  lb2 = formLabel(QStringLiteral("для входа в сервисное меню:"), this);

  connect(btOK, &QPushButton::clicked, this, &TfmServicePassword::btOKClick);
  connect(btCancel, &QPushButton::clicked, this, &TfmServicePassword::btCancelClick);
  ed->installEventFilter(this);

  FitFormToMainForm(this);
  FormCreate();
  fmServicePassword = this;
}

TfmServicePassword::~TfmServicePassword() {
  if (fmServicePassword == this) fmServicePassword = nullptr;
}

void TfmServicePassword::FormCreate() {
  const QSizeF screen = ScreenSize();
  const double W = screen.width(), H = screen.height();
  pnBottom->setGeometry(0, height() - 1, width(), 1);
  placeOkCancelButtons(btOK, btCancel);
  FitFontSize(lb2, W / 2);
  SetFontSize(lb1, FontSizeOf(lb2));
  SetFontSize(ed, FontSizeOf(lb2));
  ed->resize(lb1->size());
  const double g = (H - pnBottom->height() - 2.0 * lb1->height() - ed->height()) / 6;
  lb1->move(QPointF((W - lb1->width()) / 2, g).toPoint());
  lb2->move(QPointF((W - lb2->width()) / 2, lb1->y() + lb1->height() + g).toPoint());
  ed->move(QPointF((W - ed->width()) / 2, lb2->y() + lb2->height() + g).toPoint());
  ed->setFocus();
}

void TfmServicePassword::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  ed->setFocus();
}

void TfmServicePassword::btOKClick() {
  switch (checkPassword(ed->text(), service_password_)) {
    case pcEmpty:
      ShowMessageTimed(QStringLiteral("Введите пароль."), 0);
      break;
    case pcWrong:
      ShowMessageTimed(QStringLiteral("Неверный пароль."), 15);
      ed->clear();
      break;
    case pcAccepted:
      done(QDialog::Accepted);
      break;
  }
}

void TfmServicePassword::btCancelClick() {
  done(2);
}

bool TfmServicePassword::eventFilter(QObject* watched, QEvent* event) {
  if (watched == ed) {
    if (event->type() == QEvent::FocusIn && virtual_keyboard_) ShowOnScreenKeyboard();
    if (event->type() == QEvent::KeyPress) {
      const int key = static_cast<QKeyEvent*>(event)->key();
      if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        btOKClick();
        return true;
      }
    }
  }
  return QDialog::eventFilter(watched, event);
}

void TfmServicePassword::keyPressEvent(QKeyEvent* e) {
  // No escape on a kiosk: only OK, Enter or Отмена answer.
  if (e->key() == Qt::Key_Escape) return;
  QDialog::keyPressEvent(e);
}

void TfmServicePassword::done(int r) {
  if (virtual_keyboard_) HideVirtualKeyboard();
  QDialog::done(r);
}

bool AskServicePassword() {
  const QString password = fmMain ? fmMain->SERVICE_PASSWORD : QString();
  bool keyboard = true;
  if (fmMain && fmMain->SS()) keyboard = readBool(*fmMain->SS(), SettingsKeys::VirtualKeyboard);
  TfmServicePassword form(
      password.isEmpty() ? QString::fromLatin1(SettingsKeys::kDefaultServicePassword) : password,
      keyboard);
  return form.exec() == QDialog::Accepted;
}
