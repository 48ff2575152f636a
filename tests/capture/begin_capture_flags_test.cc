#include "capture/begin_capture.h"

#include <gtest/gtest.h>

namespace capture {
namespace {

struct FlagCase {
  const char* query;
  std::int32_t mode;
  std::int32_t fake;
};

TEST(BeginCaptureFlags, PlainSubstringSearchOfTheQueryString) {
  const FlagCase cases[] = {
      {"", 1, 1},
      {"type=1&FakeFunOn=1", 1, 1},
      {"type=2", 2, 1},
      {"type=2&FakeFunOn=0", 2, 0},
      {"FakeFunOn=0&type=2", 2, 0},
      {"type=20", 2, 1}, // no key/value parsing
      {"xtype=2", 2, 1},
      {"a=type=2", 2, 1},
      {"FakeFunOn=01", 1, 0},
      {"TYPE=2", 1, 1},   // case-sensitive
      {"type%3D2", 1, 1}, // not decoded
      {"fakefunon=0", 1, 1},
      {"type=3&FakeFunOn=1", 1, 1},
      {"type= 2", 1, 1},
  };
  for (const FlagCase& c : cases) {
    const BeginCaptureFlags flags = beginCaptureFlags(c.query);
    EXPECT_EQ(flags.modeArg, c.mode) << c.query;
    EXPECT_EQ(flags.fakeArg, c.fake) << c.query;
  }
}

} // namespace
} // namespace capture
