// Simulated USB multiplexing daemon (POSIX sockets, std::thread).
//
// Descriptor ownership: a connection's descriptors (the client's and, for a
// tunnel, the loopback peer's) are closed only by that connection's thread,
// after it has set `closing` under the simulator's mutex. Other threads stop a
// connection with shutdown() under the same mutex and only while `closing` is
// false, so they never touch a descriptor number that may have been reused.

#include "UsbmuxdSimulator.h"

#include "UsbmuxdPlist.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace kvx_sim {

namespace {

constexpr int kSendTimeoutMs = 2000;         // a listener that stops reading is dropped after this
constexpr int kLoopbackConnectTimeoutMs = 2000;
constexpr int kDetachTeardownWaitMs = 3000;  // bound on waiting for a detached device's tunnels
constexpr size_t kRelayBufferSize = 256 * 1024;
constexpr size_t kMaxIdentifierLength = 43;  // what the client keeps of a serial number
const char kBuid[] = "7B1D3A90-52C4-4E0B-9F3A-6C2E8D410A55";

void CloseFd(int fd) {
    if (fd >= 0) ::close(fd);
}

bool SetNonBlocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL, 0);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Writes all of data on a blocking socket whose send timeout bounds the wait.
bool SendAll(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Reads exactly size bytes; false on end of stream, error or shutdown.
bool RecvAll(int fd, void* buffer, size_t size) {
    char* p = static_cast<char*>(buffer);
    size_t got = 0;
    while (got < size) {
        ssize_t n = ::recv(fd, p + got, size - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

int ConnectLoopback(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        if (errno != EINPROGRESS) {
            CloseFd(fd);
            return -1;
        }
        pollfd p{fd, POLLOUT, 0};
        int r;
        do {
            r = ::poll(&p, 1, kLoopbackConnectTimeoutMs);
        } while (r < 0 && errno == EINTR);
        int err = 0;
        socklen_t len = sizeof(err);
        if (r <= 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
            CloseFd(fd);
            return -1;
        }
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return fd;
}

struct Device {
    uint32_t handle = 0;
    uint32_t product_id = 0;
    std::string identifier;
};

PlistValue AttachedMessage(const Device& d) {
    PlistValue props = PlistValue::MakeDict();
    props.Set("ConnectionSpeed", PlistValue::MakeInteger(480000000));
    props.Set("ConnectionType", PlistValue::MakeString("USB"));
    props.Set("DeviceID", PlistValue::MakeInteger(d.handle));
    props.Set("LocationID", PlistValue::MakeInteger(0x14100000 + d.handle));
    props.Set("ProductID", PlistValue::MakeInteger(d.product_id));
    props.Set("SerialNumber", PlistValue::MakeString(d.identifier));
    PlistValue msg = PlistValue::MakeDict();
    msg.Set("MessageType", PlistValue::MakeString("Attached"));
    msg.Set("DeviceID", PlistValue::MakeInteger(d.handle));
    msg.Set("Properties", props);
    return msg;
}

std::string ResultMessage(uint32_t tag, uint32_t number) {
    PlistValue msg = PlistValue::MakeDict();
    msg.Set("MessageType", PlistValue::MakeString("Result"));
    msg.Set("Number", PlistValue::MakeInteger(number));
    return EncodeUsbmuxMessage(tag, msg);
}

struct Conn {
    enum class Mode { Control, Listening, Tunnel };
    // Fields below are guarded by the simulator's mutex.
    int fd = -1;
    int peer = -1;  // loopback side of a tunnel
    Mode mode = Mode::Control;
    uint32_t tunnel_device = 0;
    bool closing = false;   // descriptors are being or have been closed
    bool finished = false;  // thread is done; may be joined
    std::thread thread;
};

// Address forms accepted by Start.
struct Address {
    bool is_unix = false;
    std::string path;
    bool v6 = false;
    uint16_t port = 0;
};

bool ParseAddress(const std::string& text, Address* out, std::string* error) {
    *out = Address();
    if (text.compare(0, 5, "UNIX:") == 0 || (text.find('/') != std::string::npos && text.find(':') == std::string::npos)) {
        out->is_unix = true;
        out->path = text.compare(0, 5, "UNIX:") == 0 ? text.substr(5) : text;
        if (out->path.empty() || out->path.size() >= sizeof(sockaddr_un{}.sun_path)) {
            *error = "bad UNIX socket path length";
            return false;
        }
        return true;
    }
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        *error = "address is neither UNIX:/path nor host:port";
        return false;
    }
    std::string host = text.substr(0, colon);
    std::string port = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host == "127.0.0.1" || host == "localhost") {
        out->v6 = false;
    } else if (host == "::1") {
        out->v6 = true;
    } else {
        *error = "only loopback addresses are served";
        return false;
    }
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(port) > 65535) {
        *error = "bad port";
        return false;
    }
    out->port = static_cast<uint16_t>(std::stoul(port));
    return true;
}

}  // namespace

