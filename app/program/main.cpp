// tessaline-setup: the configuration utility's main window.
#include <app/ConfigApp.h>

#include <QApplication>

int main(int argc, char **argv)
{
    CConfigApp application;
    QApplication qt(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessaline DirectShow Setup"));
    QApplication::setApplicationVersion(QStringLiteral("3.24.9"));
    if (!application.InitInstance())
        return 1;
    const int result = QApplication::exec();
    application.ExitInstance();
    return result;
}
