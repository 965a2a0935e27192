// The screensaver: which file it shows next, what a tick of a playing video
// decides, when the form closes, and that videos play in the environment the
// program sets up for itself while files that cannot play are skipped.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QVideoFrame>
#include <QVideoSink>
#include <QVideoWidget>
#include <cstdio>
#include <utility>
#include <vector>

#include "kiosk/Screensaver.h"
#include "kiosk/TouchButton.h"
#include "support/ChildProcess.h"
#include "support/TinyVideo.h"

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

// The lines the screensaver wrote to the local log.
struct LogLines {
  std::function<void(const QString&)> sink() {
    return [this](const QString& line) { lines << line; };
  }
  QStringList lines;
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
  TBrokenWallpapers broken;
  TWallpaperPlaylist list(broken);
  const auto any = [](const QString&) { return true; };
  const QStringList files = {QStringLiteral("a"), QStringLiteral("b")};
  EXPECT_EQ(list.showNext(files, w.folder(), any), 0);
  list.failed(w.path(QStringLiteral("b")));
  EXPECT_EQ(list.showNext(files, w.folder(), any), 0);
  list.failed(w.path(QStringLiteral("a")));
  EXPECT_EQ(list.showNext(files, w.folder(), any), -1);
  EXPECT_FALSE(list.failed(w.path(QStringLiteral("a")))) << "already known";
  // Until the file changes: a new download under the same name is tried.
  w.bytes(QStringLiteral("a"), "a new file");
  EXPECT_EQ(list.showNext(files, w.folder(), any), 0);
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

TEST(WallpaperPlaylist, VideoFaults) {
  const struct {
    const char* name;
    bool available;
    const char* error;
    bool invalidMedia, frameShown;
    int64_t elapsed;
    bool fault;
  } cases[] = {
      {"just started", true, "", false, false, 100, false},
      {"showing frames", true, "", false, true, 60000, false},
      {"no backend", false, "", false, false, 0, true},
      {"an error", true, "Cannot open codec", false, true, 100, true},
      {"invalid media", true, "", true, false, 100, true},
      {"no frame in time", true, "", false, false, kVideoFirstFrameTimeoutMs, true},
  };
  for (const auto& c : cases) {
    TVideoCheck check;
    check.available = c.available;
    check.error = QString::fromLatin1(c.error);
    check.invalidMedia = c.invalidMedia;
    check.frameShown = c.frameShown;
    check.elapsedMs = c.elapsed;
    EXPECT_EQ(!videoFault(check).isEmpty(), c.fault) << c.name;
  }
}

TEST(Screensaver, PicturesFollowTheTimerInListOrder) {
  WallpaperFolder w;
  w.picture(QStringLiteral("red.png"), Qt::red);
  w.picture(QStringLiteral("blue.png"), Qt::blue);
  LogLines log;
  TfmWallpaper form(
      {QStringLiteral("gone.png"), QStringLiteral("red.png"), QStringLiteral("blue.png")}, 7,
      w.data(), log.sink());
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
  LogLines log;
  {
    TfmWallpaper form({QStringLiteral("x.png")}, 5, w.data(), log.sink());
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
    TfmWallpaper form({QStringLiteral("red.png")}, 5, w.data(), log.sink());
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
    TfmWallpaper form({QStringLiteral("red.png")}, 5, w.data(), log.sink());
    QTimer::singleShot(50, &form, [&] { QTest::mouseClick(form.pnSerialNumber, Qt::LeftButton); });
    QTimer::singleShot(5000, &form, [&] { form.done(2); });
    EXPECT_EQ(form.exec(), QDialog::Accepted) << "touch on the footer";
  }
}

// The test runs in the environment the test runner gives it, with no media
// backend named: the screensaver's own choice must make the video play.
// The video is the committed fixture green-clip.avi: fifteen green 32x24
// frames at 10 frames a second (1.5 s), written by tinyvideo::mjpegAvi.
TEST(Screensaver, PlaysAVideoToItsEndThenTheNextFile) {
  WallpaperFolder w;
  QFile clip(QStringLiteral(VEKTA_KIOSK_FIXTURES "/green-clip.avi"));
  ASSERT_TRUE(clip.open(QIODevice::ReadOnly)) << clip.fileName().toStdString();
  w.bytes(QStringLiteral("clip.avi"), clip.readAll());
  w.picture(QStringLiteral("red.png"), Qt::red);
  LogLines log;
  TfmWallpaper form({QStringLiteral("clip.avi"), QStringLiteral("red.png")}, 60, w.data(),
                    log.sink());
  form.show();
  const auto frame = [&] {
    return form.MediaPlayerControl ? form.MediaPlayerControl->videoSink()->videoFrame()
                                   : QVideoFrame();
  };
  ASSERT_TRUE(QTest::qWaitFor([&] { return frame().isValid(); }, 20000))
      << log.lines.join('\n').toStdString();
  EXPECT_EQ(form.file_ind, 0);
  EXPECT_TRUE(form.isVisible());
  EXPECT_TRUE(form.MediaPlayerControl->isVisible());
  const QImage shown = frame().toImage();
  ASSERT_FALSE(shown.isNull());
  const QColor c = shown.pixelColor(shown.width() / 2, shown.height() / 2);
  EXPECT_TRUE(c.green() > 150 && c.red() < 60 && c.blue() < 60) << c.name().toStdString();
  // At its end the next file follows, and the screensaver is still open.
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.file_ind == 1; }, 30000));
  EXPECT_EQ(shownColor(form), QColor(Qt::red));
  EXPECT_TRUE(form.isVisible());
  EXPECT_TRUE(form.Image->isVisible());
  EXPECT_TRUE(log.lines.isEmpty()) << log.lines.join('\n').toStdString();
}

