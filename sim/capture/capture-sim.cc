// capture-sim: a stand-in for the appliance's camera capture process, so that
// camsnap can be run, shown and tested off the appliance.
//
// It creates the eight frame semaphores (write 0, read 1) and the raw frame
// file, then writes frames of the channels it is given, in turn, at a given
// rate, as camsnap's frame module has a camera do.  Each picture is a made-up
// outdoor scene per channel (or the frames of a Y4M file) with the channel
// number and a frame counter drawn in, moving so that a person sees it live
// and a test sees that frames are fresh.  On SIGTERM or SIGINT it
// removes everything it created.
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "deadline.h"
#include "number.h"
#include "rawframe.h"

constexpr const char *raw_path = RAW_FRAME_PATH;
constexpr const char *lock_path = "/tmp/.capture-sim.lock";
constexpr int channel_count = RAW_CHANNELS;
constexpr int semaphore_count = 2 * RAW_CHANNELS; // a write and a read semaphore per channel
constexpr int default_rate = 25;        // frames a second, all channels together
constexpr int no_channel = 255;         // channel byte of a file without a frame yet
constexpr long reader_grace_us = 20000; // longest a taken frame is kept for its readers
constexpr long reader_poll_us = 100;
constexpr int y4m_header_max = 512;

struct plane_set {
	std::vector<uint8_t> y, u, v;
	int width, height;
};

struct channel {
	int number;
	int flag;              // the resolution flag of its frames
	int width, height;
	bool stopped;          // not delivering (SIGUSR1 on the last channel listed)
	unsigned frames;       // frames written so far
	uint32_t seed;
	plane_set scene;       // the panorama the camera pans over
	FILE *y4m;             // frames from a Y4M file instead, or null
	long y4m_first;        // offset of the file's first frame
	plane_set y4m_frame;   // the Y4M frame just read, at the file's size
	std::vector<uint8_t> frame; // flag, channel byte and planes, as written
};

static volatile sig_atomic_t stopping;   // SIGTERM or SIGINT came
static volatile sig_atomic_t pause_last; // 1 after SIGUSR1, 0 after SIGUSR2
static int sem_ids[semaphore_count];     // created semaphores, -1 where none
static bool made_raw;                    // we created the raw frame file
static int lock_fd = -1;                 // our lock on lock_path, or -1

static void usage()
{
	fprintf(stderr, "usage: capture-sim [-r frames-per-second] [-y file.y4m] "
	    "channel[:WIDTHxHEIGHT]...\n"
	    "  -r  frames a second over all channels (default %d; 0: as fast as possible)\n"
	    "  -y  take the pictures from a Y4M file (4:2:0 at one of the sizes)\n"
	    "  SIGUSR1 stops the last channel listed, SIGUSR2 starts it again.\n"
	    "sizes:", default_rate);
	for (raw_frame_size size : raw_frame_sizes)
		fprintf(stderr, " %dx%d", size.width, size.height);
	fprintf(stderr, " (default %dx%d)\n", raw_size(1).width, raw_size(1).height);
	exit(2);
}

// The resolution flag of width x height frames, or -1 for a size no camera
// sends.
static int flag_of(int width, int height)
{
	for (int flag = 0; flag < RAW_SIZE_COUNT; flag++)
		if (raw_frame_sizes[flag].width == width && raw_frame_sizes[flag].height == height)
			return flag;
	return -1;
}

static void on_stop(int)
{
	stopping = 1;
}

static void on_pause(int sig)
{
	pause_last = sig == SIGUSR1;
}

// Remove what this process created.  Safe to call more than once.
static void remove_created()
{
	for (int i = 0; i < semaphore_count; i++) {
		if (sem_ids[i] >= 0 && semctl(sem_ids[i], 0, IPC_RMID) < 0)
			perror("semctl IPC_RMID");
		sem_ids[i] = -1;
	}
	if (made_raw && unlink(raw_path) < 0 && errno != ENOENT)
		perror("unlink /tmp/raw.camsnap");
	made_raw = false;
	if (lock_fd >= 0) {
		unlink(lock_path);
		close(lock_fd);
		lock_fd = -1;
	}
}

static void fail(const char *what)
{
	perror(what);
	remove_created();
	exit(1);
}

