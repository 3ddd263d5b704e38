# The ZeroMQ backend, the lock-step fake-event subscribers, the factories that choose between
# the backends, and their tests.

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

# The factories of messaging.h: every program creates its messaging objects through them.
add_library(messaging ${CMAKE_CURRENT_SOURCE_DIR}/messaging.cc)
target_include_directories(messaging PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(messaging PUBLIC messaging_msgq messaging_zmq messaging_fake msgq services)

set(backend_tests ${CMAKE_CURRENT_SOURCE_DIR}/tests)

roadrec_add_test(NAME event_test SOURCES ${backend_tests}/event_test.cc LIBS messaging_fake)

# ZeroMQ tests on ports the kernel reports free, so they run in parallel.
roadrec_add_test(NAME zmq_socket_test SOURCES ${backend_tests}/zmq_socket_test.cc LIBS messaging_zmq TIMEOUT 60)

# Interoperability with Python's zmq module on the fixed port of carState; every test that
# binds a service's own port holds the lock zmq_service_ports. Debian's interpreter is the
# one that has the Debian zmq module.
roadrec_add_test(NAME zmq_interop_test SOURCES ${backend_tests}/zmq_interop_test.cc
  LIBS messaging_zmq TIMEOUT 60 RESOURCE_LOCK zmq_service_ports)
if(TARGET zmq_interop_test)
  target_compile_definitions(zmq_interop_test PRIVATE PYTHON3="/usr/bin/python3")
endif()

# A subscriber process for the lock-step tests: sockets from the factories, driven by the
# environment the test starts it with.
if(ROADREC_BUILD_TESTS)
  add_executable(fake_lockstep_subscriber ${backend_tests}/fake_lockstep_subscriber.cc)
  target_link_libraries(fake_lockstep_subscriber PRIVATE messaging)
endif()
roadrec_add_test(NAME fake_socket_test SOURCES ${backend_tests}/fake_socket_test.cc
  LIBS messaging TIMEOUT 60)
if(TARGET fake_socket_test)
  target_compile_definitions(fake_socket_test PRIVATE FAKE_SUBSCRIBER="$<TARGET_FILE:fake_lockstep_subscriber>")
  add_dependencies(fake_socket_test fake_lockstep_subscriber)
endif()

roadrec_add_test(NAME factory_test SOURCES ${backend_tests}/factory_test.cc LIBS messaging TIMEOUT 120)
