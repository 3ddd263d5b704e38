// The output half of OmxEncoder: segment files, their lock files, and the coded buffers that the
// component hands back, written into an MP4 (H.264) or a raw elementary stream (HEVC).

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "common/swaglog.h"
#include "common/util.h"
#include "common/fatal_check.h"
#include "selfdrive/pendrel/screenrecorder/omx_encoder.h"

extern "C" {
#include <libavutil/mathematics.h>
}

void OmxEncoder::encoder_open(const char *filename) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    mkdir(path.c_str(), 0755);
  }
  // A cut path would name another file, and a cut lock path could even be the video itself,
  // which encoder_close would then delete: both paths must fit whole.
  int vid_len = snprintf(vid_path, sizeof(vid_path), "%s/%s", path.c_str(), filename);
  FATAL_CHECK(vid_len >= 0 && vid_len < (int)sizeof(this->vid_path));
  int lock_len = snprintf(lock_path, sizeof(lock_path), "%s/%s.lock", path.c_str(), filename);
  FATAL_CHECK(lock_len >= 0 && lock_len < (int)sizeof(this->lock_path));
  printf("encoder_open %s remuxing:%d\n", vid_path, remuxing);

  if (remuxing) {
    avformat_alloc_output_context2(&ofmt_ctx, NULL, NULL, vid_path);
    FATAL_CHECK(this->ofmt_ctx);
    out_stream = avformat_new_stream(ofmt_ctx, NULL);
    FATAL_CHECK(this->out_stream);
    // The codec is never opened: its context only describes the stream to the muxer.
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_H264);
    FATAL_CHECK(codec);
    codec_ctx = avcodec_alloc_context3(codec);
    FATAL_CHECK(this->codec_ctx);
    codec_ctx->width = width;
    codec_ctx->height = height;
    codec_ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    codec_ctx->time_base = (AVRational){1, fps};
    int err = avio_open(&ofmt_ctx->pb, vid_path, AVIO_FLAG_WRITE);
    FATAL_CHECK(err >= 0);
    wrote_codec_config = false;
  } else {
    of = fopen(vid_path, "wb");
    FATAL_CHECK(this->of);
  }

  int lock_fd = util::retry_eintr([&] { return open(lock_path, O_RDWR | O_CREAT, 0664); });
  FATAL_CHECK(lock_fd >= 0);
  close(lock_fd);

  request_sync_frame();
  is_open = true;
  counter = 0;
}

// Every segment must play from its first frame on its own, so it starts with a sync frame
// rather than continuing the previous segment's group of pictures.
void OmxEncoder::request_sync_frame() {
  OMX_CONFIG_INTRAREFRESHVOPTYPE refresh;
  memset(&refresh, 0, sizeof(refresh));
  refresh.nSize = sizeof(refresh);
  refresh.nPortIndex = 1;  // the output port
  refresh.IntraRefreshVOP = OMX_TRUE;
  OMX_ERRORTYPE err = OMX_SetConfig(handle, OMX_IndexConfigVideoIntraVOPRefresh, &refresh);
  if (err != OMX_ErrorNone) {
    LOGW("encoder: sync frame request refused: %x", err);
  }
}

void OmxEncoder::write_header_from_config() {
  codec_ctx->extradata = static_cast<uint8_t *>(av_mallocz(codec_config_len + AV_INPUT_BUFFER_PADDING_SIZE));
  FATAL_CHECK(codec_ctx->extradata);
  codec_ctx->extradata_size = (int)codec_config_len;
  memcpy(codec_ctx->extradata, codec_config, codec_config_len);
  int err = avcodec_parameters_from_context(out_stream->codecpar, codec_ctx);
  FATAL_CHECK(err >= 0);
  err = avformat_write_header(ofmt_ctx, NULL);
  FATAL_CHECK(err >= 0);
  wrote_codec_config = true;
}

