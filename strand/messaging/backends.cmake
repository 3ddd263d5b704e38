# The ZeroMQ backend, the lock-step fake-event subscribers, and their tests.

# ZeroMQ publish/subscribe on TCP; ports from the service table.
add_library(messaging_zmq ${CMAKE_CURRENT_SOURCE_DIR}/impl_zmq.cc)
target_include_directories(messaging_zmq PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(messaging_zmq PUBLIC PkgConfig::ZMQ PRIVATE services)

# Event records, eventfd wrappers, the controller handle and the fake poller. FakeSubSocket
# is a header template instantiated where a backend subscriber is known.
add_library(messaging_fake
  ${CMAKE_CURRENT_SOURCE_DIR}/event.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/impl_fake.cc)
target_include_directories(messaging_fake PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(messaging_fake PRIVATE common_util)

set(backend_tests ${CMAKE_CURRENT_SOURCE_DIR}/tests)

roadrec_add_test(NAME event_test SOURCES ${backend_tests}/event_test.cc LIBS messaging_fake)
