#include "kiosk/Settings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QGraphicsDropShadowEffect>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QStandardPaths>

#include "backoffice/JClient.h"
#include "kiosk/ButtonStrip.h"
#include "kiosk/Common.h"
#include "kiosk/DialogsAndMessages.h"
#include "kiosk/KioskHooks.h"
#include "kiosk/Main.h"
#include "kiosk/OperatorForm.h"
#include "kiosk/Pictures.h"
#include "kiosk/SettingsKeys.h"
#include "kiosk/SettingsStorage.h"
#include "kiosk/TouchButton.h"
#include "platform/Common.h"
#include "platform/Exception.h"

TfmSettings* fmSettings = nullptr;

const QStringList kPosTerminalLocations = {
    QString(), QStringLiteral("слева от экрана"), QStringLiteral("справа от экрана"),
    QStringLiteral("над экраном"), QStringLiteral("под экраном")};

// --- autostart entry -------------------------------------------------------------

namespace plat {

AutostartEntry::AutostartEntry(QString folder) : folder_(std::move(folder)) {
  if (folder_.isEmpty()) {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty()) config = QDir::homePath() + QStringLiteral("/.config");
    folder_ = config + QStringLiteral("/autostart");
  }
}

QString AutostartEntry::fileName() const {
  return folder_ + QLatin1Char('/') + QLatin1String(kEntryName) + QStringLiteral(".desktop");
}

bool AutostartEntry::exists() const {
  return QFileInfo::exists(fileName());
}

QString AutostartEntry::execLine(const QString& programPath) {
  // Inside a quoted argument '"', '`', '$' and '\' are escaped with '\';
  // the value as a whole escapes '\' once more, and '%' starts field codes.
  QString quoted;
  for (const QChar c : programPath) {
    if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$'))
      quoted += QLatin1Char('\\');
    else if (c == QLatin1Char('\\'))
      quoted += QLatin1String("\\\\\\");
    if (c == QLatin1Char('%'))
      quoted += QLatin1String("%%");
    else
      quoted += c;
  }
  return QLatin1Char('"') + quoted + QLatin1Char('"');
}

bool AutostartEntry::starts(const QString& programPath) const {
  QFile f(fileName());
  if (!f.open(QIODevice::ReadOnly)) return false;
  const QString wanted = QStringLiteral("Exec=") + execLine(programPath);
  const QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
  bool hidden = false, exec = false;
  for (const QString& raw : lines) {
    const QString line = raw.trimmed();
    if (line == wanted) exec = true;
    if (line.compare(QLatin1String("Hidden=true"), Qt::CaseInsensitive) == 0) hidden = true;
  }
  return exec && !hidden;
}

void AutostartEntry::set(const QString& programPath) {
  if (!QDir().mkpath(folder_))
    throw EFileError(QStringLiteral("Cannot create folder \"%1\".").arg(folder_));
  const QString text = QStringLiteral(
                           "[Desktop Entry]\n"
                           "Type=Application\n"
                           "Name=Norvane Lumeko\n"
                           "Exec=") +
                       execLine(programPath) +
                       QStringLiteral(
                           "\n"
                           "Terminal=false\n"
                           "X-GNOME-Autostart-enabled=true\n");
  QSaveFile f(fileName());
  if (!f.open(QIODevice::WriteOnly) || f.write(text.toUtf8()) < 0 || !f.commit())
    throw EFileError(
        QStringLiteral("Cannot write file \"%1\". %2").arg(fileName(), f.errorString()));
}

void AutostartEntry::remove() {
  if (!exists()) return;
  QFile f(fileName());
  if (!f.remove())
    throw EFileError(
        QStringLiteral("Cannot delete file \"%1\". %2").arg(fileName(), f.errorString()));
}

}  // namespace plat

// --- plain logic -------------------------------------------------------------

TServiceMenuValues TServiceMenuValues::read(const TSettingsStorage& ss) {
  TServiceMenuValues v;
  v.host = readText(ss, SettingsKeys::host);
  v.port = readText(ss, SettingsKeys::port);
  v.login = readText(ss, SettingsKeys::login);
  v.password = readPassword(ss, SettingsKeys::password);
  v.autostart = readBool(ss, SettingsKeys::autostart);
  v.BringToFront = readBool(ss, SettingsKeys::BringToFront);
  v.VirtualKeyboard = readBool(ss, SettingsKeys::VirtualKeyboard);
  v.Hook = readBool(ss, SettingsKeys::Hook);
  v.pos_terminal_location = readText(ss, SettingsKeys::pos_terminal_location);
  return v;
}

