// A configured device against simulated appliances over real loopback sockets: the
// worker resolves, connects, logs in, reads what the device says, stores its record,
// grabs a preview and posts its notifications.
#include "Fixture.h"

#include <deviceio/NetGrabberIO.h>

using namespace e2e;

TEST_F(EndToEnd, DeviceConnectsReadsItsDetailsStoresItsRecordAndShowsAFrame)
{
    Sim::DeviceConfig config = TestSim::Config(3);
    config.name = "Studio A";
    config.mode = {1024, 768, 60000};
    TestSim::Appliances sim(config);
    ASSERT_TRUE(sim.Started()) << sim.Error();

    Ambry::Ref<CDevice> device = Connect(sim.AddressText());
    ASSERT_TRUE(device);
    EXPECT_TRUE(device->IsConnecting());
    ASSERT_TRUE(queue.WaitSeenBits(device.get(), NOTIFY_FRAME | NOTIFY_STATE, 15000));
    // The first preview follows the connection.
    ASSERT_TRUE(WaitFor(
        [&] {
            queue.Deliver();
            return bool(device->GetFrame());
        },
        15000));

    EXPECT_FALSE(device->IsConnecting());
    EXPECT_EQ(device->GetLoginStatus(), LoginOpen);
    EXPECT_EQ(device->GetSerialNumber(), config.serial);
    EXPECT_EQ(device->GetModelName(), "Tessaline");
    EXPECT_EQ(device->GetDeviceType(), 3u);
    EXPECT_EQ(device->GetName(), "Studio A");
    EXPECT_TRUE(device->IsCaptureSource());
    VideoMode mode;
    ASSERT_TRUE(device->GetVideoMode(&mode));
    EXPECT_EQ(mode.width, 1024);
    EXPECT_EQ(mode.height, 768);
    EXPECT_STREQ(DeviceListStatusText(device->GetLoginStatus(), device->HasConnection(), device->IsConnecting(), mode),
                 "Device OK");
    Ambry::Ref<CFrame> frame = device->GetFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->Width(), 1024);
    EXPECT_EQ(frame->Height(), 768);
    AddressRecord resolved;
    ASSERT_TRUE(device->GetResolvedAddress(&resolved));
    EXPECT_EQ(AddressRecordHostAddress(resolved), config.address);

    // The record is in the store: a second object loaded from it says the same.
    device->Store(false);
    Ambry::Ref<CDevice> loaded = CDevice::LoadFromStore(device->ClassId().Guid());
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->GetSerialNumber(), config.serial);
    EXPECT_EQ(loaded->GetDeviceType(), 3u);
    EXPECT_EQ(loaded->GetAddress(), sim.AddressText());
    EXPECT_EQ(loaded->GetName(), "Studio A");

    frame.reset();
    EXPECT_TRUE(StopAndJoin(device.get()));
}

TEST_F(EndToEnd, LoginDeniedWithAndWithoutAStoredPasswordThenAccepted)
{
    Sim::DeviceConfig config = TestSim::Config(3);
    config.password = "letmein";
    TestSim::Appliances sim(config);
    ASSERT_TRUE(sim.Started()) << sim.Error();

    Ambry::Ref<CDevice> without = Connect(sim.AddressText());
    Ambry::Ref<CDevice> wrong = Connect(sim.AddressText(), "guess");
    ASSERT_TRUE(without && wrong);
    ASSERT_TRUE(WaitFor([&] { return without->HasConnection() && wrong->HasConnection(); }, 15000));
    for (CDevice *d : {without.get(), wrong.get()}) {
        EXPECT_TRUE(IsLoginRefused(d->GetLoginStatus()));
        EXPECT_STREQ(DeviceListStatusText(d->GetLoginStatus(), true, false, {}), "Login failed");
        EXPECT_TRUE(d->IsPasswordRequired());
    }
    EXPECT_EQ(AddDialogStatusText(without->GetLoginStatus(), "", "", {}, ""), "Access denied, password needed");
    EXPECT_EQ(AddDialogStatusText(wrong->GetLoginStatus(), "", "", {}, "guess"), "Login failed");

    // A new password logs the same connection in again.
    wrong->SetPassword("letmein");
    EXPECT_TRUE(WaitFor([&] { return wrong->GetLoginStatus() == LoginAccepted; }, 15000));
    EXPECT_GE(sim.Sim().Stats(0).logins_accepted, 1u);

    EXPECT_TRUE(StopAndJoin(without.get()));
    EXPECT_TRUE(StopAndJoin(wrong.get()));
}

