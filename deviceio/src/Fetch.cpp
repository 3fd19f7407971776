// HTTP snapshots over libcurl's easy interface.
//
// The transfer is bounded in every direction: a connect time-out, a stall time-out, a
// total time-out and a cap on the body, so a device that stalls or streams forever
// cannot hang the worker or exhaust memory. The body is collected during the transfer
// and read back through the stream.
#include <deviceio/Frame.h>

#include <ambry/Net.h>
#include <ambry/NetworkWait.h>
#include <ambry/Trace.h>

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

constexpr const char *kAgent = "Ambry 1.68";
constexpr size_t kReadChunk = 1024;

bool CurlReady()
{
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] { ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    return ready;
}

struct Body {
    std::vector<uint8_t> bytes;
    size_t cap = 0;
    bool overflow = false;
};

size_t WriteBody(char *data, size_t size, size_t count, void *context)
{
    auto *body = static_cast<Body *>(context);
    const size_t n = size * count;
    if (n > body->cap - body->bytes.size()) {
        body->overflow = true;
        return 0;  // ends the transfer with a write error
    }
    body->bytes.insert(body->bytes.end(), reinterpret_cast<const uint8_t *>(data),
                       reinterpret_cast<const uint8_t *>(data) + n);
    return n;
}

class CMemoryUrlStream final : public CUrlStream {
public:
    explicit CMemoryUrlStream(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}
    long Read(uint8_t *buffer, size_t count) override
    {
        if (!buffer)
            return -1;
        const size_t n = std::min(count, m_bytes.size() - m_offset);
        if (n > 0)
            std::memcpy(buffer, m_bytes.data() + m_offset, n);
        m_offset += n;
        return static_cast<long>(n);
    }

private:
    std::vector<uint8_t> m_bytes;
    size_t m_offset = 0;
};

struct CurlDeleter {
    void operator()(CURL *curl) const { curl_easy_cleanup(curl); }
};
struct SlistDeleter {
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};

}  // namespace

std::unique_ptr<CUrlStream> FetchUrl(const char *url, const FetchLimits &limits)
{
    if (!url || !*url || !CurlReady())
        return nullptr;
    (void)Ambry::CheckNetworkWait("FetchUrl");
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl)
        return nullptr;

    // Nothing cached on the way: ask every cache in between to go to the device.
    curl_slist *headers = curl_slist_append(nullptr, "Cache-Control: no-cache");
    if (headers)
        headers = curl_slist_append(headers, "Pragma: no-cache");
    std::unique_ptr<curl_slist, SlistDeleter> header_list(headers);

    Body body;
    body.cap = limits.max_body_bytes;
    const long stall_s = std::max(1L, (limits.stall_timeout_ms + 999) / 1000);

    CURL *h = curl.get();
    curl_easy_setopt(h, CURLOPT_URL, url);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(h, CURLOPT_USERAGENT, kAgent);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, header_list.get());
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    // Devices sit on the local network: never go through a proxy.
    curl_easy_setopt(h, CURLOPT_PROXY, "");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, limits.connect_timeout_ms);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, limits.total_timeout_ms);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, stall_s);
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.max_body_bytes));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, WriteBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);

    const CURLcode rc = curl_easy_perform(h);
    if (rc != CURLE_OK) {
        Ambry::TraceDebug("HTTP: %s: %s%s\n", url, curl_easy_strerror(rc),
                          body.overflow ? " (body too large)" : "");
        return nullptr;
    }
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        Ambry::TraceDebug("HTTP: %s: status %ld\n", url, status);
        return nullptr;
    }
    return std::make_unique<CMemoryUrlStream>(std::move(body.bytes));
}

Ambry::Ref<CFrame> FetchJpegFrame(const char *url, const FetchLimits &limits)
{
    std::unique_ptr<CUrlStream> stream = FetchUrl(url, limits);
    if (!stream)
        return nullptr;
    std::vector<uint8_t> bytes;
    uint8_t chunk[kReadChunk];
    for (;;) {
        const long n = stream->Read(chunk, sizeof chunk);
        if (n <= 0)
            break;
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    if (bytes.empty())
        return nullptr;
    DecodedPicture picture;
    if (!DecodeJpeg(bytes.data(), bytes.size(), &picture) || picture.width == 0 || picture.height == 0)
        return nullptr;
    return Ambry::Adopt<CFrame>(new CFrameJPEG(std::move(picture.pixels), picture.width, picture.height));
}

Ambry::Ref<CFrame> FetchSnapshotFrame(uint32_t host_address, const FetchLimits &limits)
{
    char host[16];
    Ambry::FormatIPv4(host_address, host);
    char url[64];
    std::snprintf(url, sizeof url, "http://%s/vw1.jpg", host);
    return FetchJpegFrame(url, limits);
}
