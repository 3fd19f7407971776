// The add-device dialog against simulated appliances on loopback: default names, the
// delayed "Searching...", live results with their lights, the password row and the
// height animation, and what happens to the device when the dialog ends.
#include "screens/UiTestSupport.h"

#include <ui/adddialog/AddDeviceDialog.h>
#include <ui/controls/PictureCtrl.h>
#include <ui/controls/ProgressIndicatorCtrl.h>

#include <deviceio/DeviceIO.h>
#include <sim/Simulator.h>
#include <store/Device.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include <string>

using namespace Tessaline::Ui;

TEST(AddDialogRules, StatusTableAndHeightSteps)
{
    auto s = ChooseAddDeviceStatus(LoginOpen, true, true, "TG-100", "TS7");
    EXPECT_EQ(s.text, "TG-100 s/n TS7 is found and working fine");
    EXPECT_EQ(s.light, LIGHT_GREEN);
    s = ChooseAddDeviceStatus(LoginAccepted, false, false, "TG-100", "TS7");
    EXPECT_EQ(s.text, "TG-100 s/n TS7 is found, no signal detected");
    EXPECT_EQ(s.light, LIGHT_YELLOW);
    EXPECT_EQ(ChooseAddDeviceStatus(LoginDenied, true, true, "", "").text, "Access denied, password needed");
    EXPECT_EQ(ChooseAddDeviceStatus(LoginGaveUp, true, false, "", "").text, "Login failed");
    s = ChooseAddDeviceStatus(LoginError, true, false, "", "");
    EXPECT_EQ(s.text, "Login error");
    EXPECT_EQ(s.light, LIGHT_RED);

    // A growth of 30 pixels takes 15, 7, 4, 4; shrinking mirrors it.
    std::vector<int> steps;
    for (int h = 100; h != 130; h += steps.back())
        steps.push_back(HeightAnimationStep(h, 130));
    EXPECT_EQ(steps, (std::vector<int>{15, 7, 4, 4}));
    EXPECT_EQ(HeightAnimationStep(130, 100), -15);
    EXPECT_EQ(HeightAnimationStep(103, 100), -3);
}

namespace {

class AddDialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Sim::DeviceConfig open;
        open.address = 0x7F000000u | 61;  // 127.0.0.61
        open.port = 0;
        open.http_port = -1;
        open.udp_port = -1;
        open.serial = "TS6101";
        Sim::DeviceConfig dark = open;
        dark.address = 0x7F000000u | 62;
        dark.serial = "TS6202";
        dark.signal = false;
        Sim::DeviceConfig locked = open;
        locked.address = 0x7F000000u | 63;
        locked.serial = "TS6303";
        locked.password = "sesame";
        std::string error;
        ASSERT_TRUE(m_sim.Start({open, dark, locked}, &error)) << error;
        m_dialog = CAddDeviceDialog::Create();
        ASSERT_TRUE(m_dialog);
    }

    void TearDown() override
    {
        Ambry::Ref<CDevice> device = m_dialog ? Ambry::Retain(m_dialog->Device()) : Ambry::Ref<CDevice>();
        m_dialog.reset();
        StopAndWait(device);
        m_sim.Stop();
    }

    // Stops a device and waits for its worker to end, so that no connection (and no
    // thread of the grabber library) outlives the test.
    static void StopAndWait(const Ambry::Ref<CDevice> &device)
    {
        if (!device)
            return;
        device->Stop();
        EXPECT_TRUE(UiTest::WaitUntil([&] { return device->RefCount() == 1; }, 5000));
    }

    QString Address(size_t index) const
    {
        const Sim::Endpoints ends = m_sim.Ports(index);
        return QStringLiteral("127.0.0.%1:%2").arg(ends.address & 0xFF).arg(ends.port);
    }

    void Open()
    {
        m_dialog->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_dialog.get()));
        m_dialog->activateWindow();
    }

    ::testing::AssertionResult WaitForStatus(const QString &text, int timeout_ms = 8000)
    {
        if (UiTest::WaitUntil([&] { return m_dialog->StatusText()->text() == text; }, timeout_ms))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "status: " << m_dialog->StatusText()->text().toStdString()
                                             << ", login " << m_dialog->Device()->GetLoginStatus();
    }

    bool WaitForStatusContaining(const QString &text, int timeout_ms = 8000)
    {
        return UiTest::WaitUntil([&] { return m_dialog->StatusText()->text().contains(text); }, timeout_ms);
    }

    bool WaitForHeight(int height)
    {
        return UiTest::WaitUntil([&] { return m_dialog->height() == height && !m_dialog->IsTimerRunning(ADD_TIMER_HEIGHT); }, 3000);
    }

    UiTest::TempStore m_store;
    Sim::Simulator m_sim;
    std::unique_ptr<CAddDeviceDialog> m_dialog;
};

}  // namespace