bool TServiceMenuValues::sameConnection(const TServiceMenuValues& o) const {
  return host == o.host && port == o.port && login == o.login && password == o.password;
}

int parseServerPort(const QString& text) {
  bool ok = false;
  const int port = text.trimmed().toInt(&ok);
  if (!ok || port < 1 || port > 65535)
    throw Exception(QStringLiteral("Неверно указан порт сервера Дорвенты."));
  return port;
}

TSettingsStorage::SaveResult SaveServiceMenuValues(const TServiceMenuValues& values,
                                                   const TServiceMenuContext& ctx,
                                                   const std::function<void()>& autostartFailed) {
  // 1. An empty port is refused here too: half a save would leave the new
  //    values in memory, to be written by the next save of the file.
  const QString portText = values.port.trimmed();
  const int port = parseServerPort(portText);

  // 2.
  try {
    plat::AutostartEntry entry(ctx.autostartFolder);
    if (values.autostart) {
      if (!entry.starts(ctx.programPath)) entry.set(ctx.programPath);
    } else {
      entry.remove();
    }
  } catch (const std::exception&) {
    if (autostartFailed) autostartFailed();
  }

  // 3.
  TSettingsStorage& ss = *ctx.SS;
  writeText(ss, SettingsKeys::host, values.host);
  writeText(ss, SettingsKeys::port, portText);
  writeText(ss, SettingsKeys::login, values.login);
  writePassword(ss, SettingsKeys::password, values.password);
  writeBool(ss, SettingsKeys::autostart, values.autostart);
  writeBool(ss, SettingsKeys::BringToFront, values.BringToFront);
  writeBool(ss, SettingsKeys::VirtualKeyboard, values.VirtualKeyboard);
  writeBool(ss, SettingsKeys::Hook, values.Hook);

  // 4.
  if (ctx.client) {
    ctx.client->setHost(values.host);
    ctx.client->setPort(port);
    ctx.client->setLogin(values.login);
    ctx.client->setPassword(values.password);
  }

  // 5-6.
  writeText(ss, SettingsKeys::pos_terminal_location, values.pos_terminal_location);
  TSettingsStorage::SaveResult saved = ss.SaveToIniFile();

  // 7.
  if (ctx.setBringToFront) ctx.setBringToFront(values.BringToFront);
  return saved;
}

// --- the form ----------------------------------------------------------------

namespace {

const QColor kSmoke(0xF5, 0xF5, 0xF5);
const QColor kHeader(0xB8, 0x86, 0x0B);  // dark goldenrod

QLabel* makeLabel(const QString& text, QWidget* parent, const char* name, bool bold = false) {
  auto* l = new QLabel(text, parent);
  l->setObjectName(QLatin1String(name));
  l->setTextFormat(Qt::PlainText);
  QFont f = l->font();
  f.setBold(bold);
  l->setFont(f);
  l->adjustSize();
  return l;
}

QLineEdit* makeEdit(QWidget* parent, const char* name) {
  auto* e = new QLineEdit(parent);
  e->setObjectName(QLatin1String(name));
  return e;
}

QCheckBox* makeCheck(const QString& text, QWidget* parent, const char* name) {
  auto* c = new QCheckBox(text, parent);
  c->setObjectName(QLatin1String(name));
  return c;
}

TRectangle* makePanel(QWidget* parent, const char* name) {
  auto* p = new TRectangle(parent);
  p->setObjectName(QLatin1String(name));
  p->setFillColor(kSmoke);
  return p;
}

// An action button with its icon; name is the action's ("Audit"): the
// button, its icon and its label go by "bt", "im" and "lb" and that name.
TTouchButton* makeAction(const QString& text, TPicture icon, QWidget* parent, const char* name) {
  const QByteArray action(name);
  auto* b = MakePictureButton(text, icon, parent, ("bt" + action).constData(),
                              ("im" + action).constData(), ("lb" + action).constData());
  b->setFillColor(Qt::darkGray);
  b->setStroke(Qt::darkGray, 0, {});
  QLabel* l = b->label();
  l->setTextFormat(Qt::PlainText);
  QPalette pal = l->palette();
  pal.setColor(QPalette::WindowText, Qt::white);
  l->setPalette(pal);
  return b;
}

void pressFeedback(QObject* button) {
  if (fmMain) {
    fmMain->buttonPressed(button);
  } else {
    TFormServices services;
    services.buttonPressed(button);
  }
}

}  // namespace