void OmxEncoder::write_packet(OMX_BUFFERHEADERTYPE *out_buf, const uint8_t *data, size_t len) {
  const AVRational in_tb = {1, 1000000};
  const AVRational out_tb = ofmt_ctx->streams[0]->time_base;
  AVPacket *pkt = av_packet_alloc();
  FATAL_CHECK(pkt);
  pkt->data = const_cast<uint8_t *>(data);
  pkt->size = (int)len;
  pkt->pts = pkt->dts = av_rescale_q_rnd(out_buf->nTimeStamp, in_tb, out_tb,
                                         (enum AVRounding)(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
  pkt->duration = av_rescale_q(50 * 1000, in_tb, out_tb);
  if (out_buf->nFlags & OMX_BUFFERFLAG_SYNCFRAME) {
    pkt->flags |= AV_PKT_FLAG_KEY;
  }
  int err = av_write_frame(ofmt_ctx, pkt);
  if (err < 0) {
    LOGW("ts encoder write issue");
  }
  av_packet_free(&pkt);
}

void OmxEncoder::handle_out_buf(OmxEncoder *e, OMX_BUFFERHEADERTYPE *out_buf) {
  const uint8_t *data = out_buf->pBuffer + out_buf->nOffset;
  const size_t len = out_buf->nFilledLen;

  if (out_buf->nFlags & OMX_BUFFERFLAG_CODECCONFIG) {
    // Kept for the life of the encoder: later segments take their header from it.
    if (e->codec_config_len < len) {
      uint8_t *grown = static_cast<uint8_t *>(realloc(e->codec_config, len));
      FATAL_CHECK(grown);
      e->codec_config = grown;
    }
    e->codec_config_len = len;
    memcpy(e->codec_config, data, len);
    out_buf->nTimeStamp = 0;  // not a frame
  }

  if (e->of) {
    fwrite(data, 1, len, e->of);
  }

  if (e->remuxing) {
    if (!e->wrote_codec_config && e->codec_config_len > 0) {
      e->write_header_from_config();
    }
    // Only a written header makes packets writable; timestamp 0 marks configuration data.
    if (out_buf->nTimeStamp > 0 && e->wrote_codec_config) {
      e->write_packet(out_buf, data, len);
    }
  }

  FATAL_CHECK(OMX_FillThisBuffer(e->handle, out_buf) == OMX_ErrorNone);
}

void OmxEncoder::finish_segment_file() {
  if (remuxing) {
    if (wrote_codec_config) {
      av_write_trailer(ofmt_ctx);
    }
    avcodec_free_context(&codec_ctx);
    avio_closep(&ofmt_ctx->pb);
    avformat_free_context(ofmt_ctx);
    ofmt_ctx = nullptr;
    out_stream = nullptr;
    // A segment that never got a header is no MP4 at all: leave nothing behind.
    if (!wrote_codec_config) {
      unlink(vid_path);
    }
  } else {
    bool empty = ftell(of) == 0;
    fclose(of);
    of = nullptr;
    if (empty) {
      unlink(vid_path);
    }
  }
}

void OmxEncoder::encoder_close() {
  if (!is_open) {
    is_open = false;
    return;
  }
  if (dirty) {
    // End of stream one frame interval after the last frame; the component returns it on the
    // output after every pending frame, so the whole segment is written before the trailer.
    OMX_BUFFERHEADERTYPE *in_buf;
    if (!free_in.try_pop(in_buf, DRAIN_TIMEOUT_MS)) {
      LOGE("OMX component returned no input buffer within %d ms", DRAIN_TIMEOUT_MS);
      fprintf(stderr, "OMX component returned no input buffer within %d ms\n", DRAIN_TIMEOUT_MS);
      abort();
    }
    in_buf->nFilledLen = 0;
    in_buf->nOffset = 0;
    in_buf->nFlags = OMX_BUFFERFLAG_EOS;
    in_buf->nTimeStamp = (OMX_TICKS)(last_t + 1000000 / fps);
    FATAL_CHECK(OMX_EmptyThisBuffer(handle, in_buf) == OMX_ErrorNone);

    while (true) {
      OMX_BUFFERHEADERTYPE *out_buf;
      if (!done_out.try_pop(out_buf, DRAIN_TIMEOUT_MS)) {
        LOGE("OMX component returned no end of stream within %d ms", DRAIN_TIMEOUT_MS);
        fprintf(stderr, "OMX component returned no end of stream within %d ms\n", DRAIN_TIMEOUT_MS);
        abort();
      }
      bool eos = out_buf->nFlags & OMX_BUFFERFLAG_EOS;
      handle_out_buf(this, out_buf);
      if (eos) break;
    }
    dirty = false;
  }

  finish_segment_file();
  unlink(lock_path);
  is_open = false;
}