// A file that cannot play is skipped for the next, and the log names it once
// however often the screensaver comes round to it.
TEST(Screensaver, SkipsAFileThatCannotPlayAndLogsItOnce) {
  QList<QImage> frames;
  for (int i = 0; i < 5; ++i) {
    QImage f(32, 32, QImage::Format_RGB32);
    f.fill(Qt::white);
    frames << f;
  }
  QByteArray unknownCodec = tinyvideo::mjpegAvi(frames, 10);
  unknownCodec.replace("MJPG", "XQ9Z");
  const struct {
    const char* name;
    QByteArray bytes;
  } cases[] = {
      {"no video at all", QByteArray("This is a text, not a video.\n").repeated(40)},
      {"a format without a decoder", unknownCodec},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WallpaperFolder w;
    w.bytes(QStringLiteral("advert.mp4"), c.bytes);
    w.picture(QStringLiteral("red.png"), Qt::red);
    const QStringList files = {QStringLiteral("advert.mp4"), QStringLiteral("red.png")};
    LogLines log;
    for (int opening = 0; opening < 2; ++opening) {
      TfmWallpaper form(files, 60, w.data(), log.sink());
      form.show();
      ASSERT_TRUE(QTest::qWaitFor([&] { return form.file_ind == 1; }, 20000));
      EXPECT_EQ(shownColor(form), QColor(Qt::red));
      // Round the list: the broken file stays skipped and the picture stays.
      for (int pass = 0; pass < 3; ++pass) {
        form.tmNextFileTimer();
        EXPECT_EQ(form.file_ind, 1);
        EXPECT_EQ(shownColor(form), QColor(Qt::red));
      }
      EXPECT_TRUE(form.isVisible());
    }
    ASSERT_EQ(log.lines.size(), 1) << log.lines.join('\n').toStdString();
    EXPECT_TRUE(log.lines[0].contains(QLatin1String("advert.mp4"))) << log.lines[0].toStdString();
  }
}

// GStreamer, named in the environment, crashes at its first player without
// its base plugins. The screensaver must skip the video instead (and where
// the plugins are installed the video may play). Qt fixes its backend once a
// process, so the test runs itself again with the environment set.
TEST(Screensaver, StaysUpUnderABackendThatTheEnvironmentNames) {
  if (qEnvironmentVariableIsEmpty("VEKTA_TEST_NAMED_BACKEND")) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_MEDIA_BACKEND"), QStringLiteral("gstreamer"));
    env.insert(QStringLiteral("VEKTA_TEST_NAMED_BACKEND"), QStringLiteral("1"));
    testkit::ChildProcess child;
    ASSERT_TRUE(child.start(
        QCoreApplication::applicationFilePath(),
        {QStringLiteral("--gtest_filter=Screensaver.StaysUpUnderABackendThatTheEnvironmentNames")},
        testkit::ChildProcess::Output::Inherit, env));
    ASSERT_TRUE(child.waitFinished(90000));
    EXPECT_TRUE(child.normalExit()) << "the screensaver's process crashed";
    EXPECT_EQ(child.exitCode(), 0);
    return;
  }
  WallpaperFolder w;
  QList<QImage> frames;
  for (int i = 0; i < 5; ++i) {
    QImage f(32, 32, QImage::Format_RGB32);
    f.fill(Qt::green);
    frames << f;
  }
  w.bytes(QStringLiteral("clip.avi"), tinyvideo::mjpegAvi(frames, 10));
  w.picture(QStringLiteral("red.png"), Qt::red);
  LogLines log;
  TfmWallpaper form({QStringLiteral("clip.avi"), QStringLiteral("red.png")}, 60, w.data(),
                    log.sink());
  form.show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.file_ind == 1; }, 30000));
  EXPECT_EQ(shownColor(form), QColor(Qt::red));
  EXPECT_TRUE(form.isVisible());
  EXPECT_LE(log.lines.size(), 1);
  for (const QString& line : log.lines) std::fprintf(stderr, "%s\n", qPrintable(line));
}