TfmSettings::TfmSettings(TServiceMenuContext context, QWidget* parent)
    : QDialog(parent), ctx_(std::move(context)) {
  requireWiring(ctx_.setBringToFront, "setBringToFront");
  requireWiring(ctx_.refreshConfig, "refreshConfig");
  requireWiring(ctx_.makeAudit, "makeAudit");
  setObjectName(QStringLiteral("fmSettings"));
  setWindowTitle(QStringLiteral("Сервисное меню"));
  setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
  setAutoFillBackground(true);

  pnServerTop = makePanel(this, "pnServerTop");
  lbServerTop = makeLabel(QStringLiteral("Сервер Дорвенты"), pnServerTop, "lbServerTop", true);
  pnServer = makePanel(this, "pnServer");
  lbHost = makeLabel(QStringLiteral("Хост:"), pnServer, "lbHost");
  edHost = makeEdit(pnServer, "edHost");
  lbPort = makeLabel(QStringLiteral("Порт:"), pnServer, "lbPort");
  edPort = makeEdit(pnServer, "edPort");
  edPort->setInputMethodHints(Qt::ImhDigitsOnly);
  lbLogin = makeLabel(QStringLiteral("Логин:"), pnServer, "lbLogin");
  edLogin = makeEdit(pnServer, "edLogin");
  lbPassword = makeLabel(QStringLiteral("Пароль:"), pnServer, "lbPassword");
  edPassword = makeEdit(pnServer, "edPassword");
  edPassword->setEchoMode(QLineEdit::Password);
  edPassword->setInputMethodHints(Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);

  pnSettingsTop = makePanel(this, "pnSettingsTop");
  lbSettingsTop = makeLabel(QStringLiteral("Настройки"), pnSettingsTop, "lbSettingsTop", true);
  pnSettings = makePanel(this, "pnSettings");
  edAutoStart = makeCheck(QStringLiteral("Запускать приложение при старте системы"), pnSettings,
                          "edAutoStart");
  edBringToFront = makeCheck(QStringLiteral("Периодически активировать приложение "), pnSettings,
                             "edBringToFront");
  edVirtualKeyboard = makeCheck(QStringLiteral("Отображать виртуальную клавиатуру"), pnSettings,
                                "edVirtualKeyboard");
  edHook = makeCheck(QStringLiteral("Перехватывать события клавиатуры"), pnSettings, "edHook");
  lbPosTerminalLocation =
      makeLabel(QStringLiteral("POS-терминал расположен"), pnSettings, "lbPosTerminalLocation");
  edPosTerminalLocation = new QComboBox(pnSettings);
  edPosTerminalLocation->setObjectName(QStringLiteral("edPosTerminalLocation"));
  edPosTerminalLocation->addItems(kPosTerminalLocations);

  pnActionsTop = makePanel(this, "pnActionsTop");
  lbActionsTop = makeLabel(QStringLiteral("Действия"), pnActionsTop, "lbActionsTop", true);
  pnActions = makePanel(this, "pnActions");
  btAudit = makeAction(QStringLiteral("Аудит"), auditPicture, pnActions, "Audit");
  btLoading =
      makeAction(QStringLiteral("Аудит при загрузке"), auditAtLoadingPicture, pnActions, "Loading");
  btRefreshConfig = makeAction(QStringLiteral("Обновить конфигурацию"), refreshConfigPicture,
                               pnActions, "RefreshConfig");
  btOperatorForm = makeAction(QStringLiteral("Бланк обслуживания"), operatorFormPicture, pnActions,
                              "OperatorForm");
  btCloseApplication = makeAction(QStringLiteral("Выйти из программы"), closeApplicationPicture,
                                  pnActions, "CloseApplication");

  pnBottom = createButtonStrip(this);
  pnBottom->setObjectName(QStringLiteral("pnBottom"));
  btOK = stripButton(QStringLiteral("OK"), true, pnBottom, "btOK");
  btCancel = stripButton(QStringLiteral("Отмена"), false, pnBottom, "btCancel");

  for (QLabel* l : {lbServerTop, lbSettingsTop, lbActionsTop}) {
    QPalette pal = l->palette();
    pal.setColor(QPalette::WindowText, kHeader);
    l->setPalette(pal);
  }

  connect(btOK, &QPushButton::clicked, this, &TfmSettings::btOKClick);
  connect(btCancel, &QPushButton::clicked, this, &TfmSettings::btCancelClick);
  connect(btAudit, &TRectangle::mouseDown, this, &TfmSettings::btAuditMouseDown);
  connect(btLoading, &TRectangle::mouseDown, this, &TfmSettings::btLoadingMouseDown);
  connect(btRefreshConfig, &TRectangle::mouseDown, this, &TfmSettings::btRefreshConfigMouseDown);
  connect(btOperatorForm, &TRectangle::clicked, this, &TfmSettings::btOperatorFormClick);
  connect(btCloseApplication, &TRectangle::mouseDown, this,
          &TfmSettings::btCloseApplicationMouseDown);
  for (QLineEdit* e : {edHost, edPort, edLogin, edPassword}) {
    connect(e, &QLineEdit::textChanged, this, &TfmSettings::edHostChange);
    e->installEventFilter(this);
  }
  for (QCheckBox* c : {edAutoStart, edBringToFront, edVirtualKeyboard, edHook})
    connect(c, &QCheckBox::toggled, this, &TfmSettings::edHostChange);
  connect(edPosTerminalLocation, &QComboBox::currentIndexChanged, this, &TfmSettings::edHostChange);

  FitFormToMainForm(this);
  fmSettings = this;
}

