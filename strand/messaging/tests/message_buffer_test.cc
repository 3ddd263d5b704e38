// The aligned decoding buffer's sizing rule and reuse, and the builder's flat payload.

#include <gtest/gtest.h>

#include <capnp/serialize.h>

#include <string>
#include <vector>

#include "strand/gen/cpp/log.capnp.h"
#include "strand/messaging/message_buffer.h"
#include "tests/support/run_program.h"

namespace {

std::string pattern(size_t size, char seed = 1) {
  std::string s(size, 0);
  for (size_t i = 0; i < size; i++) s[i] = char(seed + i * 7);
  return s;
}

}  // namespace

TEST(AlignedBuffer, SizingOnAFreshBuffer) {
  struct {
    size_t bytes, view_words, capacity;
  } cases[] = {
      {0, 1, 512},      {1, 1, 512},      {16, 3, 512},     {8, 2, 512},
      {4095, 512, 512}, {4096, 513, 513}, {4103, 513, 513}, {100000, 12501, 12501},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.bytes);
    AlignedBuffer buf;
    std::string data = pattern(c.bytes);
    kj::ArrayPtr<const capnp::word> view = buf.align(data.data(), data.size());
    EXPECT_EQ(view.size(), c.view_words);
    EXPECT_EQ(buf.capacity(), c.capacity);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(view.begin()) % alignof(capnp::word), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(view.begin()), c.bytes), data);
  }
}

TEST(AlignedBuffer, EmptyPayloadWithNullData) {
  AlignedBuffer buf;
  EXPECT_EQ(buf.align(nullptr, 0).size(), 1u);
}

TEST(AlignedBuffer, GrowsNeverShrinksAndReusesItsArray) {
  AlignedBuffer buf;
  std::string small = pattern(100, 3), large = pattern(20000, 5), exact = pattern(512 * 8 - 1, 9);

  auto first = buf.align(small.data(), small.size());
  const capnp::word *initial = first.begin();
  // Up to 4095 bytes still fit the first 512 words: same array.
  EXPECT_EQ(buf.align(exact.data(), exact.size()).begin(), initial);
  EXPECT_EQ(buf.capacity(), 512u);

  auto grown = buf.align(large.data(), large.size());
  EXPECT_EQ(buf.capacity(), 2501u);
  const capnp::word *grown_at = grown.begin();

  // A smaller message afterwards: shorter view, same array, same capacity.
  auto again = buf.align(small.data(), small.size());
  EXPECT_EQ(again.begin(), grown_at);
  EXPECT_EQ(again.size(), 13u);
  EXPECT_EQ(buf.capacity(), 2501u);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(again.begin()), small.size()), small);
  // A message of exactly the capacity's whole words needs one word more: it grows.
  std::string fill = pattern(2501 * 8, 11);
  auto bigger = buf.align(fill.data(), fill.size());
  EXPECT_EQ(bigger.size(), 2502u);
  EXPECT_EQ(buf.capacity(), 2502u);
}

TEST(MessageBuilder, ToBytesIsTheFlatSerialisation) {
  MessageBuilder msg;
  auto event = msg.initEvent(false);
  EXPECT_GT(event.getLogMonoTime(), 0u);
  event.initCarState().setGearShifter(strand::CarState::GearShifter::SPORT);

  kj::ArrayPtr<capnp::byte> bytes = msg.toBytes();
  kj::Array<capnp::word> reference = capnp::messageToFlatArray(msg);
  ASSERT_EQ(bytes.size(), reference.size() * 8);
  EXPECT_EQ(memcmp(bytes.begin(), reference.begin(), bytes.size()), 0);

  AlignedBuffer buf;
  capnp::FlatArrayMessageReader reader(buf.align(reinterpret_cast<const char *>(bytes.begin()), bytes.size()),
                                       event_reader_options());
  auto read = reader.getRoot<strand::Event>();
  EXPECT_FALSE(read.getValid());
  EXPECT_EQ(read.which(), strand::Event::CAR_STATE);
  EXPECT_EQ(read.getCarState().getGearShifter(), strand::CarState::GearShifter::SPORT);
}

TEST(MessageBuilder, EachToBytesReflectsTheMessageAtThatTime) {
  MessageBuilder msg;
  auto dev = msg.initEvent().initDeviceState();
  kj::ArrayPtr<capnp::byte> before = msg.toBytes();
  std::string before_copy(reinterpret_cast<char *>(before.begin()), before.size());
  dev.setStarted(true);
  kj::ArrayPtr<capnp::byte> after = msg.toBytes();
  std::string after_copy(reinterpret_cast<char *>(after.begin()), after.size());
  EXPECT_NE(before_copy, after_copy);

  capnp::FlatArrayMessageReader reader(
      kj::arrayPtr(reinterpret_cast<const capnp::word *>(after.begin()), after.size() / 8));
  EXPECT_TRUE(reader.getRoot<strand::Event>().getDeviceState().getStarted());
}

TEST(MessageBuilder, MessagesLargerThanTheFirstSegment) {
  MessageBuilder msg;
  auto event = msg.initEvent();
  auto data = event.initCustomReservedRawData0(MessageBuilder::FIRST_SEGMENT_WORDS * 8 * 3);
  for (size_t i = 0; i < data.size(); i++) data[i] = capnp::byte(i * 13);
  kj::ArrayPtr<capnp::byte> bytes = msg.toBytes();
  EXPECT_GT(msg.getSegmentsForOutput().size(), 1u);

  AlignedBuffer buf;
  capnp::FlatArrayMessageReader reader(buf.align(reinterpret_cast<const char *>(bytes.begin()), bytes.size()),
                                       event_reader_options());
  auto read = reader.getRoot<strand::Event>().getCustomReservedRawData0();
  ASSERT_EQ(read.size(), data.size());
  EXPECT_EQ(memcmp(read.begin(), data.begin(), data.size()), 0);
}

// The schema compiler, as an independent reader, decodes what the builder wrote.
TEST(MessageBuilder, PayloadDecodesWithTheSchemaTool) {
  MessageBuilder msg;
  auto gps = msg.initEvent().initGpsLocation();
  gps.setHasFix(true);
  gps.setLatitude(12.5);
  gps.setSpeed(3.25f);
  kj::ArrayPtr<capnp::byte> bytes = msg.toBytes();

  RunOptions decode;
  decode.input = std::string(reinterpret_cast<char *>(bytes.begin()), bytes.size());
  RunResult r = run_program({CAPNP_TOOL, "decode", std::string(SCHEMA_DIR) + "/log.capnp", "Event"}, decode);
  ASSERT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("gpsLocation = ("), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("speed = 3.25"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("latitude = 12.5"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("hasFix = true"), std::string::npos) << r.out;
}
