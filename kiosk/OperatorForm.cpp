#include "kiosk/OperatorForm.h"

#include <QCheckBox>
#include <QEvent>
#include <QGraphicsDropShadowEffect>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "backoffice/JClient.h"
#include "kiosk/ButtonStrip.h"
#include "kiosk/Common.h"
#include "kiosk/KeyboardLock.h"
#include "kiosk/KioskHooks.h"
#include "kiosk/Main.h"
#include "kiosk/SettingsKeys.h"
#include "kiosk/SettingsStorage.h"
#include "kiosk/TouchButton.h"

TfmRunOperatorForm* fmRunOperatorForm = nullptr;

QString TfmRunOperatorForm::operatorProgramPath(const QString& programFolder) {
  return programFolder + QStringLiteral("/kelto");
}

QStringList TfmRunOperatorForm::operatorArguments(const TJClient& client, qint64 vm_id) {
  return {client.login(),
          client.password(),
          client.host(),
          QString::number(client.port()),
          QStringLiteral("newOperatorForm"),
          QString::number(vm_id)};
}

TfmRunOperatorForm::TfmRunOperatorForm(TOperatorFormContext context, QWidget* parent)
    : QDialog(parent), ctx_(std::move(context)), hooks_(kioskHooks()) {
  requireWiring(ctx_.makeAudit, "makeAudit");
  setObjectName(QStringLiteral("fmRunOperatorForm"));
  setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
  setAutoFillBackground(true);

  lbLogin = new QLabel(QStringLiteral("Логин:"), this);
  lbPassword = new QLabel(QStringLiteral("Пароль:"), this);
  edLogin = new QLineEdit(this);
  edLogin->setObjectName(QStringLiteral("edLogin"));
  edLogin->setAlignment(Qt::AlignCenter);
  pnBottom = createButtonStrip(this);
  btOK = stripButton(QStringLiteral("OK"), true, pnBottom, "btOK");
  btCancel = stripButton(QStringLiteral("Отмена"), false, pnBottom, "btCancel");
  edPassword = new QLineEdit(this);
  edPassword->setObjectName(QStringLiteral("edPassword"));
  edPassword->setEchoMode(QLineEdit::Password);
  edPassword->setInputMethodHints(Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);
  edAudit = new QCheckBox(QStringLiteral("Выполнить аудит при загрузке"), this);
  edAudit->setObjectName(QStringLiteral("edAudit"));

  connect(btOK, &QPushButton::clicked, this, &TfmRunOperatorForm::btOKClick);
  connect(btCancel, &QPushButton::clicked, this, &TfmRunOperatorForm::btCancelClick);
  for (QLineEdit* e : {edLogin, edPassword}) e->installEventFilter(this);

  FitFormToMainForm(this);
  FormCreate();
  fmRunOperatorForm = this;
}

TfmRunOperatorForm::~TfmRunOperatorForm() {
  if (fmRunOperatorForm == this) fmRunOperatorForm = nullptr;
}

void TfmRunOperatorForm::FormCreate() {
  const QSizeF screen = ScreenSize();
  const double W = screen.width(), H = screen.height();
  pnBottom->setGeometry(0, height() - 1, width(), 1);
  placeOkCancelButtons(btOK, btCancel);
  pnBottom->setGeometry(0, height() - pnBottom->height(), width(), pnBottom->height());
  FitFontSize(lbLogin, W / 6);
  const double fs = FontSizeOf(lbLogin);
  for (QWidget* w : std::initializer_list<QWidget*>{lbPassword, edLogin, edPassword, edAudit})
    SetFontSize(w, fs);
  lbLogin->adjustSize();
  lbPassword->adjustSize();
  const double lh = lbLogin->height();
  const double eh = 1.1 * lh;
  const double auditH = eh;
  FitCheckIndicator(edAudit);
  // The room after the text is only for the finger: at a large font it would
  // reach past the screen's edge, so it ends there.
  const double auditW = std::min(MeasureTextWidth(edAudit) + 3 * auditH, W - W / 10 - lh / 2);
  // Labels from a tenth of the width; both edits share one left edge after
  // the wider label and end at four fifths of the width.
  const double labelX = W / 10;
  const double editX = labelX + std::max(lbLogin->width(), lbPassword->width()) + lh / 2;
  const double editW = W * 4 / 5 - editX;
  const double g = (H - pnBottom->height() - 2 * eh - auditH) / 4;
  edLogin->setGeometry(QRectF(editX, g, editW, eh).toRect());
  edPassword->setGeometry(QRectF(editX, g + eh + g, editW, eh).toRect());
  edAudit->setGeometry(QRectF(labelX, edPassword->y() + eh + g, auditW, auditH).toRect());
  lbLogin->move(QPointF(labelX, edLogin->y() + (eh - lh) / 2).toPoint());
  lbPassword->move(QPointF(labelX, edPassword->y() + (eh - lbPassword->height()) / 2).toPoint());

  if (ctx_.SS) {
    edLogin->setText(readText(*ctx_.SS, SettingsKeys::kelto_login));
    edAudit->setChecked(readBool(*ctx_.SS, SettingsKeys::kelto_make_audit));
  } else {
    edAudit->setChecked(true);
  }
  edLogin->setFocus();
}

bool TfmRunOperatorForm::virtualKeyboard() const {
  return ctx_.SS ? readBool(*ctx_.SS, SettingsKeys::VirtualKeyboard) : false;
}

void TfmRunOperatorForm::btOKClick() {
  // 1. A failed login raises here and the form stays open.
  TJClient client;
  if (ctx_.mainClient) client.Assign(*ctx_.mainClient);
  client.setShowProgress(false);
  client.setLogin(edLogin->text());
  client.setPassword(edPassword->text());
  client.connect(30);

  // 2. Kept in memory; the file is written by the next save.
  if (ctx_.SS) {
    writeText(*ctx_.SS, SettingsKeys::kelto_login, edLogin->text());
    writeBool(*ctx_.SS, SettingsKeys::kelto_make_audit, edAudit->isChecked());
  }
  // 3.
  if (edAudit->isChecked()) ctx_.makeAudit(5);
  // 4. Whether the program started is not looked at: it shows itself or not.
  //    The operator types into it, so the kiosk's keyboard grab stands aside.
  releaseKeyboardGrabForProgram();
  hooks_.startProgram(ctx_.programPath, operatorArguments(client, ctx_.vm_id));
  // 5.
  client.close();
  done(QDialog::Accepted);
}

void TfmRunOperatorForm::btCancelClick() {
  done(2);
}

bool TfmRunOperatorForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == edLogin || watched == edPassword) {
    if (event->type() == QEvent::FocusIn && virtualKeyboard()) ShowOnScreenKeyboard();
    if (event->type() == QEvent::FocusOut && virtualKeyboard()) HideVirtualKeyboard();
  }
  return QDialog::eventFilter(watched, event);
}

void TfmRunOperatorForm::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Escape) return;
  QDialog::keyPressEvent(e);
}