std::string EncodeUsbmuxMessage(uint32_t tag, const PlistValue& payload) {
    std::string xml = WriteXmlPlist(payload);
    UsbmuxHeader h;
    h.length = static_cast<uint32_t>(sizeof(UsbmuxHeader) + xml.size());
    h.version = kUsbmuxProtocolVersion;
    h.message = kUsbmuxMessagePlist;
    h.tag = tag;
    std::string out(reinterpret_cast<const char*>(&h), sizeof(h));
    out += xml;
    return out;
}

struct UsbmuxdSimulator::Impl {
    std::mutex control;  // serialises Start, Stop and the listener faults
    mutable std::mutex mutex;
    std::condition_variable conn_done;

    Address address;
    bool have_address = false;
    bool running = false;

    int listen_fd = -1;
    int accept_wake[2] = {-1, -1};
    std::thread accept_thread;
    bool listener_open = false;  // guarded by control

    std::list<std::shared_ptr<Conn>> conns;
    std::map<std::string, Device> devices;
    std::map<std::string, std::map<uint16_t, uint16_t>> port_maps;
    std::map<std::string, std::string> pair_records;
    uint32_t next_handle = 1;
    std::atomic<int> total_connections{0};

    // -- listener ---------------------------------------------------------

    bool OpenListener(std::string* error) {
        int fd = -1;
        if (address.is_unix) {
            struct stat st;
            if (::lstat(address.path.c_str(), &st) == 0) {
                if (!S_ISSOCK(st.st_mode)) {
                    *error = "a file that is not a socket exists at " + address.path;
                    return false;
                }
                ::unlink(address.path.c_str());  // stale socket of an earlier run
            }
            fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un sa{};
            sa.sun_family = AF_UNIX;
            std::memcpy(sa.sun_path, address.path.c_str(), address.path.size() + 1);
            if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
                *error = std::string("bind UNIX socket: ") + std::strerror(errno);
                CloseFd(fd);
                return false;
            }
        } else {
            fd = ::socket(address.v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            int one = 1;
            if (fd >= 0) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
            int rc = -1;
            if (fd >= 0 && address.v6) {
                sockaddr_in6 sa{};
                sa.sin6_family = AF_INET6;
                sa.sin6_addr = in6addr_loopback;
                sa.sin6_port = htons(address.port);
                rc = ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
            } else if (fd >= 0) {
                sockaddr_in sa{};
                sa.sin_family = AF_INET;
                sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                sa.sin_port = htons(address.port);
                rc = ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
            }
            if (rc != 0) {
                *error = std::string("bind TCP socket: ") + std::strerror(errno);
                CloseFd(fd);
                return false;
            }
            sockaddr_storage bound{};
            socklen_t len = sizeof(bound);
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
            uint16_t port = address.v6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                                       : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
            std::lock_guard<std::mutex> lock(mutex);
            address.port = port;  // a restart reuses the port picked now
        }
        if (::listen(fd, 64) != 0 || ::pipe2(accept_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
            *error = std::string("listen: ") + std::strerror(errno);
            CloseFd(fd);
            if (address.is_unix) ::unlink(address.path.c_str());
            return false;
        }
        listen_fd = fd;
        try {
            accept_thread = std::thread([this] { AcceptLoop(); });
        } catch (const std::system_error&) {
            *error = "cannot start the accept thread";
            CloseListenerFds();
            return false;
        }
        listener_open = true;
        return true;
    }

    void CloseListenerFds() {
        CloseFd(listen_fd);
        CloseFd(accept_wake[0]);
        CloseFd(accept_wake[1]);
        listen_fd = accept_wake[0] = accept_wake[1] = -1;
        if (address.is_unix) ::unlink(address.path.c_str());
    }

    void CloseListener() {
        if (!listener_open) return;
        char c = 1;
        ssize_t w = ::write(accept_wake[1], &c, 1);
        (void)w;
        accept_thread.join();
        CloseListenerFds();
        listener_open = false;
    }

    void AcceptLoop() {
        for (;;) {
            pollfd p[2] = {{listen_fd, POLLIN, 0}, {accept_wake[0], POLLIN, 0}};
            int r = ::poll(p, 2, -1);
            if (r < 0 && errno != EINTR) return;
            if (p[1].revents) return;
            if (!(p[0].revents & POLLIN)) continue;
            int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            timeval tv{kSendTimeoutMs / 1000, (kSendTimeoutMs % 1000) * 1000};
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
            auto conn = std::make_shared<Conn>();
            conn->fd = fd;
            std::vector<std::shared_ptr<Conn>> done;
            {
                std::lock_guard<std::mutex> lock(mutex);
                for (auto it = conns.begin(); it != conns.end();) {
                    if ((*it)->finished) {
                        done.push_back(*it);
                        it = conns.erase(it);
                    } else {
                        ++it;
                    }
                }
                try {
                    conn->thread = std::thread([this, conn] { Serve(conn); });
                    conns.push_back(conn);
                    total_connections.fetch_add(1, std::memory_order_acq_rel);
                } catch (const std::system_error&) {
                    CloseFd(fd);
                }
            }
            for (auto& d : done) d->thread.join();
        }
    }

    // -- connections --------------------------------------------------------

    // Under mutex. Wakes the connection's thread, which then closes it.
    void InterruptLocked(Conn& c) {
        if (c.closing) return;
        ::shutdown(c.fd, SHUT_RDWR);
        if (c.peer >= 0) ::shutdown(c.peer, SHUT_RDWR);
    }

    // Under mutex. Sends an event to every listener; one that cannot take it
    // within the send timeout is dropped.
    void BroadcastLocked(const std::string& message) {
        for (auto& c : conns) {
            if (c->mode != Conn::Mode::Listening || c->closing) continue;
            if (!SendAll(c->fd, message)) InterruptLocked(*c);
        }
    }

    std::vector<Device> DevicesByHandleLocked() const {
        std::vector<Device> list;
        for (const auto& kv : devices) list.push_back(kv.second);
        std::sort(list.begin(), list.end(), [](const Device& a, const Device& b) { return a.handle < b.handle; });
        return list;
    }

    void Serve(const std::shared_ptr<Conn>& conn) {
        const int fd = conn->fd;  // constant for the connection's life
        int peer = -1;
        for (;;) {
            UsbmuxHeader h;
            if (!RecvAll(fd, &h, sizeof(h))) break;
            // A length outside the bounds means a broken or hostile client:
            // close before allocating anything for it.
            if (h.length < sizeof(h) || h.length - sizeof(h) > kUsbmuxMaxPayload) break;
            std::string payload(h.length - sizeof(h), '\0');
            if (!payload.empty() && !RecvAll(fd, &payload[0], payload.size())) break;
            if (h.version != kUsbmuxProtocolVersion) {
                // Only the property-list protocol is simulated.
                if (!SendAll(fd, ResultMessage(h.tag, kUsbmuxResultBadVersion))) break;
                continue;
            }
            PlistValue request;
            const std::string* type = nullptr;
            if (h.message == kUsbmuxMessagePlist && ParseXmlPlist(payload.data(), payload.size(), &request))
                type = request.FindString("MessageType");
            if (!type) {
                if (!SendAll(fd, ResultMessage(h.tag, kUsbmuxResultBadCommand))) break;
                continue;
            }
            if (*type == "Listen") {
                ServeListen(conn, h.tag);
                break;
            }
            if (*type == "Connect") {
                peer = HandleConnect(conn, h.tag, request);
                if (peer >= 0) {
                    Relay(fd, peer);
                    break;
                }
                continue;
            }
            if (!SendAll(fd, HandleQuery(h.tag, *type, request))) break;
        }
        Finish(conn, peer);
    }

    void Finish(const std::shared_ptr<Conn>& conn, int peer) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            conn->closing = true;
        }
        CloseFd(conn->fd);
        CloseFd(peer);
        std::lock_guard<std::mutex> lock(mutex);
        conn->finished = true;
        conn_done.notify_all();
    }

    void ServeListen(const std::shared_ptr<Conn>& conn, uint32_t tag) {
        {
            // The Result, the present devices and later events all go out
            // under the mutex, so a listener sees each device exactly once.
            std::lock_guard<std::mutex> lock(mutex);
            if (conn->closing) return;
            conn->mode = Conn::Mode::Listening;
            bool ok = SendAll(conn->fd, ResultMessage(tag, kUsbmuxResultOk));
            for (const Device& d : DevicesByHandleLocked()) {
                if (!ok) break;
                ok = SendAll(conn->fd, EncodeUsbmuxMessage(0, AttachedMessage(d)));
            }
            if (!ok) InterruptLocked(*conn);
        }
        // Clients send nothing more on a listening connection; wait for it to
        // close (or be shut down) and discard anything that arrives.
        char scratch[4096];
        for (;;) {
            ssize_t n = ::recv(conn->fd, scratch, sizeof(scratch), 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
        }
    }

    // Returns the loopback descriptor of a new tunnel after sending Result 0,
    // or -1 after sending the refusal.
    int HandleConnect(const std::shared_ptr<Conn>& conn, uint32_t tag, const PlistValue& request) {
        int64_t device_id = 0, port_number = 0;
        if (!request.FindInteger("DeviceID", &device_id) || !request.FindInteger("PortNumber", &port_number)) {
            SendAll(conn->fd, ResultMessage(tag, kUsbmuxResultBadCommand));
            return -1;
        }
        // The client sends the port in network byte order inside the integer.
        const uint16_t device_port = ntohs(static_cast<uint16_t>(port_number));
        uint16_t loopback_port = 0;
        std::string identifier;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (const auto& kv : devices) {
                if (kv.second.handle == device_id) identifier = kv.first;
            }
            if (identifier.empty()) {
                SendAll(conn->fd, ResultMessage(tag, kUsbmuxResultBadDevice));
                return -1;
            }
            auto maps = port_maps.find(identifier);
            if (maps != port_maps.end()) {
                auto it = maps->second.find(device_port);
                if (it != maps->second.end()) loopback_port = it->second;
            }
        }
        int peer = loopback_port ? ConnectLoopback(loopback_port) : -1;
        std::lock_guard<std::mutex> lock(mutex);
        auto dev = devices.find(identifier);
        if (peer < 0 || conn->closing || dev == devices.end() || dev->second.handle != device_id) {
            // Detached (or stopped) while connecting counts as a bad device.
            uint32_t result = peer < 0 ? kUsbmuxResultConnectionRefused : kUsbmuxResultBadDevice;
            CloseFd(peer);
            SendAll(conn->fd, ResultMessage(tag, result));
            return -1;
        }
        conn->mode = Conn::Mode::Tunnel;
        conn->peer = peer;
        conn->tunnel_device = static_cast<uint32_t>(device_id);
        // Sent under the mutex so that a Detach that follows cannot announce
        // the device gone before the client has its Result.
        SendAll(conn->fd, ResultMessage(tag, kUsbmuxResultOk));
        return peer;
    }

    std::string HandleQuery(uint32_t tag, const std::string& type, const PlistValue& request) {
        PlistValue reply = PlistValue::MakeDict();
        std::lock_guard<std::mutex> lock(mutex);
        if (type == "ListDevices") {
            PlistValue list = PlistValue::MakeArray();
            for (const Device& d : DevicesByHandleLocked()) list.Append(AttachedMessage(d));
            reply.Set("DeviceList", list);
            return EncodeUsbmuxMessage(tag, reply);
        }
        if (type == "ReadBUID") {
            reply.Set("BUID", PlistValue::MakeString(kBuid));
            return EncodeUsbmuxMessage(tag, reply);
        }
        const std::string* record_id = request.FindString("PairRecordID");
        if (type == "ReadPairRecord" && record_id) {
            auto it = pair_records.find(*record_id);
            if (it == pair_records.end()) return ResultMessage(tag, kUsbmuxResultBadDevice);  // ENOENT
            reply.Set("PairRecordData", PlistValue::MakeData(it->second));
            return EncodeUsbmuxMessage(tag, reply);
        }
        if (type == "SavePairRecord" && record_id) {
            const PlistValue* data = request.Find("PairRecordData");
            if (!data || data->GetType() != PlistValue::Type::Data) return ResultMessage(tag, kUsbmuxResultBadCommand);
            pair_records[*record_id] = data->Text();
            return ResultMessage(tag, kUsbmuxResultOk);
        }
        if (type == "DeletePairRecord" && record_id) {
            pair_records.erase(*record_id);
            return ResultMessage(tag, kUsbmuxResultOk);
        }
        return ResultMessage(tag, kUsbmuxResultBadCommand);
    }

    // Copies bytes both ways until either side ends or fails, or the
    // connection is shut down; there is no half-close, as with the daemon.
    // Each direction reads only when its buffer is empty, so whatever was read
    // from a side has been delivered before that side's end is noticed.
    static void Relay(int client, int peer) {
        if (!SetNonBlocking(client) || !SetNonBlocking(peer)) return;
        struct Direction {
            int from, to;
            std::vector<char> buffer;
            size_t offset = 0, length = 0;
        };
        Direction up{client, peer, std::vector<char>(kRelayBufferSize)};
        Direction down{peer, client, std::vector<char>(kRelayBufferSize)};
        // False when the tunnel is over.
        auto pump = [](Direction& d, bool readable, bool writable) {
            if (d.length == 0 && readable) {
                ssize_t n = ::recv(d.from, d.buffer.data(), d.buffer.size(), 0);
                if (n == 0) return false;
                if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
                d.offset = 0;
                d.length = static_cast<size_t>(n);
                writable = true;  // try at once; usually the whole chunk fits
            }
            if (d.length > 0 && writable) {
                ssize_t n = ::send(d.to, d.buffer.data() + d.offset, d.length, MSG_NOSIGNAL);
                if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
                d.offset += static_cast<size_t>(n);
                d.length -= static_cast<size_t>(n);
            }
            return true;
        };
        for (;;) {
            // A side with nothing to do is left out of the poll, so that a
            // hang-up on it (always reported) cannot spin the loop while the
            // other side drains.
            short ce = static_cast<short>((up.length == 0 ? POLLIN : 0) | (down.length > 0 ? POLLOUT : 0));
            short pe = static_cast<short>((down.length == 0 ? POLLIN : 0) | (up.length > 0 ? POLLOUT : 0));
            pollfd p[2] = {{ce ? client : -1, ce, 0}, {pe ? peer : -1, pe, 0}};
            int r = ::poll(p, 2, -1);
            if (r < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if ((p[0].revents | p[1].revents) & (POLLERR | POLLNVAL)) return;
            const short in = POLLIN | POLLHUP;
            if (!pump(up, (p[0].revents & in) != 0, (p[1].revents & POLLOUT) != 0)) return;
            if (!pump(down, (p[1].revents & in) != 0, (p[0].revents & POLLOUT) != 0)) return;
        }
    }
};

