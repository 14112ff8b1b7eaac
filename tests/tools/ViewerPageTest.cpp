// The viewer page as a browser shows it: headless Chromium opens the page of
// `kvx view` streaming from a simulated device found by discovery. Two
// screenshots a moment apart must each show a frame of the moving test
// pattern (its bar code read straight from the screenshot) with different
// frame numbers, and the page must name the device and the frame size.
//
// Screenshots are PNG; they are read with zlib's inflate (8-bit RGB or RGBA,
// not interlaced: what Chromium writes).

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "KvxFrameFiles.h"
#include "SimulatedHost.h"
#include "TestPattern.h"
#include "TestSupport.h"

namespace {

const char kChromium[] = "/usr/bin/chromium";

uint32_t BigEndian32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3]; }

// The pixels of a PNG file as RGB. False for anything else than the above.
bool ReadPng(const std::string& path, int* width, int* height, std::vector<uint8_t>* rgb) {
  std::vector<uint8_t> file, packed;
  if (!kvx_cli::ReadFile(path, &file) || file.size() < 8 || std::memcmp(file.data(), "\x89PNG\r\n\x1a\n", 8) != 0) {
    return false;
  }
  int channels = 0;
  for (size_t at = 8; at + 12 <= file.size();) {
    const uint32_t length = BigEndian32(&file[at]);
    if (length > file.size() - at - 12) return false;
    const std::string type(reinterpret_cast<const char*>(&file[at + 4]), 4);
    const uint8_t* data = &file[at + 8];
    if (type == "IHDR" && length >= 13) {
      *width = static_cast<int>(BigEndian32(data));
      *height = static_cast<int>(BigEndian32(data + 4));
      channels = data[9] == 2 ? 3 : data[9] == 6 ? 4 : 0;
      if (data[8] != 8 || data[12] != 0 || channels == 0 || *width <= 0 || *height <= 0) return false;
    } else if (type == "IDAT") {
      packed.insert(packed.end(), data, data + length);
    }
    at += 12 + length;
  }
  if (channels == 0) return false;
  const size_t stride = static_cast<size_t>(*width) * channels;
  std::vector<uint8_t> rows(static_cast<size_t>(*height) * (stride + 1));
  uLongf size = rows.size();
  if (uncompress(rows.data(), &size, packed.data(), packed.size()) != Z_OK || size != rows.size()) return false;
  std::vector<uint8_t> previous(stride, 0), current(stride);
  rgb->clear();
  for (int y = 0; y < *height; ++y) {
    const uint8_t filter = rows[y * (stride + 1)];
    const uint8_t* in = &rows[y * (stride + 1) + 1];
    for (size_t x = 0; x < stride; ++x) {
      const int a = x >= size_t(channels) ? current[x - channels] : 0, b = previous[x];
      const int c = x >= size_t(channels) ? previous[x - channels] : 0;
      const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
      const int predicted[] = {0, a, b, (a + b) / 2, pa <= pb && pa <= pc ? a : pb <= pc ? b : c};
      if (filter > 4) return false;
      current[x] = static_cast<uint8_t>(in[x] + predicted[filter]);
    }
    for (int x = 0; x < *width; ++x) rgb->insert(rgb->end(), &current[x * channels], &current[x * channels] + 3);
    previous.swap(current);
  }
  return true;
}

// Chromium headless, as root on a closed network: no sandbox, no GPU, none of
// its background connections, a fresh profile each time.
kvx_test::Process Chromium(const kvx_test::TemporaryDirectory& dir, const std::string& profile,
                           const std::vector<std::string>& what, const std::string& url) {
  std::vector<std::string> argv = {kChromium,       "--headless",  "--no-sandbox", "--disable-gpu", "--disable-quic",
                                   "--no-first-run", "--disable-background-networking", "--disable-component-update",
                                   "--disable-sync", "--user-data-dir=" + dir.File(profile),
                                   "--force-device-scale-factor=1", "--hide-scrollbars", "--window-size=1000,700",
                                   // The page is live: the budget lets it load and poll, then the command returns.
                                   "--virtual-time-budget=2000"};
  argv.insert(argv.end(), what.begin(), what.end());
  argv.push_back(url);
  return kvx_test::Process(argv);
}

TEST(KvxViewerPage, ABrowserShowsTheMovingPatternAndNamesTheDevice) {
  if (::access(kChromium, X_OK) != 0) GTEST_SKIP() << "chromium is not installed (./run test installs it)";
  kvx_test::TemporaryDirectory dir;
  kvx_sim::SimulatedHost host;
  std::string error;
  ASSERT_TRUE(host.Start("UNIX:" + dir.File("usbmuxd.sock"), &error)) << error;
  kvx_sim::SimDeviceSpec setup;
  setup.identifier = "browser-dev";
  setup.name = "Browser Device";
  setup.width = 320;
  setup.height = 240;
  setup.fps = 30;
  ASSERT_TRUE(host.AddDevice(setup, &error)) << error;
  kvx_test::Process view({kvx_test::BuildPath("tools/kvx/kvx"), "view", "--device", "Browser Device", "--port", "0",
                          "--seconds", "90"},
                         {"USBMUXD_SOCKET_ADDRESS=" + host.SocketAddress()});
  view.CloseInput();
  const std::string line = view.WaitForLine("open http://127.0.0.1:", 20000);
  ASSERT_NE(line, "") << view.Stderr();
  const size_t at = line.find("http://");
  const std::string url = line.substr(at, line.find(' ', at) - at);

  uint32_t seqs[2] = {0, 0};
  for (int shot = 0; shot < 2; ++shot) {
    if (shot) ::usleep(1000 * 1000);
    const std::string png = dir.File("shot" + std::to_string(shot) + ".png");
    kvx_test::Process browser = Chromium(dir, "profile" + std::to_string(shot), {"--screenshot=" + png}, url);
    browser.CloseInput();
    ASSERT_EQ(browser.Wait(60000), 0) << browser.Stderr();
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    ASSERT_TRUE(ReadPng(png, &width, &height, &rgb)) << png;
    ASSERT_EQ(width, 1000);
    // The picture sits at its own size 16 pixels in from the top left.
    std::vector<uint8_t> picture;
    for (int y = 16; y < 16 + 240; ++y) {
      picture.insert(picture.end(), &rgb[(static_cast<size_t>(y) * width + 16) * 3],
                     &rgb[(static_cast<size_t>(y) * width + 16 + 320) * 3]);
    }
    ASSERT_TRUE(kvx_sim::ReadPatternSequence(picture.data(), 320, 240, 3, &seqs[shot])) << "screenshot " << shot;
  }
  EXPECT_NE(seqs[0], seqs[1]) << "the picture does not move";

  kvx_test::Process dom = Chromium(dir, "profile-dom", {"--dump-dom"}, url);
  dom.CloseInput();
  ASSERT_EQ(dom.Wait(60000), 0) << dom.Stderr();
  EXPECT_NE(dom.Stdout().find("<td id=\"device\">Browser Device</td>"), std::string::npos) << dom.Stdout();
  EXPECT_NE(dom.Stdout().find("<td id=\"frame\">320x240 image/jpeg</td>"), std::string::npos) << dom.Stdout();
  view.Signal(SIGINT);
  EXPECT_EQ(view.Wait(15000), 0) << view.Stderr();
}

}  // namespace
