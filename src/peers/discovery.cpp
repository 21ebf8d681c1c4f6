#include "peers/discovery.h"

#include <arpa/inet.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>
#include <avahi-core/core.h>
#include <avahi-core/log.h>
#include <avahi-core/lookup.h>
#include <avahi-core/publish.h>
#include <net/if.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <random>
#include <set>
#include <sstream>

#include "log/log.h"
#include "peers/protocol.h"

namespace qur {
namespace {

thread_local bool tOnResponderThread = false;

struct OnResponderThread {
  OnResponderThread() { tOnResponderThread = true; }
  ~OnResponderThread() { tOnResponderThread = false; }
};

std::mutex gConfigMutex;
DiscoveryOptions gOptions;
bool gConfigured = false;

DiscoveryOptions optionsFromEnvironment() {
  DiscoveryOptions options;
  if (const char* list = std::getenv("QUR_PEERS_INTERFACES")) {
    std::stringstream stream(list);
    std::string item;
    while (std::getline(stream, item, ','))
      if (!item.empty()) options.allowInterfaces.push_back(item);
  }
  return options;
}

std::string uniqueHostName() {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  std::string base;
  for (const char* p = name; *p && base.size() < 30; ++p) {
    const char c = *p;
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    base.push_back(ok ? c : '-');
  }
  if (base.empty()) base = "host";
  std::random_device device;
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "%06x", device() & 0xFFFFFF);
  return "qur-" + base + "-" + suffix;
}

// avahi-core's own log goes through ours, errors only.
void avahiLog(AvahiLogLevel level, const char* text) {
  if (level <= AVAHI_LOG_ERROR) QUR_LOG_ERROR("mDNS: %s", text);
}

}  // namespace

std::string dnsServiceType(const std::string& serviceType) {
  return "_" + serviceType + "._tcp";
}

struct PublicationImpl;
struct BrowseImpl;

struct Discovery::Impl {
  DiscoveryOptions options;
  bool loopback = false;
  AvahiThreadedPoll* poll = nullptr;
  AvahiServer* server = nullptr;
  AvahiSEntryGroup* addressGroup = nullptr;  // loopback mode only
  std::string hostName;
  std::set<PublicationImpl*> publications;  // responder lock held

  template <typename F>
  void locked(F&& f) {
    if (tOnResponderThread) {
      f();
      return;
    }
    avahi_threaded_poll_lock(poll);
    {
      OnResponderThread mark;
      f();
    }
    avahi_threaded_poll_unlock(poll);
  }

  bool running() const { return server && avahi_server_get_state(server) == AVAHI_SERVER_RUNNING; }
  void serverStateChanged(AvahiServerState state);
  void publishLoopbackAddress();
};

struct PublicationImpl : Discovery::Publication {
  Discovery::Impl* discovery = nullptr;
  std::string type;
  std::string name;
  std::uint16_t port = 0;
  std::vector<std::string> txt;
  AvahiSEntryGroup* group = nullptr;
  mutable std::mutex nameMutex;
  std::string publishedName;

  std::string currentName() const override {
    std::lock_guard lock(nameMutex);
    return publishedName;
  }

  void commit();
  ~PublicationImpl() override;
};

