// Device access: the object through which a configured device talks to its grabber.
//
// A device's worker opens one CDeviceIO with OpenDeviceIO and asks it everything the
// program wants from the hardware: login state, model, serial number, name, video
// mode, picture adjustments and a preview frame. The concrete classes sit on one
// grabber connection (see NetGrabberIO.h); callers only need this header.
//
// Results follow the library's conventions: true/false, a pointer or none, never an
// exception. Objects are reference counted: OpenDeviceIO and GrabFrame hand their one
// reference to the caller as an Ambry::Ref.
#pragma once

#include <ambry/RefCount.h>
#include <deviceio/Frame.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Picture adjustments and their ranges; defined with the grabber library's wire records.
struct VideoAdjustments;
struct AdjustmentRanges;

// An IPv4 socket address laid out as the platform's sockaddr_in: 16 bytes.
struct AddressRecord {
    uint16_t family = 0;   // always ADDRESS_FAMILY_INET for a usable record
    uint16_t port = 0;     // network byte order
    uint32_t address = 0;  // network byte order
    uint8_t zero[8] = {};
};
static_assert(sizeof(AddressRecord) == 16, "AddressRecord must keep the socket-address layout");

inline constexpr uint16_t ADDRESS_FAMILY_INET = 2;
inline constexpr uint16_t DEFAULT_DEVICE_PORT = 5557;

// Builds a record of family 2 from an address and port in host order.
[[nodiscard]] AddressRecord MakeAddressRecord(uint32_t host_address, uint16_t host_port);
// The record's address and port converted to host order.
[[nodiscard]] uint32_t AddressRecordHostAddress(const AddressRecord &record);
[[nodiscard]] uint16_t AddressRecordHostPort(const AddressRecord &record);
// Parses an address text "host[:port]" into a record. The host may be a dotted
// address or a name (first IPv4 address of the resolver); the port is decimal, 0x-hex
// or 0-octal, 1..65535, surrounded only by white space. No colon: DEFAULT_DEVICE_PORT.
[[nodiscard]] bool ParseDeviceAddress(const char *text, AddressRecord *out);
// The same without the resolver: only dotted IPv4 hosts (for parsers of outside data).
[[nodiscard]] bool ParseDeviceAddressNumeric(const char *text, AddressRecord *out);

// Login states. LoginGaveUp is stored as LoginDenied by the I/O classes; every reader
// treats 4 like 3.
enum LoginStatus : int32_t {
    LoginOpen = 0,      // connected; the device asks for no password
    LoginAccepted = 1,  // connected; the password was accepted
    LoginError = 2,     // no connection, or the login exchange failed
    LoginDenied = 3,    // the password is missing or wrong
    LoginGaveUp = 4,    // the credentials source refused to answer again
};

// Where a login takes its password from. It is asked at most once per login: the
// device asks again only after a rejection, and the second request is refused.
class CCredentialsSource {
public:
    virtual ~CCredentialsSource() = default;
    // Writes the password, NUL-terminated, into `password` (capacity `size` bytes,
    // longer texts cut to size - 1). False: no password to offer.
    virtual bool GetPassword(char *password, size_t size) = 0;
};

// A credentials source over a fixed password text (none reads as empty).
class CPasswordCredentials final : public CCredentialsSource {
public:
    explicit CPasswordCredentials(const char *password) : m_password(password ? password : "") {}
    bool GetPassword(char *password, size_t size) override;

private:
    std::string m_password;
};

// Longest password the login sends; longer ones are cut.
inline constexpr size_t MAX_LOGIN_PASSWORD = 63;

// One device. Every operation is safe while the connection is reconnecting: it then
// fails or reports the last known values. Operations on a closed connection return
// false, none, 0 or an empty record.
class CDeviceIO : public CRefCountObj {
public:
    // True when the device can be published as a capture source.
    virtual bool IsCaptureSource() = 0;
    // The stored login status; no network traffic.
    virtual LoginStatus GetLoginStatus() = 0;
    // Logs in again with this password (none: empty); stores and returns the result.
    // Never returns LoginGaveUp.
    virtual LoginStatus Login(const char *password) = 0;
    // The same with a source of the password, asked at most once.
    virtual LoginStatus Login(CCredentialsSource &credentials) = 0;
    // The peer address the connection reached.
    virtual void GetAddress(AddressRecord *address) = 0;
    // True when the device wants a password.
    virtual bool IsPasswordRequired() = 0;
    // True when the device announced an audio stream.
    virtual bool HasAudio() = 0;
    // The device-type code (low 16 bits of the grabber's type word).
    virtual uint16_t GetDeviceType() = 0;
    // The serial number read at connect time; valid while this object lives.
    virtual const char *GetSerialNumber() = 0;
    // The product name (the model table's text when the device reports none); valid
    // while this object lives.
    virtual const char *GetModelName() = 0;
    // Reads the picture adjustments and their ranges (either may be absent); waits for
    // the device's reply.
    virtual bool GetAdjustments(VideoAdjustments *adjustments, AdjustmentRanges *ranges) = 0;
    // Sends new picture adjustments; waits for the device's reply.
    virtual bool SetAdjustments(const VideoAdjustments &adjustments) = 0;
    // Reads the name stored on the device into `buffer` and returns its text (empty
    // when the name is empty); none, with the buffer cleared, when the request fails;
    // none when `buffer` is none.
    virtual const char *GetDeviceName(std::string *buffer) = 0;
    // Stores `name` as the device's name.
    virtual bool SetDeviceName(const char *name) = 0;
    // The mode last reported by the device, no traffic (`mode` may be none); true when
    // its width is greater than 0.
    virtual bool GetVideoMode(VideoMode *mode) = 0;
    // Asks the device to detect its mode now.
    virtual bool DetectVideoMode(VideoMode *mode) = 0;
    // One preview frame (a new reference) or none.
    virtual Ambry::Ref<CFrame> GrabFrame() = 0;
};

// Opens the device at `address` (family 2; 10-second connect), switches automatic
// reconnection on, logs in with `password` and picks the class by device type.
// Returns the object even when the login failed (its status tells); none when the
// address is not IPv4 or the device cannot be reached.
[[nodiscard]] Ambry::Ref<CDeviceIO> OpenDeviceIO(const char *password, const AddressRecord &address);
[[nodiscard]] Ambry::Ref<CDeviceIO> OpenDeviceIO(CCredentialsSource &credentials,
                                                 const AddressRecord &address);

// Model name for a device-type code: the model table's text for codes 0 to 18, the
// fallback unchanged for any other code.
[[nodiscard]] const char *ModelNameForType(uint32_t type, const char *fallback);
// True for the device types published as capture sources when no I/O object is
// there to ask (3 and 18).
[[nodiscard]] bool IsCaptureSourceType(uint32_t type);
// True for status values that read as "login refused" (3 and 4).
[[nodiscard]] inline bool IsLoginRefused(int32_t status) { return status == LoginDenied || status == LoginGaveUp; }

// What the device list shows for a device.
//   status: the device's login status; has_io: an I/O object is held;
//   connecting: a connection attempt is under way; mode: the record's video mode.
[[nodiscard]] const char *DeviceListStatusText(int32_t status, bool has_io, bool connecting,
                                               const VideoMode &mode);
// What the add-device dialog shows after a connection attempt.
[[nodiscard]] std::string AddDialogStatusText(int32_t status, const char *model_name,
                                              const char *serial_number, const VideoMode &mode,
                                              const char *password);
