// Small pure pieces of device access: the model table, the texts the
// user interface shows for a login state, video-mode text and the frame fitting.
#include <deviceio/DeviceIO.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>

bool CPasswordCredentials::GetPassword(char *password, size_t size)
{
    if (!password || size == 0)
        return false;
    const size_t n = std::min(m_password.size(), size - 1);
    std::memcpy(password, m_password.data(), n);
    password[n] = '\0';
    return true;
}

namespace {

const char *const kModelNames[] = {
    "Unspecified",    // 0
    "Avenel Span",    // 1
    "Avenel Plotter", // 2
    "Tessaline",      // 3
    "Quorin Mini",    // 4
    "Corvane Mini",   // 5
    "Corvane",        // 6
    "Corvane Basic",  // 7
    "Corvane Plus",   // 8
    "Dorrivan",       // 9
    "Halvet Mini",    // 10
    "Halvet Basic",   // 11
    "Quorin Basic",   // 12
    "",               // 13
    "Avenel Mesh",    // 14
    "Corvane Hall",   // 15
    "Halvet Plus",    // 16
    "Halvet Vista",   // 17
    "Tessaline",      // 18
};

}  // namespace

const char *ModelNameForType(uint32_t type, const char *fallback)
{
    if (type < sizeof kModelNames / sizeof kModelNames[0])
        return kModelNames[type];
    return fallback;
}

bool IsCaptureSourceType(uint32_t type) { return type == 3 || type == 18; }

const char *DeviceListStatusText(int32_t status, bool has_io, bool connecting, const VideoMode &mode)
{
    switch (status) {
    case LoginOpen:
    case LoginAccepted:
        return mode.width != 0 && mode.height != 0 ? "Device OK" : "No signal";
    case LoginError:
        if (has_io)
            return "Login failed";
        return connecting ? "Connecting..." : "Not found";
    case LoginDenied:
    case LoginGaveUp:
        return "Login failed";
    default:
        return "Not found";
    }
}

std::string AddDialogStatusText(int32_t status, const char *model_name, const char *serial_number,
                                const VideoMode &mode, const char *password)
{
    switch (status) {
    case LoginOpen:
    case LoginAccepted: {
        const char *tail = mode.width > 0 && mode.height > 0 ? " and working fine" : ", no signal detected";
        std::string text = model_name ? model_name : "";
        text += " s/n ";
        text += serial_number ? serial_number : "";
        text += " is found";
        text += tail;
        return text;
    }
    case LoginDenied:
    case LoginGaveUp:
        return password && *password ? "Login failed" : "Access denied, password needed";
    default:
        return "Login error";
    }
}

std::string FormatVideoMode(const VideoMode &mode)
{
    // The refresh is written with a '.' whatever the process locale (the window
    // toolkit switches it to the user's).
    char hz[32];
    const std::to_chars_result written =
        std::to_chars(hz, hz + sizeof hz, mode.refresh / 1000.0, std::chars_format::fixed, 1);
    return std::to_string(mode.width) + "x" + std::to_string(mode.height) + " " +
           std::string(hz, written.ec == std::errc() ? written.ptr : hz) + " Hz";
}

bool FitFrame(int left, int top, int right, int bottom, int frame_width, int frame_height, FrameRect *out)
{
    if (!out || right <= left || bottom <= top || frame_width <= 0 || frame_height <= 0)
        return false;
    const int64_t W = static_cast<int64_t>(right) - left;
    const int64_t H = static_cast<int64_t>(bottom) - top;
    const int64_t w = frame_width;
    const int64_t h = frame_height;
    if (static_cast<double>(W) / static_cast<double>(H) < static_cast<double>(w) / static_cast<double>(h)) {
        const int64_t fitted = W * h / w;
        out->left = left;
        out->top = static_cast<int>(top + (H - fitted) / 2);
        out->width = static_cast<int>(W);
        out->height = static_cast<int>(fitted);
    } else {
        const int64_t fitted = w * H / h;
        out->left = static_cast<int>(left + (W - fitted) / 2);
        out->top = top;
        out->width = static_cast<int>(fitted);
        out->height = static_cast<int>(H);
    }
    return true;
}
