// The simulated multiplexing daemon, judged two ways: by a raw client of our
// own that checks the bytes on the wire, and by the unmodified client library
// from the distribution (loaded with dlopen, never linked), which must find
// devices, see them come and go, and get working tunnels from it.

#include "UsbmuxdPlist.h"
#include "UsbmuxdSimulator.h"

#include "AppSimulator.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using kvx_sim::PlistValue;
using kvx_sim::UsbmuxdSimulator;
using Clock = std::chrono::steady_clock;

using kvx_test::WaitUntil;

// Reads exactly size bytes from a (possibly non-blocking) descriptor.
bool ReadFully(int fd, void* buffer, size_t size, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    char* p = static_cast<char*>(buffer);
    size_t got = 0;
    while (got < size) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        pollfd pfd{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&pfd, 1, left) <= 0) return false;
        ssize_t n = ::recv(fd, p + got, size - got, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

bool WriteFully(int fd, const void* data, size_t size, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    const char* p = static_cast<const char*>(data);
    size_t sent = 0;
    while (sent < size) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        pollfd pfd{fd, POLLOUT, 0};
        if (left <= 0 || ::poll(&pfd, 1, left) <= 0) return false;
        ssize_t n = ::send(fd, p + sent, size - sent, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// True when the peer closed: end of stream (or reset) within timeout_ms.
bool SeesEndOfStream(int fd, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    char scratch[4096];
    for (;;) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        pollfd pfd{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&pfd, 1, left) <= 0) return false;
        ssize_t n = ::recv(fd, scratch, sizeof(scratch), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return true;
    }
}

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(size, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

// A loopback TCP server standing in for an app on a device: it sends an
// optional greeting, then echoes everything back, one thread per connection.
class EchoServer {
public:
    explicit EchoServer(std::string greeting = std::string()) : m_Greeting(std::move(greeting)) {
        m_Listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(sa);
        if (::bind(m_Listen, reinterpret_cast<sockaddr*>(&sa), len) == 0 && ::listen(m_Listen, 16) == 0 &&
            ::getsockname(m_Listen, reinterpret_cast<sockaddr*>(&sa), &len) == 0)
            m_Port = ntohs(sa.sin_port);
        m_Acceptor = std::thread([this] { AcceptLoop(); });
    }
    ~EchoServer() { Stop(); }

    uint16_t Port() const { return m_Port; }
    int Accepted() const { return m_Accepted.load(); }
    int Ended() const { return m_Ended.load(); }

    void Stop() {
        if (m_Listen < 0) return;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Stopping = true;
            for (int fd : m_Open) ::shutdown(fd, SHUT_RDWR);
        }
        ::shutdown(m_Listen, SHUT_RDWR);
        m_Acceptor.join();
        for (auto& t : m_Workers) t.join();
        ::close(m_Listen);
        m_Listen = -1;
    }

private:
    void AcceptLoop() {
        for (;;) {
            int fd = ::accept4(m_Listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;  // shut down
            std::lock_guard<std::mutex> lock(m_Mutex);
            if (m_Stopping) {
                ::close(fd);
                return;
            }
            m_Accepted++;
            m_Open.push_back(fd);
            m_Workers.emplace_back([this, fd] { Echo(fd); });
        }
    }
    void Echo(int fd) {
        bool ok = m_Greeting.empty() || ::send(fd, m_Greeting.data(), m_Greeting.size(), MSG_NOSIGNAL) > 0;
        std::vector<char> buf(64 * 1024);
        while (ok) {
            ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
            if (n <= 0) break;
            ok = WriteFully(fd, buf.data(), static_cast<size_t>(n), 10000);
        }
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Open.erase(std::find(m_Open.begin(), m_Open.end(), fd));
        ::close(fd);
        m_Ended++;
    }

    std::string m_Greeting;
    int m_Listen = -1;
    uint16_t m_Port = 0;
    std::thread m_Acceptor;
    std::mutex m_Mutex;
    bool m_Stopping = false;
    std::vector<int> m_Open;
    std::vector<std::thread> m_Workers;
    std::atomic<int> m_Accepted{0};
    std::atomic<int> m_Ended{0};
};

// ===========================================================================
// Property lists

TEST(UsbmuxdSimPlist, ReadsARequestAsTheClientWritesIt) {
    const std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//X//DTD PLIST 1.0//EN\" \"http://example.invalid/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n<dict>\n"
        "\t<key>ClientVersionString</key>\n\t<string>libusbmuxd 2.0.2</string>\n"
        "\t<key>DeviceID</key>\n\t<integer>3</integer>\n"
        "\t<key>MessageType</key>\n\t<string>Connect</string>\n"
        "\t<key>PortNumber</key>\n\t<integer>41759</integer>\n"
        "\t<key>ProgName</key>\n\t<string>a &amp; b &lt;&#x41;&#66;&gt;</string>\n"
        "\t<key>kLibUSBMuxVersion</key>\n\t<integer>3</integer>\n"
        "\t<key>Record</key>\n\t<data>\n\tAAEC/w==\n\t</data>\n"
        "\t<key>Flags</key>\n\t<array><true/><false/><string/><dict/></array>\n"
        "</dict>\n</plist>\n";
    PlistValue v;
    std::string error;
    ASSERT_TRUE(kvx_sim::ParseXmlPlist(xml.data(), xml.size(), &v, &error)) << error;
    ASSERT_TRUE(v.IsDict());
    ASSERT_NE(v.FindString("MessageType"), nullptr);
    EXPECT_EQ(*v.FindString("MessageType"), "Connect");
    int64_t port = 0;
    ASSERT_TRUE(v.FindInteger("PortNumber", &port));
    EXPECT_EQ(ntohs(static_cast<uint16_t>(port)), 8099);
    EXPECT_EQ(*v.FindString("ProgName"), "a & b <AB>");
    ASSERT_NE(v.Find("Record"), nullptr);
    EXPECT_EQ(v.Find("Record")->Text(), std::string("\x00\x01\x02\xff", 4));
    const PlistValue* flags = v.Find("Flags");
    ASSERT_TRUE(flags && flags->GetCount() == 4);
    EXPECT_TRUE(flags->At(0).Boolean());
    EXPECT_FALSE(flags->At(1).Boolean());
    EXPECT_EQ(flags->At(2).GetType(), PlistValue::Type::String);
    EXPECT_EQ(flags->At(3).GetType(), PlistValue::Type::Dict);
}

TEST(UsbmuxdSimPlist, WrittenDocumentReadsBackEqual) {
    PlistValue inner = PlistValue::MakeArray();
    inner.Append(PlistValue::MakeInteger(-9223372036854775807LL - 1));
    inner.Append(PlistValue::MakeInteger(9223372036854775807LL));
    inner.Append(PlistValue::MakeBoolean(true));
    PlistValue v = PlistValue::MakeDict();
    v.Set("Text", PlistValue::MakeString("<&\"'>\t\xc3\xa9"));
    v.Set("Blob", PlistValue::MakeData(RandomBytes(1001, 7)));
    v.Set("Empty", PlistValue::MakeData(""));
    v.Set("List", inner);
    std::string xml = kvx_sim::WriteXmlPlist(v);
    PlistValue back;
    std::string error;
    ASSERT_TRUE(kvx_sim::ParseXmlPlist(xml.data(), xml.size(), &back, &error)) << error << "\n" << xml;
    EXPECT_EQ(*back.FindString("Text"), "<&\"'>\t\xc3\xa9");
    EXPECT_EQ(back.Find("Blob")->Text(), RandomBytes(1001, 7));
    EXPECT_EQ(back.Find("Empty")->Text(), "");
    const PlistValue* list = back.Find("List");
    ASSERT_TRUE(list && list->GetCount() == 3);
    EXPECT_EQ(list->At(0).Integer(), -9223372036854775807LL - 1);
    EXPECT_EQ(list->At(1).Integer(), 9223372036854775807LL);
    // Every strict prefix of a valid document is incomplete and must be
    // rejected, never read past its end.
    for (size_t cut = 0; cut + 1 < xml.size(); ++cut) {
        std::string prefix = xml.substr(0, cut);
        PlistValue part;
        EXPECT_FALSE(kvx_sim::ParseXmlPlist(prefix.data(), prefix.size(), &part)) << "cut at " << cut;
        EXPECT_EQ(part.GetType(), PlistValue::Type::Invalid);
    }
}

TEST(UsbmuxdSimPlist, RejectsMalformedAndOverLimitInput) {
    auto wrap = [](const std::string& body) { return "<plist version=\"1.0\">" + body + "</plist>"; };
    std::string deep;
    for (int i = 0; i < 20; ++i) deep += "<array>";
    for (int i = 0; i < 20; ++i) deep += "</array>";
    std::string wide = "<array>";
    for (int i = 0; i < 5000; ++i) wide += "<true/>";
    wide += "</array>";
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"empty input", ""},
        {"binary form", std::string("bplist00\xd1\x01\x02", 11)},
        {"no plist element", "<dict></dict>"},
        {"value missing", wrap("")},
        {"two values", wrap("<true/><true/>")},
        {"unclosed dict", "<plist><dict><key>a</key><true/></plist>"},
        {"mismatched close", wrap("<string>a</integer>")},
        {"value without key", wrap("<dict><string>a</string></dict>")},
        {"key without value", wrap("<dict><key>a</key></dict>")},
        {"duplicate key", wrap("<dict><key>a</key><true/><key>a</key><false/></dict>")},
        {"unknown entity", wrap("<string>&nbsp;</string>")},
        {"unterminated entity", wrap("<string>&amp</string>")},
        {"NUL reference", wrap("<string>&#0;</string>")},
        {"surrogate reference", wrap("<string>&#xD800;</string>")},
        {"integer overflow", wrap("<integer>9223372036854775808</integer>")},
        {"integer junk", wrap("<integer>12a</integer>")},
        {"integer empty", wrap("<integer></integer>")},
        {"bad base64", wrap("<data>AA*=</data>")},
        {"unknown element", wrap("<uid>1</uid>")},
        {"DOCTYPE subset", "<!DOCTYPE plist [<!ENTITY x \"y\">]>" + wrap("<true/>")},
        {"unterminated comment", "<!-- " + wrap("<true/>")},
        {"trailing garbage", wrap("<true/>") + "x"},
        {"too deep", wrap(deep)},
        {"too many nodes", wrap(wide)},
    };
    for (const auto& c : cases) {
        PlistValue v = PlistValue::MakeString("stale");
        std::string error;
        EXPECT_FALSE(kvx_sim::ParseXmlPlist(c.second.data(), c.second.size(), &v, &error)) << c.first;
        EXPECT_EQ(v.GetType(), PlistValue::Type::Invalid) << c.first;
        EXPECT_FALSE(error.empty()) << c.first;
    }
}

// ===========================================================================
// Wire protocol, seen by a raw client

std::string SocketPathFor(const char* what) {
    return "/tmp/kvx-muxsim-" + std::to_string(::getpid()) + "-" + what + ".sock";
}

int ConnectUnix(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strncpy(sa.sun_path, path.c_str(), sizeof(sa.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string Request(uint32_t tag, const std::string& type, const std::vector<std::pair<std::string, int64_t>>& ints = {}) {
    PlistValue v = PlistValue::MakeDict();
    v.Set("MessageType", PlistValue::MakeString(type));
    v.Set("ClientVersionString", PlistValue::MakeString("raw test client"));
    for (const auto& kv : ints) v.Set(kv.first, PlistValue::MakeInteger(kv.second));
    return kvx_sim::EncodeUsbmuxMessage(tag, v);
}

std::string RawHeader(uint32_t length, uint32_t version, uint32_t message, uint32_t tag) {
    kvx_sim::UsbmuxHeader h{length, version, message, tag};
    return std::string(reinterpret_cast<const char*>(&h), sizeof(h));
}

// Reads one message the way the client library does: the header with a single
// recv (so it must have been sent in one piece), then the payload.
bool ReadMessage(int fd, kvx_sim::UsbmuxHeader* h, PlistValue* body, int timeout_ms = 30000) {
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, timeout_ms) <= 0) return false;
    if (::recv(fd, h, sizeof(*h), 0) != static_cast<ssize_t>(sizeof(*h))) return false;
    if (h->length < 16 || h->length > 16 + kvx_sim::kUsbmuxMaxPayload) return false;
    std::string payload(h->length - 16, '\0');
    if (!ReadFully(fd, &payload[0], payload.size(), timeout_ms)) return false;
    return kvx_sim::ParseXmlPlist(payload.data(), payload.size(), body);
}

int64_t ResultNumber(const PlistValue& v) {
    int64_t n = -1;
    if (!v.FindString("MessageType") || *v.FindString("MessageType") != "Result" || !v.FindInteger("Number", &n)) return -1;
    return n;
}

class UsbmuxdSimWire : public ::testing::Test {
protected:
    void SetUp() override {
        m_Path = SocketPathFor("wire");
        std::string error;
        ASSERT_TRUE(m_Sim.Start("UNIX:" + m_Path, &error)) << error;
    }
    void TearDown() override { m_Sim.Stop(); }

    // Sends one request on a fresh connection and returns the reply.
    PlistValue Ask(const std::string& request, uint32_t expected_tag) {
        int fd = ConnectUnix(m_Path);
        EXPECT_GE(fd, 0);
        kvx_sim::UsbmuxHeader h{};
        PlistValue reply;
        EXPECT_TRUE(WriteFully(fd, request.data(), request.size(), 30000));
        EXPECT_TRUE(ReadMessage(fd, &h, &reply));
        EXPECT_EQ(h.tag, expected_tag);
        EXPECT_EQ(h.version, 1u);
        EXPECT_EQ(h.message, 8u);
        ::close(fd);
        return reply;
    }

    std::string m_Path;
    UsbmuxdSimulator m_Sim;
};

TEST_F(UsbmuxdSimWire, ListenAnswersThenAnnouncesPresentAndNewDevices) {
    ASSERT_EQ(m_Sim.AddDevice("dev-one", 0x1291), 1u);
    int fd = ConnectUnix(m_Path);
    ASSERT_GE(fd, 0);
    std::string listen = Request(5, "Listen");
    ASSERT_TRUE(WriteFully(fd, listen.data(), listen.size(), 30000));
    kvx_sim::UsbmuxHeader h{};
    PlistValue v;
    ASSERT_TRUE(ReadMessage(fd, &h, &v));
    EXPECT_EQ(h.tag, 5u);
    EXPECT_EQ(ResultNumber(v), 0);
    ASSERT_TRUE(ReadMessage(fd, &h, &v));
    EXPECT_EQ(h.tag, 0u);
    EXPECT_EQ(*v.FindString("MessageType"), "Attached");
    const PlistValue* props = v.Find("Properties");
    ASSERT_NE(props, nullptr);
    int64_t n = 0;
    EXPECT_TRUE(props->FindInteger("ProductID", &n) && n == 0x1291);
    EXPECT_TRUE(props->FindInteger("DeviceID", &n) && n == 1);
    EXPECT_EQ(*props->FindString("SerialNumber"), "dev-one");
    EXPECT_EQ(*props->FindString("ConnectionType"), "USB");
    EXPECT_TRUE(WaitUntil([&] { return m_Sim.ActiveListeners() == 1; }, 30000));

    ASSERT_EQ(m_Sim.AddDevice("dev-two", 0x1292), 2u);
    ASSERT_TRUE(ReadMessage(fd, &h, &v));
    EXPECT_EQ(*v.FindString("MessageType"), "Attached");
    EXPECT_TRUE(v.FindInteger("DeviceID", &n) && n == 2);
    ASSERT_TRUE(m_Sim.Detach("dev-one"));
    ASSERT_TRUE(ReadMessage(fd, &h, &v));
    EXPECT_EQ(*v.FindString("MessageType"), "Detached");
    EXPECT_TRUE(v.FindInteger("DeviceID", &n) && n == 1);
    EXPECT_EQ(h.tag, 0u);

    // A handle is never reused, and attaching a present identifier fails.
    EXPECT_EQ(m_Sim.AddDevice("dev-two", 0x1292), 0u);
    EXPECT_EQ(m_Sim.AddDevice("dev-one", 0x1291), 3u);
    EXPECT_EQ(m_Sim.AddDevice("", 0x1291), 0u);
    EXPECT_EQ(m_Sim.AddDevice(std::string(44, 'x'), 0x1291), 0u);
    ::close(fd);
    EXPECT_TRUE(WaitUntil([&] { return m_Sim.ActiveListeners() == 0; }, 30000));
}

TEST_F(UsbmuxdSimWire, AnswersQueriesAndRefusesWhatItCannotServe) {
    EchoServer app;
    uint32_t handle = m_Sim.AddDevice("dev-q", 0x1290);
    ASSERT_TRUE(m_Sim.MapPort("dev-q", 8099, app.Port()));
    // A port whose loopback side has nobody listening: bind and close one.
    EchoServer gone;
    uint16_t dead_port = gone.Port();
    gone.Stop();
    ASSERT_TRUE(m_Sim.MapPort("dev-q", 8100, dead_port));
    auto port = [](uint16_t p) { return static_cast<int64_t>(htons(p)); };

    struct Case {
        const char* what;
        std::string request;
        int64_t expected;  // Result number
    };
    const std::vector<Case> cases = {
        {"unknown message type", Request(7, "Frobnicate"), 1},
        {"connect to unknown device", Request(7, "Connect", {{"DeviceID", 99}, {"PortNumber", port(8099)}}), 2},
        {"connect to unmapped port", Request(7, "Connect", {{"DeviceID", handle}, {"PortNumber", port(8101)}}), 3},
        {"connect where nothing listens", Request(7, "Connect", {{"DeviceID", handle}, {"PortNumber", port(8100)}}), 3},
        {"port in host order is another port", Request(7, "Connect", {{"DeviceID", handle}, {"PortNumber", 8099}}), 3},
        {"connect without port", Request(7, "Connect", {{"DeviceID", handle}}), 1},
        {"protocol version 2", RawHeader(16, 2, 8, 7), 6},
        {"binary message type", RawHeader(16, 1, 3, 7), 1},
        {"payload not a plist", RawHeader(20, 1, 8, 7) + "abcd", 1},
        {"read missing pair record", Request(7, "ReadPairRecord"), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(ResultNumber(Ask(c.request, 7)), c.expected);
    }
    EXPECT_EQ(app.Accepted(), 0);

    PlistValue list = Ask(Request(3, "ListDevices"), 3);
    const PlistValue* devices = list.Find("DeviceList");
    ASSERT_TRUE(devices && devices->GetCount() == 1);
    int64_t id = 0;
    EXPECT_TRUE(devices->At(0).FindInteger("DeviceID", &id) && id == handle);
    PlistValue buid = Ask(Request(4, "ReadBUID"), 4);
    ASSERT_NE(buid.FindString("BUID"), nullptr);
    EXPECT_FALSE(buid.FindString("BUID")->empty());

    // Pair records: save, read back, delete, then absent (result 2).
    auto record = [](uint32_t tag, const char* type, bool with_data) {
        PlistValue v = PlistValue::MakeDict();
        v.Set("MessageType", PlistValue::MakeString(type));
        v.Set("PairRecordID", PlistValue::MakeString("dev-q"));
        if (with_data) v.Set("PairRecordData", PlistValue::MakeData(std::string("\x01\x00\x02", 3)));
        return kvx_sim::EncodeUsbmuxMessage(tag, v);
    };
    EXPECT_EQ(ResultNumber(Ask(record(8, "ReadPairRecord", false), 8)), 2);
    EXPECT_EQ(ResultNumber(Ask(record(9, "SavePairRecord", true), 9)), 0);
    PlistValue read = Ask(record(10, "ReadPairRecord", false), 10);
    ASSERT_NE(read.Find("PairRecordData"), nullptr);
    EXPECT_EQ(read.Find("PairRecordData")->Text(), std::string("\x01\x00\x02", 3));
    EXPECT_EQ(ResultNumber(Ask(record(11, "DeletePairRecord", false), 11)), 0);
    EXPECT_EQ(ResultNumber(Ask(record(12, "ReadPairRecord", false), 12)), 2);
}

TEST_F(UsbmuxdSimWire, ClosesAConnectionWhoseLengthIsOutOfBounds) {
    const std::vector<std::pair<const char*, uint32_t>> lengths = {
        {"zero", 0}, {"below header", 15}, {"one above limit", 16 + kvx_sim::kUsbmuxMaxPayload + 1},
        {"maximum", 0xFFFFFFFFu}};
    for (const auto& l : lengths) {
        SCOPED_TRACE(l.first);
        int fd = ConnectUnix(m_Path);
        ASSERT_GE(fd, 0);
        std::string header = RawHeader(l.second, 1, 8, 1);
        ASSERT_TRUE(WriteFully(fd, header.data(), header.size(), 30000));
        EXPECT_TRUE(SeesEndOfStream(fd, 30000));
        ::close(fd);
    }
    // The simulator still serves.
    EXPECT_EQ(ResultNumber(Ask(Request(2, "Nothing"), 2)), 1);
}

TEST_F(UsbmuxdSimWire, RelaysLargeTransfersBothWaysAtOnce) {
    EchoServer app;
    uint32_t handle = m_Sim.AddDevice("dev-r", 0x1291);
    ASSERT_TRUE(m_Sim.MapPort("dev-r", 8099, app.Port()));
    int fd = ConnectUnix(m_Path);
    ASSERT_GE(fd, 0);
    std::string connect = Request(1, "Connect", {{"DeviceID", handle}, {"PortNumber", htons(8099)}});
    ASSERT_TRUE(WriteFully(fd, connect.data(), connect.size(), 30000));
    kvx_sim::UsbmuxHeader h{};
    PlistValue v;
    ASSERT_TRUE(ReadMessage(fd, &h, &v));
    ASSERT_EQ(ResultNumber(v), 0);
    EXPECT_TRUE(WaitUntil([&] { return m_Sim.ActiveTunnels() == 1; }, 30000));

    // Writer and reader run at once, so both relay directions carry data
    // simultaneously; 8 MiB is far more than all buffers together.
    const std::string out = RandomBytes(8 * 1024 * 1024, 42);
    std::atomic<bool> written{false};
    std::thread writer([&] { written = WriteFully(fd, out.data(), out.size(), 20000); });
    std::string in(out.size(), '\0');
    bool read = ReadFully(fd, &in[0], in.size(), 20000);
    writer.join();
    EXPECT_TRUE(written.load());
    ASSERT_TRUE(read);
    EXPECT_TRUE(in == out);

    // Closing the client's side ends the app's side as well.
    ::close(fd);
    EXPECT_TRUE(WaitUntil([&] { return app.Ended() == 1 && m_Sim.ActiveTunnels() == 0; }, 30000));
}

TEST_F(UsbmuxdSimWire, StopIsPromptAndReleasesEverything) {
    m_Sim.Stop();
    const int fds_before = kvx_test::CountOpenDescriptors();
    const int threads_before = kvx_test::CountThreads();
    EchoServer app;
    {
        UsbmuxdSimulator sim;
        std::string error;
        ASSERT_TRUE(sim.Start("127.0.0.1:0", &error)) << error;
        uint32_t handle = sim.AddDevice("dev-s", 0x1291);
        sim.MapPort("dev-s", 8099, app.Port());
        std::string address = sim.SocketAddress();
        ASSERT_EQ(address.compare(0, 10, "127.0.0.1:"), 0);
        uint16_t port = static_cast<uint16_t>(std::stoi(address.substr(10)));
        auto connect_tcp = [&] {
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            sa.sin_port = htons(port);
            EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
            return fd;
        };
        // A listener, a tunnel and a client that stalls inside a header.
        int listener = connect_tcp();
        std::string listen = Request(1, "Listen");
        WriteFully(listener, listen.data(), listen.size(), 30000);
        int tunnel = connect_tcp();
        std::string connect = Request(2, "Connect", {{"DeviceID", handle}, {"PortNumber", htons(8099)}});
        WriteFully(tunnel, connect.data(), connect.size(), 30000);
        int stalled = connect_tcp();
        WriteFully(stalled, "\x20\x00\x00", 3, 30000);
        ASSERT_TRUE(WaitUntil([&] { return sim.ActiveListeners() == 1 && sim.ActiveTunnels() == 1 && sim.OpenConnections() == 3; }, 30000));
        EXPECT_EQ(sim.TotalConnections(), 3);

        auto start = Clock::now();
        sim.Stop();
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(15000));  // only against a hang
        EXPECT_FALSE(sim.IsRunning());
        EXPECT_EQ(sim.OpenConnections(), 0);
        for (int fd : {listener, tunnel, stalled}) {
            EXPECT_TRUE(SeesEndOfStream(fd, 30000));
            ::close(fd);
        }
        EXPECT_TRUE(WaitUntil([&] { return app.Ended() == app.Accepted(); }, 30000));
        // Devices survive a restart on the same port.
        ASSERT_TRUE(sim.Start(address, &error)) << error;
        EXPECT_EQ(sim.SocketAddress(), address);
        EXPECT_EQ(sim.HandleOf("dev-s"), handle);
    }
    app.Stop();
    EXPECT_EQ(kvx_test::CountOpenDescriptors(), fds_before);
    EXPECT_TRUE(WaitUntil([&] { return kvx_test::CountThreads() == threads_before; }, 30000));
}

// ===========================================================================
// The distribution's client library against the simulator

typedef struct {
    uint32_t handle;
    uint32_t product_id;
    char udid[44];
    int conn_type;
    char conn_data[200];
} usbmuxd_device_info_t;
typedef struct {
    int event;
    usbmuxd_device_info_t device;
} usbmuxd_event_t;
static_assert(sizeof(usbmuxd_event_t) == 260, "event record as the library lays it out");

typedef void (*usbmuxd_event_cb_t)(const usbmuxd_event_t* event, void* user_data);
typedef int (*SubscribeFn)(usbmuxd_event_cb_t callback, void* user_data);
typedef int (*UnsubscribeFn)(void);
typedef int (*ConnectFn)(uint32_t handle, unsigned short tcp_port);

constexpr int kEventAdd = 1;
constexpr int kEventRemove = 2;

// Loaded once and never unloaded: the library keeps process-wide state (its
// subscription list and monitor thread).
struct ClientLibrary {
    void* module = nullptr;
    SubscribeFn subscribe = nullptr;
    UnsubscribeFn unsubscribe = nullptr;
    ConnectFn connect = nullptr;

    static const ClientLibrary& Get() {
        static const ClientLibrary lib = [] {
            ClientLibrary l;
            for (const char* name : {"libusbmuxd-2.0.so.6", "libusbmuxd.so.6"}) {
                l.module = ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
                if (l.module) break;
            }
            if (l.module) {
                l.subscribe = reinterpret_cast<SubscribeFn>(::dlsym(l.module, "usbmuxd_subscribe"));
                l.unsubscribe = reinterpret_cast<UnsubscribeFn>(::dlsym(l.module, "usbmuxd_unsubscribe"));
                l.connect = reinterpret_cast<ConnectFn>(::dlsym(l.module, "usbmuxd_connect"));
            }
            return l;
        }();
        return lib;
    }
    bool Usable() const { return subscribe && unsubscribe && connect; }
};

struct SeenEvent {
    int kind;
    uint32_t handle;
    uint32_t product_id;
    std::string udid;
    std::thread::id thread;
};

class EventLog {
public:
    static void Callback(const usbmuxd_event_t* event, void* user) {
        auto* self = static_cast<EventLog*>(user);
        SeenEvent e{event->event, event->device.handle, event->device.product_id,
                    std::string(event->device.udid, strnlen(event->device.udid, sizeof(event->device.udid))),
                    std::this_thread::get_id()};
        std::lock_guard<std::mutex> lock(self->m_Mutex);
        self->m_Events.push_back(e);
    }
    std::vector<SeenEvent> Snapshot() const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Events;
    }
    int Count(int kind, const std::string& udid) const {
        int n = 0;
        for (const auto& e : Snapshot()) n += (e.kind == kind && e.udid == udid) ? 1 : 0;
        return n;
    }
    // The latest event of that kind for udid, waiting until at least `count` exist.
    bool WaitFor(int kind, const std::string& udid, int count, SeenEvent* out, int timeout_ms = 30000) const {
        if (!WaitUntil([&] { return Count(kind, udid) >= count; }, timeout_ms)) return false;
        for (const auto& e : Snapshot()) {
            if (e.kind == kind && e.udid == udid) *out = e;
        }
        return true;
    }

private:
    mutable std::mutex m_Mutex;
    std::vector<SeenEvent> m_Events;
};

// One suite for everything that drives the client library, which keeps one
// process-wide subscription: every test subscribes and unsubscribes itself,
// against a fresh simulator on the same per-process socket path, so the tests
// pass in any order and alone. The address is put into the environment by
// the test, before the library first connects.
class UsbmuxdSimLibusbmuxd : public ::testing::Test {
protected:
    static std::string UnixAddress() { return "UNIX:" + SocketPathFor("client"); }

    void SetUp() override {
        if (!Lib().Usable()) GTEST_SKIP() << "libusbmuxd-2.0.so.6 is not installed";
        ASSERT_EQ(::setenv("USBMUXD_SOCKET_ADDRESS", UnixAddress().c_str(), 1), 0);
        std::string error;
        ASSERT_TRUE(m_Sim.Start(UnixAddress(), &error)) << error;
    }
    void TearDown() override {
        Unsubscribe();
        m_Sim.Stop();
        ::setenv("USBMUXD_SOCKET_ADDRESS", UnixAddress().c_str(), 1);
    }
    static const ClientLibrary& Lib() { return ClientLibrary::Get(); }

    void Subscribe() {
        ASSERT_FALSE(m_Subscribed);
        ASSERT_EQ(Lib().subscribe(&EventLog::Callback, &m_Events), 0);
        m_Subscribed = true;
    }
    void Unsubscribe() {
        // Also delivers REMOVE for every device it still knows, on this thread.
        if (m_Subscribed) Lib().unsubscribe();
        m_Subscribed = false;
    }

    UsbmuxdSimulator m_Sim;
    EventLog m_Events;
    bool m_Subscribed = false;
};

TEST_F(UsbmuxdSimLibusbmuxd, AttachAndDetachEventsCarryProductIdAndIdentifier) {
    Subscribe();
    ASSERT_TRUE(WaitUntil([&] { return m_Sim.ActiveListeners() == 1; }, 30000));
    struct Expect {
        std::string identifier;
        uint32_t product_id;
        std::string seen_as;
    };
    // A 24-character serial number comes out with a dash after the 8th
    // character; other identifiers arrive as they are.
    const std::vector<Expect> devices = {
        {"kvx-sim-device-A", 0x1291, "kvx-sim-device-A"},
        {"00008030001A2B3C4D5E6F70", 0x129A, "00008030-001A2B3C4D5E6F70"},
        {"0123456789abcdef0123456789abcdef01234567", 0x12A8, "0123456789abcdef0123456789abcdef01234567"},
    };
    for (const auto& d : devices) {
        SCOPED_TRACE(d.identifier);
        uint32_t handle = m_Sim.AddDevice(d.identifier, d.product_id);
        ASSERT_NE(handle, 0u);
        SeenEvent e{};
        ASSERT_TRUE(m_Events.WaitFor(kEventAdd, d.seen_as, 1, &e));
        EXPECT_EQ(e.handle, handle);
        EXPECT_EQ(e.product_id, d.product_id);
        EXPECT_NE(e.thread, std::this_thread::get_id());  // the library's monitor thread
    }
    for (const auto& d : devices) {
        SCOPED_TRACE(d.identifier);
        uint32_t handle = m_Sim.HandleOf(d.identifier);
        ASSERT_TRUE(m_Sim.Detach(d.identifier));
        SeenEvent e{};
        ASSERT_TRUE(m_Events.WaitFor(kEventRemove, d.seen_as, 1, &e));
        EXPECT_EQ(e.handle, handle);
        EXPECT_EQ(e.product_id, d.product_id);
    }
    for (const auto& d : devices) EXPECT_EQ(m_Events.Count(kEventAdd, d.seen_as), 1);
    EXPECT_EQ(m_Sim.TotalConnections(), 1);  // one listen connection, never lost
}

TEST_F(UsbmuxdSimLibusbmuxd, NewSubscriptionIsToldAboutPresentDevices) {
    uint32_t a = m_Sim.AddDevice("present-A", 0x1290);
    uint32_t b = m_Sim.AddDevice("present-B", 0x1299);
    Subscribe();
    SeenEvent e{};
    ASSERT_TRUE(m_Events.WaitFor(kEventAdd, "present-A", 1, &e));
    EXPECT_EQ(e.handle, a);
    EXPECT_EQ(e.product_id, 0x1290u);
    ASSERT_TRUE(m_Events.WaitFor(kEventAdd, "present-B", 1, &e));
    EXPECT_EQ(e.handle, b);
    EXPECT_EQ(e.product_id, 0x1299u);
    // Devices arrive in attach order.
    auto events = m_Events.Snapshot();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[0].udid, "present-A");
    EXPECT_EQ(events[1].udid, "present-B");
}

