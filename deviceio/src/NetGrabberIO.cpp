// Opening a device and the I/O classes over its grabber connection.
#include <deviceio/NetGrabberIO.h>

#include <grabber/Records.h>

#include <cstring>

namespace {

VideoMode FromGrabber(const Grabber::VideoMode &m) { return VideoMode{m.width, m.height, m.refresh_mhz}; }

// Answers the first request of one login and refuses every later one.
struct OnceContext {
    CCredentialsSource *source;
    bool answered;
};

bool AnswerOnce(char *user, char *password, void *context)
{
    auto *once = static_cast<OnceContext *>(context);
    if (once->answered)
        return false;
    once->answered = true;
    if (user)
        user[0] = '\0';
    // The password field holds 64 bytes: at most 63 characters and the terminator.
    char field[MAX_LOGIN_PASSWORD + 1] = {};
    if (!once->source->GetPassword(field, sizeof field))
        field[0] = '\0';
    field[MAX_LOGIN_PASSWORD] = '\0';
    std::memcpy(password, field, sizeof field);
    return true;
}

}  // namespace

CNetGrabber::CNetGrabber(Grabber::Handle *handle) : m_handle(handle)
{
    Grabber::SetAutoReconnect(m_handle, true);
    const Grabber::AddressRecord peer = Grabber::GetPeerAddress(m_handle);
    m_address.family = peer.family;
    m_address.port = peer.port_be;
    m_address.address = peer.address_be;
}

CNetGrabber::~CNetGrabber()
{
    Grabber::Close(m_handle);
    Grabber::Shutdown();
}

LoginStatus CNetGrabber::Login(CCredentialsSource &credentials)
{
    OnceContext once{&credentials, false};
    int result = Grabber::Login(m_handle, AnswerOnce, &once);
    LoginStatus status;
    switch (result) {
    case Grabber::LOGIN_NOT_NEEDED:
        status = LoginOpen;
        break;
    case Grabber::LOGIN_ACCEPTED:
        status = LoginAccepted;
        break;
    case Grabber::LOGIN_GAVE_UP:
        status = LoginDenied;
        break;
    default:
        status = LoginError;
        break;
    }
    m_loginStatus.store(status);
    return status;
}

LoginStatus CNetGrabberIO::GetLoginStatus() { return m_grabber->GetLoginStatus(); }

LoginStatus CNetGrabberIO::Login(const char *password)
{
    CPasswordCredentials credentials(password);
    return m_grabber->Login(credentials);
}

LoginStatus CNetGrabberIO::Login(CCredentialsSource &credentials) { return m_grabber->Login(credentials); }

void CNetGrabberIO::GetAddress(AddressRecord *address)
{
    if (address)
        *address = m_grabber->Address();
}

bool CNetGrabberIO::IsPasswordRequired() { return Grabber::RequiresLogin(Handle()); }

bool CNetGrabberIO::HasAudio() { return Grabber::HasAudio(Handle()); }

uint16_t CNetGrabberIO::GetDeviceType() { return static_cast<uint16_t>(Grabber::GetType(Handle()) & 0xFFFF); }

const char *CNetGrabberIO::GetSerialNumber() { return Grabber::GetSerialNumber(Handle()); }

const char *CNetGrabberIO::GetModelName()
{
    const char *name = Grabber::GetName(Handle());
    return name ? name : "";
}

bool CNetGrabberIO::GetAdjustments(VideoAdjustments *adjustments, AdjustmentRanges *ranges)
{
    return Grabber::GetAdjustments(Handle(), adjustments, ranges);
}

bool CNetGrabberIO::SetAdjustments(const VideoAdjustments &adjustments)
{
    return Grabber::SetAdjustments(Handle(), &adjustments);
}

const char *CNetGrabberIO::GetDeviceName(std::string *buffer)
{
    if (!buffer)
        return nullptr;
    char *name = Grabber::GetDeviceName(Handle());
    if (!name) {
        buffer->clear();
        return nullptr;
    }
    buffer->assign(name);
    Grabber::FreeText(name);
    return buffer->c_str();
}

bool CNetGrabberIO::SetDeviceName(const char *name) { return Grabber::SetDeviceName(Handle(), name ? name : ""); }

