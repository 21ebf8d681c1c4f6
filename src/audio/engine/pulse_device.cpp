// The sound-server device's main side: connecting, opening the streams,
// starting and stopping them, and the server's device lists.
#include "audio/engine/pulse_device.h"

#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/proplist.h>
#include <pulse/rtclock.h>
#include <pulse/timeval.h>

#include <algorithm>
#include <cstring>

#include "audio/engine/pulse_device_connection.h"
#include "log/log.h"

namespace qur {
namespace {

// A local server answers at once and an absent one fails at once; the bound
// only guards against one that hangs (stopped, or stuck in a driver).
constexpr double kAnswerSeconds = 2.0;
constexpr double kProbeSeconds = 1.0;
// Playback buffer in cycles: one being played, one queued, one in flight.
constexpr uint32_t kPlaybackCycles = 3;
// Microphone audio the server keeps for us at most when we fall behind.
constexpr double kCaptureBufferSeconds = 0.25;

void timeUp(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userData) {
  auto* connection = static_cast<PulseDevice::Connection*>(userData);
  connection->timedOut = true;
  pa_threaded_mainloop_signal(connection->loop, 0);
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The endpoint a user's name stands for: exact name, exact description, then
// a part of either; real devices before monitors. "default" and "pulse" are
// how PortAudio calls the server's default, and mean it here too.
const PulseDevice::Connection::Endpoint* match(
    const std::vector<PulseDevice::Connection::Endpoint>& endpoints, const std::string& wanted) {
  for (const auto& e : endpoints)
    if (e.name == wanted) return &e;
  for (const auto& e : endpoints)
    if (e.description == wanted) return &e;
  for (const bool monitors : {false, true}) {
    for (const auto& e : endpoints) {
      if (e.monitor == monitors && (contains(e.name, wanted) || contains(e.description, wanted)))
        return &e;
    }
  }
  return nullptr;
}

bool meansDefault(const std::string& name) {
  return name.empty() || name == "default" || name == "pulse";
}

}  // namespace

// ---- Connection, main side -------------------------------------------------

PulseDevice::Connection::~Connection() {
  if (loop) pa_threaded_mainloop_stop(loop);  // joins the loop thread
  for (pa_stream** stream : {&playback, &record}) {
    if (!*stream) continue;
    pa_stream_set_state_callback(*stream, nullptr, nullptr);
    pa_stream_set_write_callback(*stream, nullptr, nullptr);
    pa_stream_set_read_callback(*stream, nullptr, nullptr);
    pa_stream_disconnect(*stream);
    pa_stream_unref(*stream);
    *stream = nullptr;
  }
  if (context) {
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
  }
  if (loop) pa_threaded_mainloop_free(loop);
}

template <class Done>
bool PulseDevice::Connection::waitFor(Done done, double seconds) {
  timedOut = false;
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
  timeval when{};
  pa_timeval_add(pa_gettimeofday(&when), pa_usec_t(seconds * PA_USEC_PER_SEC));
  pa_time_event* timer = api->time_new(api, &when, &timeUp, this);
  while (!done() && !timedOut) pa_threaded_mainloop_wait(loop);
  if (timer) api->time_free(timer);
  return done();
}

bool PulseDevice::Connection::connect(std::string* error, double seconds) {
  loop = pa_threaded_mainloop_new();
  if (!loop) {
    if (error) *error = "cannot create the sound server loop";
    return false;
  }
  pa_threaded_mainloop_set_name(loop, "qur-pulse");
  pa_proplist* properties = pa_proplist_new();
  pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "qur-wtalkie");
  pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "qur-wtalkie");
  pa_proplist_sets(properties, PA_PROP_APPLICATION_ICON_NAME, "qur-wtalkie");
  context =
      pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop), "qur-wtalkie", properties);
  pa_proplist_free(properties);
  if (!context) {
    if (error) *error = "cannot create a sound server context";
    return false;
  }
  pa_context_set_state_callback(context, &Connection::contextChanged, this);
  if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    if (error) *error = std::string("no sound server: ") + pa_strerror(pa_context_errno(context));
    return false;
  }
  if (pa_threaded_mainloop_start(loop) < 0) {
    if (error) *error = "cannot start the sound server thread";
    return false;
  }
  pa_threaded_mainloop_lock(loop);
  waitFor([this] { return contextReady || failed.load(); }, seconds);
  const bool ready = contextReady && !failed;
  if (!ready && error) {
    *error = failed ? std::string("no sound server: ") + pa_strerror(pa_context_errno(context))
                    : std::string("the sound server does not answer");
  }
  pa_threaded_mainloop_unlock(loop);
  return ready;
}

