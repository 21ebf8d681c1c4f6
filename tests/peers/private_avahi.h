// An avahi-daemon with a D-Bus system bus of its own on one host of a lab, so
// that the standard DNS-SD tools can look at what our devices publish. It
// publishes nothing itself.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "support/child_process.h"
#include "support/netns.h"

namespace qur::testing {

class PrivateAvahi {
 public:
  PrivateAvahi(const NetnsLab& lab, int host) {
    char dirTemplate[] = "/tmp/qur-avahi-XXXXXX";
    if (!mkdtemp(dirTemplate)) return;
    dir = dirTemplate;
    bus = "unix:path=" + dir + "/bus";
    std::ofstream(dir + "/bus.conf")
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>system</type><listen>"
        << bus
        << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
           "<allow own=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
           "</policy></busconfig>\n";
    std::ofstream(dir + "/avahi.conf")
        << "[server]\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=" << NetnsLab::kInterface
        << "\nenable-dbus=yes\n[publish]\ndisable-publishing=yes\n";
    _dbus = lab.spawn(
        host, {"dbus-daemon", "--config-file=" + dir + "/bus.conf", "--nofork", "--nopidfile"});
    for (int i = 0; i < 50 && access((dir + "/bus").c_str(), F_OK) != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    _daemon =
        lab.spawn(host, {"env", "DBUS_SYSTEM_BUS_ADDRESS=" + bus, "avahi-daemon", "--no-drop-root",
                         "--no-chroot", "--no-rlimits", "-f", dir + "/avahi.conf"});
  }
  ~PrivateAvahi() { stop(); }
  PrivateAvahi(const PrivateAvahi&) = delete;
  PrivateAvahi& operator=(const PrivateAvahi&) = delete;

  bool ok() const { return !dir.empty(); }

  void stop() {
    using namespace std::chrono_literals;
    // SIGTERM lets the daemon remove its pid file.
    if (_daemon) {
      _daemon->kill(SIGTERM);
      _daemon->closeAndWait(5s);
      _daemon.reset();
    }
    if (_dbus) {
      _dbus->kill(SIGTERM);
      _dbus->closeAndWait(5s);
      _dbus.reset();
    }
    if (!dir.empty()) runCommand("rm -rf " + dir);
    dir.clear();
  }

  std::string dir;
  std::string bus;  // the address for DBUS_SYSTEM_BUS_ADDRESS

 private:
  std::unique_ptr<ChildProcess> _dbus;
  std::unique_ptr<ChildProcess> _daemon;
};

}  // namespace qur::testing
