/* See direct_reader.h. One reader per process: the buffer is static. */
#include "direct_reader.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>

#define BUFFER_SIZE 65536

static int fd;
static char buffer[BUFFER_SIZE];
static size_t start, end;

/* Next line (CR LF or LF stripped) in `line`; 0 at the end of the stream. */
static int read_line(char* line, size_t capacity) {
  for (;;) {
    char* newline = memchr(buffer + start, '\n', end - start);
    if (newline) {
      size_t length = (size_t)(newline - (buffer + start));
      if (length > 0 && newline[-1] == '\r') --length;
      if (length >= capacity) length = capacity - 1;
      memcpy(line, buffer + start, length);
      line[length] = 0;
      start = (size_t)(newline - buffer) + 1;
      return 1;
    }
    if (start > 0) {
      memmove(buffer, buffer + start, end - start);
      end -= start;
      start = 0;
    }
    if (end == BUFFER_SIZE) return 0;
    ssize_t got = recv(fd, buffer + end, BUFFER_SIZE - end, 0);
    if (got <= 0) return 0;
    end += (size_t)got;
  }
}

int direct_read_frames(int socket_fd, unsigned long long* frames_out, unsigned long long* bytes_out) {
  unsigned long long frames = 0, bytes = 0;
  fd = socket_fd;
    char line[1024];
    char* frame = NULL;
    size_t capacity = 0;
    /* Response head. */
    while (read_line(line, sizeof(line)) && line[0]) {
    }
    for (;;) {
      size_t length = 0, have;
      int found = 0;
      if (!read_line(line, sizeof(line))) break;
      if (!line[0]) continue;
      if (line[0] != '-' || line[1] != '-') break;
      if (strlen(line) >= 4 && strcmp(line + strlen(line) - 2, "--") == 0) break;
      while (read_line(line, sizeof(line)) && line[0]) {
        if (strncasecmp(line, "Content-Length:", 15) == 0) {
          length = strtoul(line + 15, NULL, 10);
          found = 1;
        }
      }
      if (!found) break;
      if (length > capacity) {
        free(frame);
        frame = malloc(length);
        if (!frame) return -1;
        capacity = length;
      }
      have = end - start < length ? end - start : length;
      memcpy(frame, buffer + start, have);
      start += have;
      while (have < length) {
        ssize_t got = recv(fd, frame + have, length - have, 0);
        if (got <= 0) break;
        have += (size_t)got;
      }
      if (have < length) break;
      ++frames;
      bytes += length;
    }
  free(frame);
  *frames_out = frames;
  *bytes_out = bytes;
  return 0;
}
