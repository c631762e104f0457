// Export through a component: the movie's first video and first sound
// stream decoded, scaled or resampled to the component's settings and
// encoded again (or copied), then muxed into the component's file format.
// AMR-NB is encoded with libopencore-amrnb, which Debian's FFmpeg lacks as an
// encoder, and muxed by libavformat like any other stream.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
#include <opencore-amrnb/interf_enc.h>
}

#include <cmath>
#include <cstdlib>

#include "pressova/quicktime/service.h"
#include "pressova/quicktime/writer.h"

namespace {

constexpr OSType kCopy = FourCharCode("copy");
constexpr OSType kSamr = FourCharCode("samr");

// AMR-NB: 20 ms frames of 160 samples at 8 kHz, one channel (3GPP TS 26.071).
constexpr int kAmrRate = 8000;
constexpr int kAmrFrameSamples = 160;
constexpr int kAmrMaxFrameBytes = 32;
// Block of PCM samples per packet for encoders that take any frame size.
constexpr int kPcmBlock = 1024;
// A gap in the video longer than this is skipped, not filled with repeats,
// so a crafted time stamp cannot make the export run for hours.
constexpr int kMaxRepeatSeconds = 10;

struct VideoPath {
  int inIndex = -1;
  bool copy = false;
  AVCodecContext* decoder = nullptr;
  AVCodecContext* encoder = nullptr;
  AVStream* out = nullptr;
  SwsContext* scaler = nullptr;
  AVFrame* decoded = nullptr;
  AVFrame* scaled = nullptr;
  AVRational rate{0, 1};
  int64_t nextIndex = 0;
};

struct SoundPath {
  int inIndex = -1;
  bool copy = false;
  AVCodecContext* decoder = nullptr;
  AVCodecContext* encoder = nullptr;  // null for AMR-NB
  void* amr = nullptr;
  Mode amrMode = MR122;
  AVStream* out = nullptr;
  SwrContext* resampler = nullptr;
  AVAudioFifo* fifo = nullptr;
  AVFrame* decoded = nullptr;
  AVFrame* converted = nullptr;
  AVFrame* block = nullptr;
  int rate = 0;
  AVChannelLayout layout{};
  AVSampleFormat format = AV_SAMPLE_FMT_S16;
  int frameSamples = 0;
  int64_t samplesOut = 0;
};

struct ExportJob {
  MovieRecord* movie = nullptr;
  std::string destination;
  OutputFile output;
  VideoPath video;
  SoundPath sound;
  AVPacket* packet = nullptr;  // encoded output
  double startSeconds = 0;
};

double Seconds(int64_t ts, AVRational timeBase) {
  return ts == AV_NOPTS_VALUE ? 0.0 : double(ts) * av_q2d(timeBase);
}

AVCodecID VideoCodecId(OSType codec) {
  switch (codec) {
    case FourCharCode("mp4v"): return AV_CODEC_ID_MPEG4;
    case FourCharCode("h263"): return AV_CODEC_ID_H263;
    case FourCharCode("avc1"): return AV_CODEC_ID_H264;
    default: return AV_CODEC_ID_NONE;
  }
}

AVCodecID SoundCodecId(OSType codec) {
  switch (codec) {
    case FourCharCode("mp4a"): return AV_CODEC_ID_AAC;
    case FourCharCode("lpcm"): return AV_CODEC_ID_PCM_S16LE;
    default: return AV_CODEC_ID_NONE;
  }
}

// The AMR-NB mode of the highest bit rate not above `bitRate`.
Mode AmrMode(uint32_t bitRate) {
  static const struct { uint32_t rate; Mode mode; } modes[] = {
      {12200, MR122}, {10200, MR102}, {7950, MR795}, {7400, MR74},
      {6700, MR67},   {5900, MR59},   {5150, MR515}, {4750, MR475}};
  for (const auto& m : modes)
    if (bitRate >= m.rate) return m.mode;
  return MR475;
}

uint32_t AmrBitRate(Mode mode) {
  static const uint32_t rates[] = {4750, 5150, 5900, 6700, 7400, 7950, 10200, 12200};
  return rates[int(mode)];
}

AVCodecContext* OpenDecoder(const AVStream* in) {
  const AVCodec* codec = avcodec_find_decoder(in->codecpar->codec_id);
  if (!codec) return nullptr;
  AVCodecContext* context = avcodec_alloc_context3(codec);
  if (!context) return nullptr;
  if (avcodec_parameters_to_context(context, in->codecpar) < 0) {
    avcodec_free_context(&context);
    return nullptr;
  }
  context->pkt_timebase = in->time_base;
  context->thread_count = 0;  // as many as the machine has
  if (avcodec_open2(context, codec, nullptr) < 0) avcodec_free_context(&context);
  return context;
}

bool AddCopiedStream(ExportJob& job, const AVStream* in, AVStream*& out) {
  out = avformat_new_stream(job.output.format, nullptr);
  if (!out || avcodec_parameters_copy(out->codecpar, in->codecpar) < 0) return false;
  out->codecpar->codec_tag = 0;
  out->time_base = in->time_base;
  out->avg_frame_rate = in->avg_frame_rate;
  out->sample_aspect_ratio = in->sample_aspect_ratio;
  return true;
}

bool AddEncodedStream(ExportJob& job, AVCodecContext* encoder, AVStream*& out) {
  out = avformat_new_stream(job.output.format, nullptr);
  if (!out || avcodec_parameters_from_context(out->codecpar, encoder) < 0) return false;
  out->time_base = encoder->time_base;
  return true;
}

AVRational SourceFrameRate(const AVStream* in) {
  if (in->avg_frame_rate.num > 0 && in->avg_frame_rate.den > 0) return in->avg_frame_rate;
  if (in->r_frame_rate.num > 0 && in->r_frame_rate.den > 0) return in->r_frame_rate;
  return {25, 1};
}

OSErr SetUpVideo(ExportJob& job, const VideoSettings& settings) {
  VideoPath& v = job.video;
  const AVStream* in = job.movie->format->streams[v.inIndex];
  if (settings.codec == kCopy) {
    v.copy = true;
    return AddCopiedStream(job, in, v.out) ? noErr : codecErr;
  }
  const AVCodec* codec = avcodec_find_encoder(VideoCodecId(settings.codec));
  v.decoder = OpenDecoder(in);
  if (!codec || !v.decoder) return codecErr;
  v.encoder = avcodec_alloc_context3(codec);
  if (!v.encoder) return codecErr;
  AVCodecContext* e = v.encoder;
  int width = int(settings.width ? settings.width : uint32_t(in->codecpar->width));
  int height = int(settings.height ? settings.height : uint32_t(in->codecpar->height));
  e->width = std::max(2, width & ~1);  // 4:2:0 needs even sizes
  e->height = std::max(2, height & ~1);
  v.rate = settings.framesPerSecond ? av_d2q(settings.framesPerSecond / 65536.0, 65535)
                                    : SourceFrameRate(in);
  if (v.rate.num <= 0 || v.rate.den <= 0) v.rate = SourceFrameRate(in);
  e->time_base = av_inv_q(v.rate);
  e->framerate = v.rate;
  e->pix_fmt = codec->pix_fmts ? codec->pix_fmts[0] : AV_PIX_FMT_YUV420P;
  e->sample_aspect_ratio = {1, 1};
  e->bit_rate = settings.bitRate;
  e->gop_size = int(settings.keyFrameInterval ? settings.keyFrameInterval : 12);
  e->max_b_frames = 0;  // handsets of the 3GPP profiles decode no B-frames
  e->thread_count = 0;
  if (job.output.format->oformat->flags & AVFMT_GLOBALHEADER) e->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (avcodec_open2(e, codec, nullptr) < 0) return codecErr;
  v.decoded = av_frame_alloc();
  v.scaled = av_frame_alloc();
  if (!v.decoded || !v.scaled) return codecErr;
  v.scaled->format = e->pix_fmt;
  v.scaled->width = e->width;
  v.scaled->height = e->height;
  if (av_frame_get_buffer(v.scaled, 0) < 0) return codecErr;
  if (!AddEncodedStream(job, e, v.out)) return codecErr;
  v.out->avg_frame_rate = v.rate;
  return noErr;
}

// The nearest sample rate that the encoder takes.
int SupportedRate(const AVCodec* codec, int wanted) {
  if (!codec->supported_samplerates) return wanted;
  int best = codec->supported_samplerates[0];
  for (const int* r = codec->supported_samplerates; *r; ++r)
    if (std::abs(*r - wanted) < std::abs(best - wanted)) best = *r;
  return best;
}

OSErr SetUpSound(ExportJob& job, const SoundSettings& settings) {
  SoundPath& s = job.sound;
  const AVStream* in = job.movie->format->streams[s.inIndex];
  if (settings.codec == kCopy) {
    s.copy = true;
    return AddCopiedStream(job, in, s.out) ? noErr : codecErr;
  }
  s.decoder = OpenDecoder(in);
  if (!s.decoder) return codecErr;
  int sourceRate = in->codecpar->sample_rate > 0 ? in->codecpar->sample_rate : 44100;
  int sourceChannels = in->codecpar->ch_layout.nb_channels > 0 ? in->codecpar->ch_layout.nb_channels : 2;
  int channels = int(settings.channels ? settings.channels : uint32_t(sourceChannels));
  s.rate = int(settings.rate ? settings.rate : uint32_t(sourceRate));

  if (settings.codec == kSamr) {
    s.rate = kAmrRate;
    channels = 1;
    s.format = AV_SAMPLE_FMT_S16;
    s.frameSamples = kAmrFrameSamples;
    s.amrMode = AmrMode(settings.bitRate);
    s.amr = Encoder_Interface_init(0);
    if (!s.amr) return codecErr;
    av_channel_layout_default(&s.layout, 1);
    s.out = avformat_new_stream(job.output.format, nullptr);
    if (!s.out) return codecErr;
    AVCodecParameters* par = s.out->codecpar;
    par->codec_type = AVMEDIA_TYPE_AUDIO;
    par->codec_id = AV_CODEC_ID_AMR_NB;
    par->sample_rate = kAmrRate;
    par->frame_size = kAmrFrameSamples;
    par->bit_rate = AmrBitRate(s.amrMode);
    av_channel_layout_default(&par->ch_layout, 1);
    s.out->time_base = {1, kAmrRate};
  } else {
    const AVCodec* codec = avcodec_find_encoder(SoundCodecId(settings.codec));
    if (!codec) return codecErr;
    s.encoder = avcodec_alloc_context3(codec);
    if (!s.encoder) return codecErr;
    AVCodecContext* e = s.encoder;
    s.rate = SupportedRate(codec, s.rate);
    e->sample_rate = s.rate;
    e->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
    av_channel_layout_default(&e->ch_layout, std::max(1, channels));
    e->bit_rate = settings.bitRate;
    e->time_base = {1, s.rate};
    if (job.output.format->oformat->flags & AVFMT_GLOBALHEADER) e->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(e, codec, nullptr) < 0) return codecErr;
    s.format = e->sample_fmt;
    av_channel_layout_copy(&s.layout, &e->ch_layout);
    s.frameSamples = (codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) || e->frame_size <= 0
                         ? kPcmBlock
                         : e->frame_size;
    if (!AddEncodedStream(job, e, s.out)) return codecErr;
  }
  s.fifo = av_audio_fifo_alloc(s.format, s.layout.nb_channels, s.frameSamples * 4);
  s.decoded = av_frame_alloc();
  s.converted = av_frame_alloc();
  s.block = av_frame_alloc();
  if (!s.fifo || !s.decoded || !s.converted || !s.block) return codecErr;
  return noErr;
}

