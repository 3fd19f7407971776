// Draws the application's artwork: the spinner strip (143), the status lights (144),
// the lock icons (150) and the application icon (128), as 8-bit RGBA PNG files.
//
//   tessaline-artwork <output folder>
//
// writes png/143.png, png/144.png, png/150.png, icon/128.png and icon/128-16.png
// under the folder. The committed files come from this program; run the "artwork"
// build target to draw them again.
//
//   tessaline-artwork --desktop <output folder> <icon name> <size>...
//
// writes what the installation ships: icons/hicolor/<size>x<size>/apps/<icon name>.png
// for every size, icons/hicolor/scalable/apps/<icon name>.svg drawn from the same
// shapes, and no-signal.bmp, a 640 x 480 uncompressed 24-bit bitmap for the capture
// options' "no signal" picture.
#include <QColor>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
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

// The application icon: a monitor with a capture arrow, on a 32 x 32 grid. The PNG
// sizes and the SVG are drawn from these shapes.
struct IconBox {
    double x, y, width, height, radius;
};
struct IconPoint {
    double x, y;
};
constexpr IconBox kScreen{2, 3, 28, 19, 2};
constexpr IconBox kStand{13, 22, 6, 4, 0};
constexpr IconBox kFoot{8, 26, 16, 3, 1};
constexpr IconPoint kArrow[] = {{10, 9}, {17, 9}, {17, 6}, {23, 12.5}, {17, 19}, {17, 16}, {10, 16}};
constexpr double kOutlineWidth = 1.5;
const QColor kOutline(30, 40, 70), kScreenTop(90, 150, 230), kScreenBottom(20, 60, 140);
const QColor kStandColour(60, 60, 70), kArrowColour(250, 250, 255);

QRectF Rect(const IconBox &box) { return QRectF(box.x, box.y, box.width, box.height); }

// The monitor on a painter already scaled to the 32-unit grid. With dark set, the
// screen is unlit grey and carries no arrow (the no-signal picture).
void DrawMonitor(QPainter &p, bool dark)
{
    p.setPen(QPen(kOutline, kOutlineWidth));
    QLinearGradient screen(0, kScreen.y, 0, kScreen.y + kScreen.height);
    screen.setColorAt(0, dark ? QColor(70, 74, 82) : kScreenTop);
    screen.setColorAt(1, dark ? QColor(36, 38, 44) : kScreenBottom);
    p.setBrush(screen);
    p.drawRoundedRect(Rect(kScreen), kScreen.radius, kScreen.radius);
    p.setBrush(kStandColour);
    p.drawRect(Rect(kStand));
    p.drawRoundedRect(Rect(kFoot), kFoot.radius, kFoot.radius);
    if (dark)
        return;
    p.setPen(Qt::NoPen);
    p.setBrush(kArrowColour);
    QPainterPath arrow;
    arrow.moveTo(kArrow[0].x, kArrow[0].y);
    for (size_t i = 1; i < std::size(kArrow); ++i)
        arrow.lineTo(kArrow[i].x, kArrow[i].y);
    arrow.closeSubpath();
    p.drawPath(arrow);
}

QImage DrawIcon(int size)
{
    QImage image = Blank(size, size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);
    DrawMonitor(p, false);
    return image;
}

QString SvgRect(const IconBox &box, const QString &fill)
{
    return QStringLiteral("  <rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" rx=\"%5\" fill=\"%6\" "
                          "stroke=\"%7\" stroke-width=\"%8\"/>\n")
        .arg(box.x)
        .arg(box.y)
        .arg(box.width)
        .arg(box.height)
        .arg(box.radius)
        .arg(fill, kOutline.name())
        .arg(kOutlineWidth);
}

