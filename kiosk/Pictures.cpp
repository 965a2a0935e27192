#include "kiosk/Pictures.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <cmath>

#include "kiosk/Common.h"

namespace {

// The kiosk's colours.
const QColor kBurlywood(0xDE, 0xB8, 0x87);
const QColor kSaddleBrown(0x8B, 0x45, 0x13);
const QColor kDarkGoldenrod(0xB8, 0x86, 0x0B);

using TPaint = void (*)(QPainter&);

// Paints a drawing made on a canvas of the size own, as large as it fits in
// box; an empty box draws it at its own size.
QPixmap drawn(const QSizeF& own, const QSize& box, TPaint paint) {
  const QSize size = box.isEmpty()
                         ? own.toSize()
                         : FittedRect(own, QRectF(QPointF(0, 0), QSizeF(box))).size().toSize();
  if (size.isEmpty()) return {};
  QPixmap pm(size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size.width() / own.width(), size.height() / own.height());
  paint(p);
  return pm;
}

// Three wisps of steam, dx apart from x0, each rising from the height y[0]
// to y[3] and swaying by sway round its controls y[1] and y[2].
void steam(QPainter& p, double x0, double dx, double sway, const double (&y)[4]) {
  for (int i = 0; i < 3; ++i) {
    const double x = x0 + i * dx;
    QPainterPath wisp;
    wisp.moveTo(x, y[0]);
    wisp.cubicTo(x - sway, y[1], x + sway, y[2], x, y[3]);
    p.drawPath(wisp);
  }
}

// A round sign with one character: the question and exclamation pictures.
void sign(QPainter& p, QChar character, const QColor& color) {
  p.setPen(Qt::NoPen);
  p.setBrush(color);
  p.drawEllipse(QRectF(8, 8, 240, 240));
  QFont f(QStringLiteral("DejaVu Sans"));
  f.setBold(true);
  f.setPixelSize(180);
  p.setFont(f);
  p.setPen(Qt::white);
  p.drawText(QRectF(0, 0, 256, 256), Qt::AlignCenter, QString(character));
}

// The plus and minus signs of a cart line.
void plusOrMinus(QPainter& p, bool plus) {
  p.setPen(QPen(kSaddleBrown, 8, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(30, 32), QPointF(66, 32));
  if (plus) p.drawLine(QPointF(48, 14), QPointF(48, 50));
}

// The service menu's icons: white lines on the dark buttons.
QPen iconPen(double width = 14) {
  return QPen(Qt::white, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

// A sheet with a folded corner and a few lines of text, in the rectangle r.
void sheet(QPainter& p, const QRectF& r, int lines) {
  const double fold = r.width() / 4;
  QPainterPath outline;
  outline.moveTo(r.left(), r.top());
  outline.lineTo(r.right() - fold, r.top());
  outline.lineTo(r.right(), r.top() + fold);
  outline.lineTo(r.right(), r.bottom());
  outline.lineTo(r.left(), r.bottom());
  outline.closeSubpath();
  p.setBrush(Qt::NoBrush);
  p.setPen(iconPen());
  p.drawPath(outline);
  p.setPen(iconPen(10));
  const double step = (r.height() - fold) / (lines + 1);
  for (int i = 1; i <= lines; ++i) {
    const double y = r.top() + fold / 2 + i * step;
    p.drawLine(QPointF(r.left() + r.width() * 0.2, y), QPointF(r.right() - r.width() * 0.2, y));
  }
}

}  // namespace

// ---- start-up and home screen -------------------------------------------------

QPixmap logoPicture(const QSize& box) {
  return drawn({800, 200}, box, [](QPainter& p) {
    QLinearGradient band(0, 0, 800, 0);
    band.setColorAt(0, kSaddleBrown);
    band.setColorAt(0.5, kBurlywood);
    band.setColorAt(1, kSaddleBrown);
    p.fillRect(QRectF(0, 70, 800, 60), band);
    // The cup: a rounded body, a handle and three lines of steam.
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    QPainterPath cup;
    cup.addRoundedRect(QRectF(330, 60, 120, 110), 30, 30);
    p.drawPath(cup);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(Qt::white, 14));
    p.drawEllipse(QRectF(430, 85, 50, 55));
    p.setPen(QPen(kBurlywood, 8, Qt::SolidLine, Qt::RoundCap));
    steam(p, 355, 35, 15, {50, 35, 25, 8});
  });
}

QPixmap cupPicture(const QSize& box) {
  return drawn({256, 256}, box, [](QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(kSaddleBrown);
    p.drawRoundedRect(QRectF(48, 96, 128, 120), 28, 28);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(kSaddleBrown, 16));
    p.drawEllipse(QRectF(160, 120, 56, 60));
    p.setPen(QPen(kBurlywood, 10, Qt::SolidLine, Qt::RoundCap));
    steam(p, 80, 32, 14, {84, 66, 54, 32});
  });
}

QPixmap keypadPicture(const QSize& box) {
  return drawn({256, 256}, box, [](QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(kSaddleBrown);
    for (int row = 0; row < 4; ++row)
      for (int col = 0; col < 3; ++col)
        p.drawRoundedRect(QRectF(52 + col * 54, 20 + row * 56, 44, 44), 8, 8);
  });
}

// ---- questions and messages ---------------------------------------------------

QPixmap questionPicture(const QSize& box) {
  return drawn({256, 256}, box,
               [](QPainter& p) { sign(p, QLatin1Char('?'), QColor(0x1E, 0x6F, 0xC8)); });
}

QPixmap exclamationPicture(const QSize& box) {
  return drawn({256, 256}, box,
               [](QPainter& p) { sign(p, QLatin1Char('!'), QColor(0xE0, 0x8A, 0x00)); });
}

// ---- sale screens -------------------------------------------------------------

QPixmap drinkPicture(const QSize& box) {
  return drawn({320, 256}, box, [](QPainter& p) {
    const QColor cup = kSaddleBrown;  // as the buttons' borders
    const QColor coffee(0x4A, 0x2C, 0x1A);
    const QColor crema(0xC8, 0x8A, 0x4A);
    // Saucer.
    p.setPen(Qt::NoPen);
    p.setBrush(kBurlywood.darker(115));
    p.drawEllipse(QRectF(28, 206, 240, 40));
    p.setBrush(kBurlywood);
    p.drawEllipse(QRectF(40, 204, 216, 30));
    // Handle, behind the bowl's right side.
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(cup, 18));
    p.drawEllipse(QRectF(204, 120, 70, 62));
    // Bowl: straight sides narrowing into a round foot.
    QPainterPath bowl;
    bowl.moveTo(56, 100);
    bowl.lineTo(240, 100);
    bowl.cubicTo(236, 176, 206, 218, 148, 218);
    bowl.cubicTo(90, 218, 60, 176, 56, 100);
    p.setPen(Qt::NoPen);
    p.setBrush(cup);
    p.drawPath(bowl);
    // The coffee's surface and its crema.
    p.setBrush(coffee);
    p.drawEllipse(QRectF(56, 86, 184, 30));
    p.setBrush(crema);
    p.drawEllipse(QRectF(76, 92, 144, 18));
    // Steam.
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(kDarkGoldenrod, 9, Qt::SolidLine, Qt::RoundCap));
    steam(p, 112, 36, 16, {74, 54, 38, 12});
  });
}

