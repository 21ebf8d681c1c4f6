// Real peers for the window's tests: applications as the command-line
// program runs them (virtual audio, sessions and mDNS on loopback), and the
// window's side wired as the executable wires it: launcher, screen,
// prompter and messages.
#pragma once

#include <unistd.h>

#include <QLabel>
#include <QString>
#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/walkie_talkie_app.h"
#include "ui/app_bridge.h"
#include "ui/invitation_prompter.h"
#include "ui/walkie_talkie_screen.h"
#include "ui_test_support.h"

namespace qur::testing {

using namespace std::chrono_literals;

// Names unique to this process: other engineers' devices share loopback.
inline std::string peerName(const std::string& role) {
  return "browse-" + role + "-" + std::to_string(getpid());
}

// Each application is a device of its own: its own key folder, never the
// user's.
struct ConfigFolder {
  std::string path;
  ConfigFolder() {
    char pattern[] = "/tmp/qur-ui-config-XXXXXX";
    if (mkdtemp(pattern)) path = pattern;
  }
  ~ConfigFolder() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  ConfigFolder(const ConfigFolder&) = delete;
  ConfigFolder& operator=(const ConfigFolder&) = delete;
};

struct RunningApp {
  ConfigFolder config;
  std::shared_ptr<WalkieTalkieApp> app;
  std::shared_ptr<std::vector<AppEvent>> events = std::make_shared<std::vector<AppEvent>>();
  DisposablePtr subscription;

  // name: what other devices see; empty: unique to the role and process.
  // folder: its key folder; empty: one of its own.
  RunningApp(const std::string& role, AcceptPolicy accept, const std::string& name = {},
             const std::string& folder = {}) {
    RunOptions options;
    options.name = name.empty() ? peerName(role) : name;
    options.audio = "virtual";
    options.accept = accept;
    options.configDirectory = folder.empty() ? config.path : folder;
    StartError error;
    app = WalkieTalkieApp::start(std::move(options), &error);
    EXPECT_TRUE(app) << error.message;
    if (!app) return;
    subscription = app->events().subscribeNext(
        [events = events](const AppEvent& event) { events->push_back(event); });
  }
  ~RunningApp() { stop(); }
  // Leaves as the program does: Bye to peers, mDNS goodbye.
  void stop() {
    if (subscription) subscription->dispose();
    subscription.reset();
    if (!app) return;
    bool done = false;
    app->shutdown([&done] { done = true; });
    spinUntil([&] { return done; }, 5s);
    app.reset();
  }
  std::string name() const { return app->localName(); }
  bool lists(const std::string& name) const {
    const auto nearby = app->nearbyPeers().get();
    return std::find(nearby.begin(), nearby.end(), name) != nearby.end();
  }
  const AppEvent* find(AppEvent::Kind kind, const std::string& reason = {}) const {
    for (const auto& event : *events) {
      if (event.kind == kind && (reason.empty() || event.reason == reason)) return &event;
    }
    return nullptr;
  }
};

// The window's side. Without a screen it keeps advertising while connected,
// as a device that another one still lists would be.
struct WindowSide {
  ConfigFolder config;
  CoreLauncher launcher;
  std::unique_ptr<WalkieTalkieScreen> screen;
  std::unique_ptr<InvitationPrompter> prompter;
  std::vector<QString> messages;
  std::vector<AppEvent> events;
  DisposablePtr subscription;
  bool inFront = true;
  std::function<void(InvitationPrompt&)> describeKey;

  static ParsedRunOptions options(const std::string& role, const std::string& configDirectory) {
    ParsedRunOptions parsed;
    parsed.run.name = peerName(role);
    parsed.run.audio = "virtual";
    parsed.run.configDirectory = configDirectory;
    return parsed;
  }

  WindowSide(const std::string& role, bool withScreen, DesktopNotifier* notifier = nullptr)
      : launcher(options(role, config.path)) {
    InvitationPrompter::Context context;
    context.window = [this]() -> QWidget* { return screen.get(); };
    context.windowInFront = [this] { return inFront; };
    context.connectedPeers = [this] {
      return launcher.app() ? launcher.app()->connectedPeers().get() : std::vector<std::string>();
    };
    context.showMessage = [this](const QString& text) { say(text); };
    context.notifier = notifier;
    context.describeKey = [this](InvitationPrompt& prompt) {
      if (describeKey) describeKey(prompt);
    };
    prompter = std::make_unique<InvitationPrompter>(std::move(context));
    launcher.setInvitationPrompt(
        [this](const Invitation& invitation, std::function<void(bool)> answer) {
          prompter->ask(invitation, std::move(answer));
        });
    launcher.setClosePrompt([this](std::uint64_t id) { prompter->withdraw(id); });
    launcher.setMessageHandler(
        [this](const std::string& text) { say(QString::fromStdString(text)); });
    std::string error;
    EXPECT_TRUE(launcher.launch(&error)) << error;
    if (!launcher.app()) return;
    subscription = launcher.app()->events().subscribeNext(
        [this](const AppEvent& event) { events.push_back(event); });
    if (!withScreen) return;
    WalkieTalkieScreen::Options screenOptions;
    screenOptions.inhibitIdle = false;
    screen = std::make_unique<WalkieTalkieScreen>(launcher.makeBridge(), screenOptions);
    screen->show();
    processMainQueue();
  }
  ~WindowSide() {
    if (subscription) subscription->dispose();
    prompter.reset();
    screen.reset();
    processMainQueue();
    bool left = false;
    launcher.shutdown([&left] { left = true; });
    spinUntil([&] { return left; }, 5s);
  }
  void say(const QString& text) {
    messages.push_back(text);
    if (screen) screen->showMessage(text);
  }
  std::string name() const { return launcher.app()->localName(); }
  // The line the main screen shows now contains the text.
  bool screenSays(const QString& text) const {
    return screen && screen->messageLabel() && screen->messageLabel()->isVisible() &&
           screen->messageLabel()->text().contains(text);
  }
  bool answeredHere() const {
    return std::any_of(events.begin(), events.end(), [](const AppEvent& event) {
      return event.kind == AppEvent::Kind::InvitationAnswered;
    });
  }
  bool said(const QString& text) const {
    return std::any_of(messages.begin(), messages.end(),
                       [&](const QString& message) { return message.contains(text); });
  }
};

}  // namespace qur::testing
