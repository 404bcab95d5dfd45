#include "motion/sound/sound_server.h"

#include <pulse/context.h>
#include <pulse/def.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/operation.h>
#include <pulse/sample.h>
#include <pulse/stream.h>
#include <pulse/subscribe.h>
#include <pulse/timeval.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "motion/sound/audio_tap.h"
#include "motion/sound/messages.h"
#include "motion/sound/names.h"
#include "motion/sound/streams.h"

namespace {
using Clock = std::chrono::steady_clock;

// NOTE: SDL does not say that the output has gone on every version and server. Once a sound server
// dies, some go on calling the mixer at the device's pace with nowhere for the sound to go, others
// stop calling it; some send a removal event, others none or one for no device in particular, and
// some report the device as playing. What tells on all of them is a connection of our own to the
// server: it fails when the server goes.
constexpr auto RETRY_INTERVAL = std::chrono::seconds(2);
pa_mainloop* serverLoop = nullptr;
pa_context* serverLink = nullptr;  // null: no connection
bool serverLinkReady = false;      // it was connected, so a failure now means the server went
Clock::time_point nextTry;         // when to connect again, or to give up on a connection not ready
std::string refusal;               // why the last connection that never became ready failed

bool watching = false;

// Listening: what the default output plays is recorded from its monitor in pieces of a tick's
// length, one for each tick to take in: every piece costs the server's protocol a few system calls.
constexpr pa_usec_t FRAGMENT_USEC = 20000;
pa_sample_spec recordedFormat{PA_SAMPLE_FLOAT32NE, 44100, 2};
pa_stream* recording = nullptr;
std::string recordedSink;     // whose monitor is recorded, listening to everything
bool recordingFailed = false; // its sink or stream went or moved, and with it the recording
bool silenceSaid = false;     // the last line said that nothing can be listened to

// Listening to one application or player: the streams playing, as the server last listed them,
// and what of them is heard.
ListenTo listenTo = ListenTo::Everything;
std::string listenedApp;
// Past this many streams, the rest of a listing is passed over: no desktop plays that many.
constexpr std::size_t STREAMS_MAX = 1024;
std::vector<SoundStream> streams;
std::vector<SoundStream> streamsComing;  // the listing under way
bool streamsListed = false;             // a whole listing has come since the connection was made
bool streamsStale = false;              // the server said they changed: list them again
bool streamsBeingListed = false;
std::vector<BusPlayer> busPlayers;      // as the session bus last told of them
bool busPlayersKnown = false;           // the bus has told of all of them, or there is none
Listened listened;                      // what is recorded now
std::string choiceSaid;                 // the last line said of what is listened to
constexpr int PAUSE_TICKS_MIN = 25;     // half a second of ticks
int ticksHearingNothing = 0;            // the stream heard has not played for these ticks

// What was asked of the server is answered through its callback; a connection already failing
// asks nothing, and says so with no operation to let go of.
void letGo(pa_operation* asked) {
    if (asked != nullptr) pa_operation_unref(asked);
}

void say(const char* what) {
    tellUser(AUDIO_OUTPUT, what);
}

void stopRecording() {
    if (recording == nullptr) return;
    pa_stream_set_state_callback(recording, nullptr, nullptr);
    pa_stream_disconnect(recording);
    pa_stream_unref(recording);
    recording = nullptr;
    recordedSink.clear();
}

void forgetStreams() {
    streams.clear();
    streamsComing.clear();
    streamsListed = false;
    streamsStale = false;
    streamsBeingListed = false;
    listened = Listened{};
}

void disconnectServer() {
    stopRecording();
    forgetStreams();
    pa_context_disconnect(serverLink);
    pa_context_unref(serverLink);
    serverLink = nullptr;
    serverLinkReady = false;
}

// What became of the connection since the last poll.
enum class Link { Unchanged, Ready, Lost, Refused };

// Keeps the one connection, watching or listening alike: makes one when there is none and it is
// time to, handles what the server has sent (a burst of it at most, without waiting), and drops it
// when it fails, or when it is still not ready by the next try.
Link keepConnected() {
    if (serverLink == nullptr) {
        const Clock::time_point now = Clock::now();
        if (now < nextTry) return Link::Unchanged;
        nextTry = now + RETRY_INTERVAL;
        if (serverLoop == nullptr) serverLoop = pa_mainloop_new();
        serverLink = pa_context_new(pa_mainloop_get_api(serverLoop), "dancer");
        // A connection that cannot even start fails here; its state says so below.
        pa_context_connect(serverLink, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
    }
    for (int burst = 0; burst < 64 && pa_mainloop_iterate(serverLoop, 0, nullptr) > 0; ++burst) {
    }
    const pa_context_state_t state = pa_context_get_state(serverLink);
    if (state == PA_CONTEXT_READY) {
        if (serverLinkReady) return Link::Unchanged;
        serverLinkReady = true;
        return Link::Ready;
    }
    if (PA_CONTEXT_IS_GOOD(state) && Clock::now() < nextTry) return Link::Unchanged;
    const bool wasReady = serverLinkReady;
    refusal = pa_strerror(PA_CONTEXT_IS_GOOD(state) ? PA_ERR_TIMEOUT
                                                    : pa_context_errno(serverLink));
    disconnectServer();
    return wasReady ? Link::Lost : Link::Refused;
}

// Called as the connection is polled: what was recorded goes to the tap as it comes.
void handOverRecording(pa_stream* stream, std::size_t, void*) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    while (pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
        // A hole in what was recorded has no data and is left out.
        if (data != nullptr) {
            tapMixedOutput(static_cast<const float*>(data),
                           static_cast<int>(bytes / pa_frame_size(&recordedFormat)));
        }
        pa_stream_drop(stream);
    }
}

void noteRecordingState(pa_stream* stream, void*) {
    recordingFailed = !PA_STREAM_IS_GOOD(pa_stream_get_state(stream));
}

// Records `source` in pieces of a tick, into the tap; only what `stream` plays there, unless it is
// PA_INVALID_INDEX.
void record(const std::string& source, std::uint32_t stream) {
    recording = pa_stream_new(serverLink, "dancer listening", &recordedFormat, nullptr);
    if (recording == nullptr) return;
    pa_stream_set_read_callback(recording, handOverRecording, nullptr);
    pa_stream_set_state_callback(recording, noteRecordingState, nullptr);
    if (stream != PA_INVALID_INDEX) pa_stream_set_monitor_stream(recording, stream);
    pa_buffer_attr buffering;
    buffering.maxlength = UINT32_MAX;
    buffering.tlength = UINT32_MAX;
    buffering.prebuf = UINT32_MAX;
    buffering.minreq = UINT32_MAX;
    buffering.fragsize =
        static_cast<std::uint32_t>(pa_usec_to_bytes(FRAGMENT_USEC, &recordedFormat));
    // The server's timing is only fetched when listeningLagSeconds asks; until then, interpolating
    // it costs nothing.
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING);
    pa_stream_connect_record(recording, source.c_str(), &buffering, flags);
}