TfmSettings::~TfmSettings() {
  if (fmSettings == this) fmSettings = nullptr;
}

// --- values ------------------------------------------------------------------

TServiceMenuValues TfmSettings::values() const {
  TServiceMenuValues v;
  v.host = edHost->text();
  v.port = edPort->text();
  v.login = edLogin->text();
  v.password = edPassword->text();
  v.autostart = edAutoStart->isChecked();
  v.BringToFront = edBringToFront->isChecked();
  v.VirtualKeyboard = edVirtualKeyboard->isChecked();
  v.Hook = edHook->isChecked();
  v.pos_terminal_location =
      edPosTerminalLocation->currentIndex() >= 0 ? edPosTerminalLocation->currentText() : QString();
  return v;
}

void TfmSettings::setValues(const TServiceMenuValues& v) {
  edHost->setText(v.host);
  edPort->setText(v.port);
  edLogin->setText(v.login);
  edPassword->setText(v.password);
  edAutoStart->setChecked(v.autostart);
  edBringToFront->setChecked(v.BringToFront);
  edVirtualKeyboard->setChecked(v.VirtualKeyboard);
  edHook->setChecked(v.Hook);
  // A stored location that is no item leaves the list without a choice.
  edPosTerminalLocation->setCurrentIndex(
      v.pos_terminal_location.isEmpty()
          ? 0
          : int(kPosTerminalLocations.indexOf(v.pos_terminal_location)));
}

bool TfmSettings::virtualKeyboard() const {
  return ctx_.SS ? readBool(*ctx_.SS, SettingsKeys::VirtualKeyboard) : false;
}

// --- handlers ----------------------------------------------------------------

void TfmSettings::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  if (shown_) return;
  shown_ = true;
  FormShow();
}

void TfmSettings::FormShow() {
  close_application = false;
  layoutControls();
  if (ctx_.SS) setValues(TServiceMenuValues::read(*ctx_.SS));
  data_changed = false;
}

void TfmSettings::SaveSettings() {
  edPort->setText(edPort->text().trimmed());
  const TSettingsStorage::SaveResult saved = SaveServiceMenuValues(values(), ctx_, [] {
    ShowMessageTimed(QStringLiteral("Не удалось записать автозапуск приложения.\r\n"
                                    "Проверьте права на папку автозапуска."),
                     0);
  });
  data_changed = false;
  // The values apply from now on either way; the technician standing here
  // learns that they will not survive a restart.
  if (!saved) ShowMessageTimed(QStringLiteral("Не удалось сохранить настройки: ") + saved.error, 0);
}