// ---------------------------------------------------------------------------

UsbmuxdSimulator::UsbmuxdSimulator() : m_Impl(new Impl) {}

UsbmuxdSimulator::~UsbmuxdSimulator() {
    Stop();
}

bool UsbmuxdSimulator::Start(const std::string& address, std::string* error) {
    std::string scratch;
    std::string& err = error ? *error : scratch;
    err.clear();
    Impl& s = *m_Impl;
    std::lock_guard<std::mutex> control(s.control);
    if (s.running) {
        err = "already running";
        return false;
    }
    Address parsed;
    if (!ParseAddress(address, &parsed, &err)) return false;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.address = parsed;
        s.have_address = true;
    }
    if (!s.OpenListener(&err)) return false;
    std::lock_guard<std::mutex> lock(s.mutex);
    s.running = true;
    return true;
}

void UsbmuxdSimulator::Stop() {
    Impl& s = *m_Impl;
    std::lock_guard<std::mutex> control(s.control);
    s.CloseListener();  // no new connections after this
    std::list<std::shared_ptr<Conn>> conns;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.running = false;
        for (auto& c : s.conns) s.InterruptLocked(*c);
        conns.swap(s.conns);
    }
    for (auto& c : conns) {
        if (c->thread.joinable()) c->thread.join();
    }
}

