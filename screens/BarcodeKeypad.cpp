#include "screens/BarcodeKeypad.h"

#include <QApplication>
#include <QLabel>
#include <QTimer>
#include <algorithm>

#include "kiosk/Common.h"
#include "kiosk/Main.h"
#include "kiosk/TouchButton.h"

namespace {

constexpr int mrOk = 1;
constexpr int mrCancel = 2;

const QColor kMainFill(0xDE, 0xB8, 0x87);  // burlywood
const QColor kTopFill(0xB8, 0x86, 0x0B);   // dark goldenrod

QRect rectOf(double x, double y, double w, double h) {
  return QRectF(x, y, w, h).toRect();
}

const char* const kKeys[4][3] = {
    {"7", "8", "9"}, {"4", "5", "6"}, {"1", "2", "3"}, {"C", "0", "←"}};

}  // namespace

// --- the search ------------------------------------------------------------------

void TBarcodeSearch::key(const QString& text) {
  if (text == QStringLiteral("C"))
    barcode.clear();
  else if (text.size() == 1 && text[0].isDigit())
    barcode += text;
  else if (!barcode.isEmpty())
    barcode.chop(1);
}

void TBarcodeSearch::findGoods(const std::vector<TProduct>& snacks) {
  snack_indexes.clear();
  if (barcode.isEmpty()) return;
  for (int i = 0; i < int(snacks.size()); ++i) {
    const TProduct& p = snacks[size_t(i)];
    if (p.isSnack && p.barCodes.contains(barcode)) snack_indexes.push_back(i);
  }
}

TBarcodeSearch::TView TBarcodeSearch::view() const {
  TView v;
  const int n = int(snack_indexes.size());
  if (barcode.isEmpty()) {
    v.goodsText = QStringLiteral("Найденные товары");
  } else if (n == 0) {
    v.state = TState::NotFound;
    v.goodsText = QStringLiteral("Товары не найдены");
  } else if (n <= kMaxButtons) {
    v.state = TState::Buttons;
    v.buttons = n;
  } else {
    v.state = TState::TooMany;
    v.goodsText = QStringLiteral("Найдено товаров: ") + QString::number(n);
  }
  return v;
}

// --- the form --------------------------------------------------------------------

TfmBarcode::TfmBarcode(QWidget* parent, std::function<std::vector<TProduct>()> snacks)
    : QDialog(parent), snacksSource_(std::move(snacks)) {
  setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
  setWindowTitle(QStringLiteral("Ввод штрих-кода товара"));
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, kMainFill);
  setPalette(pal);
  pnTop = new TRectangle(this);
  pnTop->setFillColor(kTopFill);
  lbTop = new QLabel(QStringLiteral("Штрих-кода товара"), pnTop);
  lbTop->setTextFormat(Qt::PlainText);
  QFont tf = lbTop->font();
  tf.setBold(true);
  lbTop->setFont(tf);
  lbTop->setStyleSheet(QStringLiteral("color: #FFEBCD"));
  btClose = new TTouchButton(QStringLiteral("✕"), pnTop);
  btClose->setHint(QStringLiteral("Закрыть"));
  pnBottom = new TRectangle(this);
  pnBottom->setFillColor(kMainFill);
  lbGoods = new QLabel(QStringLiteral("Найденные товары"), pnBottom);
  lbGoods->setTextFormat(Qt::PlainText);
  for (int k = 1; k <= TBarcodeSearch::kMaxButtons; ++k) {
    auto* b = new TTouchButton(QString(), pnBottom);
    b->setObjectName(QStringLiteral("bt%1").arg(k));
    connect(b, &TRectangle::mouseDown, this, [this, k] { goodsButtonClick(k); });
    goodsButtons.push_back(b);
  }
  Layout = new QWidget(this);
  lbBarcode = new QLabel(Layout);
  lbBarcode->setTextFormat(Qt::PlainText);
  lbBarcode->setAlignment(Qt::AlignCenter);
  pnKeyboard = new QWidget(Layout);
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 3; ++c) {
      auto* b = new TTouchButton(QString::fromUtf8(kKeys[r][c]), pnKeyboard);
      b->setObjectName(QStringLiteral("bt%1%2").arg(r + 1).arg(c + 1));
      const QString text = b->label()->text();
      connect(b, &TRectangle::mouseDown, this, [this, text] { keyClick(text); });
      keys.push_back(b);
    }
  tbBarcode = new QTimer(this);
  tbBarcode->setInterval(10);
  tbBarcode->setSingleShot(true);
  connect(tbBarcode, &QTimer::timeout, this, &TfmBarcode::tbBarcodeTimer);
  tmBarcodeFontColor = new QTimer(this);
  tmBarcodeFontColor->setInterval(350);
  tmBarcodeFontColor->setSingleShot(true);
  connect(tmBarcodeFontColor, &QTimer::timeout, this, &TfmBarcode::tmBarcodeFontColorTimer);
  connect(btClose, &TRectangle::mouseDown, this, &TfmBarcode::btCloseMouseDown);
  hideGoodsButtons();
}

