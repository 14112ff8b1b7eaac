/* A Windows user's program: built against kvx/kvx.h and kvx.dll alone, it
 * streams frames from one URL over plain TCP and writes each frame's bytes to
 * OUT_DIR/frame-NNNN.bin, then the content types, one a line, to
 * OUT_DIR/types.txt.
 *
 * usage: stream_frames URL FRAMES OUT_DIR
 * Exit status 0 when FRAMES frames arrived, 1 when the stream ended early or
 * stalled for 60 s, 2 on bad arguments. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>

#include "kvx/kvx.h"

typedef struct {
  const char* out_dir;
  long wanted;
  volatile LONG received;
  volatile LONG failed;
  FILE* types;
  HANDLE done; /* manual-reset: enough frames, a write failure or the end */
} session;

static void on_frame(void* context, const unsigned char* data, uint64_t size, const char* content_type) {
  session* s = (session*)context;
  if (s->received >= s->wanted) return;
  char path[1024];
  snprintf(path, sizeof(path), "%s/frame-%04ld.bin", s->out_dir, (long)s->received);
  FILE* file = fopen(path, "wb");
  if (!file || fwrite(data, 1, (size_t)size, file) != (size_t)size) InterlockedExchange(&s->failed, 1);
  if (file) fclose(file);
  fprintf(s->types, "%s\n", content_type);
  if (InterlockedIncrement(&s->received) >= s->wanted || s->failed) SetEvent(s->done);
}

static void on_disconnected(void* context) { SetEvent(((session*)context)->done); }

int main(int argc, char** argv) {
  if (argc != 4 || atol(argv[2]) <= 0) {
    fprintf(stderr, "usage: stream_frames URL FRAMES OUT_DIR\n");
    return 2;
  }
  session s;
  memset(&s, 0, sizeof(s));
  s.out_dir = argv[3];
  s.wanted = atol(argv[2]);
  char types_path[1024];
  snprintf(types_path, sizeof(types_path), "%s/types.txt", s.out_dir);
  s.types = fopen(types_path, "w");
  s.done = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (!s.types || !s.done) return 1;

  const char* urls[1] = {argv[1]};
  kvx_device* device = kvx_device_create(urls, 1, 0);
  kvx_device_set_callbacks(device, on_frame, on_disconnected, &s);
  int32_t result = kvx_device_start(device, "kvx-windows-test");
  if (result != 0) {
    fprintf(stderr, "start failed: %s\n", kvx_result_name(result));
    return 1;
  }
  WaitForSingleObject(s.done, 60000);
  kvx_device_abort(device);
  kvx_device_destroy(device);
  fclose(s.types);
  printf("%ld frames\n", (long)s.received);
  return s.received >= s.wanted && !s.failed ? 0 : 1;
}
