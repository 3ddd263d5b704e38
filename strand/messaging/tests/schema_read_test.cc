// What this system reads from messages built by someone else, byte by byte, at the
// contracted positions: short data sections read the defaults, longer (newer) structs read
// the same positions, and the valid flag defaults to true. Every payload goes through the
// same decoding path as a received one (aligned copy, flat-array reader, root Event).
//
// The builder side is checked the other way round: a message built with the generated
// code is taken apart by hand at the same positions.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "strand/gen/cpp/car.capnp.h"
#include "strand/gen/cpp/log.capnp.h"
#include "strand/messaging/message_buffer.h"

namespace {

using strand::CarState;

constexpr uint16_t DEVICE_STATE = 5, GPS_LOCATION = 20, CAR_STATE = 21;

static_assert(static_cast<uint16_t>(strand::Event::DEVICE_STATE) == DEVICE_STATE, "deviceState tag");
static_assert(static_cast<uint16_t>(strand::Event::GPS_LOCATION) == GPS_LOCATION, "gpsLocation tag");
static_assert(static_cast<uint16_t>(strand::Event::CAR_STATE) == CAR_STATE, "carState tag");
static_assert(static_cast<uint16_t>(strand::Event::INIT_DATA) == 0, "initData tag");
static_assert(static_cast<uint16_t>(strand::Event::CAR_OUTPUT) == 125, "carOutput tag");
static_assert(static_cast<uint16_t>(CarState::GearShifter::DRIVE) == 2, "gear values");
static_assert(static_cast<uint16_t>(CarState::GearShifter::MANUMATIC) == 9, "gear values");

uint64_t struct_pointer(int32_t offset_words, uint16_t data_words, uint16_t pointers) {
  return (uint64_t(uint32_t(offset_words) << 2)) | (uint64_t(data_words) << 32) | (uint64_t(pointers) << 48);
}

// One single-segment message: root Event with `event_data` as its data section and, when
// `member` is given, pointer 0 to a struct whose data section is `member` (and which has
// `member_pointers` null pointers after it, as a newer schema might).
std::vector<uint64_t> event_payload(const std::vector<uint64_t> &event_data,
                                    const std::vector<uint64_t> *member, uint16_t member_pointers = 0) {
  std::vector<uint64_t> seg;
  seg.push_back(struct_pointer(0, event_data.size(), 1));
  seg.insert(seg.end(), event_data.begin(), event_data.end());
  if (member) {
    seg.push_back(struct_pointer(0, member->size(), member_pointers));
    seg.insert(seg.end(), member->begin(), member->end());
    seg.insert(seg.end(), member_pointers, 0);
  } else {
    seg.push_back(0);  // null pointer 0
  }
  std::vector<uint64_t> msg;
  msg.push_back(uint64_t(seg.size()) << 32);  // one segment of seg.size() words
  msg.insert(msg.end(), seg.begin(), seg.end());
  return msg;
}

// Event data words carrying the union tag (bits 64-79) and, optionally, a stored valid bit.
std::vector<uint64_t> envelope(uint16_t which, bool valid_bit_stored = false) {
  return {123456789ull, uint64_t(which) | (valid_bit_stored ? (1ull << 16) : 0)};
}

// Decodes like SubMaster does and keeps the reader alive for the test's checks.
class Decoded {
 public:
  explicit Decoded(const std::vector<uint64_t> &payload)
      : bytes_(reinterpret_cast<const char *>(payload.data()), payload.size() * 8),
        reader_(buf_.align(bytes_.data(), bytes_.size()), event_reader_options()) {}
  strand::Event::Reader event() { return reader_.getRoot<strand::Event>(); }

 private:
  std::string bytes_;
  AlignedBuffer buf_;
  capnp::FlatArrayMessageReader reader_;
};

uint64_t all_ones() {
  return ~0ull;
}

}  // namespace

TEST(SchemaRead, GearShifterNeedsTwoDataWords) {
  // One word: the gear lies beyond the section, whatever the word holds.
  std::vector<uint64_t> one = {all_ones()};
  EXPECT_EQ(Decoded(event_payload(envelope(CAR_STATE), &one)).event().getCarState().getGearShifter(),
            CarState::GearShifter::UNKNOWN);

  struct {
    uint16_t stored;
    CarState::GearShifter expected;
  } cases[] = {{2, CarState::GearShifter::DRIVE},
               {5, CarState::GearShifter::SPORT},
               {9, CarState::GearShifter::MANUMATIC},
               {4, CarState::GearShifter::REVERSE}};
  for (auto &c : cases) {
    // Bits 80-95 are bits 16-31 of word 1; everything around them is noise.
    std::vector<uint64_t> two = {all_ones(), (all_ones() & ~0xFFFF0000ull) | (uint64_t(c.stored) << 16)};
    EXPECT_EQ(Decoded(event_payload(envelope(CAR_STATE), &two)).event().getCarState().getGearShifter(),
              c.expected);
  }
  // A value beyond the enumerants reads as its number: callers treat it as not in drive.
  std::vector<uint64_t> odd = {0, uint64_t(42) << 16};
  EXPECT_EQ(static_cast<uint16_t>(
                Decoded(event_payload(envelope(CAR_STATE), &odd)).event().getCarState().getGearShifter()),
            42);
}