bool UsbmuxdSimulator::IsRunning() const {
    std::lock_guard<std::mutex> lock(m_Impl->mutex);
    return m_Impl->running;
}

std::string UsbmuxdSimulator::SocketAddress() const {
    std::lock_guard<std::mutex> lock(m_Impl->mutex);
    const Address& a = m_Impl->address;
    if (!m_Impl->have_address) return std::string();
    if (a.is_unix) return "UNIX:" + a.path;
    return (a.v6 ? "[::1]:" : "127.0.0.1:") + std::to_string(a.port);
}

uint32_t UsbmuxdSimulator::AddDevice(const std::string& identifier, uint32_t product_id) {
    if (identifier.empty() || identifier.size() > kMaxIdentifierLength) return 0;
    Impl& s = *m_Impl;
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.devices.count(identifier)) return 0;
    Device d;
    d.handle = s.next_handle++;
    d.product_id = product_id;
    d.identifier = identifier;
    s.devices[identifier] = d;
    s.BroadcastLocked(EncodeUsbmuxMessage(0, AttachedMessage(d)));
    return d.handle;
}

bool UsbmuxdSimulator::Detach(const std::string& identifier) {
    Impl& s = *m_Impl;
    std::unique_lock<std::mutex> lock(s.mutex);
    auto it = s.devices.find(identifier);
    if (it == s.devices.end()) return false;
    const uint32_t handle = it->second.handle;
    s.devices.erase(it);
    std::vector<std::shared_ptr<Conn>> tunnels;
    for (auto& c : s.conns) {
        if (c->mode == Conn::Mode::Tunnel && c->tunnel_device == handle && !c->finished) {
            s.InterruptLocked(*c);
            tunnels.push_back(c);
        }
    }
    // The device's tunnels are closed before it is announced gone.
    s.conn_done.wait_for(lock, std::chrono::milliseconds(kDetachTeardownWaitMs), [&] {
        return std::all_of(tunnels.begin(), tunnels.end(), [](const std::shared_ptr<Conn>& c) { return c->finished; });
    });
    PlistValue msg = PlistValue::MakeDict();
    msg.Set("MessageType", PlistValue::MakeString("Detached"));
    msg.Set("DeviceID", PlistValue::MakeInteger(handle));
    s.BroadcastLocked(EncodeUsbmuxMessage(0, msg));
    return true;
}

