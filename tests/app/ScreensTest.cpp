// Screenshots of the window in the states a newcomer meets, for people to look at
// (written to the build's screenshots folder), and how long a long list takes to show.
#include "AppTest.h"

#include <grabber/Wire.h>
#include <ui/adddialog/AddDeviceDialog.h>

#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>

#include <cstdio>

using namespace AppTest;
using namespace Tessaline::Ui;

namespace {

class ScreensTest : public AppFixture {};

TEST_F(ScreensTest, MainWindowAndAddDialog)
{
    SimAppliances sim;
    std::vector<Sim::DeviceConfig> configs;
    const char *names[] = {"Reception", "Board room", "Lab bench", "Studio"};
    for (size_t i = 0; i < 4; ++i) {
        Sim::DeviceConfig c = Appliance(i, "TSL-1002" + std::to_string(i + 1));
        c.name = names[i];
        c.flags = Grabber::CAP_NO_LOGIN;
        configs.push_back(c);
    }
    configs[1].password = "demo";
    configs[1].flags = 0;
    configs[2].signal = false;
    configs[3].type = 18;
    configs[3].mode = Grabber::VideoMode{1920, 1080, 60000};
    ASSERT_TRUE(sim.Start(configs));

    std::vector<CDevice *> devices;
    for (size_t i = 0; i < configs.size(); ++i)
        devices.push_back(AddDevice(names[i], sim.Address(i)));
    AddDevice("Spare", "127.0.0.1:1");
    ShowFrame();
    ASSERT_TRUE(WaitFor([&] {
        return devices[0]->GetFrame() && devices[3]->GetFrame() &&
               Rows()->AccessibleRowText(1).endsWith(QStringLiteral("Login failed")) &&
               Rows()->AccessibleRowText(4).endsWith(QStringLiteral("Not found"));
    }, 10000));
    ASSERT_TRUE(WaitFor([&] { return Props()->Preview()->Frame() != nullptr; }));
    Screenshot(m_frame.get(), QStringLiteral("main-window"));

    std::unique_ptr<CAddDeviceDialog> add = CAddDeviceDialog::Create(m_frame.get());
    ASSERT_TRUE(add);
    add->show();
    add->AddressEdit()->setText(QString::fromStdString(sim.Address(1)));
    ASSERT_TRUE(WaitFor([&] {
        return add->StatusText()->text() == QStringLiteral("Access denied, password needed") &&
               add->PasswordEdit()->isVisible() && add->height() == add->TargetHeight();
    }, 10000));
    Screenshot(add.get(), QStringLiteral("add-device-password"));
    add->close();
    add->Device()->Stop();
}

// The window must come up quickly with a long list; the figure is printed.
TEST_F(ScreensTest, HundredDevicesShowInUnderASecond)
{
    for (int i = 0; i < 100; ++i)
        AddDevice("Device " + std::to_string(i), "127.0.0.1:1");
    List().Save();
    m_doc = std::make_unique<CConfigDoc>();

    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(m_doc->OnNewDocument());
    ShowFrame();
    Rows()->repaint();
    const qint64 elapsed = clock.elapsed();
    std::printf("window with 100 devices shown in %lld ms\n", static_cast<long long>(elapsed));
    EXPECT_EQ(Rows()->count(), 100);
#ifndef TESSALINE_SANITIZED
    EXPECT_LT(elapsed, 1000);
#endif
}

}  // namespace