namespace {

struct Listing {
  PulseDevice::Connection* connection;
  std::vector<PulseDevice::Connection::Endpoint> found;
  bool done = false;
};

bool monitors(const pa_sink_info*) {
  return false;
}
bool monitors(const pa_source_info* info) {
  return info->monitor_of_sink != PA_INVALID_INDEX;
}

// One sink's or source's entry of a listing, then its end.
template <class Info>
void collect(pa_context*, const Info* info, int eol, void* data) {
  auto* listing = static_cast<Listing*>(data);
  if (eol != 0 || !info) {
    listing->done = true;
    pa_threaded_mainloop_signal(listing->connection->loop, 0);
    return;
  }
  listing->found.push_back({info->name ? info->name : "",
                            info->description ? info->description : "", monitors(info),
                            int(info->channel_map.channels)});
}

}  // namespace

std::vector<PulseDevice::Connection::Endpoint> PulseDevice::Connection::endpoints(bool sinks) {
  Listing listing{this, {}, false};
  pa_operation* operation =
      sinks ? pa_context_get_sink_info_list(context, &collect<pa_sink_info>, &listing)
            : pa_context_get_source_info_list(context, &collect<pa_source_info>, &listing);
  if (!operation) return {};
  waitFor([&listing] { return listing.done; }, kAnswerSeconds);
  // Cancelled on a time-out, so the callback never sees the gone listing.
  pa_operation_cancel(operation);
  pa_operation_unref(operation);
  return listing.found;
}

std::string PulseDevice::Connection::defaultName(bool sink) {
  struct Answer {
    Connection* connection;
    bool sink;
    std::string name;
    bool done = false;
  } answer{this, sink, {}, false};
  pa_operation* operation = pa_context_get_server_info(
      context,
      [](pa_context*, const pa_server_info* info, void* data) {
        auto* a = static_cast<Answer*>(data);
        const char* name =
            info ? (a->sink ? info->default_sink_name : info->default_source_name) : nullptr;
        if (name) a->name = name;
        a->done = true;
        pa_threaded_mainloop_signal(a->connection->loop, 0);
      },
      &answer);
  if (!operation) return {};
  waitFor([&answer] { return answer.done; }, kAnswerSeconds);
  pa_operation_cancel(operation);
  pa_operation_unref(operation);
  return answer.name;
}

// ---- The device ------------------------------------------------------------

PulseDevice::PulseDevice(std::string outputName, uint32_t framesPerBuffer, std::string inputName)
    : _framesPerBuffer(framesPerBuffer ? framesPerBuffer : 441),
      _outputName(std::move(outputName)),
      _inputName(std::move(inputName)) {}

PulseDevice::~PulseDevice() {
  close();
}