void FreeJob(ExportJob& job) {
  VideoPath& v = job.video;
  avcodec_free_context(&v.decoder);
  avcodec_free_context(&v.encoder);
  sws_freeContext(v.scaler);
  av_frame_free(&v.decoded);
  av_frame_free(&v.scaled);
  SoundPath& s = job.sound;
  avcodec_free_context(&s.decoder);
  avcodec_free_context(&s.encoder);
  if (s.amr) Encoder_Interface_exit(s.amr);
  swr_free(&s.resampler);
  if (s.fifo) av_audio_fifo_free(s.fifo);
  av_frame_free(&s.decoded);
  av_frame_free(&s.converted);
  av_frame_free(&s.block);
  av_channel_layout_uninit(&s.layout);
  av_packet_free(&job.packet);
}

// Sends a frame (null: the end) to an encoder and writes what comes out.
OSErr Encode(ExportJob& job, AVCodecContext* encoder, AVStream* out, AVFrame* frame) {
  if (avcodec_send_frame(encoder, frame) < 0) return codecErr;
  for (;;) {
    int ret = avcodec_receive_packet(encoder, job.packet);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return noErr;
    if (ret < 0) return codecErr;
    av_packet_rescale_ts(job.packet, encoder->time_base, out->time_base);
    job.packet->stream_index = out->index;
    OSErr err = WriteOutputPacket(job.output, job.packet);
    if (err != noErr) return err;
  }
}

