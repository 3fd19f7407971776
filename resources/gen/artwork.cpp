// Draws the application's artwork: the spinner strip (143), the status lights (144),
// the lock icons (150) and the application icon (128), as 8-bit RGBA PNG files.
//
//   tessaline-artwork <output folder>
//
// writes png/143.png, png/144.png, png/150.png, icon/128.png and icon/128-16.png
// under the folder. The committed files come from this program; run the "artwork"
// build target to draw them again.
#include <QColor>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>
#include <cstdio>
#include <numbers>

namespace {

QImage Blank(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    return image;
}

// Eight grey dots on a ring; the darkest sits at step `frame` (clockwise from the top)
// and the ones behind it fade out.
void DrawSpinnerFrame(QPainter &p, int originX, int frame)
{
    const double cx = originX + 11.0, cy = 11.0, ring = 7.0, dot = 2.1;
    for (int step = 0; step < 8; ++step) {
        const double angle = step * std::numbers::pi / 4.0;
        const double x = cx + ring * std::sin(angle);
        const double y = cy - ring * std::cos(angle);
        const int age = (frame - step + 8) % 8;  // 0: the newest dot
        const int grey = 60 + age * 24;
        const int alpha = 255 - age * 18;
        p.setBrush(QColor(grey, grey, grey, alpha));
        p.drawEllipse(QPointF(x, y), dot, dot);
    }
}

// A round glossy lamp of 12 x 12 pixels.
void DrawLamp(QPainter &p, int originX, QColor base)
{
    const QPointF centre(originX + 6.0, 6.0);
    QRadialGradient body(centre + QPointF(-1.2, -1.4), 6.0);
    body.setColorAt(0.0, base.lighter(160));
    body.setColorAt(0.55, base);
    body.setColorAt(1.0, base.darker(170));
    p.setPen(QPen(base.darker(220), 0.8));
    p.setBrush(body);
    p.drawEllipse(centre, 5.2, 5.2);
    // The highlight.
    QRadialGradient shine(centre + QPointF(-1.5, -2.2), 2.6);
    shine.setColorAt(0.0, QColor(255, 255, 255, 220));
    shine.setColorAt(1.0, QColor(255, 255, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(shine);
    p.drawEllipse(centre + QPointF(-1.5, -2.2), 2.6, 2.0);
}

// A padlock in a 13 x 12 cell. The strip is 36 pixels wide, so the third cell has only
// 10 columns: closed locks stay within x 0..10; the open shackle swings to the right.
void DrawLock(QPainter &p, int originX, int originY, QColor colour, bool open)
{
    p.save();
    p.translate(originX, originY);
    QPen shackle(colour, 1.6);
    shackle.setCapStyle(Qt::FlatCap);
    p.setPen(shackle);
    p.setBrush(Qt::NoBrush);
    QPainterPath arc;
    if (open) {
        arc.moveTo(6.8, 5.5);
        arc.lineTo(6.8, 3.6);
        arc.arcTo(QRectF(6.8, 0.8, 4.6, 5.6), 180.0, -180.0);
        arc.lineTo(11.4, 4.4);
    } else {
        arc.moveTo(2.4, 5.5);
        arc.lineTo(2.4, 3.6);
        arc.arcTo(QRectF(2.4, 0.8, 5.2, 5.6), 180.0, -180.0);
        arc.lineTo(7.6, 5.5);
    }
    p.drawPath(arc);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawRoundedRect(QRectF(0.5, 5.5, 9.0, 6.3), 1.2, 1.2);
    // The keyhole, cut out.
    p.setCompositionMode(QPainter::CompositionMode_DestinationOut);
    p.setBrush(Qt::black);
    p.drawEllipse(QPointF(5.0, 8.0), 1.05, 1.05);
    p.drawRect(QRectF(4.55, 8.3, 0.9, 2.0));
    p.restore();
}

// The application icon: a monitor with a capture arrow.
QImage DrawIcon(int size)
{
    QImage image = Blank(size, size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);
    p.setPen(QPen(QColor(30, 40, 70), 1.5));
    QLinearGradient screen(0, 3, 0, 22);
    screen.setColorAt(0, QColor(90, 150, 230));
    screen.setColorAt(1, QColor(20, 60, 140));
    p.setBrush(screen);
    p.drawRoundedRect(QRectF(2, 3, 28, 19), 2, 2);
    p.setBrush(QColor(60, 60, 70));
    p.drawRect(QRectF(13, 22, 6, 4));
    p.drawRoundedRect(QRectF(8, 26, 16, 3), 1, 1);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(250, 250, 255));
    QPainterPath arrow;
    arrow.moveTo(10, 9);
    arrow.lineTo(17, 9);
    arrow.lineTo(17, 6);
    arrow.lineTo(23, 12.5);
    arrow.lineTo(17, 19);
    arrow.lineTo(17, 16);
    arrow.lineTo(10, 16);
    arrow.closeSubpath();
    p.drawPath(arrow);
    return image;
}

bool Save(const QImage &image, const QString &path)
{
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!out.mkpath(QStringLiteral("png")) || !out.mkpath(QStringLiteral("icon"))) {
        std::fprintf(stderr, "cannot create the output folders\n");
        return 1;
    }

    QImage spinner = Blank(176, 22);
    {
        QPainter p(&spinner);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        for (int frame = 0; frame < 8; ++frame)
            DrawSpinnerFrame(p, frame * 22, frame);
    }

    QImage lights = Blank(36, 12);
    {
        QPainter p(&lights);
        p.setRenderHint(QPainter::Antialiasing);
        DrawLamp(p, 0, QColor(40, 180, 50));
        DrawLamp(p, 12, QColor(240, 175, 20));
        DrawLamp(p, 24, QColor(215, 35, 30));
    }

    QImage locks = Blank(36, 25);
    {
        QPainter p(&locks);
        p.setRenderHint(QPainter::Antialiasing);
        const QColor dark(70, 70, 78), red(205, 30, 30), light(250, 250, 250);
        DrawLock(p, 0, 0, dark, false);
        DrawLock(p, 13, 0, dark, true);
        DrawLock(p, 26, 0, red, false);
        DrawLock(p, 0, 13, light, false);
        DrawLock(p, 13, 13, light, true);
        DrawLock(p, 26, 13, red, false);
    }

    bool ok = Save(spinner, out.filePath(QStringLiteral("png/143.png")));
    ok = Save(lights, out.filePath(QStringLiteral("png/144.png"))) && ok;
    ok = Save(locks, out.filePath(QStringLiteral("png/150.png"))) && ok;
    ok = Save(DrawIcon(32), out.filePath(QStringLiteral("icon/128.png"))) && ok;
    ok = Save(DrawIcon(16), out.filePath(QStringLiteral("icon/128-16.png"))) && ok;
    ok = Save(DrawIcon(48), out.filePath(QStringLiteral("icon/128-48.png"))) && ok;
    return ok ? 0 : 1;
}