void TfmBarcode::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  FitFormToMainForm(this);
  snacks_ = snacksSource_ ? snacksSource_() : (fmMain ? fmMain->snacks : std::vector<TProduct>{});
  const QSizeF screen = ScreenSize();
  const double W = screen.width(), H = screen.height();
  const bool landscape = H < W;
  FitFontSize(lbTop, landscape ? W / 3 : W / 2);
  FitFontSize(lbGoods, landscape ? W / 3 : W / 2);
  const double topH = lbTop->height() * 1.5;
  pnTop->setGeometry(rectOf(0, 0, W, topH));
  lbTop->move(int((W - lbTop->width()) / 2), int((topH - lbTop->height()) / 2));
  const double m = topH / 8;
  btClose->setGeometry(rectOf(W - topH + m, m, topH - 2 * m, topH - 2 * m));
  btClose->fitLabel();
  Layout->setGeometry(rectOf(0, topH, W, H / 2));
  const double kbW = W / 3;
  pnKeyboard->setGeometry(rectOf((W - kbW) / 2, H / 2 / 4, kbW, H / 2 * 3 / 4));
  pnBottom->setGeometry(rectOf(0, topH + H / 2, W, H - topH - H / 2));
  lbGoods->adjustSize();
  lbGoods->move(int((W - lbGoods->width()) / 2), int((pnBottom->height() - lbGoods->height()) / 2));
  layoutKeyboard();
  tbBarcodeTimer();
}

void TfmBarcode::layoutKeyboard() {
  const double A = pnKeyboard->width(), B = pnKeyboard->height();
  for (int r = 1; r <= 4; ++r)
    for (int k = 1; k <= 3; ++k) {
      TTouchButton* b = keys[size_t((r - 1) * 3 + (k - 1))];
      SetFontSize(b->label(), FontSizeOf(lbTop));
      b->setGeometry(rectOf(A * (k - 1) / 3 + (A - 3 * A / 4) / 6,
                            B * (r - 1) / 4 + (B - 4 * B / 5) / 8, A / 4, B / 5));
    }
}

void TfmBarcode::keyClick(const QString& text) {
  if (fmMain) fmMain->buttonPressed(sender());
  search.key(text);
  tbBarcode->start();
}

void TfmBarcode::tbBarcodeTimer() {
  tbBarcode->stop();
  updateBarcodeLabel();
  showFoundGoods();
}

void TfmBarcode::updateBarcodeLabel() {
  QFont f = lbBarcode->font();
  f.setBold(!search.barcode.isEmpty());
  lbBarcode->setFont(f);
  lbBarcode->setText(search.barcode.isEmpty()
                         ? QStringLiteral("Введите несколько последних цифр штрих-кода")
                         : search.barcode);
  FitFontSize(lbBarcode, ScreenSize().width() / 2);
  if (FontSizeOf(lbBarcode) > 2 * FontSizeOf(lbTop)) SetFontSize(lbBarcode, 2 * FontSizeOf(lbTop));
  lbBarcode->adjustSize();
  lbBarcode->move(int((Layout->width() - lbBarcode->width()) / 2),
                  int((pnKeyboard->y() - lbBarcode->height()) / 2));
}

void TfmBarcode::hideGoodsButtons() {
  for (TTouchButton* b : goodsButtons) b->hide();
}

void TfmBarcode::showFoundGoods() {
  search.findGoods(snacks_);
  const TBarcodeSearch::TView v = search.view();
  hideGoodsButtons();
  if (v.state != TBarcodeSearch::TState::Buttons) {
    lbGoods->setText(v.goodsText);
    lbGoods->adjustSize();
    lbGoods->move(int((pnBottom->width() - lbGoods->width()) / 2),
                  int((pnBottom->height() - lbGoods->height()) / 2));
    lbGoods->show();
    if (v.state == TBarcodeSearch::TState::NotFound) {
      // A blink of the digits tells that nothing has them.
      lbBarcode->setStyleSheet(QStringLiteral("color: #FFEBCD"));
      tmBarcodeFontColor->start();
    }
    return;
  }
  lbGoods->hide();
  const int n = v.buttons;
  const double W = ScreenSize().width();
  const double topSize = FontSizeOf(lbTop);
  const double bottomH = pnBottom->height();
  double size = topSize;
  double widest = 0;
  for (int j = 0; j < n; ++j) {
    QLabel* l = goodsButtons[size_t(j)]->label();
    l->setText(snacks_[size_t(search.snack_indexes[size_t(j)])].name);
    SetFontSize(l, size);
    while (size - 1 > topSize / 2 && MeasureTextWidth(l) > W * 2 / 3) SetFontSize(l, --size);
    while (size - 1 > topSize / 3 && MeasureTextHeight(l) > bottomH / (n + 1) / 1.5)
      SetFontSize(l, --size);
  }
  double labelH = 0;
  for (int j = 0; j < n; ++j) {
    QLabel* l = goodsButtons[size_t(j)]->label();
    SetFontSize(l, size);
    widest = std::max(widest, MeasureTextWidth(l));
    labelH = std::max(labelH, MeasureTextHeight(l));
  }
  const double bh = std::max(1.5 * labelH, bottomH / (n + 1));
  const double bw = std::min(W, widest + bh);
  for (int j = 0; j < n; ++j) {
    TTouchButton* b = goodsButtons[size_t(j)];
    const double y = (bottomH - n * bh) / n * (j + 0.5) + j * bh;
    b->setGeometry(rectOf((W - bw) / 2, y, bw, bh));
    b->show();
  }
}

void TfmBarcode::tmBarcodeFontColorTimer() {
  tmBarcodeFontColor->stop();
  lbBarcode->setStyleSheet(QStringLiteral("color: black"));
}

void TfmBarcode::goodsButtonClick(int k) {
  if (k < 1 || k > int(search.snack_indexes.size())) return;
  const int i = search.snack_indexes[size_t(k - 1)];
  if (i < 0 || i >= int(snacks_.size())) return;
  selected_product = snacks_[size_t(i)];
  done(mrOk);
}

void TfmBarcode::btCloseMouseDown() {
  if (fmMain) fmMain->buttonPressed(btClose);
  done(mrCancel);
}

std::optional<TProduct> openBarcodeKeypad() {
  TfmBarcode form(QApplication::activeWindow());
  if (form.exec() != mrOk) return std::nullopt;
  return form.selected_product;
}