TEST_F(UsbmuxdSimLibusbmuxd, ConnectRelaysBytesBothWaysToTheMappedPort) {
    EchoServer app8099;
    EchoServer app8100("port 8100 here\n");
    uint32_t handle = m_Sim.AddDevice("tunnel-dev", 0x1291);
    ASSERT_TRUE(m_Sim.MapPort("tunnel-dev", 8099, app8099.Port()));
    ASSERT_TRUE(m_Sim.MapPort("tunnel-dev", 8100, app8100.Port()));

    int fd = Lib().connect(handle, 8099);
    ASSERT_GE(fd, 0);
    const std::string out = RandomBytes(2 * 1024 * 1024, 3);
    std::atomic<bool> written{false};
    std::thread writer([&] { written = WriteFully(fd, out.data(), out.size(), 20000); });
    std::string in(out.size(), '\0');
    bool read = ReadFully(fd, &in[0], in.size(), 20000);
    writer.join();
    EXPECT_TRUE(written.load());
    ASSERT_TRUE(read);
    EXPECT_TRUE(in == out);

    // The port number travels in network order inside the request; 8100 must
    // reach the 8100 server, not the 8099 one.
    int fd2 = Lib().connect(handle, 8100);
    ASSERT_GE(fd2, 0);
    std::string greeting(15, '\0');
    ASSERT_TRUE(ReadFully(fd2, &greeting[0], greeting.size(), 3000));
    EXPECT_EQ(greeting, "port 8100 here\n");
    EXPECT_EQ(app8099.Accepted(), 1);
    EXPECT_EQ(app8100.Accepted(), 1);
    EXPECT_TRUE(WaitUntil([&] { return m_Sim.ActiveTunnels() == 2; }, 30000));

    ::close(fd);
    ::close(fd2);
    EXPECT_TRUE(WaitUntil([&] { return m_Sim.ActiveTunnels() == 0 && app8099.Ended() == 1 && app8100.Ended() == 1; }, 30000));
}

