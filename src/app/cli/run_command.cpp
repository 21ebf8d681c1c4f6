// qur-wtalkie-cli run: the same core the window uses, driven from a terminal
// or a script. Commands arrive on standard input, one a line; events go to
// standard output, as text or as one JSON object per line.
#include "app/cli/run_command.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <iostream>
#include <thread>

#include "app/app_event_lines.h"
#include "app/application.h"
#include "app/cli/cli_support.h"
#include "app/cli/line_editor.h"
#include "app/cli/run_session.h"
#include "app/event_writer.h"
#include "app/run_option_parser.h"
#include "app/walkie_talkie_app.h"
#include "audio/engine/audio_device.h"
#include "audio/engine/audio_engine.h"
#include "signals/main_queue.h"

namespace qur::cli {

namespace {

constexpr const char* kRunOptionsHelp =
    "usage: qur-wtalkie-cli run [options]\n"
    "\n"
    "Runs the walkie-talkie on this device: it advertises itself, finds nearby\n"
    "devices, accepts or sends invitations and talks to every connected peer.\n"
    "\n"
    "options:\n"
    "  --name NAME           name other devices see (default: the host name;\n"
    "                        at most 63 bytes)\n"
    "  --audio pulse[:DEVICE]\n"
    "                        the desktop's sound server (PulseAudio or PipeWire),\n"
    "                        the default where one runs (DEVICE: part of a sink\n"
    "                        and source name or description, as\n"
    "                        'qur-wtalkie-cli devices' lists them)\n"
    "  --audio portaudio[:DEVICE]\n"
    "                        a sound device through PortAudio (plain ALSA, JACK;\n"
    "                        the default without a sound server)\n"
    "  --audio virtual       a device without hardware, in real time\n"
    "  --mic FILE.wav        virtual microphone: the file, looped from the moment\n"
    "                        the engine starts (implies --audio virtual)\n"
    "  --mic-from-talk       the microphone file starts at every transmission and\n"
    "                        is silent in between\n"
    "  --speaker FILE.wav    record everything the engine plays, 44.1 kHz 16-bit\n"
    "                        stereo (implies --audio virtual)\n"
    "  --accept ask|auto|never\n"
    "                        invitations and introduced devices: ask on standard\n"
    "                        input (default), accept known and new keys (a changed\n"
    "                        key or a look-alike name is asked about), or decline all\n"
    "  --interface IFACE     discover peers on this network interface only\n"
    "  --voice-processing on|off\n"
    "                        echo cancellation, noise suppression and high-pass\n"
    "                        filter on the microphone (default: on with a sound\n"
    "                        device, off with virtual)\n"
    "  --frame-ms 10|20|40|60\n"
    "                        length of the voice packets sent (default 20)\n"
    "  --continue-without-audio\n"
    "                        run on when the sound device cannot be opened\n"
    "  --events json         one JSON object per line on standard output for every\n"
    "                        event, with \"t\" (seconds since start) and \"time_ms\"\n"
    "                        (wall clock, ms since the epoch)\n"
    "  --verbose             internal log lines on standard error\n"
    "\n";

constexpr const char* kRunEventsHelp =
    "\n"
    "events: ready, audio_clock, peer_found, peer_lost, invitation, invitation_answered,\n"
    "invitation_result, peer_connected, peer_disconnected, connected, peer_talking, transmitting,\n"
    "talk_refused, audio_stopped, key_replaced, events_dropped, link, peers, status, help,\n"
    "error. Lines nobody reads are dropped past 1 MiB, and counted. Unknown commands and bad\n"
    "arguments give one error line and change nothing. SIGINT, SIGTERM and SIGHUP\n"
    "end the program as 'quit' does: peers are told and recordings are completed.\n"
    "\n"
    "At a terminal commands are typed at an editing prompt (Up and Down recall\n"
    "earlier ones) under a status row; Space on an empty line or Ctrl-T starts and\n"
    "ends talking, Ctrl-D on an empty line quits.\n"
    "\n"
    "Environment: QUR_WTALKIE_SOUNDS (sound folder), QUR_WTALKIE_AUDIO (device\n"
    "when --audio is not given), QUR_WTALKIE_ANALYTICS_FILE (local JSON-lines\n"
    "record of screen views and events; nothing is sent anywhere),\n"
    "QUR_WTALKIE_CONFIG_DIR (key folder: the user's, writable by nobody else, one\n"
    "program at a time), QUR_WTALKIE_STRICT_MODES=no (let group- and\n"
    "other-writable key folders and files pass).\n";

// The signals that end the program. Blocked in every thread (set before
// any thread starts) and taken by one waiting thread, so the ending runs
// on the main loop like 'quit'.
sigset_t endingSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

void watchEndingSignals(std::weak_ptr<RunSession> weakSession) {
  std::thread([weakSession] {
    const sigset_t set = endingSignals();
    for (int count = 0;; ++count) {
      int signal = 0;
      if (sigwait(&set, &signal) != 0) return;
      // A second signal while leaving: the user insists.
      if (count > 0) _exit(128 + signal);
      mainQueue().post([weakSession] {
        if (auto session = weakSession.lock()) session->quit();
      });
    }
  }).detach();
}

}  // namespace

int runCommand(const std::vector<std::string>& args) {
  ParsedArguments parsed;
  const std::string help = std::string(kRunOptionsHelp) + kRunCommandsHelp + kRunEventsHelp;
  if (const auto status =
          parseCommandArguments("run", args, runValueOptions(), help.c_str(), false, &parsed,
                                {"--mic-from-talk", "--continue-without-audio"})) {
    return *status;
  }

  ParsedRunOptions run;
  for (const auto& name : runValueOptions()) {
    const auto it = parsed.options.find(name);
    std::string reason;
    if (it != parsed.options.end() && !applyRunOption(name, it->second, &run, &reason)) {
      printError(reason);
      return kExitUsage;
    }
  }
  RunOptions options = std::move(run.run);
  options.micFromTalk = parsed.options.count("--mic-from-talk") != 0;
  options.continueWithoutAudio = parsed.options.count("--continue-without-audio") != 0;

  sigset_t blocked = endingSignals();
  // Resizes are read by the line editor's thread, never by a handler.
  sigaddset(&blocked, SIGWINCH);
  pthread_sigmask(SIG_BLOCK, &blocked, nullptr);

  installLoggers();
  auto loop = std::make_shared<MainLoop>();
  options.mainQueue = loop;

  StartError error;
  auto app = WalkieTalkieApp::start(std::move(options), &error);
  if (!app) {
    printError(error.message);
    return error.kind == StartError::Kind::Usage ? kExitUsage : kExitFailure;
  }
  app->application().setScreenName("Home Screen");
  app->application().trackScreenView();

  const bool json = run.jsonEvents;
  const bool terminal = !json && isatty(STDOUT_FILENO) && isatty(STDIN_FILENO);
  // Set once the session exists; the editor may see keys before that.
  auto weakSession = std::make_shared<std::weak_ptr<RunSession>>();
  std::shared_ptr<LineEditor> editor;
  if (terminal) {
    auto onMain = [weakSession](std::function<void(RunSession&)> block) {
      mainQueue().post([weakSession, block = std::move(block)] {
        if (auto session = weakSession->lock()) block(*session);
      });
    };
    editor = LineEditor::start(
        {[onMain](const std::string& line) {
           onMain([line](RunSession& session) { session.handleLine(line); });
         },
         [onMain] { onMain([](RunSession& session) { session.toggleTalk(); }); },
         [onMain] { onMain([](RunSession& session) { session.inputEnded(); }); }});
  }
  auto writer = std::make_shared<EventWriter>(json, editor);
  auto session = std::make_shared<RunSession>(loop, writer, app);
  *weakSession = session;
  watchEndingSignals(session);

  const EventLine ready = readyEventLine(*app);
  writer->event(ready.name, ready.fields,
                ready.text + (terminal ? "; type 'help' for commands, Space to talk" : ""));
  reportMissingSounds();
  session->attach();

  if (!editor) {
    // The reader may stay blocked past the end of the program (an input
    // pipe that stays open), so it must not keep the session, and through
    // it the engine and its recording, alive.
    std::thread input([weakSession = std::weak_ptr<RunSession>(session)] {
      std::string line;
      while (std::getline(std::cin, line)) {
        mainQueue().post([weakSession, line] {
          if (auto session = weakSession.lock()) session->handleLine(line);
        });
      }
      mainQueue().post([weakSession] {
        if (auto session = weakSession.lock()) session->inputEnded();
      });
    });
    input.detach();  // a blocked read must not hold up the end of the program
  }

  loop->run();

  // Leave cleanly: the end of a transmission goes out before the session
  // closes, peers hear Bye, the advertisement is withdrawn and the
  // recording gets its last frames and its header.
  app->shutdown([loop] { loop->quit(); });
  loop->run();
  loop->drain();
  writer->finish();
  // Logged errors (a lost peer, a late packet) are part of a normal run.
  return kExitOK;
}

}  // namespace qur::cli
