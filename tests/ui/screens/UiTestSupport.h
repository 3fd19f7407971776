// Helpers for widget tests: a private settings store per test, waiting with the event
// loop running, and screenshots under <build>/screenshots/.
#pragma once

#include <TempStore.h>
#include <WaitFor.h>

#include <QDir>
#include <QImage>
#include <QString>
#include <QTest>
#include <QWidget>

#include <functional>

namespace UiTest {

// A private settings store per test.
using TempStore = testsupport::CTempStore;

// Runs the event loop until `done` holds or timeout_ms pass; returns `done()`.
inline bool WaitUntil(const std::function<bool()> &done, int timeout_ms)
{
    return testsupport::WaitFor(done, timeout_ms, [] { QTest::qWait(5); });
}

// Runs the event loop for ms milliseconds.
inline void Pump(int ms)
{
    QTest::qWait(ms);
}

// Saves the widget's picture as <build>/screenshots/<name>.png and returns the path.
inline QString SaveScreenshot(QWidget *widget, const QString &name)
{
    const QString folder = QStringLiteral(TESSALINE_BINARY_DIR "/screenshots");
    QDir().mkpath(folder);
    const QString path = folder + QLatin1Char('/') + name + QStringLiteral(".png");
    widget->grab().save(path);
    return path;
}

}  // namespace UiTest