TEST_F(EndToEnd, NoSignalShowsAsSuch)
{
    Sim::DeviceConfig config = TestSim::Config(9);
    config.signal = false;
    TestSim::Appliances sim(config);
    ASSERT_TRUE(sim.Started()) << sim.Error();
    Ambry::Ref<CDevice> device = Connect(sim.AddressText());
    ASSERT_TRUE(WaitFor([&] { return device->HasConnection(); }, 15000));
    VideoMode mode{1, 1, 1};
    EXPECT_FALSE(device->GetVideoMode(&mode));
    EXPECT_STREQ(DeviceListStatusText(device->GetLoginStatus(), true, false, mode), "No signal");
    EXPECT_FALSE(device->IsCaptureSource());
    EXPECT_EQ(device->GetModelName(), "Dorrivan");
    EXPECT_TRUE(StopAndJoin(device.get()));
}

TEST_F(EndToEnd, AddressChangeReconnectsAtTheNewAddress)
{
    Sim::DeviceConfig first = TestSim::Config(3), second = TestSim::Config(18);
    TestSim::Appliances sim({first, second});
    ASSERT_TRUE(sim.Started()) << sim.Error();
    Ambry::Ref<CDevice> device = Connect(sim.AddressText(0));
    ASSERT_TRUE(WaitFor([&] { return device->GetSerialNumber() == first.serial; }, 15000));

    queue.Forget();
    device->SetAddress(sim.AddressText(1).c_str());
    ASSERT_TRUE(queue.WaitSeenBits(device.get(), NOTIFY_ADDRESS, 5000));
    ASSERT_TRUE(WaitFor([&] { return device->GetSerialNumber() == second.serial && device->HasConnection(); }, 15000));
    EXPECT_EQ(device->GetDeviceType(), 18u);
    AddressRecord resolved;
    ASSERT_TRUE(device->GetResolvedAddress(&resolved));
    EXPECT_EQ(AddressRecordHostAddress(resolved), second.address);
    EXPECT_TRUE(StopAndJoin(device.get()));
}

TEST_F(EndToEnd, StopDuringAConnectionAttemptEndsTheWorker)
{
    Sim::DeviceConfig config = TestSim::Config(3);
    config.no_hello = true;
    TestSim::Appliances sim(config);
    ASSERT_TRUE(sim.Started()) << sim.Error();
    Ambry::Ref<CDevice> device = Connect(sim.AddressText());
    ASSERT_TRUE(WaitFor([&] { return sim.Sim().Stats(0).connections >= 1; }, 5000));

    const auto t0 = std::chrono::steady_clock::now();
    device->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
    EXPECT_TRUE(device->IsStopped());
    // The attempt in progress ends at its connect deadline; then the worker lets go.
    EXPECT_TRUE(StopAndJoin(device.get(), 15000));
    EXPECT_FALSE(device->HasConnection());
    EXPECT_EQ(device->GetLoginStatus(), LoginError);
}

TEST_F(EndToEnd, UnreachableDeviceReadsNotFound)
{
    Ambry::Ref<CDevice> device = Connect("127.0.0.1:9");
    ASSERT_TRUE(device);
    ASSERT_TRUE(WaitFor([&] { return !device->IsConnecting(); }, 15000));
    EXPECT_FALSE(device->HasConnection());
    EXPECT_EQ(device->GetLoginStatus(), LoginError);
    EXPECT_STREQ(DeviceListStatusText(device->GetLoginStatus(), device->HasConnection(), device->IsConnecting(), {}),
                 "Not found");
    EXPECT_TRUE(StopAndJoin(device.get()));
}