QPixmap plusPicture(const QSize& box) {
  return drawn({96, 64}, box, [](QPainter& p) { plusOrMinus(p, true); });
}

QPixmap minusPicture(const QSize& box) {
  return drawn({96, 64}, box, [](QPainter& p) { plusOrMinus(p, false); });
}

QPixmap crossPicture(const QSize& box) {
  return drawn({64, 64}, box, [](QPainter& p) {
    p.setPen(QPen(Qt::darkGray, 8, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(12, 12, 52, 52);
    p.drawLine(52, 12, 12, 52);
  });
}

// ---- payment methods ----------------------------------------------------------

QPixmap bankCardPicture(const QSize& box) {
  return drawn({430, 270}, box, [](QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1E, 0x6F, 0xC8));
    p.drawRoundedRect(QRectF(0, 0, 430, 270), 24, 24);
    p.setBrush(QColor(0x10, 0x3A, 0x6B));
    p.drawRect(QRectF(0, 40, 430, 50));
    p.setBrush(QColor(0xE8, 0xC2, 0x5A));
    p.drawRoundedRect(QRectF(40, 120, 70, 52), 8, 8);
  });
}

QPixmap sbpPicture(const QSize& box) {
  return drawn({400, 200}, box, [](QPainter& p) {
    const QColor colours[] = {QColor(0x5B, 0x57, 0xA2), QColor(0xD9, 0x0F, 0x8C),
                              QColor(0xF9, 0xA4, 0x1B), QColor(0x0F, 0xA8, 0xE0)};
    for (int i = 0; i < 4; ++i) {
      p.setPen(Qt::NoPen);
      p.setBrush(colours[i]);
      p.drawPolygon(QPolygonF(
          {QPointF(20 + i * 20, 20), QPointF(60 + i * 20, 100), QPointF(20 + i * 20, 180)}));
    }
    p.setPen(QColor(0x33, 0x33, 0x33));
    QFont f = p.font();
    f.setPixelSize(90);
    f.setBold(true);
    p.setFont(f);
    p.drawText(QRectF(140, 0, 260, 200), Qt::AlignVCenter | Qt::AlignLeft, QStringLiteral("СБП"));
  });
}