TEST_F(UsbmuxdSimLibusbmuxd, DeviceServesTheCompanionAppDoubleOnBothAppPorts) {
    // What discovery does: an identity probe through a tunnel to each app port.
    std::vector<std::unique_ptr<kvx_sim::AppSimulator>> apps;
    uint32_t handle = m_Sim.AddDevice("app-dev", 0x1291);
    for (uint16_t port : {8099, 8100}) {
        kvx_sim::AppSimConfig config;
        config.device_name = "Device on " + std::to_string(port);
        apps.push_back(std::make_unique<kvx_sim::AppSimulator>(config));
        ASSERT_GT(apps.back()->Start(), 0);
        ASSERT_TRUE(m_Sim.MapPort("app-dev", port, static_cast<uint16_t>(apps.back()->Port())));
    }
    for (uint16_t port : {8099, 8100}) {
        SCOPED_TRACE(port);
        int fd = Lib().connect(handle, port);
        ASSERT_GE(fd, 0);
        const std::string head = "HEAD / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        ASSERT_TRUE(WriteFully(fd, head.data(), head.size(), 30000));
        std::string response;
        char c;
        while (response.find("\r\n\r\n") == std::string::npos && response.size() < 8192 && ReadFully(fd, &c, 1, 3000))
            response.push_back(c);
        EXPECT_EQ(response.compare(0, 12, "HTTP/1.0 200"), 0) << response;
        EXPECT_NE(response.find("X-DEVICENAME: Device on " + std::to_string(port) + "\r\n"), std::string::npos) << response;
        ::close(fd);
    }
    for (auto& app : apps) {
        EXPECT_EQ(app->RequestCount(), 1u);
        app->Stop();
    }
}

