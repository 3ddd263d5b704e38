# The shared-memory queue, and the messaging interfaces implemented over it.
add_library(msgq msgq.cc)
target_include_directories(msgq PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(msgq PUBLIC common_util)

add_library(messaging_msgq impl_msgq.cc)
target_link_libraries(messaging_msgq PUBLIC msgq services)

# The factories of messaging.h (target `messaging`) are defined in backends.cmake.

roadrec_add_test(NAME msgq_sockets_test SOURCES tests/msgq_sockets_test.cc LIBS messaging TIMEOUT 60)
roadrec_add_test(NAME msgq_queue_test SOURCES tests/msgq_queue_test.cc LIBS msgq TIMEOUT 60)
# A few seconds on idle cores; the limit leaves room for a loaded machine and sanitizers.
roadrec_add_test(NAME msgq_stress_test SOURCES tests/msgq_stress_test.cc LIBS msgq TIMEOUT 300)
# The queue against a peer written in Python from the file format alone.
roadrec_add_test(NAME msgq_interop_test SOURCES tests/msgq_interop_test.cc LIBS msgq TIMEOUT 60)
if(TARGET msgq_interop_test)
  target_compile_definitions(msgq_interop_test PRIVATE PYTHON3="/usr/bin/python3"
    MSGQ_INTEROP_PEER="${CMAKE_CURRENT_SOURCE_DIR}/tests/msgq_interop_peer.py")
endif()
