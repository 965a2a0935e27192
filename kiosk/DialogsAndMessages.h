#pragma once
// The one modal dialog of the touch screens for questions and messages, and
// its four entry functions. Each entry function creates its own dialog, shows
// it modally and frees it, so dialogs may nest (a timer or the error handler
// can show a message while a question is open).

#include <QDialog>
#include <QPointer>
#include <QString>
#include <cstdint>

class QLabel;
class QPushButton;
class QTimer;
class TRectangle;

class TfmYNCQuestion : public QDialog {
  Q_OBJECT
 public:
  // The answers, as the common dialog result codes.
  enum { mrCancel = 2, mrYes = 6, mrNo = 7 };

  explicit TfmYNCQuestion(QWidget* parent = nullptr);
  ~TfmYNCQuestion() override;

  TRectangle* pnBackground;
  TRectangle* pnMain;
  TRectangle* pnBottom;
  QPushButton* btYes;
  QPushButton* btCancel;
  QLabel* lbText;
  QLabel* imQuestion;
  QPushButton* btNo;
  QLabel* imExcl;
  QTimer* tmRemainingTime;

  QString txt;                 // the message, possibly with the countdown placeholder
  QString remaining_time_tag;  // the placeholder; empty: the text shows no countdown
  int closing_timeout = 0;     // seconds until the dialog closes itself; <= 0: never
  int64_t form_show_ms = 0;    // monotonic time when shown
  int res = 0;                 // mrYes, mrNo or mrCancel; 0 until answered

  // txt with every placeholder (case-sensitive) replaced by seconds.
  QString textWithRemaining(int seconds) const;

 public slots:
  void btYesClick();
  void btNoClick();
  void btCancelClick();
  void tmRemainingTimeTimer();

 protected:
  void showEvent(QShowEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;

 private:
  void FormShow();
  QPointer<TfmYNCQuestion> previous_;
};

// The dialog now shown (the most recently created one), or null.
extern TfmYNCQuestion* fmYNCQuestion;

// "Да", "Нет", "Отмена" with the question picture: mrYes, mrNo or mrCancel.
int AskYesNoCancel(const QString& message);
// "OK" and "Отмена": true for OK, or when `seconds` (> 0) ran out untouched.
// Each `placeholder` in the message shows the seconds left.
bool ConfirmOkCancel(const QString& message, int seconds, const QString& placeholder = {});
// One "OK" button.
void ShowInfo(const QString& message);
// One "OK" button; closes itself after `seconds` when above 0.
void ShowMessageTimed(const QString& message, int seconds);
