// The screensaver: which file it shows next, what a tick of a playing video
// decides, and when the form closes.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <utility>
#include <vector>

#include "kiosk/Screensaver.h"
#include "kiosk/TouchButton.h"

namespace {

// A data folder whose wallpaper folder holds small pictures of one colour each.
class WallpaperFolder {
 public:
  WallpaperFolder() { QDir().mkpath(folder()); }
  QString data() const { return dir.path(); }
  QString folder() const { return dir.filePath(QStringLiteral("Wallpaper")); }
  QString path(const QString& name) const { return folder() + QLatin1Char('/') + name; }
  void picture(const QString& name, const QColor& color) const {
    QImage img(8, 8, QImage::Format_RGB32);
    img.fill(color);
    ASSERT_TRUE(img.save(path(name), "PNG"));
  }
  void bytes(const QString& name, const QByteArray& data) const {
    QFile f(path(name));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(data);
  }
  QTemporaryDir dir;
};

QColor shownColor(const TfmWallpaper& form) {
  const QPixmap pm = form.Image->pixmap();
  if (pm.isNull()) return {};
  const QImage img = pm.toImage();
  return img.pixelColor(img.width() / 2, img.height() / 2);
}

}  // namespace

TEST(WallpaperPlaylist, ShowsInListOrderSkipsWhatCannotBeShownAndWrapsOnce) {
  WallpaperFolder w;
  for (const char* name : {"a", "b", "c", "bad"}) w.bytes(QString::fromLatin1(name), "x");
  const struct {
    const char* name;
    QStringList files;
    std::vector<int> expected;  // indexes of successive calls; -1 closes
  } cases[] = {
      {"three in order, then the first again", {"a", "b", "c"}, {0, 1, 2, 0, 1}},
      {"a missing first file", {"gone", "b"}, {1, 1}},
      {"a file that fails to show", {"a", "bad", "c"}, {0, 2, 0}},
      {"all missing", {"x", "y"}, {-1}},
      {"empty list", {}, {-1}},
      {"a name leaving the folder", {"../a"}, {-1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TWallpaperPlaylist list;
    QStringList shown;
    const auto tryShow = [&](const QString& path) {
      if (path.endsWith(QLatin1String("/bad"))) return false;
      shown << path;
      return true;
    };
    for (int expected : c.expected)
      EXPECT_EQ(list.showNext(c.files, w.folder(), tryShow), expected);
  }

  // A video that did not play is not tried again: a list of such files ends it.
  TWallpaperPlaylist list;
  const auto any = [](const QString&) { return true; };
  const QStringList files = {QStringLiteral("a"), QStringLiteral("b")};
  EXPECT_EQ(list.showNext(files, w.folder(), any), 0);
  list.failed(w.path(QStringLiteral("b")));
  EXPECT_EQ(list.showNext(files, w.folder(), any), 0);
  list.failed(w.path(QStringLiteral("a")));
  EXPECT_EQ(list.showNext(files, w.folder(), any), -1);
}

TEST(WallpaperPlaylist, VideoTickDecisions) {
  const struct {
    const char* name;
    bool input, playing, failed;
    int64_t position, duration, elapsed;
    TMediaTick expected;
  } cases[] = {
      {"playing", false, true, false, 1000, 5000, 1000, TMediaTick::Wait},
      {"a long video playing", false, true, false, 60000, 90000, 60000, TMediaTick::Wait},
      {"still opening", false, true, false, 0, 0, 500, TMediaTick::Wait},
      {"never opens", false, true, false, 0, 0, kVideoOpenTimeoutMs, TMediaTick::Next},
      {"at its end", false, true, false, 5000, 5000, 5000, TMediaTick::Next},
      {"stopped", false, false, false, 5000, 5000, 5000, TMediaTick::Next},
      {"cannot play", false, true, true, 0, 0, 100, TMediaTick::Next},
      {"a touch while playing", true, true, false, 1000, 5000, 1000, TMediaTick::Close},
      {"a touch as it fails", true, false, true, 0, 0, 100, TMediaTick::Close},
  };
  for (const auto& c : cases)
    EXPECT_EQ(mediaPlayerTick(c.input, c.playing, c.failed, c.position, c.duration, c.elapsed),
              c.expected)
        << c.name;
}

TEST(Screensaver, PicturesFollowTheTimerInListOrder) {
  WallpaperFolder w;
  w.picture(QStringLiteral("red.png"), Qt::red);
  w.picture(QStringLiteral("blue.png"), Qt::blue);
  TfmWallpaper form(
      {QStringLiteral("gone.png"), QStringLiteral("red.png"), QStringLiteral("blue.png")}, 7,
      w.data());
  EXPECT_EQ(form.tmNextFile->interval(), 7000);
  form.show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.file_ind >= 0; }, 5000));
  EXPECT_EQ(form.file_ind, 1) << "the missing first file is skipped";
  EXPECT_EQ(shownColor(form), QColor(Qt::red));
  EXPECT_TRUE(form.tmNextFile->isActive());
  form.tmNextFileTimer();
  EXPECT_EQ(form.file_ind, 2);
  EXPECT_EQ(shownColor(form), QColor(Qt::blue));
  form.tmNextFileTimer();
  EXPECT_EQ(form.file_ind, 1);
  EXPECT_TRUE(form.isVisible());
}