// The default output's monitor, recorded anew whenever the default output is another.
void recordDefaultOutput(pa_context*, const pa_server_info* info, void*) {
    if (info == nullptr || info->default_sink_name == nullptr ||
        listened.kind != Listened::Everything ||
        recordedSink == info->default_sink_name) {
        return;
    }
    stopRecording();
    recordedSink = info->default_sink_name;
    record(recordedSink + ".monitor", PA_INVALID_INDEX);
}

void askForDefaultOutput(pa_context* link) {
    letGo(pa_context_get_server_info(link, recordDefaultOutput, nullptr));
}

// A stream's own monitor: what it plays into its output, and nothing of other streams there. The
// server records it from that output's monitor, which must be named.
void recordStream(pa_context*, const pa_sink_info* info, int, void*) {
    if (info == nullptr || listened.kind != Listened::Stream || info->index != listened.sink ||
        recording != nullptr) {
        return;
    }
    record(std::to_string(info->monitor_source), listened.stream);
}

const char* property(const pa_proplist* properties, const char* key) {
    const char* value = pa_proplist_gets(properties, key);
    return value != nullptr ? value : "";
}

void noteStream(pa_context*, const pa_sink_input_info* info, int end, void*) {
    if (end != 0) {
        streams.swap(streamsComing);
        streamsComing.clear();
        streamsListed = true;
        streamsBeingListed = false;
        return;
    }
    if (info == nullptr || streamsComing.size() >= STREAMS_MAX) return;
    SoundStream stream;
    stream.index = info->index;
    stream.sink = info->sink;
    stream.playing = info->corked == 0;
    stream.application = cleanName(property(info->proplist, PA_PROP_APPLICATION_NAME));
    stream.binary = cleanName(property(info->proplist, PA_PROP_APPLICATION_PROCESS_BINARY));
    stream.description = cleanName(property(info->proplist, PA_PROP_MEDIA_NAME));
    // The same stream keeps its processes: they are read once.
    for (const SoundStream& known : streams) {
        if (known.index == stream.index) stream.processes = known.processes;
    }
    if (stream.processes.empty()) {
        char* end = nullptr;
        const char* id = property(info->proplist, PA_PROP_APPLICATION_PROCESS_ID);
        const unsigned long process = std::strtoul(id, &end, 10);
        if (*id != '\0' && *end == '\0' && process < 1UL << 22) {
            stream.processes = processLineage(static_cast<unsigned>(process));
        }
    }
    streamsComing.push_back(std::move(stream));
}

