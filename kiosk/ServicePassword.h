#pragma once
// The service password, asked before the service menu opens and before the
// kiosk may be closed by hand. There is no limit on attempts: the kiosk has
// no one to lock out, and a technician must always get in.

#include <QDialog>
#include <QString>

class QLabel;
class QLineEdit;
class QPushButton;
class TRectangle;

class TfmServicePassword : public QDialog {
  Q_OBJECT
 public:
  enum TCheck { pcEmpty, pcWrong, pcAccepted };
  // The typed text, trimmed, against the service password (exact case).
  static TCheck checkPassword(const QString& typed, const QString& servicePassword);

  // virtualKeyboard: the on-screen keyboard comes up while the edit is used.
  TfmServicePassword(const QString& servicePassword, bool virtualKeyboard,
                     QWidget* parent = nullptr);
  ~TfmServicePassword() override;

  QLineEdit* ed;
  QLabel* lb1;
  TRectangle* pnBottom;
  QPushButton* btOK;
  QPushButton* btCancel;
  QLabel* lb2;

  // Empty: "Введите пароль." until OK; wrong: "Неверный пароль." for 15 s and
  // the edit emptied; right: modal result 1.
  void btOKClick();
  // Modal result 2.
  void btCancelClick();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void done(int r) override;

 private:
  void FormCreate();

  QString service_password_;
  bool virtual_keyboard_;
};

extern TfmServicePassword* fmServicePassword;

// Shows the password form over the kiosk with the main form's service
// password; true when it was given.
bool AskServicePassword();
