// A user who adds one appliance, for the installed-package test. Loaded into the
// installed tessaline-setup with LD_PRELOAD; it reaches the program only through Qt's
// public widget tree (object names "ctrl<id>" of the dialog templates), the way a
// person at the window would:
//   1. presses "Add..." in the main window,
//   2. types $TESSALINE_DRIVER_ADDRESS into the dialog's address field,
//   3. waits until the dialog's status light shows (the device answered),
//   4. presses "Add", which saves the list and registers the connected devices.
// Each step is reported on standard error as "driver: ..."; "driver: added" ends it.
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>

namespace {

enum class Step { PressAdd, TypeAddress, WaitConnected, Done };

Step g_step = Step::PressAdd;
int g_ticks = 0;

// A visible control of the modal dialog when one is open, else of the main window.
// (Both have controls of the same ids: the dialog's address field and the properties
// pane's are both "ctrl1001".)
template <typename T>
T *FindVisible(const char *objectName)
{
    QWidget *modal = QApplication::activeModalWidget();
    for (QWidget *top : QApplication::topLevelWidgets()) {
        if (!top->isVisible() || (modal && top != modal))
            continue;
        for (T *widget : top->findChildren<T *>(QString::fromLatin1(objectName))) {
            if (widget->isVisible())
                return widget;
        }
    }
    return nullptr;
}

void Say(const QString &text) { std::fprintf(stderr, "driver: %s\n", qPrintable(text)); }

void Tick()
{
    constexpr int kTickMs = 100, kGiveUpTicks = 300;
    if (++g_ticks > kGiveUpTicks) {
        // What the window shows, for the log.
        for (QWidget *top : QApplication::topLevelWidgets()) {
            if (!top->isVisible())
                continue;
            for (QLabel *label : top->findChildren<QLabel *>())
                Say(QStringLiteral("gave up; %1 shows %2 \"%3\"")
                        .arg(top->windowTitle(), label->objectName(), label->isVisible() ? label->text() : QStringLiteral("(hidden)")));
        }
        return;
    }
    switch (g_step) {
    case Step::PressAdd:
        if (QPushButton *add = FindVisible<QPushButton>("ctrl1006")) {
            Say(QStringLiteral("pressing ") + add->text());
            g_step = Step::TypeAddress;
            // The dialog runs modally inside click(); this timer keeps ticking there.
            QTimer::singleShot(kTickMs, Tick);
            add->click();
            return;
        }
        break;
    case Step::TypeAddress:
        if (!QApplication::activeModalWidget())
            break;
        if (QLineEdit *address = FindVisible<QLineEdit>("ctrl1001")) {
            const char *wanted = std::getenv("TESSALINE_DRIVER_ADDRESS");
            address->setText(QString::fromLocal8Bit(wanted ? wanted : "127.0.0.3"));
            Say(QStringLiteral("typed ") + address->text());
            g_step = Step::WaitConnected;
        }
        break;
    case Step::WaitConnected:
        if (FindVisible<QWidget>("ctrl1034")) {
            QLabel *status = FindVisible<QLabel>("ctrl1032");
            Say(QStringLiteral("dialog says ") + (status ? status->text() : QString()));
            if (QPushButton *ok = FindVisible<QPushButton>("ctrl1")) {
                g_step = Step::Done;
                ok->click();
                Say(QStringLiteral("added"));
                return;
            }
        }
        break;
    case Step::Done:
        return;
    }
    QTimer::singleShot(kTickMs, Tick);
}

void Start() { QTimer::singleShot(500, Tick); }

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(Start)