void PublicationImpl::commit() {
  if (!discovery->running()) return;
  if (!group) {
    group = avahi_s_entry_group_new(
        discovery->server,
        [](AvahiServer*, AvahiSEntryGroup*, AvahiEntryGroupState state, void* user) {
          OnResponderThread mark;
          auto* self = static_cast<PublicationImpl*>(user);
          if (state == AVAHI_ENTRY_GROUP_COLLISION) {
            char* alternative = avahi_alternative_service_name(self->name.c_str());
            QUR_LOG_WARN("Service name \"%s\" is taken; publishing as \"%s\"", self->name.c_str(),
                         alternative);
            self->name = alternative;
            avahi_free(alternative);
            avahi_s_entry_group_reset(self->group);
            self->commit();
          } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
            QUR_LOG_ERROR("Publishing service \"%s\" failed: %s", self->name.c_str(),
                          avahi_strerror(avahi_server_errno(self->discovery->server)));
          }
        },
        this);
    if (!group) {
      QUR_LOG_ERROR("Cannot create an mDNS entry group: %s",
                    avahi_strerror(avahi_server_errno(discovery->server)));
      return;
    }
  }
  if (!avahi_s_entry_group_is_empty(group)) return;
  AvahiStringList* list = nullptr;
  for (auto it = txt.rbegin(); it != txt.rend(); ++it)
    list = avahi_string_list_add(list, it->c_str());
  const int error = avahi_server_add_service_strlst(
      discovery->server, group, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, AvahiPublishFlags(0),
      name.c_str(), type.c_str(), nullptr, nullptr, port, list);
  avahi_string_list_free(list);
  if (error == AVAHI_ERR_COLLISION) {
    char* alternative = avahi_alternative_service_name(name.c_str());
    name = alternative;
    avahi_free(alternative);
    avahi_s_entry_group_reset(group);
    commit();
    return;
  }
  if (error < 0) {
    QUR_LOG_ERROR("Cannot publish service \"%s\": %s", name.c_str(), avahi_strerror(error));
    return;
  }
  avahi_s_entry_group_commit(group);
  std::lock_guard lock(nameMutex);
  publishedName = name;
}

PublicationImpl::~PublicationImpl() {
  discovery->locked([&] {
    discovery->publications.erase(this);
    if (group) avahi_s_entry_group_free(group);
    group = nullptr;
  });
}

void Discovery::Impl::publishLoopbackAddress() {
  if (!loopback) return;
  if (!addressGroup) addressGroup = avahi_s_entry_group_new(server, nullptr, nullptr);
  if (!addressGroup || !avahi_s_entry_group_is_empty(addressGroup)) return;
  AvahiAddress address;
  address.proto = AVAHI_PROTO_INET;
  address.data.ipv4.address = htonl(INADDR_LOOPBACK);
  const int index = static_cast<int>(if_nametoindex("lo"));
  const int error = avahi_server_add_address(server, addressGroup, index, AVAHI_PROTO_INET,
                                             AVAHI_PUBLISH_NO_REVERSE,
                                             avahi_server_get_host_name_fqdn(server), &address);
  if (error < 0) {
    QUR_LOG_ERROR("Cannot publish the loopback address: %s", avahi_strerror(error));
    return;
  }
  avahi_s_entry_group_commit(addressGroup);
}

void Discovery::Impl::serverStateChanged(AvahiServerState state) {
  switch (state) {
    case AVAHI_SERVER_RUNNING:
      publishLoopbackAddress();
      for (auto* p : publications) p->commit();
      break;
    case AVAHI_SERVER_COLLISION: {
      char* alternative = avahi_alternative_host_name(avahi_server_get_host_name(server));
      QUR_LOG_WARN("mDNS host name collision; renaming to %s", alternative);
      hostName = alternative;
      for (auto* p : publications)
        if (p->group) avahi_s_entry_group_reset(p->group);
      if (addressGroup) avahi_s_entry_group_reset(addressGroup);
      avahi_server_set_host_name(server, alternative);
      avahi_free(alternative);
      break;
    }
    case AVAHI_SERVER_REGISTERING:
      for (auto* p : publications)
        if (p->group) avahi_s_entry_group_reset(p->group);
      if (addressGroup) avahi_s_entry_group_reset(addressGroup);
      break;
    case AVAHI_SERVER_FAILURE:
      QUR_LOG_ERROR("mDNS responder failed: %s", avahi_strerror(avahi_server_errno(server)));
      break;
    default:
      break;
  }
}

void Discovery::configure(const DiscoveryOptions& options) {
  std::lock_guard lock(gConfigMutex);
  gOptions = options;
  gConfigured = true;
}

