#include "tests/support/LayoutCheck.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleOptionButton>
#include <QWidget>
#include <algorithm>

#include "kiosk/BusyIndicator.h"
#include "kiosk/Common.h"
#include "kiosk/TouchButton.h"

namespace layoutcheck {
namespace {

// Rounding of the layout rules' fractions to whole pixels.
constexpr double kSlack = 1.0;
// The least share of a touch button's width or height its text takes.
constexpr double kMinFill = 0.25;
// The smallest font, in pixels, that still reads at arm's length.
constexpr int kMinTextPx = 12;
// The least room between a button's text and its left or right edge, as a
// share of the text's line height: a word that touches the frame reads as
// cut off.
constexpr double kMinMarginShare = 0.2;
// The thickest rectangle that still reads as a line.
constexpr int kMaxRuleLine = 4;

QString rectText(const QRectF& r) {
  return QStringLiteral("%1,%2 %3×%4")
      .arg(r.x(), 0, 'f', 0)
      .arg(r.y(), 0, 'f', 0)
      .arg(r.width(), 0, 'f', 0)
      .arg(r.height(), 0, 'f', 0);
}

QString sizeText(const QSizeF& s) {
  return QStringLiteral("%1×%2").arg(s.width(), 0, 'f', 1).arg(s.height(), 0, 'f', 1);
}

QString fontText(const QFont& f) {
  return QStringLiteral("%1 %2 pt").arg(f.family()).arg(f.pointSizeF(), 0, 'f', 1);
}

bool fitsIn(const QSizeF& text, const QSizeF& box) {
  return text.width() <= box.width() + kSlack && text.height() <= box.height() + kSlack;
}

// The text as laid out in the box with the given flags: a word wider than
// the box sticks out, so the width tells too.
QSizeF laidOut(const QFont& font, const QRectF& box, int flags, const QString& text) {
  return QFontMetricsF(font).boundingRect(box, flags, text).size();
}

// Allowances name forms and widgets with "*" and "?" wildcards.
bool matches(const char* pattern, const QString& name) {
  QString re = QRegularExpression::escape(QString::fromUtf8(pattern));
  re.replace(QLatin1String("\\*"), QLatin1String(".*"))
      .replace(QLatin1String("\\?"), QLatin1String("."));
  return QRegularExpression(QRegularExpression::anchoredPattern(re)).match(name).hasMatch();
}

struct Checker {
  const QWidget* form;
  QString formName;
  QRect screen;
  const std::vector<TAllowance>& allowed;
  QStringList problems;

  void report(const QWidget* w, TCheck check, const QString& what) {
    const QString name = widgetName(w, form);
    for (const TAllowance& a : allowed)
      if (a.check == check && matches(a.form, formName) && matches(a.widget, name)) return;
    problems << QStringLiteral("%1: %2 (%3): %4")
                    .arg(formName, name, QLatin1String(w->metaObject()->className()), what);
  }

  // Where the form's top left is on the screen. A form as large as the
  // screen covers it (the offscreen platform offsets windows by a frame the
  // kiosk's full-screen forms do not have); a smaller one is where it is.
  QPoint origin() const {
    const QRect g = form->geometry();
    if (g.width() >= screen.width() && g.height() >= screen.height()) return screen.topLeft();
    return g.topLeft();
  }

  void onScreen(const QWidget* w) {
    const QRect global(w->mapTo(form, QPoint(0, 0)) + origin(), w->size());
    if (!screen.adjusted(-1, -1, 1, 1).contains(global))
      report(w, TCheck::OnScreen,
             QStringLiteral("reaches outside the screen: %1 on %2")
                 .arg(rectText(global), rectText(screen)));
    const QWidget* parent = w->parentWidget();
    if (parent && parent != form->parentWidget() && !w->isWindow() &&
        !parent->rect().adjusted(-1, -1, 1, 1).contains(w->geometry()))
      report(w, TCheck::OnScreen,
             QStringLiteral("is cut off by its parent %1: %2 in %3")
                 .arg(widgetName(parent, form), rectText(w->geometry()), rectText(parent->rect())));
  }