TEST(SchemaRead, StartedNeedsFourDataWords) {
  std::vector<uint64_t> three = {all_ones(), all_ones(), all_ones()};
  EXPECT_FALSE(Decoded(event_payload(envelope(DEVICE_STATE), &three)).event().getDeviceState().getStarted());

  std::vector<uint64_t> four_set = {0, 0, 0, 1};
  EXPECT_TRUE(
      Decoded(event_payload(envelope(DEVICE_STATE), &four_set)).event().getDeviceState().getStarted());

  std::vector<uint64_t> four_clear = {all_ones(), all_ones(), all_ones(), all_ones() & ~1ull};
  EXPECT_FALSE(
      Decoded(event_payload(envelope(DEVICE_STATE), &four_clear)).event().getDeviceState().getStarted());
}

TEST(SchemaRead, GpsLocationFieldsAndShortSections) {
  auto bits_of = [](double d) {
    uint64_t u;
    memcpy(&u, &d, 8);
    return u;
  };
  float speed = 13.5f;
  uint32_t speed_bits;
  memcpy(&speed_bits, &speed, 4);

  std::vector<uint64_t> full(8, 0);
  full[0] = uint64_t(speed_bits) << 32;
  full[1] = bits_of(48.8584);
  full[2] = bits_of(2.2945);
  full[7] = 1ull << 32;  // bit 480
  Decoded full_msg(event_payload(envelope(GPS_LOCATION), &full));
  auto gps = full_msg.event().getGpsLocation();
  EXPECT_TRUE(gps.getHasFix());
  EXPECT_FLOAT_EQ(gps.getSpeed(), 13.5f);
  EXPECT_DOUBLE_EQ(gps.getLatitude(), 48.8584);
  EXPECT_DOUBLE_EQ(gps.getLongitude(), 2.2945);

  // Seven words: no fix, though the other fields are all there.
  std::vector<uint64_t> seven(full.begin(), full.begin() + 7);
  Decoded seven_msg(event_payload(envelope(GPS_LOCATION), &seven));
  auto short_gps = seven_msg.event().getGpsLocation();
  EXPECT_FALSE(short_gps.getHasFix());
  EXPECT_DOUBLE_EQ(short_gps.getLongitude(), 2.2945);

  // Two words: speed and latitude only. No word at all: zeros.
  std::vector<uint64_t> two(full.begin(), full.begin() + 2);
  Decoded two_msg(event_payload(envelope(GPS_LOCATION), &two));
  auto two_gps = two_msg.event().getGpsLocation();
  EXPECT_FLOAT_EQ(two_gps.getSpeed(), 13.5f);
  EXPECT_DOUBLE_EQ(two_gps.getLatitude(), 48.8584);
  EXPECT_EQ(two_gps.getLongitude(), 0.0);
  std::vector<uint64_t> none;
  Decoded none_msg(event_payload(envelope(GPS_LOCATION), &none));
  auto empty_gps = none_msg.event().getGpsLocation();
  EXPECT_EQ(empty_gps.getSpeed(), 0.0f);
  EXPECT_FALSE(empty_gps.getHasFix());
}

TEST(SchemaRead, NewerLongerStructReadsTheSamePositions) {
  std::vector<uint64_t> longer(12, 0);
  longer[1] = uint64_t(2) << 16;  // DRIVE
  longer[11] = all_ones();        // fields we do not know
  Decoded longer_msg(event_payload(envelope(CAR_STATE), &longer, 5));
  auto car = longer_msg.event().getCarState();
  EXPECT_EQ(car.getGearShifter(), CarState::GearShifter::DRIVE);
}

TEST(SchemaRead, NullMemberReadsAsEmptyStruct) {
  Decoded d(event_payload(envelope(GPS_LOCATION), nullptr));
  EXPECT_FALSE(d.event().getGpsLocation().getHasFix());
  EXPECT_FALSE(d.event().getDeviceState().getStarted());
  EXPECT_EQ(d.event().getCarState().getGearShifter(), CarState::GearShifter::UNKNOWN);
}

