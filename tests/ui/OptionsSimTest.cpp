// The Adjustments page against a simulated appliance on the loopback network:
// what the page applies is what the appliance then reports.
#if __has_include(<sim/Simulator.h>)

#include <TempStore.h>
#include <WaitFor.h>

#include <deviceio/DeviceIO.h>
#include <discovery/Discovery.h>
#include <sim/Simulator.h>
#include <store/Device.h>
#include <store/Registry.h>
#include <ui/framework/DialogTemplate.h>
#include <ui/options/OptionsPages.h>

#include <QCheckBox>
#include <QPushButton>
#include <QSlider>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

using namespace Tessaline::Ui;

namespace {

TEST(OptionsSheetWithAppliance, GainLandsInEveryChannelOfTheAppliance)
{
    testsupport::CTempStore store("tessaline-sheet-sim");
    SetDeviceIOOpener(nullptr, nullptr);

    Sim::DeviceConfig config;
    config.port = 0;  // any free port on 127.0.0.2
    config.http_port = -1;
    config.udp_port = -1;
    config.serial = "TS7701";
    Sim::Simulator sim;
    std::string error;
    ASSERT_TRUE(sim.Start({config}, &error)) << error;
    const Sim::Endpoints ep = sim.Ports(0);

    DiscoveryRecord record;
    record.address = ep.address;
    record.port = ep.port;
    record.device_type = 3;
    std::snprintf(record.serial_number, sizeof record.serial_number, "TS7701");
    Ambry::Ref<CDevice> device = CDevice::CreateNew(&record);
    ASSERT_TRUE(device);
    ASSERT_TRUE(testsupport::WaitFor([&] { return device->HasConnection(); }, 15000));

    {
        std::unique_ptr<OptionsSheetSession> session = BuildOptionsSheet(nullptr, device.get());
        ASSERT_TRUE(session);
        COptionsPage *page = session->sheet->Page(0);
        ASSERT_EQ(page->DialogId(), IDD_ADJUSTMENTS_PAGE);
        auto *group = qobject_cast<QCheckBox *>(GetDlgItem(page, 30017));
        if (!group->isChecked())
            group->click();
        qobject_cast<QSlider *>(GetDlgItem(page, 30019))->setValue(200);
        session->sheet->OkButton()->click();
    }

    Ambry::Ref<CDeviceIO> check = OpenDeviceIO("", MakeAddressRecord(ep.address, ep.port));
    ASSERT_TRUE(check);
    VideoAdjustments adjustments;
    ASSERT_TRUE(check->GetAdjustments(&adjustments, nullptr));
    EXPECT_EQ(adjustments.gain[0], 200);
    EXPECT_EQ(adjustments.gain[1], 200);
    EXPECT_EQ(adjustments.gain[2], 200);
    check.reset();

    device->Stop();
    device.reset();
    sim.Stop();
}

}  // namespace

#endif