  void label(const QLabel* l) {
    const QString text = ControlText(l);
    if (text.trimmed().isEmpty() || !l->pixmap().isNull()) return;
    const int m = l->margin();
    const QRectF box = QRectF(l->contentsRect()).adjusted(m, m, -m, -m);
    int flags = int(l->alignment());
    if (l->wordWrap()) flags |= Qt::TextWordWrap;
    const int px = QFontInfo(l->font()).pixelSize();
    if (px < kMinTextPx)
      report(l, TCheck::TextFits,
             QStringLiteral("text drawn %1 px high at %2: too small to read")
                 .arg(px)
                 .arg(fontText(l->font())));
    const QSizeF need = laidOut(l->font(), box, flags, text);
    if (!fitsIn(need, box.size()))
      report(l, TCheck::TextFits,
             QStringLiteral("text needs %1, has %2 at %3")
                 .arg(sizeText(need), sizeText(box.size()), fontText(l->font())));
  }

  void button(const QAbstractButton* b) {
    QStyleOptionButton opt;
    opt.initFrom(b);
    opt.text = b->text();
    opt.icon = b->icon();
    opt.iconSize = b->iconSize();
    const bool check = qobject_cast<const QCheckBox*>(b) != nullptr;
    const QRect contents = b->style()->subElementRect(
        check ? QStyle::SE_CheckBoxContents : QStyle::SE_PushButtonContents, &opt, b);
    const QSizeF need =
        laidOut(b->font(), QRectF(0, 0, 3000, 3000), Qt::AlignLeft | Qt::AlignTop, b->text());
    // A push button centres its text over its whole height; the frame is
    // drawn over the line's spacing, not over the letters.
    const QSizeF room(contents.width(), check ? contents.height() : b->height());
    if (!b->text().isEmpty() && !fitsIn(need, room))
      report(b, TCheck::TextFits,
             QStringLiteral("text needs %1, has %2 at %3")
                 .arg(sizeText(need), sizeText(room), fontText(b->font())));
    if (check) {
      // The box is what a finger aims at: as tall as the text's capitals at least.
      const QRect box = b->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &opt, b);
      const double want = QFontMetricsF(b->font()).capHeight();
      if (std::min(box.width(), box.height()) + kSlack < want)
        report(b, TCheck::TouchTarget,
               QStringLiteral("check box drawn %1 beside text %2 px high")
                   .arg(sizeText(box.size()))
                   .arg(want, 0, 'f', 1));
    }
  }

  // An edit's line between its frame lines.
  void lineEdit(const QLineEdit* e) {
    const int frame =
        e->hasFrame() ? e->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, e) : 0;
    const double need = QFontMetricsF(e->font()).height() + 2 * frame;
    if (e->height() + kSlack < need)
      report(e, TCheck::TextFits,
             QStringLiteral("text needs %1 px of height, has %2 at %3")
                 .arg(need)
                 .arg(e->height())
                 .arg(fontText(e->font())));
  }

  void comboBox(const QComboBox* c) {
    const QSize need = c->sizeHint();
    if (c->width() + kSlack < need.width() || c->height() + kSlack < need.height())
      report(c, TCheck::TextFits,
             QStringLiteral("items need %1, has %2 at %3")
                 .arg(sizeText(need), sizeText(c->size()), fontText(c->font())));
  }

  void touchTarget(const QWidget* w) {
    bool target = qobject_cast<const QAbstractButton*>(w) || qobject_cast<const QLineEdit*>(w) ||
                  qobject_cast<const QComboBox*>(w);
    if (auto* r = qobject_cast<const TRectangle*>(w)) target = target || r->isTouchTarget();
    if (!target) return;
    if (std::min(w->width(), w->height()) < kMinTouch)
      report(w, TCheck::TouchTarget,
             QStringLiteral("touch target %1×%2 is under %3 px")
                 .arg(w->width())
                 .arg(w->height())
                 .arg(kMinTouch));
  }

  // A touch button's label fills the button: a glyph or word drawn at a few
  // pixels in a large button is as bad as one cut off.
  void buttonLabel(const TTouchButton* b) {
    const QLabel* l = b->label();
    const QString text = ControlText(l);
    if (text.trimmed().isEmpty() || !l->isVisibleTo(b) || l->width() <= 0) return;
    const QSizeF need =
        laidOut(l->font(), QRectF(0, 0, 3000, 3000), Qt::AlignLeft | Qt::AlignTop, text);
    const QSizeF box = l->size();
    if (need.width() < kMinFill * box.width() && need.height() < kMinFill * box.height())
      report(b, TCheck::TextFits,
             QStringLiteral("text drawn %1 in %2 at %3: under %4 % of the button either way")
                 .arg(sizeText(need), sizeText(box), fontText(l->font()))
                 .arg(kMinFill * 100, 0, 'f', 0));
  }

