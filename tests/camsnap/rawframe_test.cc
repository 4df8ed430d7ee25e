// Mapping the raw frame file: whole frames only, the right channel, and a
// file that shrinks under the reader costs a picture, not the process.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "rawframe.h"

namespace {

struct TempFile {
	std::string path;
	TempFile()
	{
		char name[] = "/tmp/camsnap-rawframe-XXXXXX";
		int fd = mkstemp(name);
		close(fd);
		path = name;
	}
	~TempFile() { unlink(path.c_str()); }
	void write(uint8_t flag, uint8_t channel, long image_bytes)
	{
		std::vector<uint8_t> data(2 + image_bytes, 77);
		data[0] = flag;
		data[1] = channel;
		FILE *f = fopen(path.c_str(), "wb");
		fwrite(data.data(), 1, data.size(), f);
		fclose(f);
	}
};

TEST(FrameFile, MapsOnlyAWholeFrameOfTheChannelAsked)
{
	struct {
		const char *what;
		uint8_t flag, channel;
		long image;
		int ask, result;
		const char *message;
	} cases[] = {
		{"640x480", 1, 2, 460800, 2, 0, ""},
		{"320x240", 0, 3, 115200, 3, 0, ""},
		{"larger than its frame", 0, 0, 200000, 0, 0, ""},
		// Not reported here: the caller may wait for its channel's next frame.
		{"other channel", 1, 2, 460800, 1, raw_other_channel, ""},
		{"one byte short", 1, 0, 460799, 0, 1, "too short"},
		{"flag says 640x480, 320x240 image", 7, 1, 115200, 1, 1, "too short"},
		{"header only", 0, 0, 0, 0, 1, "too short"},
	};
	for (auto c : cases) {
		SCOPED_TRACE(c.what);
		TempFile file;
		file.write(c.flag, c.channel, c.image);
		frame_map map;
		testing::internal::CaptureStderr();
		int result = map_frame_file(file.path.c_str(), c.ask, &map);
		std::string err = testing::internal::GetCapturedStderr();
		EXPECT_EQ(result, c.result);
		EXPECT_NE(err.find(c.message), std::string::npos) << err;
		if (result != 1) {
			EXPECT_TRUE(err.empty()) << err;
		}
		if (result == 0) {
			EXPECT_EQ(map.length, (size_t)(2 + c.image));
			EXPECT_EQ(map.flag, c.flag);
			EXPECT_EQ(map.address[2 + c.image - 1], 77);
		}
		release_frame_file(&map, true);
	}
}

TEST(FrameFile, MissingFileIsReportedAndLeavesNothingToRelease)
{
	frame_map map;
	testing::internal::CaptureStderr();
	EXPECT_EQ(map_frame_file("/tmp/camsnap-no-such-file", 0, &map), 1);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
	          "cannot open raw file! (/tmp/camsnap-no-such-file)\n");
	EXPECT_EQ(map.address, MAP_FAILED);
	EXPECT_EQ(map.fd, -1);
	release_frame_file(&map, true);
}

// The quad view maps the file once per channel: a truncation under the
// second mapping must be survived as the first was, and reported afresh.
TEST(FrameFile, FileTruncatedWhileMappedReadsAsZerosInsteadOfKilling)
{
	TempFile file;
	for (int round = 0; round < 2; round++) {
		file.write(1, 0, 460800);
		frame_map map;
		map.lost = 1;
		ASSERT_EQ(map_frame_file(file.path.c_str(), 0, &map), 0);
		EXPECT_EQ(map.lost, 0) << "round " << round;
		EXPECT_EQ(map.address[300000], 77);
		ASSERT_EQ(truncate(file.path.c_str(), 0), 0);
		long sum = 0;
		for (size_t i = 0; i < map.length; i += 4096)
			sum += ((volatile uint8_t *)map.address)[i];
		EXPECT_EQ(sum, 0) << "round " << round;
		EXPECT_EQ(map.lost, 1) << "round " << round;
		release_frame_file(&map, true);
	}
}

}  // namespace
