# The Event envelope's buffers and builder, and SubMaster/PubMaster on top of the
# messaging factories.

# Word-aligned decoding buffer and the message builder; needs only the schema.
add_library(message_buffer message_buffer.cc)
target_include_directories(message_buffer PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(message_buffer PUBLIC strand_schema CapnProto::capnp CapnProto::kj common_util)

add_library(socketmaster socketmaster.cc)
target_include_directories(socketmaster PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(socketmaster PUBLIC message_buffer messaging services common_util)

if(ROADREC_BUILD_TESTS)
  # Tests that run the schema compiler as an outside reader and writer.
  set(schema_tool_defs CAPNP_TOOL="${CAPNP_TOOL}" SCHEMA_DIR="${PROJECT_SOURCE_DIR}/strand/schema")

  # The contracted field positions, checked against the schema compiler's layout report.
  roadrec_add_test(NAME schema_layout_test SOURCES tests/schema_layout_test.cc LIBS common_util)
  target_compile_definitions(schema_layout_test PRIVATE ${schema_tool_defs})

  # What the generated code reads from hand-built messages (short data sections, defaults).
  roadrec_add_test(NAME schema_read_test SOURCES tests/schema_read_test.cc LIBS message_buffer)

  roadrec_add_test(NAME message_buffer_test SOURCES tests/message_buffer_test.cc LIBS message_buffer)
  target_compile_definitions(message_buffer_test PRIVATE ${schema_tool_defs})

  roadrec_add_test(NAME socketmaster_test SOURCES tests/socketmaster_test.cc LIBS socketmaster TIMEOUT 60)

  roadrec_add_test(NAME socketmaster_interop_test SOURCES tests/socketmaster_interop_test.cc LIBS socketmaster
                   TIMEOUT 60)
  target_compile_definitions(socketmaster_interop_test PRIVATE ${schema_tool_defs})

  # Replaces the global operator new, so it is a program of its own.
  roadrec_add_test(NAME socketmaster_alloc_test SOURCES tests/socketmaster_alloc_test.cc LIBS socketmaster
                   TIMEOUT 60)
endif()