  // Where a label draws its pixmap, in its own coordinates; empty without one.
  static QRectF pictureRect(const QLabel* l) {
    const QPixmap shown = l->pixmap();
    if (shown.isNull()) return {};
    const QRect contents = l->contentsRect();
    if (l->hasScaledContents()) return contents;
    return QStyle::alignedRect(l->layoutDirection(),
                               QStyle::visualAlignment(l->layoutDirection(), l->alignment()),
                               shown.deviceIndependentSize().toSize(), contents);
  }

  // A label that stretches its pixmap over a box of another shape distorts
  // it (a card's rounded corners turn elliptical); a picture larger than its
  // box is cut off; a picture fitted to a box touches the box on two sides.
  void picture(const QLabel* l) {
    const QPixmap shown = l->pixmap();
    if (shown.isNull()) return;
    const QPixmap source = l->property(kPicture).value<QPixmap>();
    const QSizeF own = (source.isNull() ? shown : source).deviceIndependentSize();
    const QSizeF box = l->contentsRect().size();
    const QSizeF drawn = pictureRect(l).size();
    if (own.isEmpty() || drawn.isEmpty()) return;
    // Whole pixels: the width the drawn height asks for, or the height the
    // drawn width asks for, within a pixel and a half; the shorter side of
    // a long picture carries the rounding.
    const double ratio = own.width() / own.height();
    if (std::abs(drawn.width() - drawn.height() * ratio) > 1.5 * kSlack &&
        std::abs(drawn.height() - drawn.width() / ratio) > 1.5 * kSlack)
      report(l, TCheck::Picture,
             QStringLiteral("picture %1 drawn %2: stretched").arg(sizeText(own), sizeText(drawn)));
    if (!fitsIn(drawn, box))
      report(l, TCheck::Picture,
             QStringLiteral("picture drawn %1 is cut off by its box %2")
                 .arg(sizeText(drawn), sizeText(box)));
    else if (!source.isNull() && std::abs(drawn.width() - box.width()) > kSlack &&
             std::abs(drawn.height() - box.height()) > kSlack)
      report(l, TCheck::Picture,
             QStringLiteral("picture drawn %1 does not fit its box %2")
                 .arg(sizeText(drawn), sizeText(box)));
  }

  // A picture on a button: where it is drawn, in the button's coordinates,
  // lies inside the button and clear of the button's text.
  void pictureOnButton(const QLabel* l, const QWidget* button, const QLabel* text) {
    const QRectF drawn = pictureRect(l).translated(l->mapTo(button, QPoint(0, 0)));
    if (drawn.isEmpty()) return;
    if (!QRectF(button->rect()).adjusted(-kSlack, -kSlack, kSlack, kSlack).contains(drawn))
      report(l, TCheck::Picture,
             QStringLiteral("picture drawn at %1 reaches outside its button %2")
                 .arg(rectText(drawn), rectText(button->rect())));
    if (!text || text == l || !text->isVisibleTo(button)) return;
    const QRectF words = textRect(text).translated(text->mapTo(button, QPoint(0, 0)));
    const QRectF common = drawn & words;
    if (common.width() > kSlack && common.height() > kSlack)
      report(l, TCheck::Overlap,
             QStringLiteral("picture drawn at %1 covers the button's text at %2")
                 .arg(rectText(drawn), rectText(words)));
  }

  void touchButtonPictures(const TTouchButton* b) {
    for (const QLabel* l : b->findChildren<QLabel*>(Qt::FindDirectChildrenOnly))
      if (l != b->label() && l->isVisibleTo(b)) pictureOnButton(l, b, b->label());
  }

  void busyIndicator(const TBusyIndicator* b) {
    if (!b->isSpinning()) report(b, TCheck::Busy, QStringLiteral("shows but does not turn"));
  }

  // text: where the text is drawn, in owner's coordinates.
  void textMargins(const QWidget* button, const QWidget* owner, const QRectF& text,
                   const QFont& font) {
    const double want = kMinMarginShare * QFontMetricsF(font).height();
    const QRectF r = text.translated(owner->mapTo(button, QPoint(0, 0)));
    const double left = r.left();
    const double right = button->width() - r.right();
    if (std::min(left, right) + kSlack < want)
      report(button, TCheck::TextFits,
             QStringLiteral("text drawn %1 px from the left edge and %2 px from the right, wants "
                            "%3 px at %4")
                 .arg(left, 0, 'f', 0)
                 .arg(right, 0, 'f', 0)
                 .arg(want, 0, 'f', 0)
                 .arg(fontText(font)));
  }

