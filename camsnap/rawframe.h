// Mapping the camera's raw frame file: a resolution flag, a channel byte and
// a planar YUV 4:2:0 image of 640x480 (flag non-zero) or 320x240 (flag 0).
#ifndef CAMSNAP_RAWFRAME_H
#define CAMSNAP_RAWFRAME_H

#include <signal.h>
#include <stddef.h>
#include <stdint.h>

constexpr int raw_header_bytes = 2;  // resolution flag, channel byte

// The image size that a frame's resolution flag announces.
inline int raw_width(uint8_t flag) { return flag ? 640 : 320; }
inline int raw_height(uint8_t flag) { return flag ? 480 : 240; }
inline long raw_frame_bytes(uint8_t flag)
{
	return raw_header_bytes + (long)raw_width(flag) * raw_height(flag) * 3 / 2;
}

// Set when the mapped file shrank under us and its pages were replaced by
// zeros; the picture read since then is not the camera's.
extern volatile sig_atomic_t raw_frame_lost;

// The resolution flag of the frame map_frame_file last accepted, as it was
// when checked.  The mapping is shared with the producer, so its first byte
// is read once: a flag that changed after the check would have the reader
// take a 640x480 frame's size over a 320x240 file.
extern uint8_t raw_frame_flag;

// What map_frame_file gives for a file that holds another channel's frame.
// That is no fault of the file: the producer moves on to the next channel
// while a reader is on its way, so the caller decides whether to wait for
// its own channel's next frame or to report it.
constexpr int raw_other_channel = 2;

// Map path read-only and check that it holds a whole frame of channel.
// Return 0 when it does, raw_other_channel (saying nothing) when it holds
// another channel's, 1 otherwise with the reason on standard error.
// *address (MAP_FAILED when nothing is mapped), *fd (-1 when nothing is open)
// and *length are left for release_frame_file in every case.
int map_frame_file(const char *path, int channel, uint8_t **address, int *fd, size_t *length);

// Undo what map_frame_file made.
void release_frame_file(uint8_t *address, int fd, size_t length);

// Close the file but leave its frame mapped, never to be read again, for
// the process's exit to take down with the rest of its memory.
void leave_frame_file(int fd);

#endif