uint32_t UsbmuxdSimulator::HandleOf(const std::string& identifier) const {
    std::lock_guard<std::mutex> lock(m_Impl->mutex);
    auto it = m_Impl->devices.find(identifier);
    return it == m_Impl->devices.end() ? 0 : it->second.handle;
}

bool UsbmuxdSimulator::MapPort(const std::string& identifier, uint16_t device_port, uint16_t loopback_port) {
    if (device_port == 0 || loopback_port == 0) return false;
    std::lock_guard<std::mutex> lock(m_Impl->mutex);
    m_Impl->port_maps[identifier][device_port] = loopback_port;
    return true;
}

bool UsbmuxdSimulator::UnmapPort(const std::string& identifier, uint16_t device_port) {
    std::lock_guard<std::mutex> lock(m_Impl->mutex);
    auto it = m_Impl->port_maps.find(identifier);
    return it != m_Impl->port_maps.end() && it->second.erase(device_port) > 0;
}

void UsbmuxdSimulator::DropListenConnections() {
    std::lock_guard<std::mutex> lock(m_Impl->mutex);
    for (auto& c : m_Impl->conns) {
        if (c->mode == Conn::Mode::Listening) m_Impl->InterruptLocked(*c);
    }
}

void UsbmuxdSimulator::DropAllConnections() {
    std::lock_guard<std::mutex> lock(m_Impl->mutex);
    for (auto& c : m_Impl->conns) m_Impl->InterruptLocked(*c);
}