// The same icon as scalable vector graphics.
QByteArray IconSvg()
{
    QString svg = QStringLiteral(
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"32\" height=\"32\" viewBox=\"0 0 32 32\">\n"
                      "  <defs>\n"
                      "    <linearGradient id=\"screen\" gradientUnits=\"userSpaceOnUse\" x1=\"0\" y1=\"%1\" x2=\"0\" "
                      "y2=\"%2\">\n"
                      "      <stop offset=\"0\" stop-color=\"%3\"/>\n"
                      "      <stop offset=\"1\" stop-color=\"%4\"/>\n"
                      "    </linearGradient>\n"
                      "  </defs>\n")
                      .arg(kScreen.y)
                      .arg(kScreen.y + kScreen.height)
                      .arg(kScreenTop.name(), kScreenBottom.name());
    svg += SvgRect(kScreen, QStringLiteral("url(#screen)"));
    svg += SvgRect(kStand, kStandColour.name());
    svg += SvgRect(kFoot, kStandColour.name());
    QString points;
    for (const IconPoint &point : kArrow)
        points += QStringLiteral("%1,%2 ").arg(point.x).arg(point.y);
    svg += QStringLiteral("  <polygon points=\"%1\" fill=\"%2\"/>\n</svg>\n")
               .arg(points.trimmed(), kArrowColour.name());
    return svg.toUtf8();
}

// The picture capture applications show while a device has no signal: the unlit
// monitor under a red "no" sign on a dark background. No text, so no font is needed.
QImage DrawNoSignal()
{
    constexpr int kWidth = 640, kHeight = 480;  // the options page wants an even width
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient background(0, 0, 0, kHeight);
    background.setColorAt(0, QColor(28, 34, 48));
    background.setColorAt(1, QColor(10, 12, 18));
    p.fillRect(image.rect(), background);
    p.save();
    p.translate(kWidth / 2.0 - 128, kHeight / 2.0 - 128);
    p.scale(8, 8);
    DrawMonitor(p, true);
    p.restore();
    // The sign sits on the screen's middle.
    const QPointF centre(kWidth / 2.0 - 128 + 8 * (kScreen.x + kScreen.width / 2),
                         kHeight / 2.0 - 128 + 8 * (kScreen.y + kScreen.height / 2));
    const double radius = 56;
    p.setPen(QPen(QColor(215, 35, 30), 14, Qt::SolidLine, Qt::FlatCap));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(centre, radius, radius);
    const double d = radius / std::numbers::sqrt2;
    p.drawLine(centre + QPointF(-d, -d), centre + QPointF(d, d));
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

bool WriteFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

// --desktop <folder> <icon name> <size>...: what the installation ships.
int DrawDesktopFiles(int argc, char **argv)
{
    const QDir out(QString::fromLocal8Bit(argv[2]));
    const QString name = QString::fromLocal8Bit(argv[3]);
    bool ok = true;
    for (int i = 4; i < argc; ++i) {
        char *end = nullptr;
        const long size = std::strtol(argv[i], &end, 10);
        if (end == argv[i] || *end || size < 8 || size > 1024) {
            std::fprintf(stderr, "not an icon size: %s\n", argv[i]);
            return 2;
        }
        const QString folder = QStringLiteral("icons/hicolor/%1x%1/apps").arg(size);
        ok = out.mkpath(folder) && Save(DrawIcon(int(size)), out.filePath(folder + u'/' + name + QStringLiteral(".png"))) && ok;
    }
    const QString scalable = QStringLiteral("icons/hicolor/scalable/apps");
    ok = out.mkpath(scalable) && WriteFile(out.filePath(scalable + u'/' + name + QStringLiteral(".svg")), IconSvg()) && ok;
    const QString bitmap = out.filePath(QStringLiteral("no-signal.bmp"));
    if (!DrawNoSignal().save(bitmap, "BMP")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(bitmap));
        ok = false;
    }
    return ok ? 0 : 1;
}

int main(int argc, char **argv)
{
    const bool desktop = argc >= 4 && QByteArray(argv[1]) == "--desktop";
    if (argc != 2 && !desktop) {
        std::fprintf(stderr,
                     "usage: %s <output folder>\n"
                     "       %s --desktop <output folder> <icon name> <size>...\n",
                     argv[0], argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (desktop)
        return DrawDesktopFiles(argc, argv);
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