// Encodes the decoded picture once for every output frame time it covers.
OSErr EmitVideoFrame(ExportJob& job) {
  VideoPath& v = job.video;
  AVFrame* d = v.decoded;
  const AVStream* in = job.movie->format->streams[v.inIndex];
  double t = Seconds(d->best_effort_timestamp, in->time_base) - job.startSeconds;
  int64_t target = d->best_effort_timestamp == AV_NOPTS_VALUE ? v.nextIndex
                                                              : std::llrint(t * av_q2d(v.rate));
  if (target < v.nextIndex) return noErr;  // a frame between two output times
  if (target - v.nextIndex > kMaxRepeatSeconds * av_q2d(v.rate)) v.nextIndex = target;

  v.scaler = sws_getCachedContext(v.scaler, d->width, d->height, AVPixelFormat(d->format), v.scaled->width,
                                  v.scaled->height, AVPixelFormat(v.scaled->format), SWS_BICUBIC, nullptr,
                                  nullptr, nullptr);
  // The encoder may still hold the previous picture.
  if (!v.scaler || av_frame_make_writable(v.scaled) < 0) return codecErr;
  sws_scale(v.scaler, d->data, d->linesize, 0, d->height, v.scaled->data, v.scaled->linesize);
  for (; v.nextIndex <= target; ++v.nextIndex) {
    v.scaled->pts = v.nextIndex;
    OSErr err = Encode(job, v.encoder, v.out, v.scaled);
    if (err != noErr) return err;
  }
  return noErr;
}

