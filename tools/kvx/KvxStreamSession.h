#pragma once
// One streaming run through KVX_Device, shared by `kvx stream` and `kvx demo`,
// or through a session that follows a device across resumes (`--follow`):
// counts and optionally verifies and saves frames on the worker that delivers
// them, shows a progress line from the calling thread, and ends on a frame
// count, a time limit, the end of the stream (not when following) or an
// interrupt (through Abort).

#include "KvxDevice.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kvx_cli {

struct StreamOptions {
  // Not empty: follow the device of that name or identifier with a session
  // (urls and handle are then unused); frames are counted across resumes.
  std::string follow;
  std::vector<std::string> urls;
  int32_t handle = 0;            // 0: plain TCP
  std::string client = "kvx";
  uint64_t max_frames = 0;       // 0: no limit
  double max_seconds = 0;        // 0: no limit
  std::string out_dir;           // empty: save nothing
  uint64_t save_every = 1;       // save frames 0, k, 2k, ... of the run
  uint64_t save_limit = 0;       // 0: no limit
  int width = 0;                 // raw frame dimensions when known
  int height = 0;
  // Decode every frame as a test-pattern JPEG of width x height and check
  // that its frame numbers increase.
  bool verify_pattern = false;
  bool progress = true;          // progress line on standard error (current
                                 // rate, or how long no frame has come)
};

struct StreamStats {
  bool connected = false;
  bool ended_by_peer = false;    // OnDisconnection: the stream ended or failed
  bool interrupted = false;
  uint64_t frames = 0;
  uint64_t bytes = 0;
  uint64_t verified = 0;
  uint64_t verify_failures = 0;
  std::string first_failure;     // what the first failed check saw
  std::string content_type;      // of the first frame
  double seconds = 0;            // from the first frame to the last
  double run_seconds = 0;        // from Start to the end of the run
  double connect_seconds = 0;    // from Start to OnConnection
  KVX_DeviceOutcome outcome;     // why the run ended, as the device tells
  uint32_t streams = 0;          // following: streams that delivered frames
  std::vector<std::string> saved;
  uint64_t save_failures = 0;

  double FramesPerSecond() const;
};

// Runs one stream. False, with a one-line *error, when an argument is invalid
// (a URL that does not parse as http) or the stream could not start; the
// outcome of a run that started is in *stats.
bool RunStreamSession(const StreamOptions& options, StreamStats* stats, std::string* error);

}  // namespace kvx_cli