  void pushButtonMargins(const QAbstractButton* b) {
    if (b->text().isEmpty() || qobject_cast<const QCheckBox*>(b)) return;
    const QRectF text =
        QFontMetricsF(b->font()).boundingRect(QRectF(b->rect()), Qt::AlignCenter, b->text());
    textMargins(b, b, text, b->font());
  }

  // Where a label draws its text, in its own coordinates; empty for a
  // picture or a label without text.
  static QRectF textRect(const QLabel* l) {
    const QString text = ControlText(l);
    if (text.trimmed().isEmpty() || !l->pixmap().isNull()) return {};
    const int m = l->margin();
    const QRectF box = QRectF(l->contentsRect()).adjusted(m, m, -m, -m);
    int flags = int(l->alignment());
    if (l->wordWrap()) flags |= Qt::TextWordWrap;
    return QFontMetricsF(l->font()).boundingRect(box, flags, text);
  }

  // A label drawn on a touch button: its label, or a caption beside a picture.
  void touchLabelMargins(const QLabel* l) {
    const TTouchButton* b = nullptr;
    for (const QWidget* p = l->parentWidget(); p && p != form && !b; p = p->parentWidget())
      b = qobject_cast<const TTouchButton*>(p);
    if (!b) return;
    const QRectF text = textRect(l);
    if (!text.isEmpty()) textMargins(b, l, text, l->font());
  }

  static bool isButton(const QWidget* w) {
    if (qobject_cast<const QAbstractButton*>(w)) return true;
    auto* r = qobject_cast<const TRectangle*>(w);
    return r && r->isTouchTarget();
  }

  // Where a label draws its text, in its parent's coordinates.
  static QRectF drawnText(const QLabel* l) { return textRect(l).translated(l->pos()); }

  // A thin rectangle that nothing acts on: a rule line between columns or
  // under a heading.
  static bool isRuleLine(const QWidget* w) {
    auto* r = qobject_cast<const TRectangle*>(w);
    return r && !r->isTouchTarget() && std::min(w->width(), w->height()) <= kMaxRuleLine;
  }

  // A button laid over a label on the same panel hides the label's text,
  // whichever of the two is drawn on top; a rule line through it strikes it
  // out, and the text reads as part of the next column.
  void siblingsOverlap(const QWidget* panel) {
    std::vector<const QLabel*> labels;
    std::vector<const QWidget*> buttons, lines;
    for (const QWidget* w : panel->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      if (w->isWindow() || !w->isVisibleTo(form) || w->width() <= 0 || w->height() <= 0) continue;
      if (auto* l = qobject_cast<const QLabel*>(w)) labels.push_back(l);
      if (isButton(w)) buttons.push_back(w);
      if (isRuleLine(w)) lines.push_back(w);
    }
    for (const QLabel* l : labels) {
      const QRectF text = drawnText(l);
      if (text.isEmpty()) continue;
      for (const QWidget* b : buttons) {
        const QRectF common = text & QRectF(b->geometry());
        if (common.width() > kSlack && common.height() > kSlack)
          report(l, TCheck::Overlap,
                 QStringLiteral("text drawn at %1 is covered by %2 at %3")
                     .arg(rectText(text), widgetName(b, form), rectText(b->geometry())));
      }
      for (const QWidget* line : lines)
        if (text.intersects(QRectF(line->geometry())))
          report(l, TCheck::Overlap,
                 QStringLiteral("text drawn at %1 is crossed by the line %2 at %3")
                     .arg(rectText(text), widgetName(line, form), rectText(line->geometry())));
    }
  }

  // Where the letters are inked, up and down: the text's lines without the
  // room above the tallest letter and below the deepest descender.
  static QRectF inkedText(const QLabel* l) {
    QRectF text = drawnText(l);
    if (text.isEmpty()) return text;
    const QFontMetricsF fm(l->font());
    const QRectF ink =
        fm.tightBoundingRect(ControlText(l).replace(QLatin1Char('\n'), QLatin1Char(' ')));
    text.setTop(text.top() + fm.ascent() + ink.top());
    text.setBottom(text.bottom() - fm.descent() + ink.bottom());
    return text;
  }

