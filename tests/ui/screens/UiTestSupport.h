// Helpers for widget tests: a private settings store per test, waiting with the event
// loop running, and screenshots under <build>/screenshots/.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QImage>
#include <QString>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include <cstdlib>
#include <functional>

namespace UiTest {

// Points the settings store and the key file at a fresh temporary folder for the
// lifetime of the object.
class TempStore {
public:
    TempStore()
    {
        const QByteArray root = m_dir.path().toUtf8();
        setenv("TESSALINE_STORE", (root + "/registry.db").constData(), 1);
        setenv("XDG_DATA_HOME", (root + "/data").constData(), 1);
        setenv("XDG_CONFIG_HOME", (root + "/config").constData(), 1);
    }
    QString Path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
};

// Runs the event loop until `done` holds or timeout_ms pass; returns `done()`.
inline bool WaitUntil(const std::function<bool()> &done, int timeout_ms)
{
    QDeadlineTimer deadline(timeout_ms);
    while (!done()) {
        if (deadline.hasExpired())
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QTest::qWait(5);
    }
    return true;
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
