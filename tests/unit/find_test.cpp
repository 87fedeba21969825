// Find-data records and the time conversions the host sees.
#include <gtest/gtest.h>

#include "core/time.h"
#include "plugin/find.h"
#include "plugin/host_text.h"

TEST(Records, FolderAndFileLayout) {
  auto write_time = [](const HostFindData& r) {
    return (static_cast<uint64_t>(r.last_write_time.high) << 32) | r.last_write_time.low;
  };
  const HostFindData dir = MakeDirRecord(u"models", 1704164645);
  EXPECT_EQ(dir.attributes, 0x410u);
  EXPECT_EQ(write_time(dir), 133486382450000000ULL);  // 100 ns units since 1601
  EXPECT_EQ(dir.size_high | dir.size_low, 0u);
  EXPECT_EQ(FromHost(dir.file_name), u"models");
  EXPECT_EQ(FromHost(MakeDirRecord(std::u16string(300, u'x'), 0).file_name), std::u16string(259, u'x'));

  const HostFindData file = MakeFileRecord(u"big.bin", 5000000000LL, 0);
  EXPECT_EQ(file.attributes, 0xA0u);
  EXPECT_EQ(file.size_high, 1u);
  EXPECT_EQ(file.size_low, 705032704u);
  EXPECT_EQ(write_time(file), 0u) << "no time stays zero";
  const unsigned char* raw = reinterpret_cast<const unsigned char*>(&file);
  for (size_t i = 4; i < 20; ++i) EXPECT_EQ(raw[i], 0) << "creation and access times are zero";
  for (size_t i = 564; i < 592; ++i) EXPECT_EQ(raw[i], 0) << "alternate name is zero";
}

TEST(ParseIsoTime, ReadsTheCalendarPartAsUtcAndGivesZeroWithoutAUsableTime) {
  const std::pair<const char*, int64_t> cases[] = {
      {"2024-01-02T03:04:05.000Z", 1704164645}, {"2024-01-02T03:04:05+02:00", 1704164645},  // offsets not applied
      {"2024-02-29T00:00:00", 1709164800},      {"1969-12-31T23:59:59Z", -1},
      {"1970-01-01T00:00:00Z", 0},              {"2024-01-02", 0},
      {"2024-13-02T03:04:05", 0},               {"2023-02-29T03:04:05", 0},
      {"2024-01-02T24:00:00", 0},               {"1600-01-02T03:04:05", 0},
      {"not a date at all, really", 0},         {"", 0}};
  for (const auto& [text, time] : cases) EXPECT_EQ(ParseIsoTime(text), time) << text;
}
