// The panes with devices on simulated appliances: what each row and the properties
// show for the device's state, the spinner while connecting, and when a new preview
// is asked for.
#include "AppTest.h"

#include <grabber/Wire.h>
#include <ui/controls/Bitmap.h>

#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>

using namespace AppTest;
using namespace Tessaline::Ui;

namespace {

class LiveDeviceTest : public AppFixture {
protected:
    void SetUp() override
    {
        AppFixture::SetUp();
        std::vector<Sim::DeviceConfig> configs;
        Sim::DeviceConfig ok = Appliance(0, "TS1001");
        ok.name = "Lobby";
        ok.flags = Grabber::CAP_NO_LOGIN;
        configs.push_back(ok);
        Sim::DeviceConfig dark = Appliance(1, "TS1002");
        dark.signal = false;
        configs.push_back(dark);
        for (size_t i = 2; i <= 4; ++i) {
            Sim::DeviceConfig locked = Appliance(i, "TS100" + std::to_string(i + 1));
            locked.password = "secret";
            configs.push_back(locked);
        }
        Sim::DeviceConfig silent = Appliance(5, "TS1006");
        silent.no_hello = true;
        configs.push_back(silent);
        ASSERT_TRUE(m_sim.Start(configs));
    }

    CDevice *AddLive(size_t appliance, const char *password = "")
    {
        CDevice *device = AddDevice("", m_sim.Address(appliance));
        device->SetPassword(password);
        return device;
    }

    QString RowText(CDevice *device) { return Rows()->AccessibleRowText(Rows()->FindDevice(device)); }

    // The lock cell as the row draws it over the given background.
    static QImage LockCell(RowLock lock, bool selected, const QColor &background)
    {
        QImage cell(13, 12, QImage::Format_ARGB32_Premultiplied);
        cell.fill(background);
        QPainter p(&cell);
        CGdiPlusBitmapResource strip(150);
        strip.DrawCell(p, QPoint(0, 0), QRect(13 * lock, selected ? 13 : 0, 13, 12));
        return cell;
    }

    QImage DrawnRow(CDevice *device, bool selected)
    {
        QImage row(400, 70, QImage::Format_ARGB32_Premultiplied);
        row.fill(Qt::black);
        QPainter p(&row);
        Rows()->DrawRow(p, row.rect(), selected, device);
        return row;
    }