bool CNetGrabberIO::GetVideoMode(VideoMode *mode)
{
    Grabber::VideoMode current;
    Grabber::GetVideoMode(Handle(), &current);
    if (mode)
        *mode = FromGrabber(current);
    return current.width > 0;
}

bool CNetGrabberIO::DetectVideoMode(VideoMode *mode)
{
    Grabber::VideoMode detected;
    const bool ok = Grabber::DetectVideoMode(Handle(), &detected);
    if (mode)
        *mode = ok ? FromGrabber(detected) : VideoMode{};
    return ok;
}

Ambry::Ref<CFrame> CNetGrabberIO::GrabFrame()
{
    Grabber::FrameRecord *record = Grabber::GrabFrame(Handle(), PREVIEW_FRAME_FORMAT, nullptr);
    if (!record)
        return nullptr;
    return CGrabixFrame::FromRecord(m_grabber, record);
}

Ambry::Ref<CFrame> CNetworkApplianceIO::GrabFrame()
{
    AddressRecord address;
    GetAddress(&address);
    return FetchSnapshotFrame(AddressRecordHostAddress(address));
}

CGrabixFrame::CGrabixFrame(Ambry::Ref<CNetGrabber> grabber, Grabber::FrameRecord *record)
    : CFrame(static_cast<int32_t>(record->rect.width), static_cast<int32_t>(record->rect.height)),
      m_grabber(std::move(grabber)), m_record(record)
{
}

CGrabixFrame::~CGrabixFrame() { Grabber::ReleaseFrame(m_grabber->Handle(), m_record); }

Ambry::Ref<CFrame> CGrabixFrame::FromRecord(Ambry::Ref<CNetGrabber> grabber, Grabber::FrameRecord *record)
{
    if (!record)
        return nullptr;
    const uint64_t expected = uint64_t(record->rect.width) * uint64_t(record->rect.height) * 3;
    const bool fits = record->data && record->image_bytes != 0 && record->image_bytes == expected &&
                      record->buffer_size >= record->image_bytes && record->rect.width <= INT32_MAX &&
                      record->rect.height <= INT32_MAX;
    if (!fits) {
        Grabber::ReleaseFrame(grabber->Handle(), record);
        return nullptr;
    }
    return Ambry::Adopt<CFrame>(new CGrabixFrame(std::move(grabber), record));
}

bool CGrabixFrame::GetFrameMode(VideoMode *mode)
{
    if (mode)
        *mode = FromGrabber(m_record->source_mode);
    return true;
}

Ambry::Ref<CDeviceIO> MakeDeviceIO(uint16_t device_type, const Ambry::Ref<CNetGrabber> &grabber)
{
    if (!grabber)
        return nullptr;
    switch (device_type) {
    case 3:
    case 18:
        return Ambry::Adopt<CDeviceIO>(new CTessalineIO(grabber));
    case 9:
        return Ambry::Adopt<CDeviceIO>(new CDorrivanIO(grabber));
    default:
        return Ambry::Adopt<CDeviceIO>(new CNetworkApplianceIO(grabber));
    }
}

Ambry::Ref<CDeviceIO> OpenDeviceIO(CCredentialsSource &credentials, const AddressRecord &address)
{
    if (address.family != ADDRESS_FAMILY_INET)
        return nullptr;
    Grabber::Startup();
    Grabber::Handle *handle =
        Grabber::Open(AddressRecordHostAddress(address), AddressRecordHostPort(address));
    if (!handle) {
        Grabber::Shutdown();
        return nullptr;
    }
    // From here the wrapper owns the handle and the library reference.
    Ambry::Ref<CNetGrabber> grabber = Ambry::Adopt(new CNetGrabber(handle));
    grabber->Login(credentials);
    const uint16_t type = static_cast<uint16_t>(Grabber::GetType(handle) & 0xFFFF);
    return MakeDeviceIO(type, grabber);
}

Ambry::Ref<CDeviceIO> OpenDeviceIO(const char *password, const AddressRecord &address)
{
    CPasswordCredentials credentials(password);
    return OpenDeviceIO(credentials, address);
}
