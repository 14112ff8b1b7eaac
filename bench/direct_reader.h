/* The "direct" reader the library is measured against: part headers through
 * one 64 KiB buffer, each body received straight into a reused frame buffer.
 * Shared by raw-reader (plain TCP) and tunnel-direct (a usbmux tunnel). */
#ifndef KVX_BENCH_DIRECT_READER_H
#define KVX_BENCH_DIRECT_READER_H

#ifdef __cplusplus
extern "C" {
#endif

/* Reads the multipart response on the connected socket `socket_fd` (the
 * response head is skipped) until it ends or breaks; counts whole frames and
 * their bytes. 0, or -1 when the frame buffer cannot be allocated. */
int direct_read_frames(int socket_fd, unsigned long long* frames, unsigned long long* bytes);

#ifdef __cplusplus
}
#endif

#endif