TEST_F(AddDialogTest, OpensCollapsedWithTheDefaultName)
{
    Open();
    EXPECT_EQ(m_dialog->windowTitle(), QStringLiteral("Add new device"));
    EXPECT_EQ(m_dialog->NameEdit()->text(), QStringLiteral("New Device"));
    EXPECT_EQ(m_dialog->Device()->GetName(), "New Device");
    EXPECT_TRUE(m_dialog->StatusText()->text().isEmpty());
    EXPECT_TRUE(m_dialog->PasswordEdit()->isHidden());
    EXPECT_TRUE(m_dialog->PasswordLabel()->isHidden());
    EXPECT_TRUE(m_dialog->Spinner()->isHidden());
    EXPECT_TRUE(m_dialog->StatusLightCtrl()->isHidden());
    EXPECT_EQ(m_dialog->StatusLightIndex(), LIGHT_YELLOW);
    EXPECT_EQ(m_dialog->CollapsedHeight(), m_dialog->height());
    EXPECT_EQ(m_dialog->ExpandedHeight() - m_dialog->CollapsedHeight(),
              m_dialog->PasswordEdit()->geometry().top() - m_dialog->AddressEdit()->geometry().top());
    EXPECT_EQ(QApplication::focusWidget(), m_dialog->AddressEdit());
    UiTest::SaveScreenshot(m_dialog.get(), QStringLiteral("adddialog_open"));
}

TEST_F(AddDialogTest, SearchingAppearsOneSecondAfterTheLastKeystroke)
{
    Open();
    // Nothing listens on port 1 of this address: the device keeps trying.
    QTest::keyClicks(m_dialog->AddressEdit(), QStringLiteral("127.0.0.64:1"));
    EXPECT_EQ(m_dialog->TimerPeriod(ADD_TIMER_STATUS), 1000);
    UiTest::Pump(500);
    EXPECT_NE(m_dialog->StatusText()->text(), QStringLiteral("Searching..."));
    ASSERT_TRUE(WaitForStatus(QStringLiteral("Searching..."), 3000));
    EXPECT_FALSE(m_dialog->Spinner()->isHidden());
    EXPECT_TRUE(m_dialog->StatusLightCtrl()->isHidden());
    // The name follows the address while the user has not named the device.
    EXPECT_EQ(m_dialog->NameEdit()->text(), QStringLiteral("New Device"));
    UiTest::SaveScreenshot(m_dialog.get(), QStringLiteral("adddialog_searching"));

    // Emptied, and a second later: no text, no spinner.
    m_dialog->AddressEdit()->clear();
    ASSERT_TRUE(UiTest::WaitUntil([&] { return m_dialog->Spinner()->isHidden(); }, 3000));
    EXPECT_TRUE(m_dialog->StatusText()->text().isEmpty());
}

TEST_F(AddDialogTest, FoundDevicesWithAndWithoutSignal)
{
    Open();
    m_dialog->AddressEdit()->setText(Address(0));
    ASSERT_TRUE(WaitForStatusContaining(QStringLiteral("s/n TS6101 is found and working fine")));
    CDevice *device = m_dialog->Device();
    const std::string model = device->GetModelName();
    EXPECT_EQ(m_dialog->StatusText()->text().toStdString(), model + " s/n TS6101 is found and working fine");
    EXPECT_EQ(m_dialog->StatusLightIndex(), LIGHT_GREEN);
    EXPECT_FALSE(m_dialog->StatusLightCtrl()->isHidden());
    EXPECT_TRUE(m_dialog->Spinner()->isHidden());
    // The device stores no name: it is shown, and named, by model and serial number.
    ASSERT_TRUE(UiTest::WaitUntil([&] { return m_dialog->NameEdit()->text() == QString::fromStdString(model + " [TS6101]"); }, 3000));
    EXPECT_EQ(device->GetName(), model + " [TS6101]");
    UiTest::Pump(100);
    EXPECT_EQ(m_dialog->height(), m_dialog->CollapsedHeight());
    EXPECT_TRUE(m_dialog->PasswordEdit()->isHidden());
    UiTest::SaveScreenshot(m_dialog.get(), QStringLiteral("adddialog_found"));

    // Another device after a first result gives a new result.
    m_dialog->AddressEdit()->setText(Address(1));
    ASSERT_TRUE(WaitForStatusContaining(QStringLiteral("s/n TS6202 is found, no signal detected")));
    EXPECT_EQ(m_dialog->StatusLightIndex(), LIGHT_YELLOW);
}

