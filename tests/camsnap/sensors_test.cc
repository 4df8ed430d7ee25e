// The sensor status record, built against a fake libkel.
#include <gtest/gtest.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "fake_kel.h"
#include "sensors.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes record_for(const std::vector<fake_sensor> &sensors)
{
	fake = fake_keld();
	fake.sensors = sensors;
	std::vector<uint8_t> buf(sensor_record_size + 64, 0xCD);
	int length = get_sensors_data(buf.data());
	EXPECT_GE(length, 0);
	EXPECT_LE(length, sensor_record_size);
	for (size_t i = sensor_record_size; i < buf.size(); i++)
		EXPECT_EQ(buf[i], 0xCD) << "written past the record buffer";
	return bytes(buf.begin(), buf.begin() + length);
}

fake_sensor sensor(int type, int port)
{
	fake_sensor s;
	s.type = type;
	s.port = port;
	return s;
}

bytes text_entry(int port, const std::string &text)
{
	bytes b;
	b.push_back((uint8_t)port);
	b.push_back((uint8_t)text.size());
	for (char ch : text)
		b.push_back((uint8_t)ch);
	return b;
}

// One sensor's record: count 1, its status entry, unit and description.
bytes single(int port, int type, int status, int value, const std::string &unit,
             const std::string &description)
{
	bytes b = {1, (uint8_t)port, (uint8_t)type, (uint8_t)status, (uint8_t)(value >> 8),
	           (uint8_t)value};
	bytes u = text_entry(port, unit), d = text_entry(port, description);
	b.insert(b.end(), u.begin(), u.end());
	b.insert(b.end(), d.begin(), d.end());
	return b;
}

TEST(SensorRecord, ListedExamples)
{
	fake_sensor room = sensor(1, 3);
	room.status = 1, room.value = 0x0123, room.threshold = 0;
	EXPECT_EQ(record_for({room}),
	          (bytes{0x01, 0x03, 0x01, 0x01, 0x01, 0x23, 0x03, 0x01, 'F', 0x03, 0x04, 'R', 'o',
	                 'o', 'm'}));

	struct {
		const char *what;
		fake_sensor s;
		bytes want;
	} cases[] = {
		{"Celsius", [] { auto s = sensor(1, 2); s.threshold = 1; return s; }(),
		 single(2, 1, 1, 0, "C", "Room")},
		{"threshold query fails", [] { auto s = sensor(1, 2); s.threshold = 0; s.fail = {"threshold"}; return s; }(),
		 single(2, 1, 1, 0, "C", "Room")},
		{"4-20 mA without unit text", [] { auto s = sensor(2, 4); s.value_type = 1; return s; }(),
		 single(4, 2, 1, 0, "%", "Room")},
		{"4-20 mA with unit text", [] { auto s = sensor(2, 4); s.unit = "mA"; return s; }(),
		 single(4, 2, 1, 0, "mA", "Room")},
		{"4-20 mA unit query fails", [] { auto s = sensor(2, 4); s.fail = {"unit"}; return s; }(),
		 single(4, 2, 1, 0, "%", "Room")},
		{"analogue with unit text", [] { auto s = sensor(5, 6); s.unit = "bar"; s.value = 1000; return s; }(),
		 single(6, 5, 1, 1000, "bar", "Room")},
		{"analogue unit query fails", [] { auto s = sensor(5, 6); s.fail = {"unit"}; return s; }(),
		 single(6, 5, 1, 0, "%", "Room")},
		{"analogue value-type query fails", [] { auto s = sensor(5, 6); s.fail = {"value_type"}; return s; }(),
		 single(6, 5, 1, 0, "%", "Room")},
		{"type 7", [] { auto s = sensor(7, 1); s.status = 3; return s; }(),
		 single(1, 7, 3, 0, "%", "Room")},
		{"value query fails", [] { auto s = sensor(1, 3); s.status = 2; s.fail = {"value"}; return s; }(),
		 single(3, 1, 2, 0xFFFF, "C", "Room")},
		{"status query fails", [] { auto s = sensor(1, 3); s.value = 0x4567; s.fail = {"status"}; return s; }(),
		 single(3, 1, 255, 0x4567, "C", "Room")},
		{"description query fails", [] { auto s = sensor(1, 3); s.fail = {"description"}; return s; }(),
		 single(3, 1, 1, 0, "C", "Sensor Description")},
		{"value and port use their low bits", [] { auto s = sensor(7, 0x105); s.value = 0x12345; return s; }(),
		 single(0x05, 7, 1, 0x2345, "%", "Room")},
		{"unit filling all 64 bytes", [] { auto s = sensor(5, 6); s.fill_unit = true; return s; }(),
		 single(6, 5, 1, 0, std::string(63, 'x'), "Room")},
	};
	for (auto &c : cases)
		EXPECT_EQ(record_for({c.s}), c.want) << c.what;
}