TEST(SchemaRead, ValidFlagIsStoredInvertedAndDefaultsToTrue) {
  std::vector<uint64_t> member = {0, 0, 0, 1};
  // Stored 1 at bit 80 means false; stored 0 means true.
  EXPECT_FALSE(Decoded(event_payload(envelope(DEVICE_STATE, true), &member)).event().getValid());
  EXPECT_TRUE(Decoded(event_payload(envelope(DEVICE_STATE, false), &member)).event().getValid());
  // An older Event whose data section ends at bit 64 (before bit 81), or has none at all.
  EXPECT_TRUE(Decoded(event_payload({123}, &member)).event().getValid());
  EXPECT_TRUE(Decoded(event_payload({}, &member)).event().getValid());
  // The member is still found through pointer 0 without a tag to look at.
  EXPECT_TRUE(Decoded(event_payload({}, &member)).event().getDeviceState().getStarted());
}

// The generated builder puts the fields where the hand-made messages above put them.
TEST(SchemaRead, BuiltMessagesUseTheContractedPositions) {
  MessageBuilder msg;
  auto event = msg.initEvent(false);
  event.initCarState().setGearShifter(CarState::GearShifter::MANUMATIC);
  kj::ArrayPtr<capnp::byte> bytes = msg.toBytes();

  std::vector<uint64_t> words(bytes.size() / 8);
  memcpy(words.data(), bytes.begin(), bytes.size());
  ASSERT_GE(words.size(), 4u);
  ASSERT_EQ(words[0] & 0xFFFFFFFFull, 0u) << "one segment";
  const uint64_t *seg = &words[1];
  uint64_t root = seg[0];
  ASSERT_EQ(root & 3, 0u);
  int32_t root_off = int32_t(uint32_t(root)) >> 2;
  uint16_t event_data = uint16_t(root >> 32);
  const uint64_t *event_words = seg + 1 + root_off;
  ASSERT_GE(event_data, 2);
  EXPECT_EQ(event_words[1] & 0xFFFF, CAR_STATE) << "union tag at bits 64-79";
  EXPECT_EQ((event_words[1] >> 16) & 1, 1u) << "valid=false stored as 1 at bit 80";

  const uint64_t *ptr0 = event_words + event_data;
  int32_t car_off = int32_t(uint32_t(*ptr0)) >> 2;
  const uint64_t *car_words = ptr0 + 1 + car_off;
  ASSERT_GE(uint16_t(*ptr0 >> 32), 2);
  EXPECT_EQ((car_words[1] >> 16) & 0xFFFF, 9u) << "gearShifter at bits 80-95";
}

TEST(SchemaRead, BuiltGpsAndDeviceStateUseTheContractedPositions) {
  auto member_words = [](MessageBuilder &msg) {
    kj::ArrayPtr<capnp::byte> bytes = msg.toBytes();
    std::vector<uint64_t> words(bytes.size() / 8);
    memcpy(words.data(), bytes.begin(), bytes.size());
    const uint64_t *seg = &words[1];
    const uint64_t *event_words = seg + 1 + (int32_t(uint32_t(seg[0])) >> 2);
    const uint64_t *ptr0 = event_words + uint16_t(seg[0] >> 32);
    const uint64_t *member = ptr0 + 1 + (int32_t(uint32_t(*ptr0)) >> 2);
    return std::vector<uint64_t>(member, member + uint16_t(*ptr0 >> 32));
  };

  MessageBuilder gps_msg;
  auto gps = gps_msg.initEvent().initGpsLocation();
  gps.setSpeed(21.25f);
  gps.setLatitude(-33.5);
  gps.setLongitude(151.25);
  gps.setHasFix(true);
  std::vector<uint64_t> g = member_words(gps_msg);
  ASSERT_GE(g.size(), 8u);
  float speed;
  uint32_t speed_bits = uint32_t(g[0] >> 32);
  memcpy(&speed, &speed_bits, 4);
  double lat, lon;
  memcpy(&lat, &g[1], 8);
  memcpy(&lon, &g[2], 8);
  EXPECT_EQ(speed, 21.25f);
  EXPECT_EQ(lat, -33.5);
  EXPECT_EQ(lon, 151.25);
  EXPECT_EQ((g[7] >> 32) & 1, 1u);

  MessageBuilder dev_msg;
  dev_msg.initEvent().initDeviceState().setStarted(true);
  std::vector<uint64_t> d = member_words(dev_msg);
  ASSERT_GE(d.size(), 4u);
  EXPECT_EQ(d[3] & 1, 1u);
}