void UsbmuxdSimulator::StopListener() {
    std::lock_guard<std::mutex> control(m_Impl->control);
    m_Impl->CloseListener();
}

bool UsbmuxdSimulator::RestartListener(std::string* error) {
    std::string scratch;
    std::string& err = error ? *error : scratch;
    err.clear();
    std::lock_guard<std::mutex> control(m_Impl->control);
    if (!m_Impl->running) {
        err = "not running";
        return false;
    }
    if (m_Impl->listener_open) return true;
    return m_Impl->OpenListener(&err);
}

int UsbmuxdSimulator::TotalConnections() const {
    return m_Impl->total_connections.load(std::memory_order_acquire);
}

int UsbmuxdSimulator::OpenConnections() const {
    std::lock_guard<std::mutex> lock(m_Impl->mutex);
    return static_cast<int>(std::count_if(m_Impl->conns.begin(), m_Impl->conns.end(),
                                          [](const std::shared_ptr<Conn>& c) { return !c->closing; }));
}

int UsbmuxdSimulator::ActiveListeners() const {
    std::lock_guard<std::mutex> lock(m_Impl->mutex);
    return static_cast<int>(std::count_if(m_Impl->conns.begin(), m_Impl->conns.end(), [](const std::shared_ptr<Conn>& c) {
        return !c->closing && c->mode == Conn::Mode::Listening;
    }));
}

int UsbmuxdSimulator::ActiveTunnels() const {
    std::lock_guard<std::mutex> lock(m_Impl->mutex);
    return static_cast<int>(std::count_if(m_Impl->conns.begin(), m_Impl->conns.end(), [](const std::shared_ptr<Conn>& c) {
        return !c->closing && c->mode == Conn::Mode::Tunnel;
    }));
}

int UsbmuxdSimulator::DeviceCount() const {
    std::lock_guard<std::mutex> lock(m_Impl->mutex);
    return static_cast<int>(m_Impl->devices.size());
}

}  // namespace kvx_sim