OSErr DecodeVideo(ExportJob& job, AVPacket* packet) {
  VideoPath& v = job.video;
  if (avcodec_send_packet(v.decoder, packet) < 0 && packet) return noErr;  // a damaged packet is skipped
  for (;;) {
    int ret = avcodec_receive_frame(v.decoder, v.decoded);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return noErr;
    if (ret < 0) return noErr;
    OSErr err = EmitVideoFrame(job);
    av_frame_unref(v.decoded);
    if (err != noErr) return err;
  }
}

OSErr EncodeAmrBlock(ExportJob& job, AVFrame* block) {
  SoundPath& s = job.sound;
  uint8_t frame[kAmrMaxFrameBytes];
  int bytes = Encoder_Interface_Encode(s.amr, s.amrMode, reinterpret_cast<const short*>(block->data[0]),
                                       frame, 0);
  if (bytes <= 0) return codecErr;
  if (av_new_packet(job.packet, bytes) < 0) return codecErr;
  std::copy(frame, frame + bytes, job.packet->data);
  job.packet->pts = job.packet->dts = block->pts;
  job.packet->duration = kAmrFrameSamples;
  av_packet_rescale_ts(job.packet, AVRational{1, kAmrRate}, s.out->time_base);
  job.packet->stream_index = s.out->index;
  return WriteOutputPacket(job.output, job.packet);
}