bool PulseDevice::open(const AudioDeviceFormat& format, AudioDeviceClient* client,
                       std::string* error) {
  close();
  _format = format;
  _client = client;
  auto connection = std::make_unique<Connection>();
  Connection& c = *connection;
  c.client = client;
  _cycles = 0;
  c.cycles = &_cycles;
  c.channels = format.channels;
  c.rate = format.sampleRate;
  c.cycleFrames = _framesPerBuffer;
  c.cycleBytes = size_t(_framesPerBuffer) * size_t(format.channels) * sizeof(int16_t);
  c.input.assign(size_t(_framesPerBuffer) * size_t(format.channels), 0);
  c.output.assign(c.input.size(), 0);
  if (!c.connect(error, kAnswerSeconds)) return false;

  pa_threaded_mainloop_lock(c.loop);
  const auto fail = [&](const std::string& why) {
    if (error) *error = why;
    pa_threaded_mainloop_unlock(c.loop);
    return false;
  };
  // Names are looked up here, so a device plugged in since is found.
  std::string sink, source;
  std::vector<Connection::Endpoint> sinks, sources;
  if (!meansDefault(_outputName)) {
    sinks = c.endpoints(true);
    const auto* found = match(sinks, _outputName);
    if (!found) return fail("no sound server output named '" + _outputName + "'");
    sink = found->name;
  }
  if (format.inputEnabled && !meansDefault(_inputName)) {
    sources = c.endpoints(false);
    if (const auto* found = match(sources, _inputName)) source = found->name;
    // One name for both that fits a speaker only: the default microphone.
  }

  pa_sample_spec sampleFormat{};
  sampleFormat.format = PA_SAMPLE_S16LE;
  sampleFormat.rate = uint32_t(format.sampleRate);
  sampleFormat.channels = uint8_t(format.channels);
  pa_channel_map map;
  pa_channel_map_init_auto(&map, sampleFormat.channels, PA_CHANNEL_MAP_DEFAULT);
  const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                       PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_START_CORKED);

  c.playback = pa_stream_new(c.context, "Walkie-talkie speaker", &sampleFormat, &map);
  if (!c.playback)
    return fail(std::string("pa_stream_new: ") + pa_strerror(pa_context_errno(c.context)));
  pa_stream_set_state_callback(c.playback, &Connection::streamChanged, &c);
  pa_stream_set_write_callback(c.playback, &Connection::playbackRequested, &c);
  pa_stream_set_underflow_callback(c.playback, &Connection::playbackUnderflowed, &c);
  pa_stream_set_moved_callback(c.playback, &Connection::streamMoved, &c);
  pa_buffer_attr playbackBuffer{};
  playbackBuffer.maxlength = uint32_t(-1);
  playbackBuffer.tlength = uint32_t(kPlaybackCycles * c.cycleBytes);
  // No prebuffering: after an underflow the server plays on at once, and
  // what comes late is skipped rather than heard late.
  playbackBuffer.prebuf = 0;
  playbackBuffer.minreq = uint32_t(c.cycleBytes);
  playbackBuffer.fragsize = uint32_t(-1);
  if (pa_stream_connect_playback(c.playback, sink.empty() ? nullptr : sink.c_str(), &playbackBuffer,
                                 flags, nullptr, nullptr) < 0) {
    return fail(std::string("cannot open the speaker stream: ") +
                pa_strerror(pa_context_errno(c.context)));
  }
  if (format.inputEnabled) {
    c.record = pa_stream_new(c.context, "Walkie-talkie microphone", &sampleFormat, &map);
    if (c.record) {
      pa_stream_set_state_callback(c.record, &Connection::streamChanged, &c);
      pa_stream_set_read_callback(c.record, &Connection::captureArrived, &c);
      pa_stream_set_overflow_callback(c.record, &Connection::captureOverflowed, &c);
      pa_stream_set_moved_callback(c.record, &Connection::streamMoved, &c);
      pa_buffer_attr recordBuffer{};
      recordBuffer.maxlength =
          uint32_t(kCaptureBufferSeconds * format.sampleRate) * uint32_t(format.channels) * 2;
      recordBuffer.fragsize = uint32_t(c.cycleBytes);
      recordBuffer.tlength = recordBuffer.prebuf = recordBuffer.minreq = uint32_t(-1);
      if (pa_stream_connect_record(c.record, source.empty() ? nullptr : source.c_str(),
                                   &recordBuffer, flags) < 0) {
        pa_stream_unref(c.record);
        c.record = nullptr;
      }
    }
  }
  const auto settled = [](pa_stream* s) {
    if (!s) return true;
    const pa_stream_state_t state = pa_stream_get_state(s);
    return state == PA_STREAM_READY || state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED;
  };
  c.waitFor([&] { return c.failed || (settled(c.playback) && settled(c.record)); }, kAnswerSeconds);
  if (pa_stream_get_state(c.playback) != PA_STREAM_READY) {
    const char* why = pa_strerror(pa_context_errno(c.context));
    return fail(std::string("the speaker stream did not open: ") + why);
  }
  // A failing record stream is not what made the device fail: the engine
  // plays on without a microphone.
  c.failed = false;
  _inputAvailable = c.record && pa_stream_get_state(c.record) == PA_STREAM_READY;
  if (c.record && !_inputAvailable) {
    QUR_LOG_ERROR("Engine: no microphone from the sound server: %s",
                  pa_strerror(pa_context_errno(c.context)));
    pa_stream_set_state_callback(c.record, nullptr, nullptr);
    pa_stream_set_read_callback(c.record, nullptr, nullptr);
    pa_stream_disconnect(c.record);
    pa_stream_unref(c.record);
    c.record = nullptr;
  }

  // What the server granted decides the first latency figures and how much
  // the microphone delivers at a time.
  const pa_buffer_attr* granted = pa_stream_get_buffer_attr(c.playback);
  const double bytesPerSecond = double(format.channels) * 2 * format.sampleRate;
  c.outputFallback = granted ? granted->tlength / bytesPerSecond
                             : kPlaybackCycles * _framesPerBuffer / format.sampleRate;
  uint32_t fragmentFrames = _framesPerBuffer;
  if (c.record) {
    if (const pa_buffer_attr* recorded = pa_stream_get_buffer_attr(c.record)) {
      fragmentFrames = std::max<uint32_t>(1, recorded->fragsize / uint32_t(format.channels * 2));
    }
    c.inputFallback = fragmentFrames / format.sampleRate;
  }
  if (!c.bridge.setUp(format.channels, format.sampleRate, _framesPerBuffer, fragmentFrames)) {
    return fail("cannot set up the microphone buffer");
  }
  _outputLatency = c.outputFallback;
  _inputLatency =
      _inputAvailable ? c.inputFallback + c.bridge.targetFrames() / format.sampleRate : 0.0;
  {
    std::lock_guard<std::mutex> names(c.namesMutex);
    c.sinkName =
        pa_stream_get_device_name(c.playback) ? pa_stream_get_device_name(c.playback) : sink;
    if (c.record && pa_stream_get_device_name(c.record))
      c.sourceName = pa_stream_get_device_name(c.record);
  }
  if (sinks.empty()) sinks = c.endpoints(true);
  for (const auto& e : sinks) {
    if (e.name != c.sinkName) continue;
    std::lock_guard<std::mutex> names(c.namesMutex);
    c.sinkDescription = e.description;
  }
  pa_threaded_mainloop_unlock(c.loop);
  std::lock_guard<std::mutex> swap(_connectionMutex);
  _connection = std::move(connection);
  return true;
}

