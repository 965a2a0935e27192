#pragma once
// The service menu: a technician edits the back-office connection and the
// kiosk's local options, switches the autostart entry, makes audits, reloads
// the configuration, opens the operator form and can end the program. It is
// shown behind the service password (TfmMain::showSettings).
//
// What the menu reads and saves is plain code (TServiceMenuValues,
// TServiceMenuContext), so tests drive it with a settings store in a
// temporary folder and no main form.

#include <QDialog>
#include <QString>
#include <QStringList>
#include <functional>

#include "kiosk/SettingsStorage.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TJClient;
class TRectangle;
class TTouchButton;

namespace plat {

// The autostart entry of the desktop session: an XDG autostart ".desktop"
// file that starts the kiosk program when the session starts.
class AutostartEntry {
 public:
  static constexpr const char* kEntryName = "NV_TREVALO";

  // folder: where the entry lives; empty: $XDG_CONFIG_HOME/autostart, else
  // ~/.config/autostart.
  explicit AutostartEntry(QString folder = {});
  QString fileName() const;
  // True when the entry exists and starts exactly this program.
  bool starts(const QString& programPath) const;
  bool exists() const;
  // Writes the entry for the program, atomically; raises EFileError.
  void set(const QString& programPath);
  // Removes the entry; raises EFileError when it stays.
  void remove();

  // The Exec line's value for a program path, quoted and escaped for the
  // desktop-entry format.
  static QString execLine(const QString& programPath);

 private:
  QString folder_;
};

}  // namespace plat

// The menu's fields as the settings hold them.
struct TServiceMenuValues {
  QString host;
  QString port;
  QString login;
  QString password;  // in clear
  bool autostart = false;
  bool BringToFront = false;
  bool VirtualKeyboard = true;
  bool Hook = false;
  QString pos_terminal_location;  // empty or one of kPosTerminalLocations

  // An unreadable stored password reads as empty: the menu is where a
  // technician puts it right, so it must open.
  static TServiceMenuValues read(const TSettingsStorage& ss);
  // The four connection fields are equal.
  bool sameConnection(const TServiceMenuValues& other) const;
};

// The items of the terminal-location list, the empty one first.
extern const QStringList kPosTerminalLocations;

// What the menu works on.
struct TServiceMenuContext {
  TSettingsStorage* SS = nullptr;
  TJClient* client = nullptr;                 // the main client: gets the new connection
  std::function<void(bool)> setBringToFront;  // the main form's bring-to-front timer
  std::function<void()> refreshConfig;        // a full load from the server; raises
  // The audit of the given kind (2 by the menu's button, 5 at loading).
  std::function<void(int auditType)> makeAudit;
  qint64 vm_id = 0;
  QString programPath;      // the kiosk program; the operator client lies beside it
  QString autostartFolder;  // empty: the session's
};

// The port as the menu accepts it: a whole number from 1 to 65535, blanks
// around it allowed. Raises "Неверно указан порт сервера Дорвенты." otherwise.
int parseServerPort(const QString& text);

// Stores the values and applies them: the autostart entry (a failure is
// reported by autostartFailed and the save goes on), the settings (password
// scrambled), the main client's connection, the settings file and the
// bring-to-front timer. A bad port raises before anything is changed; a
// settings file that cannot be written is returned, the rest applied.
TSettingsStorage::SaveResult SaveServiceMenuValues(const TServiceMenuValues& values,
                                                   const TServiceMenuContext& ctx,
                                                   const std::function<void()>& autostartFailed);

class TfmSettings : public QDialog {
  Q_OBJECT
 public:
  // The context's actions are required: a missing one raises EWiring.
  explicit TfmSettings(TServiceMenuContext context, QWidget* parent = nullptr);
  ~TfmSettings() override;

  QLineEdit* edHost;
  TRectangle* pnServerTop;
  QLabel* lbServerTop;
  TRectangle* pnServer;
  QLabel* lbHost;
  QLabel* lbPort;
  QLineEdit* edPort;
  QLabel* lbLogin;
  QLineEdit* edLogin;
  QLabel* lbPassword;
  QLineEdit* edPassword;
  TRectangle* pnBottom;
  QPushButton* btOK;
  QPushButton* btCancel;
  TRectangle* pnSettingsTop;
  QLabel* lbSettingsTop;
  TRectangle* pnSettings;
  QCheckBox* edAutoStart;
  TRectangle* pnActionsTop;
  QLabel* lbActionsTop;
  TRectangle* pnActions;
  TTouchButton* btAudit;
  TTouchButton* btLoading;
  TTouchButton* btRefreshConfig;
  TTouchButton* btCloseApplication;
  QLabel* lbPosTerminalLocation;
  QComboBox* edPosTerminalLocation;
  QCheckBox* edBringToFront;
  QCheckBox* edVirtualKeyboard;
  QCheckBox* edHook;
  TTouchButton* btOperatorForm;

  bool data_changed = false;
  bool close_application = false;

  // The controls' values, and filling the controls from values.
  TServiceMenuValues values() const;
  void setValues(const TServiceMenuValues& v);

  void SaveSettings();
  void btOKClick();
  void btCancelClick();
  void btAuditMouseDown();
  void btLoadingMouseDown();
  void btRefreshConfigMouseDown();
  void btOperatorFormClick();
  void btCloseApplicationMouseDown();
  // The close question: false keeps the menu open.
  bool FormCloseQuery();

 public slots:
  void done(int r) override;

 protected:
  void showEvent(QShowEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void FormShow();
  void layoutControls();
  void edHostChange() { data_changed = true; }
  bool virtualKeyboard() const;

  TServiceMenuContext ctx_;
  bool shown_ = false;
};

extern TfmSettings* fmSettings;