std::shared_ptr<Discovery> Discovery::shared() {
  // Never destroyed: sessions and advertisers may outlive static destruction.
  static std::mutex mutex;
  static auto& instance = *new std::shared_ptr<Discovery>();
  static bool failed = false;
  std::lock_guard lock(mutex);
  if (instance || failed) return instance;

  auto impl = std::make_unique<Impl>();
  {
    std::lock_guard configLock(gConfigMutex);
    impl->options = gConfigured ? gOptions : optionsFromEnvironment();
  }
  impl->loopback =
      impl->options.allowInterfaces.size() == 1 && impl->options.allowInterfaces[0] == "lo";
  impl->hostName = impl->options.hostName.empty() ? uniqueHostName() : impl->options.hostName;
  avahi_set_log_function(avahiLog);

  impl->poll = avahi_threaded_poll_new();
  if (!impl->poll) {
    QUR_LOG_ERROR("Cannot create the mDNS poll thread");
    failed = true;
    return nullptr;
  }
  AvahiServerConfig config;
  avahi_server_config_init(&config);
  avahi_free(config.host_name);
  config.host_name = avahi_strdup(impl->hostName.c_str());
  config.use_ipv4 = 1;
  config.use_ipv6 = 0;
  config.publish_hinfo = 0;
  config.publish_workstation = 0;
  config.publish_domain = 0;
  config.publish_addresses = impl->loopback ? 0 : 1;
  config.disallow_other_stacks = 0;
  config.enable_reflector = 0;
  for (const auto& name : impl->options.allowInterfaces)
    config.allow_interfaces = avahi_string_list_add(config.allow_interfaces, name.c_str());

  int error = 0;
  Impl* raw = impl.get();
  {
    OnResponderThread mark;  // the poll thread is not running yet
    raw->server = avahi_server_new(
        avahi_threaded_poll_get(raw->poll), &config,
        [](AvahiServer* server, AvahiServerState state, void* user) {
          OnResponderThread mark;
          auto* self = static_cast<Impl*>(user);
          if (!self->server) self->server = server;  // called from inside avahi_server_new
          self->serverStateChanged(state);
        },
        raw, &error);
  }
  avahi_server_config_free(&config);
  if (!raw->server) {
    QUR_LOG_ERROR("Cannot start the mDNS responder: %s", avahi_strerror(error));
    avahi_threaded_poll_free(raw->poll);
    failed = true;
    return nullptr;
  }
  if (avahi_threaded_poll_start(raw->poll) < 0) {
    QUR_LOG_ERROR("Cannot start the mDNS poll thread");
    avahi_server_free(raw->server);
    avahi_threaded_poll_free(raw->poll);
    failed = true;
    return nullptr;
  }
  instance.reset(new Discovery(std::move(impl)));
  // The responder thread stops before the statics it logs through go away.
  std::atexit([] { avahi_threaded_poll_stop(instance->_impl->poll); });
  return instance;
}

Discovery::Discovery(std::unique_ptr<Impl> impl) : _impl(std::move(impl)) {}

Discovery::~Discovery() {
  avahi_threaded_poll_stop(_impl->poll);
  if (_impl->addressGroup) avahi_s_entry_group_free(_impl->addressGroup);
  avahi_server_free(_impl->server);
  avahi_threaded_poll_free(_impl->poll);
}

const std::string& Discovery::hostName() const {
  return _impl->hostName;
}

std::unique_ptr<Discovery::Publication> Discovery::publish(
    const std::string& serviceType, const std::string& name, std::uint16_t port,
    const std::vector<std::string>& txtRecords) {
  auto p = std::make_unique<PublicationImpl>();
  p->discovery = _impl.get();
  p->type = dnsServiceType(serviceType);
  p->name = name;
  p->port = port;
  p->txt = txtRecords;
  _impl->locked([&] {
    _impl->publications.insert(p.get());
    p->commit();
  });
  return p;
}

// --- browsing ---------------------------------------------------------------

struct BrowseImpl : Discovery::Browse {
  Discovery::Impl* discovery = nullptr;
  Discovery::BrowseEvents events;
  AvahiSServiceBrowser* browser = nullptr;
  std::map<std::string, AvahiSServiceResolver*> resolvers;  // by key

