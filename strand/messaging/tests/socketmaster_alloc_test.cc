// Decoding in steady state allocates nothing per message. Every operator new of this
// program is counted while counting is switched on; the transport's own receive (which
// hands over a heap message) is measured the same way on the same traffic, and SubMaster
// must add nothing to it.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "strand/messaging/socketmaster.h"
#include "strand/messaging/tests/msgq_test_util.h"

namespace {
bool counting = false;
long allocations = 0;

void *counted_alloc(size_t size) {
  if (counting) allocations++;
  void *p = malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  return p;
}

// Allocations made by f().
template <typename F>
long count_allocations(F &&f) {
  long before = allocations;
  counting = true;
  f();
  counting = false;
  return allocations - before;
}
}  // namespace

void *operator new(size_t size) {
  return counted_alloc(size);
}
void *operator new[](size_t size) {
  return counted_alloc(size);
}
void *operator new(size_t size, const std::nothrow_t &) noexcept {
  if (counting) allocations++;
  return malloc(size ? size : 1);
}
void *operator new[](size_t size, const std::nothrow_t &) noexcept {
  if (counting) allocations++;
  return malloc(size ? size : 1);
}
void operator delete(void *p) noexcept {
  free(p);
}
void operator delete[](void *p) noexcept {
  free(p);
}
void operator delete(void *p, size_t) noexcept {
  free(p);
}
void operator delete[](void *p, size_t) noexcept {
  free(p);
}

namespace {

using Gear = strand::CarState::GearShifter;
const std::vector<const char *> TOPICS = {"carState", "deviceState", "gpsLocation"};

// The three payloads of one round; sizes vary a little from round to round.
struct Payloads {
  MessageBuilder car, device, gps;
  explicit Payloads(int i) {
    car.initEvent().initCarState().setGearShifter(i % 2 ? Gear::DRIVE : Gear::PARK);
    auto dev = device.initEvent().initDeviceState();
    dev.setStarted(true);
    dev.initCpuUsagePercent(i % 8);
    auto g = gps.initEvent().initGpsLocation();
    g.setHasFix(true);
    g.setLatitude(i);
    g.initVNED(i % 3);
  }
  void publish(PubMaster &pm) {
    ASSERT_GT(pm.send("carState", car), 0);
    ASSERT_GT(pm.send("deviceState", device), 0);
    ASSERT_GT(pm.send("gpsLocation", gps), 0);
  }
};

}  // namespace

TEST(SocketMasterAllocations, DecodingAReceivedPayloadAllocatesNothing) {
  Payloads p(5);
  kj::ArrayPtr<capnp::byte> bytes = p.gps.toBytes();
  AlignedBuffer buf;
  buf.align((const char *)bytes.begin(), bytes.size());  // first use sizes the buffer
  alignas(capnp::FlatArrayMessageReader) unsigned char storage[sizeof(capnp::FlatArrayMessageReader)];
  double lat = 0;
  long n = count_allocations([&] {
    for (int i = 0; i < 1000; i++) {
      auto *reader = new (storage) capnp::FlatArrayMessageReader(
          buf.align((const char *)bytes.begin(), bytes.size()), event_reader_options());
      lat += reader->getRoot<strand::Event>().getGpsLocation().getLatitude();
      reader->~FlatArrayMessageReader();
    }
  });
  EXPECT_EQ(n, 0);
  EXPECT_EQ(lat, 5000);
}

TEST(SocketMasterAllocations, UpdateAddsNothingToTheTransportsOwnAllocations) {
  TestPrefix prefix;
  PubMaster pm(TOPICS);
  SubMaster sm(TOPICS);

  // The same traffic read bare: a poller over plain subscribers of the same topics.
  std::unique_ptr<Context> ctx(Context::create());
  std::vector<std::unique_ptr<SubSocket>> bare;
  std::unique_ptr<Poller> poller(Poller::create());
  for (const char *name : TOPICS) {
    bare.emplace_back(SubSocket::create(ctx.get(), name, "127.0.0.1", true, true));
    ASSERT_NE(bare.back(), nullptr);
    poller->registerSocket(bare.back().get());
  }
  std::vector<char> copy(1 << 16);

  // Warm-up: the buffers reach their size, the readers their slots.
  for (int i = 0; i < 20; i++) {
    Payloads(i).publish(pm);
    sm.update(0);
    for (SubSocket *s : poller->poll(0)) delete s->receive(true);
  }

  constexpr int ROUNDS = 300;
  long sm_allocs = 0, bare_allocs = 0, received = 0;
  for (int i = 0; i < ROUNDS; i++) {
    Payloads(i).publish(pm);
    sm_allocs += count_allocations([&] { sm.update(0); });
    ASSERT_TRUE(sm.updated("carState") && sm.updated("deviceState") && sm.updated("gpsLocation"));
    ASSERT_DOUBLE_EQ(sm["gpsLocation"].getGpsLocation().getLatitude(), i);
    bare_allocs += count_allocations([&] {
      for (SubSocket *s : poller->poll(0)) {
        Message *m = s->receive(true);
        if (!m) continue;
        memcpy(copy.data(), m->getData(), m->getSize());
        delete m;
        received++;
      }
    });
  }
  EXPECT_EQ(received, 3 * ROUNDS);
  EXPECT_EQ(sm_allocs, bare_allocs) << "SubMaster allocated beyond the transport";
}
