// A device's side of discovery for namespace tests: listens on 0.0.0.0:5557 (so
// broadcasts arrive), records who asked and answers every request with one reply.
#pragma once

#include <discovery/Discovery.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "NetLab.h"

class DiscoveryResponder {
public:
    // Starts answering inside namespace `ns` of `lab` with `reply`.
    DiscoveryResponder(const NetLab &lab, const std::string &ns, const DiscoveryRecord &reply) : m_reply(reply)
    {
        m_thread = lab.StartIn(ns, [this] { Serve(); });
        for (int i = 0; i < 400 && !m_ready; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ~DiscoveryResponder()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    bool Ready() const { return m_ready; }
    // Source addresses (host order) of the requests seen, sorted.
    std::vector<uint32_t> Sources()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<uint32_t> v = m_sources;
        std::sort(v.begin(), v.end());
        return v;
    }

private:
    void Serve()
    {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(DISCOVERY_PORT);
        if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
            close(fd);
            return;
        }
        m_ready = true;
        while (!m_stop) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            uint8_t req[64];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = recvfrom(fd, req, sizeof req, 0, reinterpret_cast<sockaddr *>(&from), &len);
            if (n != ssize_t(DISCOVERY_REQUEST_SIZE) || req[0] != 0)
                continue;
            uint32_t cookie;
            std::memcpy(&cookie, req + 1, 4);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_sources.push_back(ntohl(from.sin_addr.s_addr));
            }
            uint8_t reply[DISCOVERY_REPLY_SIZE];
            BuildDiscoveryReply(ntohl(cookie), m_reply, reply);
            sendto(fd, reply, sizeof reply, 0, reinterpret_cast<sockaddr *>(&from), sizeof from);
        }
        close(fd);
    }

    DiscoveryRecord m_reply;
    std::thread m_thread;
    std::atomic<bool> m_ready{false}, m_stop{false};
    std::mutex m_mutex;
    std::vector<uint32_t> m_sources;
};
