# Every third-party dependency, found once, as imported targets that any folder can link.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

# libzmq's pkg-config file also names the include directories of its own dependencies, one of
# them as a bare "-isystem" option that CMake places differently on a first and a later
# configure (every object using ZeroMQ would then rebuild). zmq.h needs none of them.
pkg_check_modules(ZMQ REQUIRED libzmq)
add_library(PkgConfig::ZMQ INTERFACE IMPORTED GLOBAL)
set_target_properties(PkgConfig::ZMQ PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${ZMQ_INCLUDEDIR}"
  INTERFACE_LINK_LIBRARIES "${ZMQ_LINK_LIBRARIES}")
find_package(nlohmann_json REQUIRED)
find_package(CapnProto REQUIRED)          # CapnProto::capnp, CapnProto::kj, capnp_generate_cpp
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET GLOBAL libavformat libavcodec libavutil)
pkg_check_modules(X264 REQUIRED IMPORTED_TARGET GLOBAL x264)
pkg_check_modules(X265 REQUIRED IMPORTED_TARGET GLOBAL x265)
find_library(YUV_LIBRARY yuv REQUIRED)    # Debian's libyuv ships no pkg-config file
find_package(OpenCL REQUIRED)             # OpenCL::OpenCL
pkg_check_modules(WAYLAND_CLIENT REQUIRED IMPORTED_TARGET GLOBAL wayland-client)
find_package(Qt5 COMPONENTS Core Gui Widgets REQUIRED)
find_package(benchmark QUIET)
find_program(CAPNP_TOOL capnp REQUIRED)
find_program(FFPROBE ffprobe)
find_program(FFMPEG_EXECUTABLE ffmpeg)
# The interpreter that outside-client tests run: the first python3 on the path that has the
# zmq module (Debian's python3-zmq), so a private interpreter earlier on the path is passed over.
function(roadrec_python_has_zmq result candidate)
  execute_process(COMMAND ${candidate} -c "import zmq" RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
  if(NOT rc EQUAL 0)
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()
find_program(Python3_EXECUTABLE NAMES python3 NAMES_PER_DIR VALIDATOR roadrec_python_has_zmq REQUIRED
  DOC "python3 with the zmq module")
find_package(Python3 COMPONENTS Interpreter REQUIRED)