void TfmSettings::btOKClick() {
  if (data_changed) SaveSettings();
  done(QDialog::Accepted);
}

void TfmSettings::btCancelClick() {
  done(2);
}

bool TfmSettings::FormCloseQuery() {
  if (!data_changed) return true;
  switch (AskYesNoCancel(QStringLiteral("Сохранить изменения?"))) {
    case TfmYNCQuestion::mrYes:
      SaveSettings();
      return true;
    case TfmYNCQuestion::mrNo:
      return true;
    default:
      return false;
  }
}

void TfmSettings::done(int r) {
  if (!FormCloseQuery()) {
    // The menu stays open, so an exit chosen with this close is called off
    // too: a later OK or Отмена must not end the program.
    close_application = false;
    return;
  }
  if (virtualKeyboard()) HideVirtualKeyboard();
  QDialog::done(r);
}

void TfmSettings::btAuditMouseDown() {
  pressFeedback(btAudit);
  ctx_.makeAudit(2);
  ShowInfo(QStringLiteral("Аудит выполнен."));
}

void TfmSettings::btLoadingMouseDown() {
  pressFeedback(btLoading);
  ctx_.makeAudit(5);
  ShowInfo(QStringLiteral("Аудит при загрузке выполнен."));
}

void TfmSettings::btRefreshConfigMouseDown() {
  pressFeedback(btRefreshConfig);
  const TServiceMenuValues stored =
      ctx_.SS ? TServiceMenuValues::read(*ctx_.SS) : TServiceMenuValues();
  if (!values().sameConnection(stored)) {
    if (!ConfirmOkCancel(QStringLiteral("Изменения будут сохранены."), 0)) return;
    SaveSettings();
  }
  ctx_.refreshConfig();
  ShowInfo(QStringLiteral("Конфигурация обновлена."));
}

void TfmSettings::btOperatorFormClick() {
  pressFeedback(btOperatorForm);
  const QString program =
      TfmRunOperatorForm::operatorProgramPath(QFileInfo(ctx_.programPath).absolutePath());
  if (!QFileInfo(program).isFile())
    throw Exception(QStringLiteral("Файл \"") + program + QStringLiteral("\" не найден."));
  TOperatorFormContext octx;
  octx.SS = ctx_.SS;
  octx.mainClient = ctx_.client;
  octx.vm_id = ctx_.vm_id;
  octx.programPath = program;
  octx.makeAudit = ctx_.makeAudit;
  TfmRunOperatorForm form(std::move(octx));
  form.setWindowState(Qt::WindowFullScreen);
  form.exec();
}

void TfmSettings::btCloseApplicationMouseDown() {
  pressFeedback(btCloseApplication);
  close_application = true;
  done(2);
}

bool TfmSettings::eventFilter(QObject* watched, QEvent* event) {
  if (qobject_cast<QLineEdit*>(watched)) {
    if (event->type() == QEvent::MouseButtonPress && virtualKeyboard()) ShowOnScreenKeyboard();
    if (event->type() == QEvent::FocusOut && virtualKeyboard()) HideVirtualKeyboard();
  }
  return QDialog::eventFilter(watched, event);
}

void TfmSettings::keyPressEvent(QKeyEvent* e) {
  // No escape on a kiosk: only the menu's own buttons answer.
  if (e->key() == Qt::Key_Escape) return;
  QDialog::keyPressEvent(e);
}

// --- layout ------------------------------------------------------------------

