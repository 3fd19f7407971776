// The concrete device I/O classes over one grabber connection.
//
// CNetGrabber owns the grabber handle; every CNetGrabberIO and every CGrabixFrame made
// from it holds a counted reference, so a frame's pixels stay valid after the I/O
// object that grabbed it has been replaced. The subclasses differ only in whether the
// device is a capture source and in how a preview frame is obtained.
#pragma once

#include <deviceio/DeviceIO.h>
#include <grabber/Grabber.h>

#include <atomic>

// The connection wrapper: the grabber handle (owned), the login status and the peer
// address.
class CNetGrabber final : public CRefCountObj {
public:
    // Takes ownership of an open handle; switches automatic reconnection on and copies
    // the peer address.
    explicit CNetGrabber(Grabber::Handle *handle);

    Grabber::Handle *Handle() const { return m_handle; }
    LoginStatus GetLoginStatus() const { return static_cast<LoginStatus>(m_loginStatus.load()); }
    const AddressRecord &Address() const { return m_address; }

    // Runs the login exchange with a source that answers once; stores and returns the
    // result (LoginGaveUp becomes LoginDenied).
    LoginStatus Login(CCredentialsSource &credentials);

private:
    ~CNetGrabber() override;

    Grabber::Handle *m_handle;
    std::atomic<int32_t> m_loginStatus{LoginError};
    AddressRecord m_address;
};

// Everything over the grabber connection except IsCaptureSource.
class CNetGrabberIO : public CDeviceIO {
public:
    explicit CNetGrabberIO(Ambry::Ref<CNetGrabber> grabber) : m_grabber(std::move(grabber)) {}

    LoginStatus GetLoginStatus() override;
    LoginStatus Login(const char *password) override;
    LoginStatus Login(CCredentialsSource &credentials) override;
    void GetAddress(AddressRecord *address) override;
    bool IsPasswordRequired() override;
    bool HasAudio() override;
    uint16_t GetDeviceType() override;
    const char *GetSerialNumber() override;
    const char *GetModelName() override;
    bool GetAdjustments(VideoAdjustments *adjustments, AdjustmentRanges *ranges) override;
    bool SetAdjustments(const VideoAdjustments &adjustments) override;
    const char *GetDeviceName(std::string *buffer) override;
    bool SetDeviceName(const char *name) override;
    bool GetVideoMode(VideoMode *mode) override;
    bool DetectVideoMode(VideoMode *mode) override;
    // One frame over the grabber protocol.
    Ambry::Ref<CFrame> GrabFrame() override;

    CNetGrabber *NetGrabber() const { return m_grabber.get(); }

protected:
    Grabber::Handle *Handle() const { return m_grabber->Handle(); }

private:
    Ambry::Ref<CNetGrabber> m_grabber;
};

// Network appliances: no capture source; the preview is a JPEG snapshot over HTTP.
class CNetworkApplianceIO final : public CNetGrabberIO {
public:
    using CNetGrabberIO::CNetGrabberIO;
    bool IsCaptureSource() override { return false; }
    Ambry::Ref<CFrame> GrabFrame() override;
};

// Tessaline grabbers (types 3 and 18): capture sources.
class CTessalineIO final : public CNetGrabberIO {
public:
    using CNetGrabberIO::CNetGrabberIO;
    bool IsCaptureSource() override { return true; }
};

// Dorrivan grabbers (type 9): no capture source, frames over the grabber protocol.
class CDorrivanIO final : public CNetGrabberIO {
public:
    using CNetGrabberIO::CNetGrabberIO;
    bool IsCaptureSource() override { return false; }
};

// Format of preview frames asked of the grabber: 24-bit colour, bottom-up rows.
inline constexpr uint32_t PREVIEW_FRAME_FORMAT = 0x80000800u;

// A frame grabbed over the grabber protocol; gives its record back when destroyed.
class CGrabixFrame final : public CFrame {
public:
    // Checks the record (non-zero byte count equal to width x height x 3, and the data
    // there); none when it does not fit, the record then given back.
    static Ambry::Ref<CFrame> FromRecord(Ambry::Ref<CNetGrabber> grabber, Grabber::FrameRecord *record);

    bool GetFrameMode(VideoMode *mode) override;
    const uint8_t *GetPixels() override { return m_record->data; }

private:
    CGrabixFrame(Ambry::Ref<CNetGrabber> grabber, Grabber::FrameRecord *record);
    ~CGrabixFrame() override;

    Ambry::Ref<CNetGrabber> m_grabber;
    Grabber::FrameRecord *m_record;
};

// The I/O class for a device type: 3 and 18 Tessaline, 9 Dorrivan, any other a
// network appliance. Takes its own reference to the wrapper.
[[nodiscard]] Ambry::Ref<CDeviceIO> MakeDeviceIO(uint16_t device_type, const Ambry::Ref<CNetGrabber> &grabber);