    SimAppliances m_sim;
};

TEST_F(LiveDeviceTest, RowsShowEachDevicesState)
{
    CDevice *ok = AddLive(0);
    CDevice *dark = AddLive(1);
    CDevice *wrong = AddLive(2, "guess");
    CDevice *noPassword = AddLive(3);
    CDevice *accepted = AddLive(4, "secret");
    CDevice *silent = AddLive(5);
    CDevice *absent = AddDevice("Nowhere", "127.0.0.1:1");
    ShowFrame();

    ASSERT_TRUE(WaitFor([&] { return RowText(ok).endsWith(QStringLiteral("Device OK")) && ok->GetFrame(); }, 8000));
    EXPECT_EQ(RowText(ok), QStringLiteral("Lobby, Device OK"));
    ASSERT_TRUE(WaitFor([&] { return RowText(dark).endsWith(QStringLiteral("No signal")); }, 8000));
    // The appliance stores no name: the row shows model and serial number.
    EXPECT_EQ(RowText(dark), QString::fromStdString(dark->GetModelName()) + QStringLiteral(" [TS1002], No signal"));
    ASSERT_TRUE(WaitFor([&] { return RowText(wrong).endsWith(QStringLiteral("Login failed")); }, 8000));
    ASSERT_TRUE(WaitFor([&] { return RowText(noPassword).endsWith(QStringLiteral("Login failed")); }, 8000));
    ASSERT_TRUE(WaitFor([&] { return RowText(accepted).endsWith(QStringLiteral("Device OK")); }, 8000));
    EXPECT_TRUE(RowText(silent).endsWith(QStringLiteral("Connecting...")));
    ASSERT_TRUE(WaitFor([&] { return RowText(absent).endsWith(QStringLiteral("Not found")); }, 8000));
    EXPECT_TRUE(Pane()->IsBusyAnimationRunning());

    // Locks: red with a refused stored password, dark without one, open after a
    // login, from the light row when selected; none without a login.
    const int lockX = 400 - 18;
    auto lockOf = [&](CDevice *device, bool selected) { return DrawnRow(device, selected).copy(lockX, 22, 13, 12); };
    const QColor white(255, 255, 255), blue(0, 0, 160);
    EXPECT_EQ(lockOf(wrong, false), LockCell(RowLockRed, false, white));
    EXPECT_EQ(lockOf(noPassword, false), LockCell(RowLockClosed, false, white));
    EXPECT_EQ(lockOf(accepted, false), LockCell(RowLockOpen, false, white));
    EXPECT_EQ(lockOf(accepted, true), LockCell(RowLockOpen, true, blue));
    EXPECT_NE(LockCell(RowLockOpen, true, blue), LockCell(RowLockOpen, false, blue));
    QImage plain(13, 12, QImage::Format_ARGB32_Premultiplied);
    plain.fill(white);
    EXPECT_EQ(lockOf(ok, false), plain);

    // Backgrounds: dark blue when selected, white otherwise.
    EXPECT_EQ(DrawnRow(ok, true).pixelColor(2, 68), blue);
    EXPECT_EQ(DrawnRow(ok, false).pixelColor(2, 68), white);

    m_doc->SetCurrentDevice(ok);
    ASSERT_TRUE(WaitFor([&] { return !Props()->VideoModeText()->text().isEmpty(); }, 8000));
    EXPECT_EQ(Props()->VideoModeText()->text(), QStringLiteral("1280x1024 75.0 Hz"));
    EXPECT_EQ(Props()->NameEdit()->text(), QStringLiteral("Lobby"));
    // Connected without a login: the password is not asked for.
    EXPECT_FALSE(Props()->PasswordEdit()->isEnabled());
    EXPECT_TRUE(Props()->PasswordEdit()->text().isEmpty());
    ASSERT_TRUE(WaitFor([&] { return Props()->Preview()->Frame() != nullptr; }));
    Screenshot(m_frame.get(), QStringLiteral("main-window-devices"));

    m_doc->SetCurrentDevice(wrong);
    EXPECT_TRUE(Props()->PasswordEdit()->isEnabled());
    EXPECT_EQ(Props()->PasswordEdit()->text(), QStringLiteral("guess"));
    Screenshot(m_frame.get(), QStringLiteral("main-window-login-failed"));

    // A notification for another device leaves the view alone.
    Props()->PasswordEdit()->setText(QStringLiteral("typed"));
    m_frame->OnDeviceNotify(NOTIFY_ALL, ok);
    EXPECT_EQ(Props()->PasswordEdit()->text(), QStringLiteral("typed"));
}

TEST_F(LiveDeviceTest, PreviewSpinsWhileTheDeviceConnects)
{
    CDevice *silent = AddLive(5);
    ShowFrame();
    ASSERT_EQ(m_doc->CurrentDevice(), silent);
    EXPECT_TRUE(silent->IsBusy());
    EXPECT_TRUE(Props()->Preview()->IsWaiting());
    EXPECT_EQ(Props()->Preview()->Frame(), nullptr);
    // Before its first connection the password can be typed.
    EXPECT_TRUE(Props()->PasswordEdit()->isEnabled());
    Props()->Preview()->repaint();
    EXPECT_TRUE(Props()->Preview()->IsTimerRunning(CDevicePreviewCtrl::kSpinnerTimer));
    Screenshot(m_frame.get(), QStringLiteral("main-window-connecting"));
}

TEST_F(LiveDeviceTest, OneFrameRequestOneSecondAfterTheLastKeystroke)
{
    CDevice *locked = AddLive(4);
    ShowFrame();
    ASSERT_EQ(m_doc->CurrentDevice(), locked);
    ASSERT_TRUE(WaitFor([&] { return locked->HasConnection() && !locked->IsBusy(); }, 8000));
    ASSERT_TRUE(Props()->PasswordEdit()->isEnabled());
    const uint64_t grabsBefore = m_sim.Sim().Stats(4).requests[Grabber::REQ_GRAB];

    Props()->PasswordEdit()->setFocus();
    QElapsedTimer gap;
    qint64 longestGap = 0;
    for (QChar c : QStringLiteral("secret")) {
        gap.start();
        QTest::keyClick(Props()->PasswordEdit(), c.toLatin1());
        EXPECT_EQ(Props()->TimerPeriod(CDevicePropertiesView::kRequestTimer), 1000);
        QTest::qWait(150);
        longestGap = std::max(longestGap, gap.elapsed());
    }
    gap.start();
    QTest::qWait(600);
    longestGap = std::max(longestGap, gap.elapsed());
    // Each keystroke saves the whole list; a machine slow enough to take a second
    // between two keystrokes (sanitizer builds) cannot show the delay.
    if (longestGap >= 900)
        GTEST_SKIP() << "keystrokes " << longestGap << " ms apart: too slow to observe the one-second delay";
    EXPECT_EQ(m_sim.Sim().Stats(4).requests[Grabber::REQ_GRAB], grabsBefore);
    ASSERT_TRUE(WaitFor([&] { return m_sim.Sim().Stats(4).requests[Grabber::REQ_GRAB] > grabsBefore; }, 3000));
    QTest::qWait(1500);
    EXPECT_EQ(m_sim.Sim().Stats(4).requests[Grabber::REQ_GRAB], grabsBefore + 1);
    EXPECT_FALSE(Props()->IsTimerRunning(CDevicePropertiesView::kRequestTimer));
    EXPECT_EQ(locked->GetPassword(), "secret");
    ASSERT_TRUE(WaitFor([&] { return RowText(locked).endsWith(QStringLiteral("Device OK")); }, 5000));

    // The password edit saved the list on every change.
    const auto stored = StoredDevices();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0][2], "secret");
}

}  // namespace
