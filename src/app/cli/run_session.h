// The run command's session: turns typed commands into calls on the
// application and the application's events into lines for the event writer.
// Main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "app/cli/command_parser.h"
#include "app/event_writer.h"
#include "app/walkie_talkie_app.h"
#include "signals/disposable.h"
#include "signals/main_queue.h"

namespace qur::cli {

class RunSession : public std::enable_shared_from_this<RunSession> {
 public:
  RunSession(std::shared_ptr<MainLoop> loop, std::shared_ptr<EventWriter> events,
             std::shared_ptr<WalkieTalkieApp> app);
  ~RunSession();

  // Subscribes to the application's events and shows the status line.
  void attach();
  void handleLine(const std::string& line);
  // The talk key: starts a transmission, or ends the one running.
  void toggleTalk();
  // Standard input ended: quits once a timed transmission is over.
  void inputEnded();
  // Ends the main loop's run; the caller then shuts the application down.
  void quit();

 private:
  void eventArrived(const AppEvent& event);
  void error(const std::string& message);
  void listPeers();
  void reportStatus();
  void talkFor(double seconds);
  void cancelTimedTalk();
  void refreshStatus();
  std::string statusText() const;
  // The terminal's status row: what matters most first, as the row is cut
  // to the terminal's width.
  std::string statusRow() const;

  std::shared_ptr<MainLoop> _loop;
  std::shared_ptr<EventWriter> _events;
  std::shared_ptr<WalkieTalkieApp> _app;
  DisposablePtr _subscription;
  DisposablePtr _timedTalk;
  DisposablePtr _meterTimer;
  std::chrono::steady_clock::time_point _transmissionStart;
  std::uint64_t _talkGeneration = 0;
  bool _inputEnded = false;
};

}  // namespace qur::cli