// Encodes whole blocks from the FIFO; at the end also the last partial one.
OSErr DrainSoundFifo(ExportJob& job, bool atEnd) {
  SoundPath& s = job.sound;
  for (;;) {
    int available = av_audio_fifo_size(s.fifo);
    if (available == 0 || (available < s.frameSamples && !atEnd)) return noErr;
    int count = std::min(available, s.frameSamples);
    av_frame_unref(s.block);
    s.block->format = s.format;
    s.block->sample_rate = s.rate;
    av_channel_layout_copy(&s.block->ch_layout, &s.layout);
    // AMR-NB frames are always whole: the last one is padded with silence.
    s.block->nb_samples = s.amr ? s.frameSamples : count;
    if (av_frame_get_buffer(s.block, 0) < 0) return codecErr;
    if (s.amr) av_samples_set_silence(s.block->data, 0, s.frameSamples, s.layout.nb_channels, s.format);
    if (av_audio_fifo_read(s.fifo, reinterpret_cast<void**>(s.block->data), count) != count) return codecErr;
    s.block->pts = s.samplesOut;
    s.samplesOut += s.block->nb_samples;
    OSErr err = s.amr ? EncodeAmrBlock(job, s.block) : Encode(job, s.encoder, s.out, s.block);
    if (err != noErr) return err;
  }
}

// Resamples `frame` (null: what the resampler still holds) into the FIFO.
OSErr Resample(ExportJob& job, const AVFrame* frame) {
  SoundPath& s = job.sound;
  if (!s.resampler) {
    if (!frame) return noErr;
    if (swr_alloc_set_opts2(&s.resampler, &s.layout, s.format, s.rate, const_cast<AVChannelLayout*>(&frame->ch_layout),
                            AVSampleFormat(frame->format), frame->sample_rate, 0, nullptr) < 0 ||
        swr_init(s.resampler) < 0)
      return codecErr;
  }
  int room = swr_get_out_samples(s.resampler, frame ? frame->nb_samples : 0);
  if (room <= 0) return noErr;
  if (s.converted->nb_samples < room) {
    av_frame_unref(s.converted);
    s.converted->format = s.format;
    s.converted->nb_samples = room;
    av_channel_layout_copy(&s.converted->ch_layout, &s.layout);
    if (av_frame_get_buffer(s.converted, 0) < 0) return codecErr;
  }
  int made = swr_convert(s.resampler, s.converted->data, room,
                         frame ? const_cast<const uint8_t**>(frame->extended_data) : nullptr,
                         frame ? frame->nb_samples : 0);
  if (made < 0) return codecErr;
  if (made > 0 && av_audio_fifo_write(s.fifo, reinterpret_cast<void**>(s.converted->data), made) != made)
    return codecErr;
  return noErr;
}

OSErr DecodeSound(ExportJob& job, AVPacket* packet) {
  SoundPath& s = job.sound;
  if (avcodec_send_packet(s.decoder, packet) < 0 && packet) return noErr;
  for (;;) {
    int ret = avcodec_receive_frame(s.decoder, s.decoded);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return noErr;
    if (ret < 0) return noErr;
    OSErr err = Resample(job, s.decoded);
    av_frame_unref(s.decoded);
    if (err == noErr) err = DrainSoundFifo(job, false);
    if (err != noErr) return err;
  }
}

OSErr CopyPacket(ExportJob& job, AVPacket* packet, AVStream* out) {
  const AVStream* in = job.movie->format->streams[packet->stream_index];
  av_packet_rescale_ts(packet, in->time_base, out->time_base);
  packet->stream_index = out->index;
  packet->pos = -1;
  return WriteOutputPacket(job.output, packet);
}

