#pragma once
// The barcode keypad: for a snack whose barcode the scanner cannot read, the
// customer types some of its digits and picks the snack among the matches.
//
// TBarcodeSearch holds the digits and the search without widgets; TfmBarcode
// shows it.

#include <QDialog>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

#include "kiosk/Products.h"

class QLabel;
class QTimer;
class QWidget;
class TRectangle;
class TTouchButton;

class TBarcodeSearch {
 public:
  static constexpr int kMaxButtons = 5;

  QString barcode;                 // the digits typed
  std::vector<int> snack_indexes;  // matching positions in the snack list

  // A key of the keypad: "C" clears, a digit is appended, anything else
  // ("←") deletes the last digit.
  void key(const QString& text);
  // The snacks whose barcode list holds the typed digits, in list order.
  void findGoods(const std::vector<TProduct>& snacks);

  // What the result area shows after a search.
  enum class TState { Prompt, NotFound, Buttons, TooMany };
  struct TView {
    TState state = TState::Prompt;
    QString goodsText;  // lbGoods; empty while the buttons show
    int buttons = 0;    // result buttons shown
  };
  TView view() const;
};

class TfmBarcode : public QDialog {
  Q_OBJECT
 public:
  // snacks: the kiosk's snack list; null reads the main form's.
  explicit TfmBarcode(QWidget* parent = nullptr,
                      std::function<std::vector<TProduct>()> snacks = {});

  TBarcodeSearch search;
  TProduct selected_product;

  TRectangle* pnTop;
  QLabel* lbTop;
  TTouchButton* btClose;
  TRectangle* pnBottom;
  QLabel* lbGoods;
  std::vector<TTouchButton*> goodsButtons;  // bt1..bt5
  QWidget* Layout;
  QLabel* lbBarcode;
  QWidget* pnKeyboard;
  std::vector<TTouchButton*> keys;  // bt11..bt43, row by row
  QTimer* tbBarcode;
  QTimer* tmBarcodeFontColor;

  void keyClick(const QString& text);
  // Result button k (1..5).
  void goodsButtonClick(int k);
  void btCloseMouseDown();
  void tbBarcodeTimer();
  void tmBarcodeFontColorTimer();

 protected:
  void showEvent(QShowEvent* e) override;

 private:
  void layoutKeyboard();
  void updateBarcodeLabel();
  void showFoundGoods();
  void hideGoodsButtons();

  std::function<std::vector<TProduct>()> snacksSource_;
  std::vector<TProduct> snacks_;
};

// Shows the keypad modally: the chosen snack, or none when closed.
std::optional<TProduct> openBarcodeKeypad();