QPixmap yandexBadgePicture(const QSize& box) {
  return drawn({270, 360}, box, [](QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xFC, 0xD3, 0x00));
    p.drawRoundedRect(QRectF(0, 0, 270, 360), 24, 24);
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(105, 20, 60, 14), 7, 7);
    p.setBrush(QColor(0x33, 0x33, 0x33));
    p.drawEllipse(QRectF(85, 80, 100, 100));
    p.drawRoundedRect(QRectF(50, 210, 170, 20), 10, 10);
    p.drawRoundedRect(QRectF(70, 250, 130, 16), 8, 8);
  });
}

QPixmap identityCardPicture(const QSize& box) {
  return drawn({430, 270}, box, [](QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x2E, 0x9E, 0x5B));
    p.drawRoundedRect(QRectF(0, 0, 430, 270), 24, 24);
    p.setBrush(Qt::white);
    for (int i = 0; i < 16; ++i) p.drawRect(QRectF(60 + i * 19, 170, i % 3 == 0 ? 8 : 4, 60));
  });
}

// ---- service menu -------------------------------------------------------------

QPixmap auditPicture(const QSize& box) {
  return drawn({256, 256}, box, [](QPainter& p) {
    // A clipboard with its clip and three ticked lines.
    p.setPen(iconPen());
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(48, 36, 160, 200), 16, 16);
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(92, 22, 72, 32), 8, 8);
    p.setBrush(Qt::NoBrush);
    for (int i = 0; i < 3; ++i) {
      const double y = 96 + i * 48;
      p.setPen(iconPen(10));
      p.drawPolyline(QPolygonF({QPointF(76, y), QPointF(88, y + 12), QPointF(108, y - 10)}));
      p.drawLine(QPointF(128, y), QPointF(180, y));
    }
  });
}

QPixmap auditAtLoadingPicture(const QSize& box) {
  return drawn({256, 256}, box, [](QPainter& p) {
    // An arrow going down into an open tray, and the audit's sheet beside it.
    sheet(p, QRectF(140, 24, 92, 120), 3);
    p.setPen(iconPen());
    p.drawLine(QPointF(80, 24), QPointF(80, 150));
    p.drawPolyline(QPolygonF({QPointF(44, 114), QPointF(80, 150), QPointF(116, 114)}));
    p.drawPolyline(
        QPolygonF({QPointF(24, 170), QPointF(24, 230), QPointF(232, 230), QPointF(232, 170)}));
  });
}

QPixmap refreshConfigPicture(const QSize& box) {
  return drawn({256, 256}, box, [](QPainter& p) {
    // Two arcs chasing each other round a circle, each ending in an arrowhead.
    p.setPen(iconPen(16));
    p.setBrush(Qt::NoBrush);
    const QRectF circle(40, 40, 176, 176);
    p.drawArc(circle, 20 * 16, 140 * 16);
    p.drawArc(circle, 200 * 16, 140 * 16);
    const auto head = [&p](double angleDeg) {
      const double a = angleDeg * M_PI / 180;
      const QPointF tip(128 + 88 * std::cos(a), 128 - 88 * std::sin(a));
      // Along the circle, the way the arc runs (counter-clockwise on screen).
      const QPointF along(-std::sin(a), -std::cos(a));
      const QPointF out(std::cos(a), -std::sin(a));
      p.drawPolyline(QPolygonF({tip - along * 30 + out * 26, tip, tip - along * 30 - out * 26}));
    };
    head(160);
    head(340);
  });
}

QPixmap closeApplicationPicture(const QSize& box) {
  return drawn({256, 256}, box, [](QPainter& p) {
    // The power sign: a circle open at the top and a bar through the gap.
    p.setPen(iconPen(18));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(40, 48, 176, 176), 120 * 16, 300 * 16);
    p.drawLine(QPointF(128, 24), QPointF(128, 124));
  });
}

QPixmap operatorFormPicture(const QSize& box) {
  return drawn({256, 256}, box, [](QPainter& p) {
    // A form and a pen writing on it.
    sheet(p, QRectF(32, 24, 150, 208), 4);
    p.setPen(iconPen(12));
    p.setBrush(Qt::darkGray);
    QPolygonF pen({QPointF(212, 84), QPointF(236, 108), QPointF(150, 194), QPointF(118, 204),
                   QPointF(126, 170)});
    p.drawPolygon(pen);
  });
}