bool PulseDevice::start(std::string* error) {
  if (!_connection) {
    if (error) *error = "device not open";
    return false;
  }
  Connection& c = *_connection;
  pa_threaded_mainloop_lock(c.loop);
  // The same two clocks go on: what the bridge learnt of them still holds.
  c.bridge.reset(true);
  if (c.record) {
    if (pa_operation* o = pa_stream_flush(c.record, nullptr, nullptr)) pa_operation_unref(o);
  }
  c.active = true;
  for (pa_stream* stream : {c.playback, c.record}) {
    if (!stream) continue;
    if (pa_operation* o = pa_stream_cork(stream, 0, nullptr, nullptr)) pa_operation_unref(o);
  }
  const bool ok = !c.failed;
  pa_threaded_mainloop_unlock(c.loop);
  if (!ok && error) *error = "the sound server connection failed";
  _started = ok;
  return ok;
}

void PulseDevice::stop() {
  if (!_connection || !_started) return;
  Connection& c = *_connection;
  // The loop thread runs callbacks only with the lock held: once we have
  // it, no cycle is in progress, and later ones see the flag.
  pa_threaded_mainloop_lock(c.loop);
  c.active = false;
  for (pa_stream* stream : {c.playback, c.record}) {
    if (!stream) continue;
    if (pa_operation* o = pa_stream_cork(stream, 1, nullptr, nullptr)) pa_operation_unref(o);
  }
  pa_threaded_mainloop_unlock(c.loop);
  _started = false;
}