TEST_F(AddDialogTest, PasswordRowGrowsIntoViewAndReportsLogins)
{
    Open();
    m_dialog->AddressEdit()->setText(Address(2));
    ASSERT_TRUE(WaitForStatus(QStringLiteral("Access denied, password needed")));
    EXPECT_EQ(m_dialog->StatusLightIndex(), LIGHT_RED);
    ASSERT_TRUE(WaitForHeight(m_dialog->ExpandedHeight()));
    EXPECT_FALSE(m_dialog->PasswordEdit()->isHidden());
    EXPECT_FALSE(m_dialog->PasswordLabel()->isHidden());
    EXPECT_EQ(QApplication::focusWidget(), m_dialog->PasswordEdit());
    // The buttons and the status moved down with the dialog's bottom edge.
    auto *add = m_dialog->findChild<QPushButton *>(QStringLiteral("ctrl1"));
    ASSERT_NE(add, nullptr);
    EXPECT_GT(add->geometry().bottom(), m_dialog->CollapsedHeight() - 6);
    EXPECT_LT(add->geometry().bottom(), m_dialog->height());
    EXPECT_GT(m_dialog->StatusText()->geometry().top(), m_dialog->PasswordEdit()->geometry().bottom() - 4);
    UiTest::SaveScreenshot(m_dialog.get(), QStringLiteral("adddialog_password"));

    QTest::keyClicks(m_dialog->PasswordEdit(), QStringLiteral("wrong"));
    ASSERT_TRUE(WaitForStatus(QStringLiteral("Login failed")));
    EXPECT_EQ(m_dialog->height(), m_dialog->ExpandedHeight());

    m_dialog->PasswordEdit()->setText(QStringLiteral("sesame"));
    ASSERT_TRUE(WaitForStatusContaining(QStringLiteral("s/n TS6303 is found and working fine")));
    EXPECT_EQ(m_dialog->Device()->GetPassword(), "sesame");
    // Logged in with a password: the row stays.
    UiTest::Pump(100);
    EXPECT_EQ(m_dialog->height(), m_dialog->ExpandedHeight());

    // Back to a device without a password: the row empties and the dialog shrinks.
    m_dialog->AddressEdit()->setText(Address(0));
    ASSERT_TRUE(WaitForStatusContaining(QStringLiteral("s/n TS6101")));
    ASSERT_TRUE(WaitForHeight(m_dialog->CollapsedHeight()));
    EXPECT_TRUE(m_dialog->PasswordEdit()->isHidden());
    EXPECT_TRUE(m_dialog->PasswordEdit()->text().isEmpty());
    EXPECT_EQ(m_dialog->Device()->GetPassword(), "");
}

TEST_F(AddDialogTest, EmptiedNameTakesTheAddress)
{
    Open();
    m_dialog->NameEdit()->clear();
    EXPECT_EQ(m_dialog->Device()->GetName(), "");
    m_dialog->AddressEdit()->setText(QStringLiteral("127.0.0.64:1"));
    EXPECT_EQ(m_dialog->NameEdit()->text(), QStringLiteral("Device at 127.0.0.64:1"));
    EXPECT_EQ(m_dialog->Device()->GetName(), "Device at 127.0.0.64:1");

    // A name the user typed stays through address changes.
    m_dialog->NameEdit()->setText(QStringLiteral("Studio"));
    m_dialog->AddressEdit()->setText(QStringLiteral("127.0.0.65:1"));
    EXPECT_EQ(m_dialog->NameEdit()->text(), QStringLiteral("Studio"));
    EXPECT_EQ(m_dialog->Device()->GetName(), "Studio");
}

TEST_F(AddDialogTest, EndingTheDialogHandsOverOrDropsTheDevice)
{
    Open();
    m_dialog->AddressEdit()->setText(Address(0));
    Ambry::Ref<CDevice> device = Ambry::Retain(m_dialog->Device());
    EXPECT_NE(device->AttachedWindow(), nullptr);
    auto *add = m_dialog->findChild<QPushButton *>(QStringLiteral("ctrl1"));
    ASSERT_NE(add, nullptr);
    add->click();
    EXPECT_EQ(m_dialog->result(), QDialog::Accepted);
    // Closed: the dialog no longer receives the device's changes, and nothing of its
    // own stays queued with a reference.
    EXPECT_EQ(device->AttachedWindow(), nullptr);
    m_dialog.reset();
    EXPECT_EQ(device->Mutex().HeldCount(), 0);
    // The caller's reference and the worker's are all that remain.
    EXPECT_LE(device->RefCount(), 2);
    StopAndWait(device);

    // A cancelled dialog gives its device back.
    auto cancelled = CAddDeviceDialog::Create();
    ASSERT_TRUE(cancelled);
    cancelled->show();
    Ambry::Ref<CDevice> dropped = Ambry::Retain(cancelled->Device());
    cancelled->reject();
    cancelled.reset();
    // Only the test's reference and the worker's remain; the worker ends by itself
    // once the test lets go.
    EXPECT_EQ(dropped->RefCount(), 2);
    StopAndWait(dropped);
}
