// The discovery responder: unicast requests on the appliance's own address and,
// where allowed, broadcasts on a socket shared by every appliance.
#include "Appliance.h"

#include <discovery/Discovery.h>

#include <ambry/ByteCursor.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace Sim {

namespace {

// One datagram with its source and its destination address (host order; the
// destination is 0 when the socket does not report it). -1 on failure.
long ReceiveDatagram(int sock, uint8_t *buf, size_t capacity, uint32_t &from, uint16_t &from_port, uint32_t &to)
{
    sockaddr_in src{};
    iovec iov{buf, capacity};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr msg{};
    msg.msg_name = &src;
    msg.msg_namelen = sizeof src;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    long n = ::recvmsg(sock, &msg, MSG_DONTWAIT);
    if (n < 0 || (msg.msg_flags & MSG_TRUNC))
        return -1;
    from = ntohl(src.sin_addr.s_addr);
    from_port = ntohs(src.sin_port);
    to = 0;
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            to = ntohl(info.ipi_addr.s_addr);
        }
    return n;
}

// The limited broadcast, the loopback network's broadcast or the broadcast
// address of one of the host's interfaces.
bool IsBroadcastAddress(uint32_t ip)
{
    if (ip == 0xFFFFFFFFu || ip == 0x7FFFFFFFu)
        return true;
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0)
        return false;
    bool found = false;
    for (ifaddrs *i = list; i && !found; i = i->ifa_next)
        if ((i->ifa_flags & IFF_BROADCAST) && i->ifa_broadaddr && i->ifa_broadaddr->sa_family == AF_INET)
            found = ntohl(reinterpret_cast<const sockaddr_in *>(i->ifa_broadaddr)->sin_addr.s_addr) == ip;
    ::freeifaddrs(list);
    return found;
}

}  // namespace

// Reads one discovery request from `sock`; the reply always leaves from the
// appliance's own address. On the broadcast socket only broadcasts count: a
// unicast there was meant for an address no appliance has.
void Simulator::Impl::HandleDiscovery(Device &d, int sock, bool broadcast_socket)
{
    uint8_t buf[512];
    uint32_t from = 0, to = 0;
    uint16_t from_port = 0;
    long n = ReceiveDatagram(sock, buf, sizeof buf, from, from_port, to);
    if (broadcast_socket && !IsBroadcastAddress(to))
        return;
    // A request: type 0, the searcher's cookie, then words of its own.
    Ambry::BigEndianReader request(buf, n > 0 ? size_t(n) : 0);
    uint8_t type = 0;
    uint32_t cookie = 0;
    if (n != long(DISCOVERY_REQUEST_SIZE) || !request.U8(type) || type != 0 || !request.U32(cookie))
        return;
    {
        std::lock_guard<std::mutex> lock(d.lock);
        d.stats.discovery_requests++;
    }
    if (verbose)
        Log(d, "discovery request from %s:%u", FormatAddress(from).c_str(), from_port);
    DiscoveryRecord record;
    record.device_type = d.cfg.type;
    std::memcpy(record.serial_number, d.cfg.serial.data(),
                std::min(d.cfg.serial.size(), sizeof record.serial_number - 1));
    // The firmware version, as the greeting announces it.
    record.device_value1 = kFirmwareVersion[0];
    record.device_value2 = kFirmwareVersion[1];
    record.device_value3 = kFirmwareVersion[2];
    record.port = d.ep.port == DISCOVERY_PORT ? 0 : d.ep.port;
    uint8_t out[DISCOVERY_REPLY_SIZE];
    BuildDiscoveryReply(cookie, record, out);
    Ambry::SocketSendTo(d.udp.Get(), out, sizeof out, from, from_port);
}

// A socket on 0.0.0.0 and the discovery port that shares the port with the
// other appliances' (address reuse), so each of them sees every broadcast. Not
// fatal: unicast discovery keeps working without it.
void Simulator::Impl::ListenBroadcast(Device &d)
{
    Ambry::CSocket s(Ambry::SocketCreate(Ambry::SOCKET_DATAGRAM));
    int on = 1;
    if (!s.IsValid() || !Ambry::SocketSetReuseAddress(s.Get(), true) ||
        ::setsockopt(s.Get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0 ||
        !Ambry::SocketBind(s.Get(), 0, d.ep.udp_port)) {
        std::fprintf(stderr, "tessaline-sim: %s: broadcasts will not be answered (cannot listen on 0.0.0.0:%u)\n",
                     d.cfg.serial.c_str(), unsigned(d.ep.udp_port));
        return;
    }
    ::fcntl(s.Get(), F_SETFD, FD_CLOEXEC);
    d.broadcast = std::move(s);
}

}  // namespace Sim