OSErr ReadAndConvert(ExportJob& job) {
  AVFormatContext* input = job.movie->format;
  AVPacket* packet = av_packet_alloc();
  if (!packet) return codecErr;
  OSErr err = noErr;
  for (;;) {
    int ret = av_read_frame(input, packet);
    if (ret < 0) {
      err = ReadError(ret);
      break;
    }
    int index = packet->stream_index;
    if (index == job.video.inIndex || index == job.sound.inIndex) {
      ProgressAt(Seconds(packet->dts, input->streams[index]->time_base) - job.startSeconds);
      if (index == job.video.inIndex)
        err = job.video.copy ? CopyPacket(job, packet, job.video.out) : DecodeVideo(job, packet);
      else
        err = job.sound.copy ? CopyPacket(job, packet, job.sound.out) : DecodeSound(job, packet);
    }
    av_packet_unref(packet);
    if (err != noErr) break;
  }
  av_packet_free(&packet);
  if (err != noErr) return err;

  // The end: what the decoders, the resampler and the encoders still hold.
  if (job.video.encoder) {
    err = DecodeVideo(job, nullptr);
    if (err == noErr) err = Encode(job, job.video.encoder, job.video.out, nullptr);
    if (err != noErr) return err;
  }
  if (job.sound.decoder) {
    err = DecodeSound(job, nullptr);
    if (err == noErr) err = Resample(job, nullptr);
    if (err == noErr) err = DrainSoundFifo(job, true);
    if (err == noErr && job.sound.encoder) err = Encode(job, job.sound.encoder, job.sound.out, nullptr);
  }
  return err;
}

OSErr RunExport(ExportJob& job, const ExporterKind& kind, const ExportSettings& settings) {
  AVFormatContext* input = job.movie->format;
  if (kind.hasVideo && settings.video.enabled)
    job.video.inIndex = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (settings.sound.enabled)
    job.sound.inIndex = av_find_best_stream(input, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (job.video.inIndex < 0) job.video.inIndex = -1;
  if (job.sound.inIndex < 0) job.sound.inIndex = -1;
  if (job.video.inIndex < 0 && job.sound.inIndex < 0) return codecErr;  // nothing to write
  for (unsigned i = 0; i < input->nb_streams; ++i)
    if (int(i) != job.video.inIndex && int(i) != job.sound.inIndex) input->streams[i]->discard = AVDISCARD_ALL;

  OSErr err = OpenOutputFile(job.output, job.destination, kind.muxer);
  if (err != noErr) return err;
  job.packet = av_packet_alloc();
  if (!job.packet) return codecErr;
  if (job.video.inIndex >= 0 && (err = SetUpVideo(job, settings.video)) != noErr) return err;
  if (job.sound.inIndex >= 0 && (err = SetUpSound(job, settings.sound)) != noErr) return err;
  // A new movie is made now, as its header says.
  av_dict_set(&job.output.format->metadata, "creation_time", "now", 0);
  err = WriteOutputHeader(job.output, nullptr);
  if (err != noErr) return err;
  ProgressStart(Seconds(input->duration, AV_TIME_BASE_Q));
  err = ReadAndConvert(job);
  if (err == noErr) err = FinishOutputFile(job.output);
  ProgressEnd();
  return err;
}

}  // namespace

OSErr ExportMovie(MovieRecord& movie, const ExporterKind& kind, const ExportSettings& settings,
                  const std::string& destination) {
  if (destination == movie.path || SameFile(destination, movie.path)) return wrPermErr;
  RewindMovie(movie);
  ExportJob job;
  job.movie = &movie;
  job.destination = destination;
  job.startSeconds = Seconds(movie.format->start_time, AV_TIME_BASE_Q);
  OSErr err = RunExport(job, kind, settings);
  if (err != noErr) AbandonOutputFile(job.output);
  for (unsigned i = 0; i < movie.format->nb_streams; ++i) movie.format->streams[i]->discard = AVDISCARD_DEFAULT;
  FreeJob(job);
  return err;
}
