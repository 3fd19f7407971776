// The appliance's web server: "/vw1.jpg" (the current picture) and "/admin".
#include "Appliance.h"

#include <sys/socket.h>

namespace Sim {

void Simulator::Impl::HandleHttp(Device &d)
{
    Ambry::CSocket c(Ambry::SocketAccept(d.http.Get(), nullptr, nullptr));
    if (!c.IsValid())
        return;
    std::string request;
    char buf[1024];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 8192) {
        if (Ambry::SocketWait(c.Get(), Ambry::SOCKET_READABLE, 2000) <= 0)
            return;
        long n = Ambry::SocketReceive(c.Get(), buf, sizeof buf);
        if (n <= 0)
            return;
        request.append(buf, size_t(n));
    }
    {
        std::lock_guard<std::mutex> lock(d.lock);
        d.stats.http_requests++;
    }
    std::string path;
    if (request.rfind("GET ", 0) == 0) {
        size_t end = request.find(' ', 4);
        path = request.substr(4, end == std::string::npos ? std::string::npos : end - 4);
    }
    if (verbose)
        Log(d, "http GET %s", path.c_str());
    std::string head;
    std::vector<uint8_t> body;
    if (path == "/vw1.jpg") {
        VideoMode mode = CurrentMode(d);
        int w = mode.width, h = mode.height;
        if (w <= 0) {
            w = 640;
            h = 480;
            DeviceConfig blank = d.cfg;
            blank.serial = "NO SIGNAL";
            std::vector<uint8_t> pic(size_t(w) * h * 3);
            RenderPattern(blank, 0, w, h, pic.data());
            body = EncodeJpeg(pic.data(), w, h);
        } else {
            body = EncodeJpeg(Picture(d, w, h)->data(), w, h);
        }
        head = "HTTP/1.0 200 OK\r\nContent-Type: image/jpeg\r\n";
    } else if (path == "/admin") {
        std::string name, serial = d.cfg.serial;
        {
            std::lock_guard<std::mutex> lock(d.lock);
            name = d.cfg.name;
        }
        std::string page = "<!DOCTYPE html>\n<html><head><title>Tessaline appliance " + serial +
                           "</title></head><body><h1>Tessaline appliance</h1><p>Serial number: " + serial +
                           "</p><p>Name: " + name + "</p><p>Device type: " + std::to_string(d.cfg.type) +
                           "</p></body></html>\n";
        body.assign(page.begin(), page.end());
        head = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n";
    } else {
        std::string page = "not found\n";
        body.assign(page.begin(), page.end());
        head = "HTTP/1.0 404 Not Found\r\nContent-Type: text/plain\r\n";
    }
    head += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    Ambry::SocketSetBlocking(c.Get(), true);
    Ambry::SocketSend(c.Get(), head.data(), head.size());
    size_t sent = 0;
    while (sent < body.size()) {
        long n = Ambry::SocketSend(c.Get(), body.data() + sent, body.size() - sent);
        if (n <= 0)
            break;
        sent += size_t(n);
    }
    ::shutdown(c.Get(), SHUT_WR);
}

}  // namespace Sim