TEST(Screensaver, ClosesWithNothingToShowAtATouchAndAtAKeyThatGoesOnToTheScanner) {
  WallpaperFolder w;
  {
    TfmWallpaper form({QStringLiteral("x.png")}, 5, w.data());
    QTimer::singleShot(5000, &form, [&] { form.done(2); });  // only when it failed to close
    EXPECT_EQ(form.exec(), QDialog::Accepted);
  }
  w.picture(QStringLiteral("red.png"), Qt::red);
  // A scan that wakes the kiosk: its first key closes the screensaver and
  // goes on to the scanner, which reads key releases; the press alone only
  // starts it.
  const struct {
    int key;
    const char* text;
  } keys[] = {{Qt::Key_4, "4"}, {Qt::Key_Space, " "}, {Qt::Key_Escape, "\x1b"}};
  for (const auto& k : keys) {
    SCOPED_TRACE(k.key);
    TfmWallpaper form({QStringLiteral("red.png")}, 5, w.data());
    std::vector<std::pair<int, QString>> handedOn;
    form.scannerKeyUp = [&](QKeyEvent* e) {
      EXPECT_FALSE(form.isVisible()) << "closed before the scanner acts";
      handedOn.emplace_back(e->key(), e->text());
    };
    bool openAfterPress = false;
    const QString text = QString::fromLatin1(k.text);
    QTimer::singleShot(50, &form, [&] {
      EXPECT_EQ(form.file_ind, 0);
      QKeyEvent press(QEvent::KeyPress, k.key, Qt::NoModifier, text);
      QApplication::sendEvent(form.Image, &press);
      openAfterPress = form.isVisible();
      // The release was queued with the press, before the screensaver reacted.
      QCoreApplication::postEvent(form.Image,
                                  new QKeyEvent(QEvent::KeyRelease, k.key, Qt::NoModifier, text));
    });
    QTimer::singleShot(5000, &form, [&] { form.done(2); });
    EXPECT_EQ(form.exec(), QDialog::Accepted);
    EXPECT_TRUE(openAfterPress);
    EXPECT_EQ(handedOn, (std::vector<std::pair<int, QString>>{{k.key, text}}));
  }
  {
    TfmWallpaper form({QStringLiteral("red.png")}, 5, w.data());
    QTimer::singleShot(50, &form, [&] { QTest::mouseClick(form.pnSerialNumber, Qt::LeftButton); });
    QTimer::singleShot(5000, &form, [&] { form.done(2); });
    EXPECT_EQ(form.exec(), QDialog::Accepted) << "touch on the footer";
  }
}