TEST(SensorRecord, EmptyWhenThereIsNoDaemonOrNoList)
{
	EXPECT_EQ(record_for({}), bytes{0});
	fake = fake_keld();
	fake.connect_result = -1;
	uint8_t buf[sensor_record_size];
	EXPECT_EQ(get_sensors_data(buf), 0);
	fake = fake_keld();
	fake.list_fails = true;
	EXPECT_EQ(get_sensors_data(buf), 0);
	// A refused login is an empty record, as no daemon is, and is closed.
	fake = fake_keld();
	fake.connect_result = 0;
	EXPECT_EQ(get_sensors_data(buf), 0);
	EXPECT_EQ(fake.calls.back(), "disconnect 5 0");
	// A negative count from the daemon lists nothing.
	fake = fake_keld();
	fake.sensors = {sensor(1, 3)};
	fake.count = -1;
	EXPECT_EQ(get_sensors_data(buf), 1);
	EXPECT_EQ(buf[0], 0);
}

TEST(SensorRecord, AsksForStatusesThenUnitsThenDescriptions)
{
	record_for({sensor(1, 3), sensor(5, 1), sensor(2, 2)});
	std::vector<std::string> want = {
		"connect /tmp/.keld-snmp 2 meadow", "list 5 0",  // the handle connect gave
		"status 1 3", "value 1 3", "status 5 1", "value 5 1", "status 2 2", "value 2 2",
		"threshold 1 3", "value_type 5 1", "unit 5 1", "value_type 2 2", "unit 2 2",
		"description 1 3", "description 5 1", "description 2 2",
	};
	EXPECT_EQ(fake.calls, want);
}

// Walk a record: the count byte must match the entries that follow.
int parse_count(const bytes &r)
{
	size_t n = r.at(0), at = 1 + 5 * n;
	for (size_t section = 0; section < 2; section++)
		for (size_t i = 0; i < n; i++) {
			EXPECT_LT(at + 1, r.size());
			at += 2 + r.at(at + 1);
		}
	EXPECT_EQ(at, r.size());
	return (int)n;
}

std::vector<fake_sensor> analogue_sensors(int count, int text)
{
	std::vector<fake_sensor> list;
	for (int i = 0; i < count; i++) {
		fake_sensor s = sensor(5, i);
		s.unit = std::string(text, 'u');
		s.description = std::string(text, 'd');
		list.push_back(s);
	}
	return list;
}

TEST(SensorRecord, ListsTheSensorsThatFitWithAMatchingCount)
{
	struct { const char *what; int sensors, text, want; } cases[] = {
		{"75 of the largest fit", 75, 63, 75},
		{"the 76th does not", 100, 63, 75},
		{"short texts, more than the count byte holds", 300, 1, 255},
		{"mid-size texts", 200, 30, (sensor_record_size - 1) / (5 + 2 + 30 + 2 + 30)},
	};
	for (auto c : cases) {
		SCOPED_TRACE(c.what);
		bytes r = record_for(analogue_sensors(c.sensors, c.text));
		EXPECT_EQ(parse_count(r), c.want);
		// The entries kept are the first ones of the list, in order.
		EXPECT_EQ(r.at(1), 0);
		EXPECT_EQ(r.at(1 + 5 * (c.want - 1)), (uint8_t)(c.want - 1));
	}

	// Entries that end on the buffer's last byte fit: the count byte, 75
	// sensors of 135 bytes and one of 114 make 10240.
	std::vector<fake_sensor> list = analogue_sensors(77, 63);
	list[75].description = std::string(42, 'd');
	bytes r = record_for(list);
	EXPECT_EQ(parse_count(r), 76);
	EXPECT_EQ(r.size(), (size_t)sensor_record_size);
}

}  // namespace
