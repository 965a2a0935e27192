#pragma once
// The operator form: logs an operator in to the back office and starts the
// operator client program on its servicing form for this machine.

#include <QDialog>
#include <QString>
#include <QStringList>
#include <functional>

class IKioskHooks;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TJClient;
class TRectangle;
class TSettingsStorage;

struct TOperatorFormContext {
  TSettingsStorage* SS = nullptr;
  const TJClient* mainClient = nullptr;  // its connection settings are copied
  qint64 vm_id = 0;
  QString programPath;  // the operator client program
  // The audit of the given kind (5 at loading); required.
  std::function<void(int auditType)> makeAudit;
};

class TfmRunOperatorForm : public QDialog {
  Q_OBJECT
 public:
  // The operator client beside the kiosk program.
  static QString operatorProgramPath(const QString& programFolder);
  // Its command line: login, password, host, port, "newOperatorForm", machine id.
  static QStringList operatorArguments(const TJClient& client, qint64 vm_id);

  // The operator client is started through the installed kiosk hooks; a
  // missing makeAudit or missing hooks raise EWiring.
  explicit TfmRunOperatorForm(TOperatorFormContext context, QWidget* parent = nullptr);
  ~TfmRunOperatorForm() override;

  QLabel* lbLogin;
  QLabel* lbPassword;
  QLineEdit* edLogin;
  TRectangle* pnBottom;
  QPushButton* btOK;
  QPushButton* btCancel;
  QLineEdit* edPassword;
  QCheckBox* edAudit;

  // Logs in (a failure raises and the form stays), remembers the login and
  // the audit choice, makes the loading audit when ticked, starts the
  // operator client and closes with modal result 1.
  void btOKClick();
  void btCancelClick();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keyPressEvent(QKeyEvent* e) override;

 private:
  void FormCreate();
  bool virtualKeyboard() const;

  TOperatorFormContext ctx_;
  IKioskHooks& hooks_;
};

extern TfmRunOperatorForm* fmRunOperatorForm;
