// The sound-server device's loop thread: stream callbacks and the cycles
// they run. Around the engine's cycle only the streams' own calls are made
// (reading and writing their buffers, the interpolated latency); nothing
// here waits, allocates or loops beyond what the server asked for.
#include <pulse/introspect.h>

#include <sys/syscall.h>
#include <unistd.h>
#include <algorithm>
#include <cstring>

#include "audio/audio_types.h"
#include "audio/engine/pulse_device_connection.h"
#include "log/thread_role.h"

namespace qur {
void PulseDevice::Connection::contextChanged(pa_context* context, void* userData) {
  auto* c = static_cast<Connection*>(userData);
  switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
      c->contextReady = true;
      break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
      c->failed = true;
      break;
    default:
      break;
  }
  pa_threaded_mainloop_signal(c->loop, 0);
}

void PulseDevice::Connection::streamChanged(pa_stream* stream, void* userData) {
  auto* c = static_cast<Connection*>(userData);
  const pa_stream_state_t state = pa_stream_get_state(stream);
  // The server ended a stream (its device went and nothing could take it
  // over, or the server is going): the device is lost.
  if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) c->failed = true;
  pa_threaded_mainloop_signal(c->loop, 0);
}

void PulseDevice::Connection::playbackRequested(pa_stream*, size_t, void* userData) {
  static_cast<Connection*>(userData)->pump();
}

void PulseDevice::Connection::captureArrived(pa_stream*, size_t, void* userData) {
  static_cast<Connection*>(userData)->pump();
}

void PulseDevice::Connection::playbackUnderflowed(pa_stream*, void* userData) {
  static_cast<Connection*>(userData)->underflows.fetch_add(1, std::memory_order_relaxed);
}

void PulseDevice::Connection::captureOverflowed(pa_stream*, void* userData) {
  static_cast<Connection*>(userData)->overflows.fetch_add(1, std::memory_order_relaxed);
}

// Someone moved a stream to another sink or source (or its device went and
// the server moved it): it plays on there; only the names change. Not a
// cycle: the lookup may allocate.
void PulseDevice::Connection::streamMoved(pa_stream* stream, void* userData) {
  auto* c = static_cast<Connection*>(userData);
  const char* device = pa_stream_get_device_name(stream);
  if (!device) return;
  if (stream == c->record) {
    std::lock_guard<std::mutex> names(c->namesMutex);
    c->sourceName = device;
    return;
  }
  {
    std::lock_guard<std::mutex> names(c->namesMutex);
    c->sinkName = device;
    c->sinkDescription.clear();
  }
  pa_operation* operation = pa_context_get_sink_info_by_name(
      c->context, device,
      [](pa_context*, const pa_sink_info* info, int eol, void* data) {
        if (eol != 0 || !info || !info->description) return;
        auto* connection = static_cast<Connection*>(data);
        std::lock_guard<std::mutex> names(connection->namesMutex);
        if (connection->sinkName == (info->name ? info->name : "")) {
          connection->sinkDescription = info->description;
        }
      },
      c);
  if (operation) pa_operation_unref(operation);
}

void PulseDevice::Connection::pump() {
  if (threadId.load(std::memory_order_relaxed) == 0) {
    threadId.store(int(syscall(SYS_gettid)), std::memory_order_relaxed);
  }
  setCurrentThreadRole(ThreadRole::Audio);
  const uint64_t now = hostTimeNow();
  readCapture(now);
  if (!active.load(std::memory_order_acquire) || !playback ||
      pa_stream_get_state(playback) != PA_STREAM_READY) {
    return;
  }
  size_t writable = pa_stream_writable_size(playback);
  if (writable == size_t(-1)) return;
  // Bounded by the playback buffer: after a stall, a few cycles at most.
  if (writable < cycleBytes) return;
  while (writable >= cycleBytes) {
    runCycle(now);
    writable -= cycleBytes;
  }
  if (record) {
    const double buffered = streamLatency(record, -1) + streamLatency(playback, -1);
    bridge.playbackServed(now, buffered >= 0 ? buffered * rate : -1);
  }
}

void PulseDevice::Connection::readCapture(uint64_t nowNs) {
  if (!record || pa_stream_get_state(record) != PA_STREAM_READY) return;
  const size_t frameBytes = size_t(channels) * sizeof(int16_t);
  // Bounded by what the server keeps for us.
  while (pa_stream_readable_size(record) > 0) {
    const void* data = nullptr;
    size_t bytes = 0;
    if (pa_stream_peek(record, &data, &bytes) < 0 || bytes == 0) break;
    // Audio recorded while stopped is stale; a hole comes as silence.
    if (active.load(std::memory_order_relaxed)) {
      bridge.push(static_cast<const int16_t*>(data), uint32_t(bytes / frameBytes), nowNs);
    }
    pa_stream_drop(record);
  }
}

double PulseDevice::Connection::streamLatency(pa_stream* stream, double fallback) const {
  pa_usec_t usec = 0;
  int negative = 0;
  if (pa_stream_get_latency(stream, &usec, &negative) != 0) return fallback;
  return negative ? 0.0 : double(usec) * 1e-6;
}

void PulseDevice::Connection::runCycle(uint64_t nowNs) {
  void* lent = nullptr;
  size_t lentBytes = size_t(-1);
  int16_t* out = output.data();
  if (pa_stream_begin_write(playback, &lent, &lentBytes) == 0 && lent) {
    if (lentBytes >= cycleBytes) {
      out = static_cast<int16_t*>(lent);
    } else {
      pa_stream_cancel_write(playback);
    }
  }
  const int16_t* in = nullptr;
  if (record) {
    // Silence while the bridge fills: the cycle still runs for the speaker.
    bridge.pull(input.data(), cycleFrames, nowNs);
    in = input.data();
  }
  // The first speaker frame of this cycle plays once everything written
  // before it has; the first microphone frame waited in the server and in
  // the bridge for this cycle and the ones before it.
  const double outputSeconds = streamLatency(playback, outputFallback);
  const double inputSeconds =
      record ? streamLatency(record, inputFallback) + (bridge.heldFrames() + cycleFrames) / rate
             : 0.0;
  client->audioDeviceLatencies(inputSeconds, outputSeconds);
  client->audioDeviceCycle(in, out, cycleFrames, nowNs);
  pa_stream_write(playback, out, cycleBytes, nullptr, 0, PA_SEEK_RELATIVE);
  cycles->fetch_add(1, std::memory_order_relaxed);
}

}  // namespace qur
