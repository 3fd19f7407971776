// A user who adds one appliance, for the installed-package test. Loaded into the
// installed tessaline-setup with LD_PRELOAD; it reaches the program only through Qt's
// public widget tree (object names "ctrl<id>" of the dialog templates), the way a
// person at the window would:
//   1. presses "Add..." in the main window,
//   2. types $TESSALINE_DRIVER_ADDRESS into the dialog's address field,
//   3. waits until the dialog's status light shows (the device answered),
//   4. presses "Add", which saves the list and registers the connected devices.
// Each step is reported on standard error as "driver: ..."; "driver: added" ends it.
//
// With TESSALINE_DRIVER_SEARCH=<name> it searches instead, as the demo's check does:
//   1. presses "Search" in the main window,
//   2. waits until a row of the list names the device and shows it working ("Device OK"),
//   3. says "driver: found <row text>" and selects that row,
//   4. with TESSALINE_DRIVER_SHOT (a PNG file) set, saves the window there once the
//      row's preview had two seconds to arrive, and says "driver: saved <file>".
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>

namespace {

enum class Step { PressAdd, TypeAddress, WaitConnected, PressSearch, WaitFound, Shoot, Done };

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

// The row that names `name`: its text for assistive tools ("<name>, <status>").
struct Row {
    QListWidget *list = nullptr;
    int row = -1;
    QString text;
};
Row RowNaming(const QString &name)
{
    for (QWidget *top : QApplication::topLevelWidgets()) {
        if (!top->isVisible())
            continue;
        for (QListWidget *list : top->findChildren<QListWidget *>()) {
            for (int row = 0; row < list->count(); ++row) {
                const QString text = list->item(row)->data(Qt::AccessibleTextRole).toString();
                if (text.startsWith(name + QStringLiteral(", ")))
                    return {list, row, text};
            }
        }
    }
    return {};
}

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
    case Step::PressSearch:
        if (QPushButton *search = FindVisible<QPushButton>("ctrl1013")) {
            Say(QStringLiteral("pressing ") + search->text());
            search->click();
            g_step = Step::WaitFound;
        }
        break;
    case Step::WaitFound: {
        const Row row = RowNaming(QString::fromLocal8Bit(std::getenv("TESSALINE_DRIVER_SEARCH")));
        if (row.text.endsWith(QStringLiteral(", Device OK"))) {
            Say(QStringLiteral("found ") + row.text);
            row.list->setCurrentRow(row.row);
            row.list->scrollToItem(row.list->item(row.row));
            g_step = std::getenv("TESSALINE_DRIVER_SHOT") ? Step::Shoot : Step::Done;
            g_ticks = 0;
        }
        break;
    }
    case Step::Shoot:
        if (g_ticks >= 20) {
            const QString shot = QString::fromLocal8Bit(std::getenv("TESSALINE_DRIVER_SHOT"));
            QWidget *window = nullptr;
            for (QWidget *top : QApplication::topLevelWidgets())
                if (!window && top->isVisible() && top->findChild<QListWidget *>())
                    window = top;
            Say(window && window->grab().save(shot, "PNG") ? QStringLiteral("saved ") + shot
                                                            : QStringLiteral("cannot save the window to ") + shot);
            g_step = Step::Done;
            return;
        }
        break;
    case Step::Done:
        return;
    }
    QTimer::singleShot(kTickMs, Tick);
}

void Start()
{
    if (std::getenv("TESSALINE_DRIVER_SEARCH"))
        g_step = Step::PressSearch;
    QTimer::singleShot(500, Tick);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(Start)
