/* raw-reader: the minimal readers the library is measured against.
 *   raw-reader discard PORT TARGET   recv into one 64 KiB buffer and drop it
 *   raw-reader frame PORT TARGET     parse the multipart parts and recv each
 *                                    body straight into a reused frame buffer
 * Sends "GET TARGET HTTP/1.0" to 127.0.0.1:PORT; prints "frames=F bytes=B"
 * (frames counted only by the frame reader; bytes are the body bytes read). */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#define BUFFER_SIZE 65536

static int fd;
static char buffer[BUFFER_SIZE];
static size_t start, end;

static int connect_to(int port, const char* target) {
  struct sockaddr_in address;
  char request[1024];
  int length;
  fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_port = htons((unsigned short)port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, (struct sockaddr*)&address, sizeof(address)) != 0) return -1;
  length = snprintf(request, sizeof(request), "GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", target);
  return send(fd, request, (size_t)length, 0) == length ? 0 : -1;
}

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

int main(int argc, char** argv) {
  unsigned long long frames = 0, bytes = 0;
  if (argc != 4) {
    fprintf(stderr, "usage: raw-reader discard|frame PORT TARGET\n");
    return 2;
  }
  if (connect_to(atoi(argv[2]), argv[3]) != 0) {
    perror("raw-reader: connect");
    return 1;
  }
  if (strcmp(argv[1], "discard") == 0) {
    ssize_t got;
    while ((got = recv(fd, buffer, BUFFER_SIZE, 0)) > 0) bytes += (unsigned long long)got;
  } else {
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
        if (!frame) return 1;
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
  }
  close(fd);
  printf("frames=%llu bytes=%llu\n", frames, bytes);
  return 0;
}