void TfmSettings::layoutControls() {
  const QSizeF screen = ScreenSize();
  const double W = screen.width(), H = screen.height();
  const bool landscape = H < W;

  placeOkCancelButtons(btOK, btCancel);
  pnBottom->setGeometry(0, height() - pnBottom->height(), width(), pnBottom->height());

  FitFontSize(lbServerTop, W / 5);
  const double fs = FontSizeOf(lbServerTop);
  const double m = lbServerTop->height() / 2.0;
  for (QWidget* w : std::initializer_list<QWidget*>{
           lbSettingsTop, lbActionsTop, lbHost, lbPort, lbLogin, lbPassword, edHost, edPort,
           edLogin, edPassword, edAutoStart, edBringToFront, edVirtualKeyboard, edHook,
           lbPosTerminalLocation, edPosTerminalLocation})
    SetFontSize(w, fs);
  const double barH = 1.5 * MeasureTextHeight(lbServerTop);
  const double panelW = W - 2 * m;
  auto placeBar = [&](TRectangle* bar, QLabel* label, double y) {
    bar->setGeometry(QRectF(m, y, panelW, barH).toRect());
    label->setGeometry(QRectF(0, 0, panelW, barH).toRect());
    label->setAlignment(Qt::AlignCenter);
    return y + barH;
  };

  // Server panel.
  double y = placeBar(pnServerTop, lbServerTop, m / 2);
  const double lh = lbHost->height();
  const double eh = 1.1 * lh;
  const double editX = m + lbPassword->width() + m;
  const double editW = W / 2 - m - editX;
  const double row2 = m + 1.5 * lh;
  lbHost->move(QPointF(m, m).toPoint());
  lbLogin->move(QPointF(m, row2).toPoint());
  lbPort->move(QPointF(W / 2 + m, m).toPoint());
  lbPassword->move(QPointF(W / 2 + m, row2).toPoint());
  const auto placeEdit = [&](QLineEdit* e, QLabel* l) {
    e->setGeometry(
        QRectF(l->x() + lbPassword->width() + m, l->y() + (lh - eh) / 2, editW, eh).toRect());
  };
  placeEdit(edHost, lbHost);
  placeEdit(edLogin, lbLogin);
  placeEdit(edPort, lbPort);
  placeEdit(edPassword, lbPassword);
  const double serverH = edPassword->geometry().bottom() + m;
  // The panels span the screen; only their header bars keep the margins,
  // so the right column's edits and buttons end m before the screen's edge.
  pnServer->setGeometry(QRectF(0, y, W, serverH).toRect());
  y += serverH;

  // Settings panel.
  y = placeBar(pnSettingsTop, lbSettingsTop, y + m / 2);
  double top = m;
  for (QCheckBox* c : {edAutoStart, edBringToFront, edVirtualKeyboard, edHook}) {
    FitCheckIndicator(c);
    c->setGeometry(QRectF(m, top, MeasureTextWidth(c) + 3 * eh, eh).toRect());
    top += eh + m;
  }
  lbPosTerminalLocation->move(
      QPointF(m, top + (eh - lbPosTerminalLocation->height()) / 2).toPoint());
  const double listX = m + lbPosTerminalLocation->width() + m;
  edPosTerminalLocation->setGeometry(QRectF(listX, top, W - m - listX, eh).toRect());
  const double settingsH = top + eh + m;
  pnSettings->setGeometry(QRectF(0, y, W, settingsH).toRect());
  y += settingsH;

  // Actions panel: the rest above the button strip.
  y = placeBar(pnActionsTop, lbActionsTop, y + m / 2);
  const double actionsH = std::max(0.0, pnBottom->y() - y - m / 2);
  pnActions->setGeometry(QRectF(0, y, W, actionsH).toRect());
  const double bh = actionsH / 5;
  const double bw = W / 2 - 2 * m;
  btAudit->setGeometry(QRectF(m, 0.5 * bh, bw, bh).toRect());
  btLoading->setGeometry(QRectF(m, 2 * bh, bw, bh).toRect());
  btRefreshConfig->setGeometry(QRectF(W / 2 + m, 0.5 * bh, bw, bh).toRect());
  btOperatorForm->setGeometry(QRectF(W / 2 + m, 2 * bh, bw, bh).toRect());
  btCloseApplication->setGeometry(QRectF(m, 3.5 * bh, W - 2 * m, bh).toRect());
  QLabel probe(btRefreshConfig->label()->text());
  probe.setFont(btRefreshConfig->label()->font());
  FitFontSize(&probe, landscape ? W / 4 : bw * 4 / 5);
  for (TTouchButton* b :
       {btAudit, btLoading, btRefreshConfig, btOperatorForm, btCloseApplication}) {
    SetFontSize(b->label(), FontSizeOf(&probe));
    // Beside the label as wide as the button is high, or above it.
    b->setImageGeometry(landscape ? QRectF(0, 0, bh, bh) : QRectF(0, 0, b->width(), bh / 2));
  }
}