void noteServerEvent(pa_context* link, pa_subscription_event_type_t event, std::uint32_t, void*) {
    if ((event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
        streamsStale = true;
    } else if (listened.kind == Listened::Everything) {
        askForDefaultOutput(link);
    }
}

// Once connected: the default output now and whenever it changes, and, listening to one
// application or player, the streams as they come, change and go.
void followServer() {
    pa_context_set_subscribe_callback(serverLink, noteServerEvent, nullptr);
    const bool everything = listenTo == ListenTo::Everything;
    const auto mask = static_cast<pa_subscription_mask_t>(
        PA_SUBSCRIPTION_MASK_SERVER | (everything ? 0 : PA_SUBSCRIPTION_MASK_SINK_INPUT));
    letGo(pa_context_subscribe(serverLink, mask, nullptr, nullptr));
    if (everything) {
        listened.kind = Listened::Everything;
        askForDefaultOutput(serverLink);
    } else {
        streamsStale = true;
    }
}

void sayChoice(const Listened& choice) {
    std::string line;
    if (choice.kind == Listened::Stream) {
        line = "listening to " + choice.who;
    } else if (choice.kind == Listened::Nothing) {
        line = choice.who + " plays nothing; resting until it does";
    } else {
        line = "no media player on the desktop; listening to all the default output plays";
    }
    if (line == choiceSaid) return;
    choiceSaid = line;
    std::fprintf(stderr, "dancer: %s\n", line.c_str());
}

// Listening to one application or player: lists the streams when they have changed, and records
// the one to hear, or nothing, whenever that changes.
void followStreams() {
    if (streamsStale && !streamsBeingListed) {
        streamsStale = false;
        pa_operation* listing =
            pa_context_get_sink_input_info_list(serverLink, noteStream, nullptr);
        streamsBeingListed = listing != nullptr;
        letGo(listing);
    }
    if (!streamsListed || !busPlayersKnown) return;
    const Listened choice = chooseListened(listenTo, listenedApp, streams, busPlayers);
    // A player corks its stream for a moment between tracks: only a silence that lasts is
    // said, and the recording kept until then hears that silence anyway.
    if (choice.kind == Listened::Nothing && listened.kind == Listened::Stream &&
        ++ticksHearingNothing < PAUSE_TICKS_MIN) {
        return;
    }
    ticksHearingNothing = 0;
    sayChoice(choice);
    const bool same = choice.kind == listened.kind &&
                      (choice.kind != Listened::Stream ||
                       (choice.stream == listened.stream && choice.sink == listened.sink));
    if (same && !recordingFailed) {
        listened.playerBusName = choice.playerBusName;
        return;
    }
    // Its stream may have moved: where to, the next listing tells.
    if (recordingFailed) streamsStale = true;
    // A recording of one stream ends when the stream moves to another output, or ends: it is
    // made anew, which is not the server going away.
    stopRecording();
    recordingFailed = false;
    listened = choice;
    if (choice.kind == Listened::Everything) {
        askForDefaultOutput(serverLink);
    } else if (choice.kind == Listened::Stream) {
        letGo(
            pa_context_get_sink_info_by_index(serverLink, choice.sink, recordStream, nullptr));
    }
}

// A recording whose sink went gives way to one of the default output it leaves behind.
void replaceFailedRecording() {
    if (recording == nullptr || !recordingFailed) return;
    stopRecording();
    recordingFailed = false;
    askForDefaultOutput(serverLink);
}
}  // namespace

