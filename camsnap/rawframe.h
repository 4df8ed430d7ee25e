// The raw frame file's two sides.  A reader waits for a fresh frame of its
// channel, holds a read unit while it maps and uses the file, and gives both
// units back; the camera holds off the readers of the frames concerned while
// it rewrites the file, then raises the channel it wrote.
#ifndef CAMSNAP_RAWFRAME_H
#define CAMSNAP_RAWFRAME_H

#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include "rawframe_format.h"

static_assert([] {
	for (raw_frame_size s : raw_frame_sizes)
		if ((long)s.width * s.height * 3 / 2 > RAW_LARGEST_IMAGE_BYTES)
			return false;
	return true;
}(), "RAW_LARGEST_IMAGE_BYTES must hold every frame size");

// The frame file as map_frame_file left it.  The mapping is shared with the
// camera, so its flag is read once: a flag that changed after the check
// would have the reader take a 640x480 frame's size over a 320x240 file.
struct frame_map {
	uint8_t *address;            // the mapping, MAP_FAILED when there is none
	size_t length;               // its length
	int fd;                      // the open file, -1 when there is none
	uint8_t flag;                // the resolution flag as it was when checked
	volatile sig_atomic_t lost;  // the file shrank: zeros were read since
};

// What map_frame_file gives for a file that holds another channel's frame:
// no fault, as the camera may move on while a reader is on its way.
constexpr int raw_other_channel = 2;

// Map path read-only and check that it holds a whole frame of channel.
// Return 0 when it does, raw_other_channel (saying nothing) when it holds
// another channel's, 1 otherwise with the reason on standard error.  map is
// left for release_frame_file in every case.
int map_frame_file(const char *path, int channel, frame_map *map);

// Undo what map_frame_file made.  Unless unmap is set the frame stays
// mapped, never read again, for the process's exit to take down: unmapping
// it alone costs a TLB invalidation per page for up to 33 pages on x86 (a
// 320x240 frame's 29: some 600 us on our virtual machines) and on ARM.
void release_frame_file(frame_map *map, bool unmap);

// A reader's hold on one channel.
struct frame_hold {
	int channel;
	int sem_write;  // the channel's write semaphore
	int sem_read;   // its read semaphore
	int seen;       // the channel of the last other channel's frame met, -1 for none
	frame_map map;  // the file, once take_frame mapped it
};

// What take_frame got; after frame_mapped and frame_unreadable the units
// are held till give_frame.
enum frame_result {
	frame_mapped,      // a whole frame of the channel is mapped
	frame_unreadable,  // the file cannot be read
	frame_elsewhere,   // while waiting: no frame of the channel yet
	frame_none,        // no frame before the deadline, or a semaphore failed
};

// Find channel's semaphores and reset its write semaphore, so that only a
// frame the camera finishes from now on lets the reader through.  Return 0
// when done, 1 when a semaphore is missing, -1 when the reset fails, each
// after a message.
int ready_frame(frame_hold *hold, int channel);

// Wait until deadline (CLOCK_MONOTONIC) for the next frame of the channel
// that ready_frame prepared, take a read unit and map the file.  A camera
// that wrote only other channels' frames in that time gives frame_none,
// after a line that says so.
frame_result take_frame(frame_hold *hold, const struct timespec *deadline);

// The same for whichever of the count channels prepared in holds, and still
// wanted, has the first frame; the one deadline bounds the wait for them
// all, and a channel whose frame comes while another is waited for is not
// missed.  first is the index looked at first: the camera writes the
// channels in turn, so the one after the channel last taken.  Return what
// the channel got and its index in *which (a frame_none there is a failed
// semaphore: that channel is not to be waited for again), or frame_none and
// -1 when the deadline passed, after a line for each wanted channel that met
// only other channels' frames.
frame_result take_first_frame(frame_hold *holds, const bool *wanted, int count, int first,
                              const struct timespec *deadline, int *which);

// Undo what take_frame made, the mapping as release_frame_file does.  Return
// 0 when the units went back or none were held, 1 when an operation failed.
int give_frame(frame_hold *hold, frame_result got, bool unmap);

// The camera's side.  Take the read units of the channel whose frame the
// file holds (in_file, -1 for none) and of channel, whose frame is to
// replace it, undone should the camera die.  The wait has no bound but
// *stop, looked at every 200 ms.  Return false, holding nothing, when
// stopped or when a semaphore fails (with a message).
bool hold_frame_readers(int in_file, int channel, const volatile sig_atomic_t *stop);

// Give back the units that hold_frame_readers took.
void release_frame_readers(int in_file, int channel);

// Raise channel's write semaphore by units, its frame being in the file.  A
// large value, of a channel nobody reads, is cut back to units.
bool raise_frame(int channel, int units);

#endif
