// Flattening: a self-contained QuickTime movie with every stream copied
// packet for packet, the movie header before the media data when asked.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include <vector>

#include "pressova/quicktime/service.h"
#include "pressova/quicktime/writer.h"

namespace {

double Seconds(int64_t ts, AVRational timeBase) {
  return ts == AV_NOPTS_VALUE ? 0.0 : double(ts) * av_q2d(timeBase);
}

// Adds an output stream copying input stream `in`; false when the QuickTime
// muxer cannot carry its codec (such a stream is left out).
bool AddCopiedStream(AVFormatContext* output, const AVStream* in) {
  const AVCodecParameters* par = in->codecpar;
  if (par->codec_type != AVMEDIA_TYPE_VIDEO && par->codec_type != AVMEDIA_TYPE_AUDIO &&
      par->codec_type != AVMEDIA_TYPE_SUBTITLE)
    return false;
  if (avformat_query_codec(output->oformat, par->codec_id, FF_COMPLIANCE_NORMAL) != 1) return false;
  AVStream* out = avformat_new_stream(output, nullptr);
  if (!out || avcodec_parameters_copy(out->codecpar, par) < 0) return false;
  // The muxer picks the sample entry tag that QuickTime uses for the codec.
  out->codecpar->codec_tag = 0;
  out->time_base = in->time_base;
  out->avg_frame_rate = in->avg_frame_rate;
  out->r_frame_rate = in->r_frame_rate;
  out->sample_aspect_ratio = in->sample_aspect_ratio;
  out->disposition = in->disposition;
  av_dict_copy(&out->metadata, in->metadata, 0);
  return true;
}

OSErr CopyPackets(MovieRecord& movie, OutputFile& output, const std::vector<int>& outputIndex) {
  AVFormatContext* input = movie.format;
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
    if (index < 0 || size_t(index) >= outputIndex.size() || outputIndex[size_t(index)] < 0) {
      av_packet_unref(packet);
      continue;
    }
    const AVStream* in = input->streams[index];
    AVStream* out = output.format->streams[outputIndex[size_t(index)]];
    ProgressAt(Seconds(packet->dts, in->time_base) - Seconds(input->start_time, AV_TIME_BASE_Q));
    av_packet_rescale_ts(packet, in->time_base, out->time_base);
    packet->stream_index = out->index;
    packet->pos = -1;
    err = WriteOutputPacket(output, packet);
    av_packet_unref(packet);
    if (err != noErr) break;
  }
  av_packet_free(&packet);
  return err;
}

}  // namespace

OSErr FlattenMovie(MovieRecord& movie, bool movieHeaderFirst, const std::string& destination) {
  if (destination == movie.path || SameFile(destination, movie.path)) return wrPermErr;
  AVFormatContext* input = movie.format;
  RewindMovie(movie);

  OutputFile output;
  OSErr err = OpenOutputFile(output, destination, "mov");
  if (err != noErr) return err;
  std::vector<int> outputIndex(input->nb_streams, -1);
  int streams = 0;
  for (unsigned i = 0; i < input->nb_streams; ++i)
    if (AddCopiedStream(output.format, input->streams[i])) outputIndex[i] = streams++;
  if (streams == 0) {
    AbandonOutputFile(output);
    return codecErr;
  }
  // The movie keeps its own creation time, title and the like.
  av_dict_copy(&output.format->metadata, input->metadata, 0);

  AVDictionary* options = nullptr;
  if (movieHeaderFirst) av_dict_set(&options, "movflags", "faststart", 0);
  err = WriteOutputHeader(output, &options);
  av_dict_free(&options);
  if (err == noErr) {
    ProgressStart(Seconds(input->duration, AV_TIME_BASE_Q));
    err = CopyPackets(movie, output, outputIndex);
    if (err == noErr) err = FinishOutputFile(output);
    ProgressEnd();
  }
  if (err != noErr) AbandonOutputFile(output);
  return err;
}