  // A rectangle's stroke lies inside it: a label on the rectangle whose
  // letters reach into the stroke has them drawn over the outline, and in
  // the outline's colour they merge into it.
  void keepsOffStroke(const QLabel* l) {
    auto* panel = qobject_cast<const TRectangle*>(l->parentWidget());
    if (!panel || panel->strokeThickness() <= 0) return;
    const QRectF text = inkedText(l);
    if (text.isEmpty()) return;
    const double t = panel->strokeThickness();
    const QRectF r(panel->rect());
    const struct {
      Qt::Edge edge;
      QRectF band;
    } bands[] = {
        {Qt::TopEdge, QRectF(0, 0, r.width(), t)},
        {Qt::BottomEdge, QRectF(0, r.height() - t, r.width(), t)},
        {Qt::LeftEdge, QRectF(0, 0, t, r.height())},
        {Qt::RightEdge, QRectF(r.width() - t, 0, t, r.height())},
    };
    for (const auto& b : bands) {
      if (!(panel->strokeSides() & b.edge)) continue;
      const QRectF common = text & b.band;
      if (common.width() > 0 && common.height() > 0)
        report(l, TCheck::Overlap,
               QStringLiteral("letters drawn at %1 reach into the outline of %2 at %3")
                   .arg(rectText(text), widgetName(panel, form), rectText(b.band)));
    }
  }

  void widget(const QWidget* w) {
    if (w->width() <= 0 || w->height() <= 0) return;
    onScreen(w);
    if (auto* l = qobject_cast<const QLabel*>(w)) {
      label(l);
      picture(l);
      touchLabelMargins(l);
      keepsOffStroke(l);
    }
    if (auto* b = qobject_cast<const TBusyIndicator*>(w)) busyIndicator(b);
    if (auto* b = qobject_cast<const QAbstractButton*>(w)) {
      button(b);
      pushButtonMargins(b);
    }
    if (auto* e = qobject_cast<const QLineEdit*>(w)) lineEdit(e);
    if (auto* c = qobject_cast<const QComboBox*>(w)) comboBox(c);
    if (auto* b = qobject_cast<const TTouchButton*>(w)) {
      buttonLabel(b);
      touchButtonPictures(b);
    }
    touchTarget(w);
  }

  void namedPicture(const TNamedPicture& n) {
    const QWidget* parent = form;
    if (n.parent) parent = form->findChild<QWidget*>(QLatin1String(n.parent));
    if (!parent) {
      problems << QStringLiteral("%1: no %2 to carry the picture %3")
                      .arg(formName, QLatin1String(n.parent), QLatin1String(n.picture));
      return;
    }
    if (parent != form && !parent->isVisibleTo(form)) return;
    const auto* l = parent->findChild<QLabel*>(QLatin1String(n.picture));
    if (!l) {
      report(parent, TCheck::Picture,
             QStringLiteral("has no picture %1").arg(QLatin1String(n.picture)));
      return;
    }
    if (!n.takesTurns && !l->isVisibleTo(form))
      report(l, TCheck::Picture, QStringLiteral("is hidden"));
    if (l->pixmap().isNull()) {
      report(l, TCheck::Picture, QStringLiteral("shows no picture"));
      return;
    }
    if (l->property(kPicture).value<QPixmap>().isNull())
      report(l, TCheck::Picture, QStringLiteral("keeps no own size: a stretch would go unseen"));
    picture(l);
    auto* button = qobject_cast<const TTouchButton*>(parent);
    pictureOnButton(l, parent, button ? button->label() : nullptr);
    if (!n.box) return;
    const QRectF want = n.box(form, parent);
    const QRectF got(l->mapTo(parent, QPoint(0, 0)), QSizeF(l->size()));
    const double off =
        std::max({std::abs(got.left() - want.left()), std::abs(got.top() - want.top()),
                  std::abs(got.right() - want.right()), std::abs(got.bottom() - want.bottom())});
    if (off > 1.5 * kSlack)
      report(l, TCheck::Picture,
             QStringLiteral("box at %1, the layout rules put it at %2")
                 .arg(rectText(got), rectText(want)));
  }
};

}  // namespace

QString widgetName(const QWidget* w, const QWidget* form) {
  QString name = w->objectName();
  if (name.isEmpty()) {
    name = QLatin1String(w->metaObject()->className());
    // A touch button goes by its label, or by the hint a press reports.
    auto* button = qobject_cast<const TTouchButton*>(w);
    QString text = ControlText(button ? button->label() : w);
    if (auto* r = qobject_cast<const TRectangle*>(w); r && text.isEmpty()) text = r->hint();
    if (!text.isEmpty()) name += QStringLiteral("(\"") + text + QStringLiteral("\")");
  }
  for (const QWidget* p = w->parentWidget(); p && p != form; p = p->parentWidget())
    if (!p->objectName().isEmpty()) name = p->objectName() + QLatin1Char('/') + name;
  return name;
}