void PulseDevice::close() {
  stop();
  std::unique_ptr<Connection> closing;
  {
    std::lock_guard<std::mutex> swap(_connectionMutex);
    closing = std::move(_connection);
  }
  // Outside the mutex: this joins the loop thread.
  closing.reset();
  _inputAvailable = false;
}

bool PulseDevice::isHealthy() const {
  return _connection && !_connection->failed.load();
}

uint64_t PulseDevice::cycleCount() const {
  return _cycles.load(std::memory_order_relaxed);
}

int PulseDevice::threadId() const {
  std::lock_guard<std::mutex> swap(_connectionMutex);
  return _connection ? _connection->threadId.load() : 0;
}

std::string PulseDevice::name() const {
  std::string shown = _outputName.empty() ? std::string("default") : _outputName;
  std::lock_guard<std::mutex> swap(_connectionMutex);
  if (_connection) {
    std::lock_guard<std::mutex> names(_connection->namesMutex);
    if (!_connection->sinkDescription.empty()) {
      shown = _connection->sinkDescription;
    } else if (!_connection->sinkName.empty()) {
      shown = _connection->sinkName;
    }
  }
  return "sound server '" + shown + "'";
}

std::string PulseDevice::sinkName() const {
  std::lock_guard<std::mutex> swap(_connectionMutex);
  if (!_connection) return {};
  std::lock_guard<std::mutex> names(_connection->namesMutex);
  return _connection->sinkName;
}

std::string PulseDevice::sourceName() const {
  std::lock_guard<std::mutex> swap(_connectionMutex);
  if (!_connection) return {};
  std::lock_guard<std::mutex> names(_connection->namesMutex);
  return _connection->sourceName;
}

AudioDeviceStatistics PulseDevice::statistics() const {
  std::lock_guard<std::mutex> swap(_connectionMutex);
  if (!_connection) return {};
  const Connection& c = *_connection;
  AudioDeviceStatistics s = c.record ? c.bridge.statistics() : AudioDeviceStatistics{};
  s.playbackUnderflows = c.underflows.load();
  s.captureOverflows = c.overflows.load();
  return s;
}

// ---- Server queries --------------------------------------------------------

bool pulseServerAnswers() {
  PulseDevice::Connection connection;
  std::string error;
  return connection.connect(&error, kProbeSeconds);
}

std::vector<AudioDeviceInfo> pulseDevices() {
  PulseDevice::Connection c;
  std::string error;
  if (!c.connect(&error, kProbeSeconds)) return {};
  pa_threaded_mainloop_lock(c.loop);
  const auto sinks = c.endpoints(true);
  const auto sources = c.endpoints(false);
  const std::string defaultSink = c.defaultName(true);
  const std::string defaultSource = c.defaultName(false);
  pa_threaded_mainloop_unlock(c.loop);
  std::vector<AudioDeviceInfo> devices;
  for (const auto& e : sinks) {
    AudioDeviceInfo info;
    info.name = e.name;
    info.description = e.description;
    info.outputChannels = e.channels;
    info.isDefaultOutput = e.name == defaultSink;
    devices.push_back(info);
  }
  for (const auto& e : sources) {
    if (e.monitor && e.name != defaultSource) continue;
    AudioDeviceInfo info;
    info.name = e.name;
    info.description = e.description;
    info.inputChannels = e.channels;
    info.isDefaultInput = e.name == defaultSource;
    devices.push_back(info);
  }
  return devices;
}

}  // namespace qur
