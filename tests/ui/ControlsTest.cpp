// Artwork, PNG loading, the spinner's clock and animation, the picture control and
// drawing preview frames.
#include "screens/UiTestSupport.h"

#include <ui/controls/Bitmap.h>
#include <ui/controls/DrawFrame.h>
#include <ui/controls/PictureCtrl.h>
#include <ui/controls/ProgressIndicatorCtrl.h>
#include <ui/controls/Spinner.h>

#include <deviceio/Frame.h>
#include <resources/Resources.h>

#include <QHBoxLayout>
#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

using namespace Tessaline::Ui;

namespace {

QColor At(const QImage &image, int x, int y)
{
    return QColor::fromRgba(image.pixel(x, y));
}

// A frame of solid colours, given bottom row first (blue, green, red bytes).
Ambry::Ref<CFrame> MakeFrame(int width, int height, uint32_t (*colour)(int x, int rowFromBottom))
{
    auto pixels = std::make_unique<uint8_t[]>(static_cast<size_t>(width) * height * 3);
    for (int row = 0; row < height; ++row) {
        for (int x = 0; x < width; ++x) {
            const uint32_t rgb = colour(x, row);
            uint8_t *p = pixels.get() + (static_cast<size_t>(row) * width + x) * 3;
            p[0] = rgb & 0xFF;          // blue
            p[1] = (rgb >> 8) & 0xFF;   // green
            p[2] = (rgb >> 16) & 0xFF;  // red
        }
    }
    return Ambry::Adopt<CFrame>(new CFrameJPEG(std::move(pixels), width, height));
}

std::atomic<uint64_t> g_fakeTime{0};
uint64_t FakeClock()
{
    return g_fakeTime.load();
}

class FakeClockScope {
public:
    explicit FakeClockScope(uint64_t time) { g_fakeTime = time, SetSpinnerClock(&FakeClock); }
    ~FakeClockScope() { SetSpinnerClock(nullptr); }
};

}  // namespace

TEST(ControlsArtwork, ImagesHaveTheirSizesAndCells)
{
    const QImage spinner(Tessaline::Resources::PngPath(143));
    const QImage lights(Tessaline::Resources::PngPath(144));
    const QImage locks(Tessaline::Resources::PngPath(150));
    ASSERT_EQ(spinner.size(), QSize(176, 22));
    ASSERT_EQ(lights.size(), QSize(36, 12));
    ASSERT_EQ(locks.size(), QSize(36, 25));
    EXPECT_TRUE(spinner.hasAlphaChannel() && lights.hasAlphaChannel() && locks.hasAlphaChannel());

    // Lights: green, yellow, red at the centre of their cells; transparent corners.
    const QColor green = At(lights, 6, 6), yellow = At(lights, 18, 6), red = At(lights, 30, 6);
    EXPECT_GT(green.green(), green.red() + 60);
    EXPECT_GT(yellow.red(), 150);
    EXPECT_GT(yellow.green(), 100);
    EXPECT_LT(yellow.blue(), 90);
    EXPECT_GT(red.red(), red.green() + 100);
    EXPECT_EQ(At(lights, 0, 0).alpha(), 0);
    EXPECT_EQ(At(lights, 35, 11).alpha(), 0);

    // Spinner: each frame is drawn, and the frames differ.
    for (int frame = 0; frame < 8; ++frame)
        EXPECT_GT(At(spinner, frame * 22 + 11, 4).alpha(), 0) << frame;  // the top dot
    EXPECT_NE(spinner.copy(0, 0, 22, 22), spinner.copy(22, 0, 22, 22));

    // Locks: dark in the top row, light in the second for the closed and open locks,
    // red in both rows for the third; the third fits in the strip's last 10 columns.
    auto coverage = [&](int cellX, int cellY, auto accept) {
        int n = 0;
        for (int y = cellY; y < cellY + 12; ++y)
            for (int x = cellX; x < std::min(cellX + 13, 36); ++x)
                n += At(locks, x, y).alpha() > 200 && accept(At(locks, x, y));
        return n;
    };
    auto dark = [](QColor c) { return c.value() < 110; };
    auto light = [](QColor c) { return c.value() > 220 && c.saturation() < 30; };
    auto reddish = [](QColor c) { return c.red() > 150 && c.green() < 80; };
    EXPECT_GT(coverage(0, 0, dark), 25);
    EXPECT_GT(coverage(13, 0, dark), 25);
    EXPECT_GT(coverage(0, 13, light), 25);
    EXPECT_GT(coverage(13, 13, light), 25);
    EXPECT_GT(coverage(26, 0, reddish), 25);
    EXPECT_GT(coverage(26, 13, reddish), 25);
}

