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

#include "direct_reader.h"

#define BUFFER_SIZE 65536

static int fd;
static char buffer[BUFFER_SIZE];

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
    if (direct_read_frames(fd, &frames, &bytes) != 0) return 1;
  }
  close(fd);
  printf("frames=%llu bytes=%llu\n", frames, bytes);
  return 0;
}