TEST_F(UsbmuxdSimLibusbmuxd, ConnectFailsWithNegativeValuesWhereNothingIsServed) {
    EchoServer app;
    uint32_t handle = m_Sim.AddDevice("refusing-dev", 0x1291);
    ASSERT_TRUE(m_Sim.MapPort("refusing-dev", 8099, app.Port()));
    uint32_t gone = m_Sim.AddDevice("gone-dev", 0x1291);
    ASSERT_TRUE(m_Sim.MapPort("gone-dev", 8099, app.Port()));
    ASSERT_TRUE(m_Sim.Detach("gone-dev"));
    struct Case {
        const char* what;
        uint32_t handle;
        unsigned short port;
        int expected;
    };
    const std::vector<Case> cases = {
        {"unmapped port", handle, 8100, -ECONNREFUSED},
        {"unknown handle", 4242, 8099, -ENODEV},
        {"detached device", gone, 8099, -ENODEV},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int fd = Lib().connect(c.handle, c.port);
        EXPECT_EQ(fd, c.expected);
        if (fd >= 0) ::close(fd);
    }
    EXPECT_EQ(app.Accepted(), 0);
    EXPECT_EQ(m_Sim.ActiveTunnels(), 0);
}

TEST_F(UsbmuxdSimLibusbmuxd, DetachClosesTheDevicesTunnelsBeforeAnnouncingIt) {
    EchoServer app;
    uint32_t handle = m_Sim.AddDevice("detach-dev", 0x1291);
    uint32_t other = m_Sim.AddDevice("staying-dev", 0x1292);
    ASSERT_TRUE(m_Sim.MapPort("detach-dev", 8099, app.Port()));
    ASSERT_TRUE(m_Sim.MapPort("staying-dev", 8099, app.Port()));
    Subscribe();
    SeenEvent e{};
    ASSERT_TRUE(m_Events.WaitFor(kEventAdd, "detach-dev", 1, &e));
    int fd = Lib().connect(handle, 8099);
    int kept = Lib().connect(other, 8099);
    ASSERT_GE(fd, 0);
    ASSERT_GE(kept, 0);
    ASSERT_TRUE(WriteFully(fd, "ping", 4, 30000));
    char echo[4];
    ASSERT_TRUE(ReadFully(fd, echo, 4, 30000));

    ASSERT_TRUE(m_Sim.Detach("detach-dev"));
    // Detach returns after the tunnel is closed and Detached is sent.
    EXPECT_TRUE(SeesEndOfStream(fd, 100));
    ASSERT_TRUE(m_Events.WaitFor(kEventRemove, "detach-dev", 1, &e));
    EXPECT_EQ(e.handle, handle);
    EXPECT_TRUE(WaitUntil([&] { return app.Ended() == 1; }, 30000));
    EXPECT_EQ(m_Sim.ActiveTunnels(), 1);
    // The other device's tunnel still works.
    ASSERT_TRUE(WriteFully(kept, "pong", 4, 30000));
    ASSERT_TRUE(ReadFully(kept, echo, 4, 30000));
    EXPECT_EQ(std::string(echo, 4), "pong");
    ::close(fd);
    ::close(kept);
}