TEST(ControlsBitmap, LoadingFailsCleanlyAndCanBeRepeated)
{
    CGdiPlusBitmapResource bitmap(99999);
    EXPECT_FALSE(bitmap.IsLoaded());
    EXPECT_TRUE(bitmap.Image().isNull());
    EXPECT_TRUE(bitmap.Load(144));
    EXPECT_EQ(bitmap.Image().size(), QSize(36, 12));
    // A failed load drops the image held so far.
    EXPECT_FALSE(bitmap.Load(0));
    EXPECT_FALSE(bitmap.IsLoaded());
    // Drawing without an image draws nothing.
    QImage target(20, 20, QImage::Format_ARGB32);
    target.fill(Qt::white);
    {
        QPainter painter(&target);
        bitmap.DrawCell(painter, QPoint(0, 0), QRect(0, 0, 12, 12));
    }
    EXPECT_EQ(At(target, 5, 5), QColor(Qt::white));
}

TEST(ControlsSpinner, FrameFollowsTheClockInTenthsOfASecond)
{
    EXPECT_EQ(SpinnerFrameAt(0), 0);
    EXPECT_EQ(SpinnerFrameAt(999'999), 0);
    EXPECT_EQ(SpinnerFrameAt(1'000'000), 1);  // 100 ms later
    EXPECT_EQ(SpinnerFrameAt(7'999'999), 7);
    EXPECT_EQ(SpinnerFrameAt(8'000'000), 0);
    // Only the low 32 bits of the time count.
    EXPECT_EQ(SpinnerFrameAt((uint64_t{5} << 32) + 3'000'000), 3);
    // The real clock counts from 1601: now is far past 1970.
    EXPECT_GT(SpinnerClockNow(), 116444736000000000ull);

    ASSERT_NE(GetSpinnerStrip(), nullptr);
    EXPECT_EQ(GetSpinnerStrip(), GetSpinnerStrip());

    // Centring in the list row's thumbnail area puts the frame at (30, 16).
    FakeClockScope clock(5'000'000);
    QImage centred(90, 60, QImage::Format_ARGB32), direct(90, 60, QImage::Format_ARGB32);
    centred.fill(Qt::white);
    direct.fill(Qt::white);
    {
        QPainter a(&centred), b(&direct);
        DrawSpinnerCentered(QRect(QPoint(5, 5), QPoint(76, 49)), a);
        DrawSpinnerFrame(b, 30, 16);
    }
    EXPECT_EQ(centred, direct);
    // It is frame 5 of the strip.
    const QImage strip = GetSpinnerStrip()->Image();
    QImage expected(22, 22, QImage::Format_ARGB32);
    expected.fill(Qt::white);
    {
        QPainter p(&expected);
        p.drawImage(0, 0, strip, 5 * 22, 0, 22, 22);
    }
    EXPECT_EQ(direct.copy(30, 16, 22, 22), expected);
}

TEST(ControlsSpinner, ControlsAgreeAndStopWhenHidden)
{
    FakeClockScope clock(2'000'000);
    QWidget window;
    auto *row = new QHBoxLayout(&window);
    auto *first = new CProgressIndicatorCtrl(&window);
    auto *second = new CProgressIndicatorCtrl(&window);
    for (auto *spinner : {first, second}) {
        spinner->setFixedSize(22, 22);
        row->addWidget(spinner);
    }
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_EQ(first->grab().toImage(), second->grab().toImage());
    const QImage atTwo = first->grab().toImage();
    g_fakeTime = 3'000'000;
    EXPECT_NE(first->grab().toImage(), atTwo);
    EXPECT_EQ(first->grab().toImage(), second->grab().toImage());
    UiTest::SaveScreenshot(&window, QStringLiteral("controls_spinners"));

    // Visible: repaints about every 100 ms.
    const int start = first->PaintCount();
    ASSERT_TRUE(UiTest::WaitUntil([&] { return first->PaintCount() >= start + 3; }, 2000));
    // Hidden: no paint, and the cycle ends.
    first->hide();
    UiTest::Pump(150);
    const int hidden = first->PaintCount();
    UiTest::Pump(400);
    EXPECT_EQ(first->PaintCount(), hidden);
    EXPECT_FALSE(first->IsTimerRunning(0));
    EXPECT_GT(second->PaintCount(), start + 3);
    // Shown again: it resumes with the frame the clock gives.
    g_fakeTime = 6'000'000;
    first->show();
    ASSERT_TRUE(UiTest::WaitUntil([&] { return first->PaintCount() >= hidden + 2; }, 2000));
    EXPECT_EQ(first->grab().toImage(), second->grab().toImage());
}

TEST(ControlsPicture, ShowsOneCellOverTheButtonFace)
{
    CExPictureCtrl picture;
    picture.resize(12, 13);
    const QColor face = picture.palette().color(QPalette::Window);
    const QImage empty = picture.grab().toImage();
    for (int y = 0; y < empty.height(); ++y)
        for (int x = 0; x < empty.width(); ++x)
            ASSERT_EQ(At(empty, x, y).rgb(), face.rgb()) << x << "," << y;

    ASSERT_TRUE(picture.LoadImage(144));
    picture.SetSourceRect(24, 0, 12, 12);  // the red light
    const QImage red = picture.grab().toImage();
    EXPECT_GT(At(red, 6, 6).red(), At(red, 6, 6).green() + 100);
    EXPECT_EQ(At(red, 6, 12).rgb(), face.rgb());  // below the cell: background
    picture.SetSourceRect(0, 0, 12, 12);
    EXPECT_GT(At(picture.grab().toImage(), 6, 6).green(), At(picture.grab().toImage(), 6, 6).red());
}

TEST(ControlsDrawFrame, FitsCentresAndTurnsRowsUpright)
{
    // 1600 x 1200 into 400 x 200: a picture 266 wide at left offset 67.
    Ambry::Ref<CFrame> big = MakeFrame(1600, 1200, [](int, int) -> uint32_t { return 0x2040C0; });
    QImage target(400, 200, QImage::Format_RGB32);
    target.fill(QColor(255, 0, 255));
    {
        QPainter painter(&target);
        EXPECT_TRUE(DrawFrame(painter, 0, 0, 400, 200, big.get()));
    }
    EXPECT_EQ(At(target, 66, 100), QColor(255, 0, 255));
    EXPECT_EQ(At(target, 67, 100), QColor(0x20, 0x40, 0xC0));
    EXPECT_EQ(At(target, 332, 100), QColor(0x20, 0x40, 0xC0));
    EXPECT_EQ(At(target, 333, 100), QColor(255, 0, 255));
    EXPECT_EQ(At(target, 200, 0), QColor(0x20, 0x40, 0xC0));
    EXPECT_EQ(At(target, 200, 199), QColor(0x20, 0x40, 0xC0));

    // The first row in memory is the bottom of the picture; bytes are blue, green, red.
    Ambry::Ref<CFrame> rows = MakeFrame(4, 2, [](int, int row) -> uint32_t { return row == 0 ? 0xFF0000 : 0x0000FF; });
    const QImage &image = FrameImage(rows.get());
    ASSERT_EQ(image.size(), QSize(4, 2));
    EXPECT_EQ(At(image, 0, 0), QColor(0, 0, 255));
    EXPECT_EQ(At(image, 3, 1), QColor(255, 0, 0));
    // Made once per frame.
    EXPECT_EQ(&FrameImage(rows.get()), &image);
}

TEST(ControlsDrawFrame, OutlineWhenNothingCanBeDrawn)
{
    auto outlineOnly = [](CFrame *frame, QRect area) {
        QImage target(60, 40, QImage::Format_RGB32);
        target.fill(Qt::white);
        bool drawn;
        {
            QPainter painter(&target);
            drawn = DrawFrame(painter, area.left(), area.top(), area.right() + 1, area.bottom() + 1, frame);
        }
        EXPECT_FALSE(drawn);
        // The outline's corners are drawn, the inside is not.
        EXPECT_EQ(At(target, area.left(), area.top()), QColor(Qt::black));
        EXPECT_EQ(At(target, area.right(), area.bottom()), QColor(Qt::black));
        if (area.width() > 2 && area.height() > 2) {
            EXPECT_EQ(At(target, area.center().x(), area.center().y()), QColor(Qt::white));
        }
    };
    // A frame without pixels, and a null frame.
    outlineOnly(Ambry::Adopt<CFrame>(new CFrameJPEG(nullptr, 0, 0)).get(), QRect(5, 5, 40, 30));
    outlineOnly(nullptr, QRect(5, 5, 40, 30));
    // A frame whose size claims more than an image can hold is refused, not read.
    outlineOnly(Ambry::Adopt<CFrame>(new CFrameJPEG(std::make_unique<uint8_t[]>(3), 0x7FFFFFFF, 2)).get(),
                QRect(2, 2, 20, 20));
    // An empty rectangle with a good frame: only the outline.
    Ambry::Ref<CFrame> good = MakeFrame(8, 8, [](int, int) -> uint32_t { return 0x00FF00; });
    QImage target(20, 20, QImage::Format_RGB32);
    target.fill(Qt::white);
    QPainter painter(&target);
    EXPECT_FALSE(DrawFrame(painter, 10, 10, 10, 15, good.get()));
}