  static std::string keyOf(AvahiIfIndex interface, const char* name) {
    return std::to_string(interface) + "/" + name;
  }

  ~BrowseImpl() override {
    discovery->locked([&] {
      for (auto& [key, r] : resolvers) avahi_s_service_resolver_free(r);
      resolvers.clear();
      if (browser) avahi_s_service_browser_free(browser);
      browser = nullptr;
    });
  }
};

namespace {

void resolverCallback(AvahiSServiceResolver*, AvahiIfIndex interface, AvahiProtocol,
                      AvahiResolverEvent event, const char* name, const char*, const char*,
                      const char*, const AvahiAddress* address, uint16_t port, AvahiStringList* txt,
                      AvahiLookupResultFlags, void* user) {
  OnResponderThread mark;
  auto* self = static_cast<BrowseImpl*>(user);
  if (event != AVAHI_RESOLVER_FOUND || !address || address->proto != AVAHI_PROTO_INET) return;
  ServiceInstance instance;
  instance.name = name;
  instance.port = port;
  instance.interfaceIndex = interface;
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address->data.ipv4.address, text, sizeof text);
  instance.address = text;
  for (AvahiStringList* item = txt; item; item = avahi_string_list_get_next(item)) {
    char* key = nullptr;
    char* value = nullptr;
    size_t size = 0;
    if (avahi_string_list_get_pair(item, &key, &value, &size) == 0) {
      instance.txt[key] = value ? std::string(value, size) : std::string();
      avahi_free(key);
      avahi_free(value);
    }
  }
  if (self->events.found) self->events.found(BrowseImpl::keyOf(interface, name), instance);
}

void browserCallback(AvahiSServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
                     AvahiBrowserEvent event, const char* name, const char* type,
                     const char* domain, AvahiLookupResultFlags, void* user) {
  OnResponderThread mark;
  auto* self = static_cast<BrowseImpl*>(user);
  if (event == AVAHI_BROWSER_NEW) {
    const auto key = BrowseImpl::keyOf(interface, name);
    if (self->resolvers.count(key)) return;
    // Kept until the service goes: it reports again when the service changes
    // (a restarted peer with the same name but a new identity and port).
    auto* resolver = avahi_s_service_resolver_new(self->discovery->server, interface, protocol,
                                                  name, type, domain, AVAHI_PROTO_INET,
                                                  AvahiLookupFlags(0), resolverCallback, self);
    if (resolver) {
      self->resolvers[key] = resolver;
    } else {
      QUR_LOG_ERROR("Cannot resolve service \"%s\": %s", name,
                    avahi_strerror(avahi_server_errno(self->discovery->server)));
    }
  } else if (event == AVAHI_BROWSER_REMOVE) {
    const auto key = BrowseImpl::keyOf(interface, name);
    auto found = self->resolvers.find(key);
    if (found != self->resolvers.end()) {
      avahi_s_service_resolver_free(found->second);
      self->resolvers.erase(found);
    }
    if (self->events.lost) self->events.lost(key);
  } else if (event == AVAHI_BROWSER_FAILURE) {
    QUR_LOG_ERROR("Browsing for services failed: %s",
                  avahi_strerror(avahi_server_errno(self->discovery->server)));
  }
}

}  // namespace

std::unique_ptr<Discovery::Browse> Discovery::browse(const std::string& serviceType,
                                                     BrowseEvents events) {
  auto b = std::make_unique<BrowseImpl>();
  b->discovery = _impl.get();
  b->events = std::move(events);
  const auto type = dnsServiceType(serviceType);
  _impl->locked([&] {
    b->browser =
        avahi_s_service_browser_new(_impl->server, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, type.c_str(),
                                    nullptr, AvahiLookupFlags(0), browserCallback, b.get());
  });
  if (!b->browser) QUR_LOG_ERROR("Cannot browse for %s", type.c_str());
  return b;
}

}  // namespace qur