void watchSoundServer() {
    watching = true;
    nextTry = Clock::now();
}

WatchedServer pollSoundServer() {
    if (!watching) return WatchedServer::Absent;
    if (keepConnected() == Link::Lost) return WatchedServer::Gone;
    return serverLinkReady ? WatchedServer::There : WatchedServer::Absent;
}

void watchSoundServerAgainLater() {
    if (serverLink != nullptr) disconnectServer();
}

void startListening(int rate, ListenTo to, const std::string& app) {
    listenTo = to;
    listenedApp = app;
    busPlayersKnown = to != ListenTo::Player;
    recordedFormat.rate = static_cast<std::uint32_t>(rate);
    // What is recorded is heard as it is handed over; only when nothing has come for a few ticks
    // has the server stalled, and silence is heard from then on.
    startTap(rate, 0, rate / 20);
    nextTry = Clock::now();
}

void keepListening() {
    switch (keepConnected()) {
        case Link::Ready:
            followServer();
            // Listening to one application or player, the line of what is heard says it.
            if (silenceSaid && listenTo == ListenTo::Everything) say("listening");
            silenceSaid = false;
            choiceSaid.clear();
            break;
        case Link::Lost:
            say("the sound server went away; resting until it is back");
            silenceSaid = true;
            break;
        case Link::Refused:
            if (!silenceSaid) {
                const std::string line =
                    "no sound server to listen to (" + refusal + "); resting until there is one";
                say(line.c_str());
            }
            silenceSaid = true;
            break;
        case Link::Unchanged:
            break;
    }
    if (!serverLinkReady) return;
    if (listenTo == ListenTo::Everything) {
        replaceFailedRecording();
    } else {
        followStreams();
    }
}

void hearDesktopPlayers(std::vector<BusPlayer> players) {
    busPlayers = std::move(players);
    busPlayersKnown = true;
}

bool listStreams(std::vector<SoundStream>& listed, std::string& why) {
    serverLoop = pa_mainloop_new();
    serverLink = pa_context_new(pa_mainloop_get_api(serverLoop), "dancer");
    pa_context_connect(serverLink, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(3);
    bool asked = false;
    while (!streamsListed && Clock::now() < deadline) {
        const pa_context_state_t state = pa_context_get_state(serverLink);
        if (!PA_CONTEXT_IS_GOOD(state)) break;
        if (state == PA_CONTEXT_READY && !asked) {
            asked = true;
            letGo(pa_context_get_sink_input_info_list(serverLink, noteStream, nullptr));
        }
        pa_mainloop_prepare(serverLoop, 100000);
        pa_mainloop_poll(serverLoop);
        pa_mainloop_dispatch(serverLoop);
    }
    const bool answered = streamsListed;
    if (!answered) {
        const pa_context_state_t state = pa_context_get_state(serverLink);
        why = pa_strerror(PA_CONTEXT_IS_GOOD(state) ? PA_ERR_TIMEOUT
                                                    : pa_context_errno(serverLink));
    }
    listed = streams;
    disconnectServer();
    return answered;
}

std::string playerHeard() {
    return listened.kind == Listened::Stream ? listened.playerBusName : std::string();
}

bool listeningToEverything() {
    return listenTo == ListenTo::Everything || listened.kind == Listened::Everything;
}

double listeningLagSeconds() {
    if (recording == nullptr || pa_stream_get_state(recording) != PA_STREAM_READY) {
        return std::nan("");
    }
    // From the server's latest timing, interpolated to now; a newer one is asked for next time.
    letGo(pa_stream_update_timing_info(recording, nullptr, nullptr));
    pa_usec_t lag = 0;
    int ahead = 0;
    if (pa_stream_get_latency(recording, &lag, &ahead) != 0) return std::nan("");
    return (ahead ? -1.0 : 1.0) * static_cast<double>(lag) / PA_USEC_PER_SEC;
}