// A reader took the frame just raised; it, and the readers that its release
// lets through, should get that frame before the file changes.  Wait until
// the last of them has given its units back (a write unit nobody took, the
// read unit free), but no longer than reader_grace_us, so that readers who
// keep arriving cannot hold up the camera.
static void let_readers_finish(int write_id, int read_id)
{
	for (long waited = 0; waited < reader_grace_us && !stopping; waited += reader_poll_us) {
		if (semctl(write_id, 0, GETVAL) > 0 && semctl(read_id, 0, GETVAL) > 0)
			return;
		usleep(reader_poll_us);
	}
}

// Take the lock that tells producers apart, or end the program naming the
// producer that holds it.  Return the semaphore ids that a producer which
// died without cleaning up recorded in the lock file, -1 where none.
static void take_lock(int stale[semaphore_count])
{
	for (int i = 0; i < semaphore_count; i++)
		stale[i] = -1;
	int fd = open(lock_path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
	if (fd < 0) {
		fprintf(stderr, "capture-sim: cannot open %s (%s): another producer "
		    "owns the camera semaphores\n", lock_path, strerror(errno));
		exit(1);
	}
	struct flock lk = {};
	lk.l_type = F_WRLCK;
	lk.l_whence = SEEK_SET;
	if (fcntl(fd, F_SETLK, &lk) < 0) {
		struct flock who = lk;
		int pid = fcntl(fd, F_GETLK, &who) == 0 ? who.l_pid : 0;
		fprintf(stderr, "capture-sim: another producer (pid %d) owns the camera "
		    "semaphores and %s; stop it first\n", pid, raw_path);
		exit(1);
	}
	char text[256] = "";
	ssize_t n = pread(fd, text, sizeof text - 1, 0);
	if (n > 0) {
		text[n] = 0;
		int pid;
		sscanf(text, "%d %d %d %d %d %d %d %d %d", &pid, &stale[0], &stale[1],
		    &stale[2], &stale[3], &stale[4], &stale[5], &stale[6], &stale[7]);
	}
	lock_fd = fd;
}

static int key_of(int i)
{
	return i < channel_count ? RAW_WRITE_KEY_BASE + i : RAW_READ_KEY_BASE + i - channel_count;
}

// Create the eight semaphores: write 0, read 1, usable by every user (the web
// server's user runs camsnap).  Ones a dead capture-sim left are replaced;
// any other existing one belongs to another producer and ends the program.
static void create_semaphores(const int stale[semaphore_count])
{
	for (int i = 0; i < semaphore_count; i++) {
		int key = key_of(i);
		int id = semget(key, 1, IPC_CREAT | IPC_EXCL | 0666);
		if (id < 0 && errno == EEXIST) {
			int old = semget(key, 1, 0);
			if (old >= 0 && old == stale[i] && semctl(old, 0, IPC_RMID) == 0)
				id = semget(key, 1, IPC_CREAT | IPC_EXCL | 0666);
			else {
				fprintf(stderr, "capture-sim: semaphore key %d already exists: "
				    "another producer owns the camera semaphores; stop it, or "
				    "remove a leftover with ipcrm -S %d\n", key, key);
				remove_created();
				exit(1);
			}
		}
		if (id < 0)
			fail("semget");
		sem_ids[i] = id;
		if (semctl(id, 0, SETVAL, i < channel_count ? 0 : 1) < 0)
			fail("semctl SETVAL");
	}
	char text[256];
	int len = snprintf(text, sizeof text, "%d %d %d %d %d %d %d %d %d\n", (int)getpid(),
	    sem_ids[0], sem_ids[1], sem_ids[2], sem_ids[3], sem_ids[4], sem_ids[5],
	    sem_ids[6], sem_ids[7]);
	if (ftruncate(lock_fd, 0) < 0 || pwrite(lock_fd, text, len, 0) != len)
		fail("write lock file");
}

// Create a fresh raw frame file of the largest frame's size.  It never
// shrinks, so that a reader's mapping never ends inside a frame; its channel
// byte names no channel until the first frame is in.
static int create_raw(size_t size)
{
	if (unlink(raw_path) < 0 && errno != ENOENT)
		fail("unlink /tmp/raw.camsnap");
	int fd = open(raw_path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
	if (fd < 0)
		fail("open /tmp/raw.camsnap");
	made_raw = true;
	if (fchmod(fd, 0666) < 0 || ftruncate(fd, size) < 0)
		fail("create /tmp/raw.camsnap");
	uint8_t head[RAW_HEADER_BYTES] = {};
	head[RAW_CHANNEL_BYTE] = no_channel;
	if (pwrite(fd, head, sizeof head, 0) != (ssize_t)sizeof head)
		fail("write /tmp/raw.camsnap");
	return fd;
}

// Pseudo-random numbers: cheap, and the same scene on every machine.
static uint32_t next_random(uint32_t *state)
{
	uint32_t x = *state;
	x ^= x << 13;
	x ^= x >> 17;
	x ^= x << 5;
	return *state = x;
}

static float lattice(uint32_t seed, int x, int y)
{
	uint32_t h = seed * 2246822519u + (uint32_t)x * 374761393u;
	h = (h ^ (h >> 15)) * 2654435761u + (uint32_t)y * 668265263u;
	h = (h ^ (h >> 13)) * 1274126177u;
	return (float)((h ^ (h >> 16)) & 0xffff) / 65535.0f;
}

// Smooth value noise summed over octaves: 0 to about 1, detail down to two
// samples when the finest period is small.
static float fractal(uint32_t seed, float x, float y, float period, int octaves)
{
	float sum = 0, weight = 0.5f, total = 0;
	for (int o = 0; o < octaves; o++) {
		float fx = x / period, fy = y / period;
		int ix = (int)floorf(fx), iy = (int)floorf(fy);
		float tx = fx - ix, ty = fy - iy;
		tx = tx * tx * (3 - 2 * tx);
		ty = ty * ty * (3 - 2 * ty);
		float a = lattice(seed + o, ix, iy), b = lattice(seed + o, ix + 1, iy);
		float c = lattice(seed + o, ix, iy + 1), d = lattice(seed + o, ix + 1, iy + 1);
		sum += weight * (a + (b - a) * tx + (c + (d - c) * tx - a - (b - a) * tx) * ty);
		total += weight;
		weight *= 0.55f;
		period /= 2;
	}
	return sum / total;
}

static uint8_t clamp_byte(float v)
{
	return v < 0 ? 0 : v > 255 ? 255 : (uint8_t)(v + 0.5f);
}

static void resize_planes(plane_set *p, int width, int height)
{
	p->width = width;
	p->height = height;
	p->y.assign((size_t)width * height, 16);
	p->u.assign((size_t)width * height / 4, 128);
	p->v.assign((size_t)width * height / 4, 128);
}

// Paint one sample of the scene at (x, y) in scene units where the frame is
// 480 rows high, whatever its real size.
static void scene_sample(uint32_t seed, float x, float y, float horizon, float hill,
    float fine, float *Y, float *U, float *V)
{
	if (y < hill) {
		float cloud = fractal(seed + 11, x, y * 2.2f, 160, 5);
		cloud = cloud > 0.52f ? (cloud - 0.52f) * 3.2f : 0;
		if (cloud > 1)
			cloud = 1;
		float sky = 150 + 60 * y / horizon;
		*Y = sky + (235 - sky) * cloud;
		*U = 152 - 24 * cloud - 10 * y / horizon;
		*V = 112 + 16 * cloud;
	} else if (y < horizon) {
		float t = fractal(seed + 23, x, y, 12 * fine, 5);
		*Y = 92 + 50 * t;
		*U = 126 + 6 * t;
		*V = 120;
	} else {
		float depth = (y - horizon) / (480 - horizon);
		float grass = fractal(seed + 37, x, y * 0.5f, fine * (1.5f + 5 * depth), 4);
		float patch = fractal(seed + 41, x, y, 90, 3);
		float blades = lattice(seed + 61, (int)x, (int)y) - 0.5f;
		*Y = 50 + 70 * patch + 100 * grass * (0.5f + depth) / fine + 100 * blades / fine;
		*U = 104 + 14 * patch;
		*V = 118 + 18 * patch - 8 * grass;
	}
}

// A panorama one and a half frames wide: sky with clouds, hills, a field,
// and a few houses and trees, laid out from the channel's seed.
static void make_scene(channel *ch)
{
	int w = ch->width, h = ch->height;
	int pw = w + w / 2;
	float scale = 480.0f / h;
	plane_set *s = &ch->scene;
	resize_planes(s, pw, h);
	uint32_t seed = ch->seed;
	float horizon = 250 + 60 * lattice(seed, 1, 1);
	float fine = ch->number == 0 ? 1 : 2; // channel 0 looks at the most detail
	std::vector<float> hill(pw);
	for (int x = 0; x < pw; x++)
		hill[x] = horizon - 20 - 110 * fractal(seed + 5, x * scale, 0, 300, 4);

	for (int y = 0; y < h; y++)
		for (int x = 0; x < pw; x++) {
			float Y, U, V;
			scene_sample(seed, x * scale, y * scale, horizon, hill[x], fine, &Y, &U, &V);
			s->y[(size_t)y * pw + x] = clamp_byte(Y);
			if (!(x & 1) && !(y & 1)) {
				size_t c = (size_t)(y / 2) * (pw / 2) + x / 2;
				s->u[c] = clamp_byte(U);
				s->v[c] = clamp_byte(V);
			}
		}

	// Houses: walls, a dark roof and rows of windows.
	uint32_t r = seed | 1;
	int houses = 2 + next_random(&r) % 3;
	for (int k = 0; k < houses; k++) {
		int hw = (40 + next_random(&r) % 90) / scale;
		int hh = (30 + next_random(&r) % 60) / scale;
		int x0 = next_random(&r) % (pw - hw);
		int base = (horizon + 10 + next_random(&r) % 40) / scale;
		uint8_t wall = 150 + next_random(&r) % 80;
		for (int y = base - hh - hh / 2; y < base && y < h; y++)
			for (int x = x0; x < x0 + hw; x++) {
				if (y < 0)
					continue;
				bool roof = y < base - hh;
				if (roof && abs(2 * (x - x0) - hw) > hw * (y - (base - hh - hh / 2)) / (hh / 2 + 1))
					continue;
				bool window = !roof && (x - x0) % (14 / (int)scale + 4) > 4 &&
				    (base - y) % (18 / (int)scale + 4) > 6 && y < base - 6 / scale;
				uint8_t grain = next_random(&r) % 12;
				s->y[(size_t)y * pw + x] = roof ? 50 + grain : window ? 40 + grain : wall - grain;
				size_t c = (size_t)(y / 2) * (pw / 2) + x / 2;
				s->u[c] = roof ? 120 : 122;
				s->v[c] = roof ? 150 : window ? 124 : 138;
			}
	}
	// Trees: round crowns of leaf texture on dark trunks.
	int trees = 4 + next_random(&r) % 5;
	for (int k = 0; k < trees; k++) {
		int radius = (20 + next_random(&r) % 40) / scale;
		int cx = next_random(&r) % pw;
		int cy = (horizon - 10 + next_random(&r) % 60) / scale;
		for (int y = cy - radius; y < cy + 2 * radius && y < h; y++)
			for (int x = cx - radius; x < cx + radius; x++) {
				if (y < 0 || x < 0 || x >= pw)
					continue;
				int dx = x - cx, dy = y - cy;
				bool crown = dx * dx + dy * dy < radius * radius;
				bool trunk = !crown && y > cy && abs(dx) < radius / 6 + 1;
				if (!crown && !trunk)
					continue;
				float leaf = fractal(seed + 53 + k, x * scale, y * scale, 3, 3);
				s->y[(size_t)y * pw + x] = trunk ? 45 : clamp_byte(35 + 110 * leaf);
				size_t c = (size_t)(y / 2) * (pw / 2) + x / 2;
				s->u[c] = trunk ? 124 : 108;
				s->v[c] = trunk ? 134 : 112;
			}
	}
}

// A 5x7 font for the overlay: one row a byte, high bit on the left.
struct glyph {
	char c;
	uint8_t rows[7];
};
static const glyph font[] = {
	{'0', {0x70, 0x88, 0x98, 0xa8, 0xc8, 0x88, 0x70}},
	{'1', {0x20, 0x60, 0x20, 0x20, 0x20, 0x20, 0x70}},
	{'2', {0x70, 0x88, 0x08, 0x10, 0x20, 0x40, 0xf8}},
	{'3', {0xf8, 0x10, 0x20, 0x10, 0x08, 0x88, 0x70}},
	{'4', {0x10, 0x30, 0x50, 0x90, 0xf8, 0x10, 0x10}},
	{'5', {0xf8, 0x80, 0xf0, 0x08, 0x08, 0x88, 0x70}},
	{'6', {0x30, 0x40, 0x80, 0xf0, 0x88, 0x88, 0x70}},
	{'7', {0xf8, 0x08, 0x10, 0x20, 0x40, 0x40, 0x40}},
	{'8', {0x70, 0x88, 0x88, 0x70, 0x88, 0x88, 0x70}},
	{'9', {0x70, 0x88, 0x88, 0x78, 0x08, 0x10, 0x60}},
	{'C', {0x70, 0x88, 0x80, 0x80, 0x80, 0x88, 0x70}},
	{'H', {0x88, 0x88, 0x88, 0xf8, 0x88, 0x88, 0x88}},
	{'#', {0x50, 0x50, 0xf8, 0x50, 0xf8, 0x50, 0x50}},
};

// Draw text in white on a black box at (x0, y0) of the Y plane, each font
// dot scale x scale samples, and grey out the chroma under the box.
static void draw_text(uint8_t *y_plane, uint8_t *u, uint8_t *v, int w, int x0, int y0,
    int scale, const char *text)
{
	int len = strlen(text);
	int box_w = (len * 6 + 1) * scale, box_h = 9 * scale;
	for (int y = y0; y < y0 + box_h; y++)
		memset(y_plane + (size_t)y * w + x0, 16, box_w);
	for (int y = y0 / 2; y < (y0 + box_h) / 2; y++) {
		memset(u + (size_t)y * (w / 2) + x0 / 2, 128, box_w / 2);
		memset(v + (size_t)y * (w / 2) + x0 / 2, 128, box_w / 2);
	}
	for (int i = 0; i < len; i++) {
		const glyph *g = nullptr;
		for (const glyph &f : font)
			if (f.c == text[i])
				g = &f;
		if (!g)
			continue;
		for (int row = 0; row < 7; row++)
			for (int col = 0; col < 5; col++) {
				if (!(g->rows[row] & (0x80 >> col)))
					continue;
				int px = x0 + ((i * 6 + 1 + col) * scale), py = y0 + (row + 1) * scale;
				for (int dy = 0; dy < scale; dy++)
					memset(y_plane + (size_t)(py + dy) * w + px, 235, scale);
			}
	}
}

// Open a Y4M file for a channel; its frames must be 4:2:0 at one of the
// cameras' sizes.  End the program with the reason otherwise.
static void open_y4m(channel *ch, const char *path)
{
	FILE *f = fopen(path, "rb");
	if (!f)
		fail(path);
	char line[y4m_header_max];
	if (!fgets(line, sizeof line, f) || strncmp(line, "YUV4MPEG2 ", 10) != 0) {
		fprintf(stderr, "capture-sim: %s: not a Y4M file\n", path);
		remove_created();
		exit(1);
	}
	int w = 0, h = 0;
	bool is_420 = true;
	for (char *tok = strtok(line + 10, " \n"); tok; tok = strtok(nullptr, " \n")) {
		if (tok[0] == 'W' || tok[0] == 'H')
			parse_number(tok + 1, number_prefix, tok[0] == 'W' ? &w : &h);
		else if (tok[0] == 'C')
			is_420 = strncmp(tok + 1, "420", 3) == 0;
	}
	if (!is_420 || flag_of(w, h) < 0) {
		fprintf(stderr, "capture-sim: %s: frames are %dx%d%s; only 4:2:0 at a camera's "
		    "size is supported\n", path, w, h, is_420 ? "" : " and not 4:2:0");
		remove_created();
		exit(1);
	}
	ch->y4m = f;
	ch->y4m_first = ftell(f);
	resize_planes(&ch->y4m_frame, w, h);
}

static bool read_y4m_frame(channel *ch)
{
	char line[y4m_header_max];
	plane_set *p = &ch->y4m_frame;
	for (int attempt = 0; attempt < 2; attempt++) {
		if (fgets(line, sizeof line, ch->y4m) && strncmp(line, "FRAME", 5) == 0 &&
		    fread(p->y.data(), 1, p->y.size(), ch->y4m) == p->y.size() &&
		    fread(p->u.data(), 1, p->u.size(), ch->y4m) == p->u.size() &&
		    fread(p->v.data(), 1, p->v.size(), ch->y4m) == p->v.size())
			return true;
		fseek(ch->y4m, ch->y4m_first, SEEK_SET); // loop the clip
	}
	return false;
}

// Copy a plane into one twice, half or equally as large.
static void scale_plane(const uint8_t *src, int sw, int sh, uint8_t *dst, int dw, int dh)
{
	for (int y = 0; y < dh; y++)
		for (int x = 0; x < dw; x++) {
			if (dw < sw) {
				const uint8_t *s = src + (size_t)(2 * y) * sw + 2 * x;
				dst[(size_t)y * dw + x] = (s[0] + s[1] + s[sw] + s[sw + 1] + 2) >> 2;
			} else
				dst[(size_t)y * dw + x] = src[(size_t)(y * sh / dh) * sw + x * sw / dw];
		}
}

// Make the channel's next frame in ch->frame.  Return false when its Y4M
// file gives no more frames.
static bool render(channel *ch)
{
	int w = ch->width, h = ch->height;
	uint8_t *f = ch->frame.data();
	uint8_t *y_plane = f + RAW_HEADER_BYTES;
	uint8_t *u = y_plane + (size_t)w * h;
	uint8_t *v = u + (size_t)w * h / 4;
	f[RAW_FLAG_BYTE] = ch->flag;
	f[RAW_CHANNEL_BYTE] = ch->number;
	unsigned n = ch->frames;

	if (ch->y4m) {
		if (!read_y4m_frame(ch)) {
			fprintf(stderr, "capture-sim: cannot read a frame of the Y4M file\n");
			return false;
		}
		plane_set *p = &ch->y4m_frame;
		scale_plane(p->y.data(), p->width, p->height, y_plane, w, h);
		scale_plane(p->u.data(), p->width / 2, p->height / 2, u, w / 2, h / 2);
		scale_plane(p->v.data(), p->width / 2, p->height / 2, v, w / 2, h / 2);
	} else {
		// The camera pans slowly to and fro over the panorama.
		plane_set *s = &ch->scene;
		int range = s->width - w;
		double phase = (n + ch->seed % 97) * 2 * M_PI / 400;
		int off = (int)(range * (0.5 + 0.5 * sin(phase))) & ~1;
		for (int y = 0; y < h; y++)
			memcpy(y_plane + (size_t)y * w, s->y.data() + (size_t)y * s->width + off, w);
		for (int y = 0; y < h / 2; y++) {
			memcpy(u + (size_t)y * (w / 2), s->u.data() + (size_t)y * (s->width / 2) + off / 2, w / 2);
			memcpy(v + (size_t)y * (w / 2), s->v.data() + (size_t)y * (s->width / 2) + off / 2, w / 2);
		}
		// A van drives along the field: white, red, blue or yellow.
		static const uint8_t paint[channel_count][3] = {
			{215, 128, 128}, {82, 90, 240}, {41, 240, 110}, {210, 16, 146}};
		int car_w = w / 8, car_h = h / 14;
		int cx = (int)((n * 3 * w / 320 + ch->seed) % (w + car_w)) - car_w;
		int cy = h * 3 / 4 + (ch->number * h / 24);
		for (int y = cy; y < cy + car_h; y++)
			for (int x = cx; x < cx + car_w; x++) {
				if (x < 0 || x >= w)
					continue;
				bool wheel = y > cy + car_h * 3 / 4 && ((x - cx) % (car_w / 2) < car_w / 6);
				bool glass = y < cy + car_h / 3 && x > cx + car_w * 2 / 3;
				y_plane[(size_t)y * w + x] = wheel ? 24 : glass ? 70 : paint[ch->number][0];
				size_t c = (size_t)(y / 2) * (w / 2) + x / 2;
				u[c] = wheel || glass ? 128 : paint[ch->number][1];
				v[c] = wheel || glass ? 128 : paint[ch->number][2];
			}
	}
	// Sensor noise, different in every frame, as a real camera has.
	uint32_t r = ch->seed ^ (n * 2654435761u) ^ 0x9e3779b9u;
	if (!r)
		r = 1;
	int grain = ch->number == 0 ? 15 : 7; // channel 0 is the detailed, noisy one
	for (size_t i = 0; i < (size_t)w * h; i += 4) {
		uint32_t bits = next_random(&r);
		for (int k = 0; k < 4; k++) {
			int s = y_plane[i + k] + (int)((bits >> (8 * k)) & grain) - grain / 2;
			y_plane[i + k] = s < 0 ? 0 : s > 255 ? 255 : s;
		}
	}
	char text[32];
	snprintf(text, sizeof text, "CH%d #%06u", ch->number, n % 1000000);
	int scale = w / 160;
	draw_text(y_plane, u, v, w, 2 * scale, 2 * scale, scale, text);
	return true;
}

static bool parse_channel(const char *arg, channel *ch)
{
	char *end, extra;
	long n = strtol(arg, &end, 10);
	int width = raw_size(1).width, height = raw_size(1).height;
	if (end == arg || n < 0 || n >= channel_count ||
	    (*end && sscanf(end, ":%dx%d%c", &width, &height, &extra) != 2))
		return false;
	ch->number = n;
	ch->flag = flag_of(width, height);
	ch->width = width;
	ch->height = height;
	return ch->flag >= 0;
}

int main(int argc, char **argv)
{
	int rate = default_rate;
	const char *y4m_path = nullptr;
	int opt;
	while ((opt = getopt(argc, argv, "r:y:")) != -1) {
		switch (opt) {
		case 'r':
			if (!parse_number(optarg, {true, true, 0, 10000}, &rate))
				usage();
			break;
		case 'y':
			y4m_path = optarg;
			break;
		default:
			usage();
		}
	}
	int count = argc - optind;
	if (count < 1 || count > channel_count)
		usage();
	static channel channels[channel_count];
	size_t file_size = 0;
	for (int i = 0; i < count; i++) {
		channel *ch = &channels[i];
		if (!parse_channel(argv[optind + i], ch))
			usage();
		for (int j = 0; j < i; j++)
			if (channels[j].number == ch->number)
				usage();
		ch->seed = 0x5eed0000u + 7919u * ch->number;
		ch->frame.assign(raw_frame_bytes(ch->flag), 0);
		if (ch->frame.size() > file_size)
			file_size = ch->frame.size();
	}

	for (int i = 0; i < semaphore_count; i++)
		sem_ids[i] = -1;
	struct sigaction sa = {};
	sa.sa_handler = on_stop;
	sigaction(SIGTERM, &sa, nullptr);
	sigaction(SIGINT, &sa, nullptr);
	sa.sa_handler = on_pause;
	sigaction(SIGUSR1, &sa, nullptr);
	sigaction(SIGUSR2, &sa, nullptr);
	signal(SIGPIPE, SIG_IGN);

	int stale[semaphore_count];
	take_lock(stale);
	create_semaphores(stale);
	int fd = create_raw(file_size);
	for (int i = 0; i < count; i++) {
		if (y4m_path) {
			open_y4m(&channels[i], y4m_path);
			for (int skip = 0; skip < 10 * channels[i].number; skip++)
				read_y4m_frame(&channels[i]);
		} else
			make_scene(&channels[i]);
	}

	int in_file = -1;            // channel whose frame the file holds
	bool frame_taken = false;    // a reader took the unit of that frame's raise
	bool announced = false;
	struct timespec next;
	clock_gettime(CLOCK_MONOTONIC, &next);
	long period = rate ? 1000000000L / rate : 0;
	for (int turn = 0; !stopping; turn = (turn + 1) % count) {
		channel *ch = &channels[turn];
		ch->stopped = pause_last && turn == count - 1;
		if (!ch->stopped) {
			if (!render(ch))
				break;
			if (frame_taken)
				let_readers_finish(sem_ids[in_file], sem_ids[channel_count + in_file]);
			if (!hold_frame_readers(in_file, ch->number, &stopping))
				break;
			ssize_t n = pwrite(fd, ch->frame.data(), ch->frame.size(), 0);
			release_frame_readers(in_file, ch->number);
			in_file = ch->number;
			if (n != (ssize_t)ch->frame.size()) {
				perror("write /tmp/raw.camsnap");
				break;
			}
			if (!raise_frame(ch->number, 1)) {
				perror("semop raise");
				break;
			}
			// The kernel hands a raised unit to a waiting reader at once.
			frame_taken = semctl(sem_ids[ch->number], 0, GETVAL) == 0;
			ch->frames++;
		} else if (!period)
			usleep(10000); // nothing to deliver: do not spin
		if (!announced && turn == count - 1) {
			printf("ready\n");
			fflush(stdout);
			announced = true;
		}
		if (period) {
			add_ns(&next, period);
			struct timespec now;
			clock_gettime(CLOCK_MONOTONIC, &now);
			if (now.tv_sec > next.tv_sec + 1)
				next = now; // fell far behind: start counting again
			while (!stopping && clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next,
			    nullptr) == EINTR)
				;
		}
	}
	bool clean_stop = stopping;
	remove_created();
	return clean_stop ? 0 : 1;
}