TEST_F(UsbmuxdSimLibusbmuxd, LostListenConnectionIsReestablished) {
    m_Sim.AddDevice("kicked-dev", 0x1291);
    Subscribe();
    SeenEvent e{};
    ASSERT_TRUE(m_Events.WaitFor(kEventAdd, "kicked-dev", 1, &e));
    ASSERT_TRUE(WaitUntil([&] { return m_Sim.ActiveListeners() == 1; }, 30000));
    m_Sim.DropListenConnections();
    // The library reports the device gone, listens again and sees it anew.
    ASSERT_TRUE(m_Events.WaitFor(kEventRemove, "kicked-dev", 1, &e));
    ASSERT_TRUE(m_Events.WaitFor(kEventAdd, "kicked-dev", 2, &e));
    EXPECT_TRUE(WaitUntil([&] { return m_Sim.ActiveListeners() == 1; }, 30000));
    EXPECT_GE(m_Sim.TotalConnections(), 2);
}

TEST_F(UsbmuxdSimLibusbmuxd, TcpAddressSurvivesADaemonRestart) {
    // Over TCP the library polls once a second for a daemon that went away.
    UsbmuxdSimulator tcp;
    std::string error;
    ASSERT_TRUE(tcp.Start("127.0.0.1:0", &error)) << error;
    ASSERT_EQ(::setenv("USBMUXD_SOCKET_ADDRESS", tcp.SocketAddress().c_str(), 1), 0);
    EchoServer app;
    uint32_t handle = tcp.AddDevice("tcp-dev", 0x1291);
    ASSERT_TRUE(tcp.MapPort("tcp-dev", 8099, app.Port()));
    Subscribe();
    SeenEvent e{};
    ASSERT_TRUE(m_Events.WaitFor(kEventAdd, "tcp-dev", 1, &e));
    EXPECT_EQ(m_Sim.TotalConnections(), 0);  // the UNIX simulator was not used

    tcp.StopListener();
    tcp.DropAllConnections();
    ASSERT_TRUE(m_Events.WaitFor(kEventRemove, "tcp-dev", 1, &e));
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_LE(Lib().connect(handle, 8099), -1);  // nobody there
    ASSERT_TRUE(tcp.RestartListener(&error)) << error;
    ASSERT_TRUE(m_Events.WaitFor(kEventAdd, "tcp-dev", 2, &e, 30000));
    EXPECT_EQ(e.handle, handle);

    int fd = Lib().connect(handle, 8099);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WriteFully(fd, "over tcp", 8, 30000));
    char echo[8];
    ASSERT_TRUE(ReadFully(fd, echo, 8, 30000));
    EXPECT_EQ(std::string(echo, 8), "over tcp");
    ::close(fd);
    Unsubscribe();
    tcp.Stop();
}

}  // namespace