QStringList check(const QWidget* form, const QString& formName, const QRect& screen,
                  const std::vector<TAllowance>& allowed) {
  Checker c{form, formName, screen, allowed, {}};
  c.widget(form);
  c.siblingsOverlap(form);
  for (const QWidget* w : form->findChildren<QWidget*>()) {
    if (w->isWindow() || !w->isVisibleTo(form)) continue;
    c.widget(w);
    c.siblingsOverlap(w);
  }
  return c.problems;
}

QStringList checkNamedPictures(const QWidget* form, const QString& formName,
                               const std::vector<TNamedPicture>& pictures) {
  const std::vector<TAllowance> none;
  Checker c{form, formName, QRect(), none, {}};
  for (const TNamedPicture& n : pictures) c.namedPicture(n);
  return c.problems;
}

namespace {

QRectF inFormOf(const QWidget* w, const QWidget* form) {
  return QRectF(w->mapTo(form, QPoint(0, 0)), QSizeF(w->size()));
}

// The clear space between two boxes; negative when they overlap.
double clearance(const QRectF& a, const QRectF& b) {
  const double dx = std::max(b.left() - a.right(), a.left() - b.right());
  const double dy = std::max(b.top() - a.bottom(), a.top() - b.bottom());
  return std::max(dx, dy);
}

}  // namespace

QStringList checkPageDots(const QWidget* form, const QString& formName,
                          const std::vector<const QWidget*>& dots,
                          const std::vector<const QWidget*>& buttons) {
  QStringList problems;
  const auto needed = [](const QRectF& dot) {
    return std::min(dot.width(), dot.height()) * kMinDotClearShare;
  };
  for (size_t i = 0; i < dots.size(); ++i) {
    const QRectF dot = inFormOf(dots[i], form);
    const QString name = formName + QStringLiteral(": page dot %1 at ").arg(i + 1) + rectText(dot);
    if (std::min(dot.width(), dot.height()) < kMinDot)
      problems << name + QStringLiteral(" is smaller than %1 px").arg(kMinDot);
    for (size_t j = i + 1; j < dots.size(); ++j) {
      const QRectF other = inFormOf(dots[j], form);
      const double clear = clearance(dot, other);
      if (clear < std::max(needed(dot), needed(other)))
        problems << name + QStringLiteral(" is %1 px from page dot %2 at %3")
                               .arg(clear, 0, 'f', 1)
                               .arg(j + 1)
                               .arg(rectText(other));
    }
    for (const QWidget* b : buttons) {
      if (!b->isVisibleTo(form)) continue;
      const QRectF button = inFormOf(b, form);
      const double clear = clearance(dot, button);
      if (clear < needed(dot))
        problems << name + QStringLiteral(" is %1 px from %2 at %3")
                               .arg(clear, 0, 'f', 1)
                               .arg(widgetName(b, form), rectText(button));
    }
  }
  return problems;
}

bool isDrawnRound(QWidget* dot) {
  // Drawn over a colour that no dot uses, so that a painted corner shows.
  const QColor background(1, 2, 3);
  QPixmap shot(dot->size());
  shot.fill(background);
  dot->render(&shot, QPoint(), QRegion(), QWidget::DrawChildren);
  const QImage img = shot.toImage();
  if (img.width() < 4 || img.height() < 4) return false;
  const auto distance = [&background](const QColor& c) {
    return std::abs(c.red() - background.red()) + std::abs(c.green() - background.green()) +
           std::abs(c.blue() - background.blue());
  };
  // The outline is there: the middle of the left side is drawn on.
  const int outline = distance(img.pixelColor(1, img.height() / 2));
  if (outline == 0) return false;
  // A corner is left to what is under it; a small dot's smoothed edge may
  // tint it, never cover it.
  const int right = img.width() - 1, bottom = img.height() - 1;
  for (const QPoint corner :
       {QPoint(0, 0), QPoint(right, 0), QPoint(0, bottom), QPoint(right, bottom)})
    if (distance(img.pixelColor(corner)) * 2 > outline) return false;
  return true;
}

}  // namespace layoutcheck
