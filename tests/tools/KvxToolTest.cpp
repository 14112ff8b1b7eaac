// The `kvx` command, driven as a user would: the built binary is spawned with
// arguments, environment and standard input, and judged by its exit status,
// its output lines and the files it writes. Its pieces (argument parsing, the
// test pattern, frame files) are checked directly, and the simulator's stream
// is read by ffmpeg so that our own reader is not the only judge of our writer.

#include "AppSimulator.h"
#include "KvxCli.h"
#include "KvxFrameFiles.h"
#include "KvxProgress.h"
#include "SimulatedHost.h"
#include "TestPattern.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using kvx_cli::OptionSpec;
using kvx_cli::ParsedArgs;

std::string KvxPath() { return kvx_test::BuildPath("tools/kvx/kvx"); }

using TempDir = kvx_test::TemporaryDirectory;

std::vector<std::string> ListDir(const std::string& path, const std::string& suffix) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(path.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        names.push_back(name);
      }
    }
    ::closedir(dir);
  }
  return names;
}

using kvx_test::Process;

int CountLines(const std::string& text) {
  int lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

// --- argument parsing -------------------------------------------------------

const std::vector<OptionSpec> kSpecs = {{"--url", true, true}, {"--frames", true, false}, {"--json", false, false}};

TEST(KvxArgs, AcceptedForms) {
  ParsedArgs parsed;
  std::string error;
  ASSERT_TRUE(kvx_cli::ParseArgs({"--url", "http://a/", "http://b/", "--frames=5", "--json", "--url", "http://c/"},
                                 kSpecs, &parsed, &error))
      << error;
  EXPECT_EQ(parsed.All("--url"), (std::vector<std::string>{"http://a/", "http://b/", "http://c/"}));
  EXPECT_EQ(parsed.Get("--frames"), "5");
  EXPECT_TRUE(parsed.Has("--json"));
  EXPECT_FALSE(parsed.help);

  ASSERT_TRUE(kvx_cli::ParseArgs({"--frames", "7", "-h"}, kSpecs, &parsed, &error));
  EXPECT_TRUE(parsed.help);
  EXPECT_EQ(parsed.Get("--frames"), "7");
  EXPECT_EQ(parsed.Get("--url", "none"), "none");
}

TEST(KvxArgs, RejectedFormsSayWhy) {
  struct Case {
    std::vector<std::string> args;
    const char* error;
  };
  const Case cases[] = {
      {{"--nope"}, "unknown option --nope"},
      {{"-x"}, "unknown option -x"},
      {{"stray"}, "unexpected argument 'stray'"},
      {{"--frames"}, "--frames needs a value"},
      {{"--frames", "--json"}, "--frames needs a value"},
      {{"--frames="}, "--frames needs a non-empty value"},
      {{"--frames", "1", "--frames", "2"}, "--frames given twice"},
      {{"--frames", "1", "2"}, "unexpected argument '2'"},
      {{"--json=1"}, "--json takes no value"},
      {{"--url"}, "--url needs a value"},
  };
  for (const Case& c : cases) {
    ParsedArgs parsed;
    std::string error;
    EXPECT_FALSE(kvx_cli::ParseArgs(c.args, kSpecs, &parsed, &error)) << c.error;
    EXPECT_EQ(error, c.error);
  }
}

TEST(KvxArgs, NumbersAndSizes) {
  struct Case {
    const char* text;
    bool ok;
    uint64_t value;
  };
  const Case numbers[] = {{"0", true, 0},       {"150", true, 150},     {"100000", true, 100000}, {"100001", false, 0},
                          {"", false, 0},       {"-1", false, 0},       {"+1", false, 0},         {"1e3", false, 0},
                          {"12a", false, 0},    {"99999999999999999999", false, 0}};
  for (const Case& c : numbers) {
    uint64_t v = 12345;
    EXPECT_EQ(kvx_cli::ParseUnsigned(c.text, 0, 100000, &v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.text;
    }
  }
  double seconds = 0;
  EXPECT_TRUE(kvx_cli::ParseSeconds("2.5", 100, &seconds));
  EXPECT_DOUBLE_EQ(seconds, 2.5);
  for (const char* bad : {"0", "-1", "nan", "inf", "1e2", "101", "", "0x10"}) {
    EXPECT_FALSE(kvx_cli::ParseSeconds(bad, 100, &seconds)) << bad;
  }
  int w = 0, h = 0;
  EXPECT_TRUE(kvx_image::ParseSize("640x480", &w, &h));
  EXPECT_EQ(w, 640);
  EXPECT_EQ(h, 480);
  for (const char* bad : {"640", "x480", "640x", "0x10", "10x0", "8193x10", "64Ox480", "640x480x3", "-1x5"}) {
    EXPECT_FALSE(kvx_image::ParseSize(bad, &w, &h)) << bad;
  }
}

TEST(KvxArgs, JsonEscapeKeepsLinesWhole) {
  EXPECT_EQ(kvx_cli::JsonEscape("a\"b\\c\nd\x01"), "a\\\"b\\\\c\\nd\\u0001");
  EXPECT_EQ(kvx_cli::JsonEscape("Demo Device"), "Demo Device");
}

// --- test pattern and frame files ---------------------------------------------

TEST(KvxTestPattern, FrameNumberSurvivesJpegAtEverySize) {
  const int sizes[][2] = {{48, 32}, {320, 240}, {641, 479}, {1280, 720}};
  const uint64_t seqs[] = {0, 1, 2, 255, 256, 0x5A5A5A, (1u << 24) - 1, (1u << 24) + 7};
  for (const auto& size : sizes) {
    for (int channels : {3, 4}) {
      for (uint64_t seq : seqs) {
        std::vector<uint8_t> pixels(static_cast<size_t>(size[0]) * size[1] * channels);
        ASSERT_TRUE(kvx_sim::RenderTestPattern(seq, size[0], size[1], channels, pixels.data()));
        uint32_t read = 0;
        ASSERT_TRUE(kvx_sim::ReadPatternSequence(pixels.data(), size[0], size[1], channels, &read));
        EXPECT_EQ(read, seq & 0xFFFFFF);
        std::vector<uint8_t> jpeg, rgb;
        ASSERT_TRUE(kvx_image::EncodeJpeg(pixels.data(), size[0], size[1], channels, 85, &jpeg));
        int w = 0, h = 0;
        ASSERT_TRUE(kvx_image::DecodeJpeg(jpeg.data(), jpeg.size(), &rgb, &w, &h));
        EXPECT_EQ(w, size[0]);
        EXPECT_EQ(h, size[1]);
        ASSERT_TRUE(kvx_sim::ReadPatternSequence(rgb.data(), w, h, 3, &read)) << size[0] << "x" << size[1];
        EXPECT_EQ(read, seq & 0xFFFFFF) << size[0] << "x" << size[1] << " seq " << seq;
      }
    }
  }
}

TEST(KvxTestPattern, RejectsWhatIsNotAPatternFrame) {
  std::vector<uint8_t> grey(320 * 240 * 3, 128);
  uint32_t seq = 99;
  EXPECT_FALSE(kvx_sim::ReadPatternSequence(grey.data(), 320, 240, 3, &seq));
  EXPECT_EQ(seq, 0u);
  EXPECT_FALSE(kvx_sim::RenderTestPattern(1, 47, 32, 3, grey.data()));
  EXPECT_FALSE(kvx_sim::RenderTestPattern(1, 64, 32, 2, grey.data()));
  // Frames move: two consecutive frames differ outside the code, too.
  std::vector<uint8_t> a(320 * 240 * 3), b(320 * 240 * 3);
  ASSERT_TRUE(kvx_sim::RenderTestPattern(10, 320, 240, 3, a.data()));
  ASSERT_TRUE(kvx_sim::RenderTestPattern(11, 320, 240, 3, b.data()));
  const size_t code_bytes = 320 * 3 * kvx_sim::kPatternCodeHeight;
  EXPECT_FALSE(std::equal(a.begin() + code_bytes, a.end(), b.begin() + code_bytes));
  std::vector<uint8_t> rgb;
  int w = 1, h = 1;
  const uint8_t junk[] = {0xFF, 0xD8, 0xFF, 0x00, 1, 2, 3};
  EXPECT_FALSE(kvx_image::DecodeJpeg(junk, sizeof(junk), &rgb, &w, &h));
  EXPECT_TRUE(rgb.empty());
  EXPECT_EQ(w, 0);
}

TEST(KvxFrameFiles, ExtensionsAndHeaders) {
  struct Case {
    const char* type;
    size_t size;
    int w, h;
    const char* ext;
  };
  const Case cases[] = {{"image/jpeg", 10, 0, 0, "jpg"},     {"IMAGE/JPEG", 10, 0, 0, "jpg"},
                        {"image/rgb", 12, 2, 2, "ppm"},      {"image/rgb", 13, 2, 2, "raw"},
                        {"image/rgb", 12, 0, 0, "raw"},      {"image/rgba", 16, 2, 2, "pam"},
                        {"image/rgba", 12, 2, 2, "raw"},     {"text/plain", 4, 0, 0, "raw"}};
  for (const Case& c : cases) EXPECT_EQ(kvx_cli::FrameExtension(c.type, c.size, c.w, c.h), c.ext) << c.type;

  TempDir dir;
  const uint8_t rgb[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  std::string path = kvx_cli::SaveFrame(dir.Path(), 7, "image/rgb", rgb, sizeof(rgb), 2, 2);
  EXPECT_EQ(path, dir.Path() + "/frame-000007.ppm");
  std::vector<uint8_t> data;
  ASSERT_TRUE(kvx_cli::ReadFile(path, &data));
  EXPECT_EQ(std::string(data.begin(), data.end()), std::string("P6\n2 2\n255\n") + std::string(rgb, rgb + 12));
  path = kvx_cli::SaveFrame(dir.Path(), 8, "image/rgba", rgb, sizeof(rgb), 0, 0);
  EXPECT_EQ(path, dir.Path() + "/frame-000008.raw");
  ASSERT_TRUE(kvx_cli::ReadFile(path, &data));
  EXPECT_EQ(data, std::vector<uint8_t>(rgb, rgb + 12));
  EXPECT_EQ(kvx_cli::SaveFrame(dir.Path() + "/missing", 1, "image/jpeg", rgb, 3, 0, 0), "");
}

TEST(KvxFrameFiles, ContactSheetHoldsTheFramesInAGrid) {
  std::vector<kvx_cli::RgbImage> images;
  for (int n = 0; n < 4; ++n) {
    kvx_cli::RgbImage image;
    image.width = 200;
    image.height = 100;
    image.pixels.resize(200 * 100 * 3);
    ASSERT_TRUE(kvx_sim::RenderTestPattern(static_cast<uint64_t>(n) * 1000 + 5, 200, 100, 3, image.pixels.data()));
    images.push_back(image);
  }
  TempDir dir;
  std::string error;
  const std::string path = dir.Path() + "/sheet.jpg";
  ASSERT_TRUE(kvx_cli::WriteContactSheet(images, 3, 200, path, &error)) << error;
  std::vector<uint8_t> jpeg, rgb;
  ASSERT_TRUE(kvx_cli::ReadFile(path, &jpeg));
  int w = 0, h = 0;
  ASSERT_TRUE(kvx_image::DecodeJpeg(jpeg.data(), jpeg.size(), &rgb, &w, &h));
  EXPECT_EQ(w, 8 + 3 * (200 + 8));
  EXPECT_EQ(h, 8 + 2 * (100 + 8));
  // The fourth frame sits in the second row, first column, unscaled: its
  // code is readable straight from the sheet.
  kvx_cli::RgbImage cell;
  cell.width = 200;
  cell.height = 100;
  for (int y = 0; y < 100; ++y) {
    const uint8_t* row = &rgb[(static_cast<size_t>(8 + 108 + y) * w + 8) * 3];
    cell.pixels.insert(cell.pixels.end(), row, row + 200 * 3);
  }
  uint32_t seq = 0;
  ASSERT_TRUE(kvx_sim::ReadPatternSequence(cell.pixels.data(), 200, 100, 3, &seq));
  EXPECT_EQ(seq, 3005u);
  EXPECT_FALSE(kvx_cli::WriteContactSheet({}, 3, 200, path, &error));
}

// --- the command, as a user runs it ---------------------------------------------

TEST(KvxCommand, BadArgumentsGiveOneLineAndAStatus) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* says;
  };
  const Case cases[] = {
      {{"frobnicate"}, 2, "unknown command"},
      {{"demo", "--frames", "0"}, 2, "--frames"},
      {{"demo", "--frames", "ten"}, 2, "--frames"},
      {{"demo", "extra"}, 2, "unexpected argument"},
      {{"list", "--seconds", "-3"}, 2, "--seconds"},
      {{"list", "--jsn"}, 2, "unknown option --jsn"},
      {{"stream"}, 2, "--url"},
      {{"stream", "--url", "http://127.0.0.1:1/", "--device", "X"}, 2, "either"},
      {{"stream", "--url", "ftp://example/"}, 2, "bad URL"},
      {{"stream", "--url", "not a url"}, 2, "bad URL"},
      {{"stream", "--device", "X", "--handle", "3"}, 2, "--handle"},
      {{"stream", "--url", "http://127.0.0.1:1/", "--size", "big"}, 2, "--size"},
      {{"simulate", "--format", "png"}, 2, "--format"},
      {{"simulate", "--devices", "99"}, 2, "--devices"},
      {{"simulate", "--size", "10x10"}, 2, "--size"},
      // Nothing listens on port 1 of the loopback interface.
      {{"stream", "--url", "http://127.0.0.1:1/", "--frames", "1"}, 1, "could not stream"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {KvxPath()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Process process(argv);
    ASSERT_TRUE(process.Started());
    process.CloseInput();
    EXPECT_EQ(process.Wait(30000), c.status) << c.args[0] << " " << process.Stderr();
    EXPECT_EQ(CountLines(process.Stderr()), 1) << process.Stderr();
    EXPECT_NE(process.Stderr().find(c.says), std::string::npos) << process.Stderr();
    EXPECT_EQ(process.Stdout(), "") << c.args[0];
  }
}

// Every way a stream or the daemon can fail gives status 1 and its reason as
// the last line on standard error.
TEST(KvxCommand, FailuresSayWhy) {
  kvx_sim::AppSimConfig refuses_token, not_found, html, ends, odd_raw;
  refuses_token.require_auth = true;
  refuses_token.auth_verifier = [](const std::string&) { return false; };
  not_found.misbehaviour = kvx_sim::Misbehaviour::kStatus404;
  html.content_type_override = "text/html";
  ends.frame_count = 3;
  odd_raw.frame_content_type = "image/rgb";
  odd_raw.frame_size = 1000;
  odd_raw.frame_count = 0;
  odd_raw.frames_per_second = 30;
  TempDir dir;
  struct Case {
    const kvx_sim::AppSimConfig* app;  // null: nothing listens at {URL}
    std::vector<std::string> args;
    std::string says;                  // {URL} and {DIR} filled in
  };
  const Case cases[] = {
      {nullptr, {"stream", "--url", "{URL}", "--frames", "1"},
       "kvx stream: error: could not stream from {URL}: connection refused"},
      {&not_found, {"stream", "--url", "{URL}"}, "kvx stream: error: could not stream from {URL}: HTTP 404 Not Found"},
      {&refuses_token, {"view", "--url", "{URL}", "--port", "0"},
       "kvx view: error: could not stream from {URL}: authentication refused (HTTP 403)"},
      {&html, {"stream", "--url", "{URL}", "--seconds", "5"},
       "kvx stream: error: could not stream from {URL}: not an image stream (text/html)"},
      {&ends, {"stream", "--url", "{URL}", "--frames", "10"},
       "kvx stream: error: the app ended the stream after 3 of 10 frames"},
      {&ends, {"view", "--url", "{URL}", "--port", "0"}, "kvx view: error: the app ended the stream after 3 frames"},
      {&odd_raw, {"view", "--url", "{URL}", "--port", "0"},
       "kvx view: error: image/rgb frames of 1000 bytes need --size WxH (no usual picture size has that length)"},
      {nullptr, {"list"},
       "kvx list: error: cannot reach the USB daemon at UNIX:{DIR}/none (no such file or directory); start usbmuxd, "
       "or set USBMUXD_SOCKET_ADDRESS to where it listens"},
      {nullptr, {"stream", "--device", "Any"}, "kvx stream: error: cannot reach the USB daemon at UNIX:{DIR}/none"},
  };
  for (const Case& c : cases) {
    kvx_sim::AppSimulator app(c.app ? *c.app : kvx_sim::AppSimConfig());
    const int port = app.Start();
    ASSERT_GT(port, 0);
    if (!c.app) app.Stop();  // its port now refuses
    auto fill = [&](std::string text) {
      for (const std::string& key : {std::string("{URL}"), std::string("{DIR}")}) {
        const std::string value = key == "{URL}" ? "http://127.0.0.1:" + std::to_string(port) + "/" : dir.Path();
        for (size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), value);
      }
      return text;
    };
    std::vector<std::string> argv = {KvxPath()};
    for (const std::string& arg : c.args) argv.push_back(fill(arg));
    Process process(argv, {"USBMUXD_SOCKET_ADDRESS=UNIX:" + dir.Path() + "/none"});
    process.CloseInput();
    EXPECT_EQ(process.Wait(20000), 1) << c.args[0] << " " << fill(c.says) << process.Stderr();
    const std::string& err = process.Stderr();
    const size_t last = err.rfind('\n', err.size() - 2);
    EXPECT_EQ(err.substr(last == std::string::npos ? 0 : last + 1, fill(c.says).size()), fill(c.says)) << err;
  }
}

// -v brings the library's own records to standard error; without it there
// are none.
TEST(KvxCommand, VerboseShowsTheLibrarysLog) {
  for (bool verbose : {false, true}) {
    std::vector<std::string> argv = {KvxPath(), "stream", "--url", "http://127.0.0.1:1/", "--frames", "1"};
    if (verbose) argv.insert(argv.begin() + 1, "-v");
    Process process(argv);
    process.CloseInput();
    EXPECT_EQ(process.Wait(15000), 1);
    EXPECT_EQ(process.Stderr().find("[npt.http]") != std::string::npos, verbose) << process.Stderr();
  }
}

// The rate is that of the last second, not of the whole run.
TEST(KvxProgress, RateIsTheLastSecondsAndAStallIsCounted) {
  using namespace std::chrono;
  kvx_cli::RateMeter rate;
  const auto t0 = steady_clock::now();
  rate.Update(0, 0, t0);
  for (int tenth = 1; tenth <= 20; ++tenth) {
    // 100 frames a second for a second, then 10 a second.
    const uint64_t frames = tenth <= 10 ? 10 * tenth : 100 + (tenth - 10);
    rate.Update(frames, frames * 1000, t0 + milliseconds(100 * tenth));
  }
  EXPECT_NEAR(rate.FramesPerSecond(), 10, 0.5);
  EXPECT_NEAR(rate.BytesPerSecond(), 10000, 500);
  EXPECT_NEAR(rate.SecondsWithoutFrames(t0 + milliseconds(5000)), 3, 0.01);
}

TEST(KvxCommand, HelpForEachSubcommand) {
  for (const char* sub : {"", "--help", "demo", "list", "stream", "simulate", "view"}) {
    std::vector<std::string> argv = {KvxPath()};
    if (*sub) argv.push_back(sub);  // bare: the help, not the demo
    if (*sub && std::string(sub) != "--help") argv.push_back("--help");
    Process process(argv);
    process.CloseInput();
    EXPECT_EQ(process.Wait(30000), 0) << sub;
    EXPECT_EQ(process.Stdout().rfind("usage: kvx", 0), 0u) << sub << ": " << process.Stdout();
    EXPECT_EQ(process.Stderr(), "");
  }
}

TEST(KvxCommand, DemoFindsStreamsVerifiesAndSaves) {
  TempDir dir;
  const std::string out = dir.Path() + "/out";
  Process process({KvxPath(), "demo", "--frames", "20", "--out", out});
  process.CloseInput();
  ASSERT_EQ(process.Wait(20000), 0) << process.Stdout() << process.Stderr();
  const std::string& text = process.Stdout();
  EXPECT_NE(text.find("device            Demo Device (handle "), std::string::npos) << text;
  EXPECT_NE(text.find("url               http://kvxdemo-device-1:8099/"), std::string::npos) << text;
  EXPECT_NE(text.find("frames            20 of 20 (20 verified)"), std::string::npos) << text;
  EXPECT_NE(text.find("time to discovery"), std::string::npos);
  // Six frames were saved, each a decodable 640x480 picture of the pattern.
  std::vector<std::string> frames = ListDir(out, ".jpg");
  ASSERT_EQ(frames.size(), 7u);  // six frames and the sheet
  uint32_t last = 0;
  int seen = 0;
  for (const std::string& name : frames) {
    std::vector<uint8_t> jpeg, rgb;
    ASSERT_TRUE(kvx_cli::ReadFile(out + "/" + name, &jpeg));
    int w = 0, h = 0;
    ASSERT_TRUE(kvx_image::DecodeJpeg(jpeg.data(), jpeg.size(), &rgb, &w, &h)) << name;
    if (name == "contact-sheet.jpg") {
      EXPECT_EQ(w, 8 + 3 * (320 + 8));
      EXPECT_EQ(h, 8 + 2 * (240 + 8));
      continue;
    }
    EXPECT_EQ(w, 640);
    EXPECT_EQ(h, 480);
    uint32_t seq = 0;
    ASSERT_TRUE(kvx_sim::ReadPatternSequence(rgb.data(), w, h, 3, &seq)) << name;
    if (seen++) {
      EXPECT_NE(seq, last);
    }
    last = seq;
  }
}

TEST(KvxCommand, StreamOverTcpSavesFramesOfEachFormat) {
  kvx_sim::SimulatedHost host;
  struct Case {
    kvx_sim::PatternFormat format;
    const char* id;
    const char* size_arg;
    const char* ext;
    size_t file_size;
  };
  const Case cases[] = {
      {kvx_sim::PatternFormat::kJpeg, "jpeg-dev", nullptr, ".jpg", 0},
      {kvx_sim::PatternFormat::kRgb, "rgb-dev", "64x48", ".ppm", 13 + 64 * 48 * 3},
      {kvx_sim::PatternFormat::kRgba, "rgba-dev", "64x48", ".pam", 67 + 64 * 48 * 4},
      {kvx_sim::PatternFormat::kRgba, "rgba-nosize", nullptr, ".raw", 64 * 48 * 4},
  };
  for (const Case& c : cases) {
    kvx_sim::SimDeviceSpec setup;
    setup.identifier = c.id;
    setup.name = c.id;
    setup.format = c.format;
    setup.width = 64;
    setup.height = 48;
    setup.fps = 0;
    std::string error;
    ASSERT_TRUE(host.AddDevice(setup, &error)) << error;
    TempDir dir;
    const std::string url = "http://127.0.0.1:" + std::to_string(host.AppPort(c.id)) + "/";
    std::vector<std::string> argv = {KvxPath(), "stream", "--url", "http://127.0.0.1:1/", url, "--frames", "5",
                                     "--out", dir.Path(), "--client", "tool-test"};
    if (c.size_arg) {
      argv.push_back("--size");
      argv.push_back(c.size_arg);
    }
    Process process(argv);
    process.CloseInput();
    ASSERT_EQ(process.Wait(30000), 0) << c.id << process.Stderr();
    EXPECT_NE(process.Stdout().find("stream summary: 5 frames"), std::string::npos) << process.Stdout();
    std::vector<std::string> files = ListDir(dir.Path(), c.ext);
    ASSERT_EQ(files.size(), 5u) << c.id;
    for (const std::string& name : files) {
      std::vector<uint8_t> data;
      ASSERT_TRUE(kvx_cli::ReadFile(dir.Path() + "/" + name, &data));
      if (c.file_size) {
        EXPECT_EQ(data.size(), c.file_size) << name;
      } else {
        std::vector<uint8_t> rgb;
        int w = 0, h = 0;
        EXPECT_TRUE(kvx_image::DecodeJpeg(data.data(), data.size(), &rgb, &w, &h)) << name;
      }
    }
  }
}

TEST(KvxCommand, StreamStopsCleanlyOnInterrupt) {
  kvx_sim::SimulatedHost host;
  kvx_sim::SimDeviceSpec setup;
  setup.identifier = "endless";
  setup.name = "Endless";
  setup.width = 64;
  setup.height = 48;
  setup.fps = 50;
  std::string error;
  ASSERT_TRUE(host.AddDevice(setup, &error)) << error;
  Process process({KvxPath(), "stream", "--url", "http://127.0.0.1:" + std::to_string(host.AppPort("endless")) + "/"});
  process.CloseInput();
  // Progress lines (once a second without a terminal) show that frames flow.
  ASSERT_TRUE(process.WaitForStderr("frames ", 30000)) << process.Stderr();
  process.Signal(SIGINT);
  EXPECT_EQ(process.Wait(30000), 0) << process.Stderr();
  EXPECT_NE(process.Stdout().find(", interrupted"), std::string::npos) << process.Stdout();
}

TEST(KvxCommand, SimulateAndListSeeAttachAndDetach) {
  Process sim({KvxPath(), "simulate", "--devices", "2", "--size", "64x48"});
  ASSERT_TRUE(sim.Started());
  std::string line = sim.WaitForLine("USBMUXD_SOCKET_ADDRESS=", 10000);
  ASSERT_EQ(line.rfind("USBMUXD_SOCKET_ADDRESS=UNIX:/", 0), 0u) << line << sim.Stderr();
  ASSERT_NE(sim.WaitForLine("device kvxsim-2 name=\"Simulated Device 2\"", 30000), "");

  Process list({KvxPath(), "list", "--json", "--seconds", "15"}, {line});
  list.CloseInput();
  const std::string found1 = list.WaitForLine("\"name\":\"Simulated Device 1\"", 10000);
  const std::string found2 = list.WaitForLine("\"name\":\"Simulated Device 2\"", 10000);
  ASSERT_NE(found1, "") << list.Stdout() << list.Stderr();
  ASSERT_NE(found2, "") << list.Stdout();
  EXPECT_EQ(found1.rfind("{\"event\":\"found\",\"name\":\"Simulated Device 1\",\"handle\":", 0), 0u) << found1;
  EXPECT_NE(found1.find("\"url\":\"http://kvxsim-1:8099/\"}"), std::string::npos) << found1;

  sim.Write("detach kvxsim-1\n");
  EXPECT_NE(sim.WaitForLine("ok detach kvxsim-1", 30000), "");
  EXPECT_EQ(list.WaitForLine("{\"event\":\"removed\",\"url\":\"http://kvxsim-1:8099/\"}", 30000),
            "{\"event\":\"removed\",\"url\":\"http://kvxsim-1:8099/\"}")
      << list.Stdout();
  sim.Write("attach kvxsim-1\n");
  EXPECT_NE(sim.WaitForLine("ok attached kvxsim-1", 30000), "");
  EXPECT_NE(list.WaitForLine("\"name\":\"Simulated Device 1\"", 30000), "") << list.Stdout();
  sim.Write("bogus\n");
  EXPECT_NE(sim.WaitForLine("error unknown command 'bogus'", 30000), "");

  // Every line on standard output is one JSON object.
  list.Signal(SIGINT);
  EXPECT_EQ(list.Wait(30000), 0);
  size_t start = 0, eol;
  int objects = 0;
  while ((eol = list.Stdout().find('\n', start)) != std::string::npos) {
    std::string object = list.Stdout().substr(start, eol - start);
    EXPECT_TRUE(object.front() == '{' && object.back() == '}') << object;
    start = eol + 1;
    ++objects;
  }
  // Two found, one removed per app of the detached device (the controller
  // reports the unanswered second port too), one found again.
  EXPECT_GE(objects, 4) << list.Stdout();
  sim.Write("quit\n");
  EXPECT_EQ(sim.Wait(30000), 0) << sim.Stderr();
}

TEST(KvxCommand, StreamByDeviceNameThroughTheTunnelAndAStalledApp) {
  Process sim({KvxPath(), "simulate", "--size", "64x48", "--fps", "60"});
  const std::string address = sim.WaitForLine("USBMUXD_SOCKET_ADDRESS=", 10000);
  ASSERT_NE(address, "") << sim.Stderr();
  {
    Process stream({KvxPath(), "stream", "--device", "Simulated Device 1", "--frames", "5"}, {address});
    stream.CloseInput();
    ASSERT_EQ(stream.Wait(20000), 0) << stream.Stdout() << stream.Stderr();
    EXPECT_EQ(stream.Stdout().find("found \"Simulated Device 1\" at http://kvxsim-1:8099/ (handle 1)\n"), 0u)
        << stream.Stdout();
    EXPECT_NE(stream.Stdout().find("stream summary: 5 frames (image/jpeg)"), std::string::npos) << stream.Stdout();
  }
  {
    // A stalled app answers but sends no frame: the progress line says so,
    // the time limit aborts the stream and the run fails for want of frames.
    sim.Write("stall kvxsim-1\n");
    ASSERT_NE(sim.WaitForLine("ok stall kvxsim-1", 30000), "");
    Process stream({KvxPath(), "stream", "--device", "simulated DEVICE 1", "--seconds", "3.5"}, {address});
    stream.CloseInput();
    EXPECT_EQ(stream.Wait(20000), 1) << stream.Stdout() << stream.Stderr();
    EXPECT_NE(stream.Stderr().find("frames 0  stalled 2 s"), std::string::npos) << stream.Stderr();
    EXPECT_NE(stream.Stderr().find("kvx stream: error: no frame received (the app sent none in 3."), std::string::npos)
        << stream.Stderr();
    EXPECT_NE(stream.Stdout().find("stream summary: 0 frames"), std::string::npos) << stream.Stdout();
  }
  {
    Process stream({KvxPath(), "stream", "--device", "Nobody", "--frames", "1"}, {address});
    stream.CloseInput();
    EXPECT_EQ(stream.Wait(20000), 1);
    EXPECT_EQ(stream.Stderr(),
              "kvx stream: error: no device named \"Nobody\" found within 10 s (found: \"Simulated Device 1\" at "
              "http://kvxsim-1:8099/)\n");
  }
  {
    // Discovery sees the device go, so the stream says why it ended.
    sim.Write("resume kvxsim-1\n");
    ASSERT_NE(sim.WaitForLine("ok resume kvxsim-1", 5000), "");
    Process stream({KvxPath(), "stream", "--device", "Simulated Device 1", "--frames", "100000"}, {address});
    stream.CloseInput();
    ASSERT_NE(stream.WaitForLine("found ", 15000), "");
    ASSERT_TRUE(stream.WaitForStderr("frames ", 10000));
    sim.Write("detach kvxsim-1\n");
    ASSERT_NE(sim.WaitForLine("ok detach kvxsim-1", 5000), "");
    EXPECT_EQ(stream.Wait(20000), 1);
    EXPECT_NE(stream.Stderr().find("kvx stream: error: device detached after "), std::string::npos) << stream.Stderr();
    EXPECT_NE(stream.Stderr().find(" of 100000 frames\n"), std::string::npos) << stream.Stderr();
  }
  sim.CloseInput();  // end of input ends the simulator
  EXPECT_EQ(sim.Wait(30000), 0) << sim.Stderr();
}

// Splits a multipart/x-mixed-replace body with boundary "kvxframe" into its
// JPEG parts, checking every part's headers; a trailing partial part (the
// transfer was cut off) is dropped.
std::vector<std::string> SplitRelayedParts(const std::string& body) {
  std::vector<std::string> parts;
  size_t pos = 0;
  for (;;) {
    const std::string delimiter = "--kvxframe\r\nContent-Type: image/jpeg\r\nContent-Length: ";
    if (body.compare(pos, delimiter.size(), delimiter) != 0) break;
    size_t eol = body.find("\r\n\r\n", pos);
    if (eol == std::string::npos) break;
    size_t length = std::stoul(body.substr(pos + delimiter.size(), eol - pos - delimiter.size()));
    size_t data = eol + 4;
    if (data + length + 2 > body.size()) break;
    parts.push_back(body.substr(data, length));
    EXPECT_EQ(body.substr(data + length, 2), "\r\n");
    pos = data + length + 2;
  }
  return parts;
}

TEST(KvxCommand, ViewRelaysFramesToCurlAndFfmpeg) {
  kvx_sim::SimulatedHost host;
  kvx_sim::SimDeviceSpec setup;
  setup.identifier = "view-dev";
  setup.name = "Viewed";
  setup.format = kvx_sim::PatternFormat::kRgb;  // the relay encodes raw frames
  setup.width = 160;
  setup.height = 120;
  setup.fps = 30;
  std::string error;
  ASSERT_TRUE(host.AddDevice(setup, &error)) << error;
  // No --size: 57600 bytes fit one usual size only.
  Process view({KvxPath(), "view", "--url", "http://127.0.0.1:" + std::to_string(host.AppPort("view-dev")) + "/",
                "--port", "0", "--seconds", "15"});
  view.CloseInput();
  const std::string line = view.WaitForLine("open http://127.0.0.1:", 10000);
  ASSERT_NE(line, "") << view.Stderr();
  EXPECT_NE(view.WaitForLine("kvx view: image/rgb frames of 57600 bytes shown as 160x120 (give --size WxH", 10000), "");
  const size_t at = line.find("127.0.0.1:") + 10;
  const std::string base = "http://127.0.0.1:" + line.substr(at, line.find('/', at) - at);
  TempDir dir;

  Process page({"/usr/bin/curl", "-s", "--max-time", "5", base + "/"});
  page.CloseInput();
  EXPECT_EQ(page.Wait(30000), 0);
  EXPECT_NE(page.Stdout().find("src=\"/stream\""), std::string::npos) << page.Stdout();

  Process headers({"/usr/bin/curl", "-s", "-D", dir.Path() + "/headers", "--max-time", "2", "-o",
                   dir.Path() + "/body", base + "/stream"});
  headers.CloseInput();
  EXPECT_EQ(headers.Wait(30000), 28);  // cut off by --max-time: the stream goes on
  std::vector<uint8_t> head, body;
  ASSERT_TRUE(kvx_cli::ReadFile(dir.Path() + "/headers", &head));
  ASSERT_TRUE(kvx_cli::ReadFile(dir.Path() + "/body", &body));
  EXPECT_NE(std::string(head.begin(), head.end()).find("Content-Type: multipart/x-mixed-replace; boundary=kvxframe"),
            std::string::npos);
  std::vector<std::string> parts = SplitRelayedParts(std::string(body.begin(), body.end()));
  ASSERT_GE(parts.size(), 10u);  // about 60 at 30 a second
  uint32_t last = 0;
  for (size_t n = 0; n < parts.size(); ++n) {
    std::vector<uint8_t> rgb;
    int w = 0, h = 0;
    ASSERT_TRUE(kvx_image::DecodeJpeg(reinterpret_cast<const uint8_t*>(parts[n].data()), parts[n].size(), &rgb, &w, &h));
    ASSERT_EQ(w, 160);
    uint32_t seq = 0;
    ASSERT_TRUE(kvx_sim::ReadPatternSequence(rgb.data(), w, h, 3, &seq)) << n;
    if (n) {
      EXPECT_GT(seq, last);
    }
    last = seq;
  }

  if (::access("/usr/bin/ffmpeg", X_OK) == 0) {
    Process ffmpeg({"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-f", "mpjpeg", "-i", base + "/stream",
                    "-frames:v", "3", dir.Path() + "/v%d.ppm"});
    ffmpeg.CloseInput();
    ASSERT_EQ(ffmpeg.Wait(30000), 0) << ffmpeg.Stderr();
    for (int n = 1; n <= 3; ++n) {
      std::vector<uint8_t> data;
      ASSERT_TRUE(kvx_cli::ReadFile(dir.Path() + "/v" + std::to_string(n) + ".ppm", &data));
      const std::string header = "P6\n160 120\n255\n";
      ASSERT_EQ(data.size(), header.size() + 160 * 120 * 3);
      uint32_t seq = 0;
      EXPECT_TRUE(kvx_sim::ReadPatternSequence(data.data() + header.size(), 160, 120, 3, &seq)) << n;
    }
  }
  view.Signal(SIGINT);
  EXPECT_EQ(view.Wait(30000), 0) << view.Stderr();
  EXPECT_NE(view.Stdout().find("kvx view: relayed "), std::string::npos);
}

TEST(KvxCommand, ViewOnATakenPortSaysSo) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(::listen(fd, 1), 0);
  socklen_t length = sizeof(address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  const int port = ntohs(address.sin_port);
  Process view({KvxPath(), "view", "--url", "http://127.0.0.1:1/", "--port", std::to_string(port)});
  view.CloseInput();
  EXPECT_EQ(view.Wait(30000), 1);
  EXPECT_EQ(view.Stderr(), "kvx view: error: port " + std::to_string(port) + " is in use\n");
  ::close(fd);
}

TEST(KvxSimulator, StreamIsAcceptedByFfmpeg) {
  if (::access("/usr/bin/ffmpeg", X_OK) != 0) GTEST_SKIP() << "ffmpeg is not installed";
  kvx_sim::SimulatedHost host;
  kvx_sim::SimDeviceSpec setup;
  setup.identifier = "ffmpeg-dev";
  setup.name = "For ffmpeg";
  setup.width = 320;
  setup.height = 240;
  setup.fps = 0;
  setup.frame_count = 8;
  setup.require_auth = false;  // ffmpeg cannot sign its request
  std::string error;
  ASSERT_TRUE(host.AddDevice(setup, &error)) << error;
  TempDir dir;
  Process ffmpeg({"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-f", "mpjpeg", "-i",
                  "http://127.0.0.1:" + std::to_string(host.AppPort("ffmpeg-dev")) + "/", "-frames:v", "5",
                  dir.Path() + "/f%d.ppm"});
  ffmpeg.CloseInput();
  ASSERT_EQ(ffmpeg.Wait(20000), 0) << ffmpeg.Stderr();
  for (int n = 1; n <= 5; ++n) {
    std::vector<uint8_t> data;
    ASSERT_TRUE(kvx_cli::ReadFile(dir.Path() + "/f" + std::to_string(n) + ".ppm", &data)) << n;
    const std::string header = "P6\n320 240\n255\n";
    ASSERT_EQ(data.size(), header.size() + 320 * 240 * 3);
    ASSERT_EQ(std::string(data.begin(), data.begin() + header.size()), header);
    uint32_t seq = 0;
    ASSERT_TRUE(kvx_sim::ReadPatternSequence(data.data() + header.size(), 320, 240, 3, &seq)) << n;
    EXPECT_EQ(seq, static_cast<uint32_t>(n - 1));
  }
}

}  // namespace
