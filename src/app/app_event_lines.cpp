#include "app/app_event_lines.h"

#include <cstdio>

#include "app/application.h"
#include "app/event_writer.h"
#include "app/walkie_talkie_controller.h"
#include "audio/engine/audio_engine.h"
#include "peers/session_controller.h"

namespace qur {

namespace {

std::string jsonBool(bool value) {
  return value ? "true" : "false";
}

std::string keyField(const std::string& fingerprint) {
  return fingerprint.empty() ? std::string() : ",\"fingerprint\":" + jsonString(fingerprint);
}

std::string identifierField(const std::string& identifier) {
  return identifier.empty() ? std::string()
                            : ",\"identifier\":" + jsonString(identifier.substr(0, 8));
}

// The JSON members every question carries, whether it waits or is asked now.
std::string invitationFields(const Invitation& invitation) {
  // Enough of the identifier to tell two inviters of one name apart.
  const std::string shortId = invitation.identifier.substr(0, 8);
  std::string fields = "\"peer\":" + jsonString(invitation.peer);
  if (!shortId.empty()) fields += ",\"identifier\":" + jsonString(shortId);
  if (!invitation.address.empty()) fields += ",\"address\":" + jsonString(invitation.address);
  fields += ",\"fingerprint\":" + jsonString(invitation.fingerprint) +
            ",\"trust\":" + jsonString(invitation.trust);
  if (!invitation.introducedBy.empty())
    fields += ",\"introduced_by\":" + jsonString(invitation.introducedBy);
  return fields;
}

// "invitation from NAME (abcd1234 at 10.0.0.2), key ... (new)", or for an
// introduced device "NAME, introduced by MEMBER, wants to join (...)", with
// a warning first when the key is not the one trusted for the name.
std::string question(const Invitation& invitation) {
  const std::string shortId = invitation.identifier.substr(0, 8);
  std::string where;
  if (!shortId.empty() || !invitation.address.empty()) {
    where = " (" + shortId + (invitation.address.empty() ? "" : " at " + invitation.address) + ")";
  }
  std::string text = invitation.introducedBy.empty()
                         ? "invitation from " + invitation.peer + where
                         : invitation.peer + ", introduced by " + invitation.introducedBy +
                               ", wants to join" + where;
  if (!invitation.fingerprint.empty()) text += ", key " + invitation.fingerprint;
  if (invitation.trust == "key changed") {
    text = "WARNING: key changed for " + invitation.peer +
           " (another device may be using the name): " + text;
  } else if (invitation.trust.rfind("looks like ", 0) == 0) {
    text = "WARNING: " + invitation.peer + " " + invitation.trust +
           ", whose key is another (another device may pose as it): " + text;
  } else if (invitation.trust == "new") {
    text += " (new)";
  }
  return text;
}

constexpr const char* kAnswerHint = ": type 'accept' or 'decline'";

EventLine invitationLine(const AppEvent& event) {
  const auto& invitation = event.invitation;
  std::string fields =
      invitationFields(invitation) + ",\"policy\":" + jsonString(acceptPolicyName(event.policy));
  std::string text = question(invitation);
  if (event.policy == AcceptPolicy::Ask) {
    fields += ",\"waiting\":" + std::to_string(invitation.waiting);
    text += invitation.waiting == 0
                ? kAnswerHint
                : "; it waits for " + std::to_string(invitation.waiting) + " question(s) before it";
  }
  return {"invitation", fields, text};
}

// Our invitation held back: another key answers to the trusted name.
EventLine unconfirmedLine(const Invitation& device) {
  const std::string shortId = device.identifier.substr(0, 8);
  const std::string warning =
      device.trust == "key changed"
          ? "key changed for " + device.peer + " (another device may be using the name)"
          : device.peer + " " + device.trust + ", whose key is another (another device may " +
                "pose as it)";
  return {"invite_unconfirmed", invitationFields(device),
          "WARNING: " + warning + ": " + device.peer + " (" + shortId +
              (device.address.empty() ? "" : " at " + device.address) + ") has key " +
              device.fingerprint + "; nothing was sent: type 'confirm' to invite it anyway"};
}

EventLine invitationResultLine(const AppEvent& event) {
  std::string fields = "\"peer\":" + jsonString(event.peer) +
                       ",\"outcome\":" + jsonString(event.reason) +
                       ",\"invited_us\":" + jsonBool(event.value);
  if (!event.detail.empty()) fields += ",\"detail\":" + jsonString(event.detail);
  std::string text;
  if (event.reason == "refused") {
    // What the device did, not a network fault.
    text = (event.detail.empty() ? event.peer + " was refused" : event.detail) + ": refused";
  } else if (event.value) {
    text = "invitation from " + event.peer + " " + invitationEndWords(event.reason);
  } else if (event.reason == "accepted") {
    text = event.peer + " accepted the invitation";
  } else if (event.reason == "declined") {
    text = event.peer + " declined the invitation";
  } else if (event.reason == "timed_out") {
    text = event.peer + " did not answer the invitation in time";
  } else if (event.reason == "unreachable") {
    text = event.peer + " could not be reached";
  } else if (event.reason == "refused") {
    fields += ",\"detail\":" + jsonString(event.detail);
    text = "not invited after all: " + event.detail;
  } else {
    text = "invitation to " + event.peer + " " + invitationEndWords(event.reason);
  }
  return {"invitation_result", fields, text};
}

EventLine peerDisconnectedLine(const AppEvent& event) {
  std::string fields = "\"peer\":" + jsonString(event.peer) + identifierField(event.identifier);
  if (!event.reason.empty()) fields += ",\"reason\":" + jsonString(event.reason);
  if (event.silenceMs > 0) fields += ",\"silence_ms\":" + std::to_string(event.silenceMs);
  const std::string why = peerDisconnectedWords(event);
  return {"peer_disconnected", fields,
          "peer disconnected: " + event.peer + (why.empty() ? "" : " (" + why + ")")};
}

}  // namespace

std::string peerDisconnectedWords(const AppEvent& event) {
  if (event.reason == "left") return "left";
  if (event.reason == "no_answer")
    return "no answer for " + std::to_string((event.silenceMs + 999) / 1000) + " s";
  if (event.reason == "connection_lost") return "the connection was cut";
  if (event.reason == "closed") return "the connection was refused";
  return {};
}

std::string keyWords(const std::string& fingerprint) {
  return fingerprint.empty() ? std::string() : " (key " + fingerprint + ")";
}

std::string deviceLine(const NearbyDevice& device) {
  return device.name + " (key " + device.fingerprint + ", " + device.identifier.substr(0, 8) +
         ", " + device.trust.words() + ")";
}

std::string invitationEndWords(const std::string& outcome) {
  if (outcome == "timed_out") return "timed out";
  if (outcome == "withdrawn") return "was withdrawn";
  if (outcome == "unreachable") return "was cut off";
  return outcome;
}

EventLine appEventLine(const AppEvent& event) {
  using Kind = AppEvent::Kind;
  const std::string peer = "\"peer\":" + jsonString(event.peer);
  switch (event.kind) {
    case Kind::PeerFound: {
      std::string fields = peer + keyField(event.fingerprint) + identifierField(event.identifier);
      std::string about = event.fingerprint.empty() ? "" : "key " + event.fingerprint;
      for (const std::string& more : {event.identifier.substr(0, 8), event.trust})
        if (!more.empty()) about += (about.empty() ? "" : ", ") + more;
      if (!event.trust.empty()) fields += ",\"trust\":" + jsonString(event.trust);
      return {"peer_found", fields,
              "peer found: " + event.peer + (about.empty() ? "" : " (" + about + ")")};
    }
    case Kind::PeerLost:
      return {"peer_lost", peer + keyField(event.fingerprint) + identifierField(event.identifier),
              "peer lost: " + event.peer};
    case Kind::Invitation:
      return invitationLine(event);
    case Kind::InvitationShown:
      return {"invitation_shown", invitationFields(event.invitation),
              "now asking: " + question(event.invitation) + kAnswerHint};
    case Kind::InviteUnconfirmed:
      return unconfirmedLine(event.invitation);
    case Kind::InvitationAnswered: {
      const std::string& member = event.invitation.introducedBy;
      if (!member.empty()) {
        return {"invitation_answered",
                peer + ",\"accepted\":" + jsonBool(event.value) +
                    ",\"introduced_by\":" + jsonString(member),
                (event.value ? "let in " : "kept out ") + event.peer + ", introduced by " + member};
      }
      return {
          "invitation_answered", peer + ",\"accepted\":" + jsonBool(event.value),
          (event.value ? "accepted invitation from " : "declined invitation from ") + event.peer};
    }
    case Kind::InvitationResult:
      return invitationResultLine(event);
    case Kind::PeerConnected:
      return {"peer_connected", peer + identifierField(event.identifier),
              "peer connected: " + event.peer};
    case Kind::PeerDisconnected:
      return peerDisconnectedLine(event);
    case Kind::Connected:
      return {"connected", "\"value\":" + jsonBool(event.value),
              event.value ? "connected" : "not connected"};
    case Kind::PeerTalking:
      return {"peer_talking", peer + ",\"value\":" + jsonBool(event.value),
              event.peer + (event.value ? " is talking" : " stopped talking")};
    case Kind::Transmitting: {
      std::string fields = "\"value\":" + jsonBool(event.value);
      if (!event.reason.empty()) fields += ",\"reason\":" + jsonString(event.reason);
      return {"transmitting", fields,
              event.value
                  ? "transmitting"
                  : "transmission ended" + (event.reason.empty() ? "" : ": " + event.reason)};
    }
    case Kind::TalkRefused:
      return {"talk_refused", "\"reason\":" + jsonString(event.reason),
              event.reason + ": transmission refused"};
    case Kind::AudioClock:
      return {"audio_clock", "\"first_cycle_us\":" + std::to_string(event.firstCycleUs), ""};
    case Kind::AudioStopped:
      return {"audio_stopped", "", "the sound device stopped: no audio in or out"};
    case Kind::KeyReplaced:
      return {"key_replaced",
              "\"fingerprint\":" + jsonString(event.fingerprint) +
                  ",\"kept_as\":" + jsonString(event.reason),
              "WARNING: this device has a new key; colleagues will see 'key changed' (the "
              "damaged key is kept as " +
                  event.reason + ")"};
    case Kind::Link:
      // Once a second is for scripts; a person is told after each transmission.
      return {"link", linkFields(event.link),
              event.link.endOfTransmission
                  ? "link from " + event.link.peer + ": " + linkWords(event.link)
                  : std::string()};
  }
  return {"error", "\"message\":\"unknown event\"", "unknown event"};
}

std::string linkFields(const PeerLink& link) {
  char numbers[256];
  std::snprintf(numbers, sizeof numbers,
                ",\"jitter_ms\":%.1f,\"jitter_p95_ms\":%.1f,\"loss\":%.4f,\"target_ms\":%.1f"
                ",\"concealed\":%llu,\"fec_recovered\":%llu",
                link.jitterMeanMs, link.jitterP95Ms, link.lossFraction, link.targetMs,
                static_cast<unsigned long long>(link.concealed),
                static_cast<unsigned long long>(link.recoveredByFec));
  return "\"peer\":" + jsonString(link.peer) + numbers +
         ",\"quality\":" + jsonString(linkQuality(link)) +
         ",\"end\":" + jsonBool(link.endOfTransmission);
}

std::string linkWords(const PeerLink& link) {
  char words[256];
  std::snprintf(words, sizeof words,
                "%s (loss %.1f %%, jitter %.0f/%.0f ms, buffer %.0f ms, %llu concealed, %llu "
                "rebuilt)",
                linkQuality(link), link.lossFraction * 100, link.jitterMeanMs, link.jitterP95Ms,
                link.targetMs, static_cast<unsigned long long>(link.concealed),
                static_cast<unsigned long long>(link.recoveredByFec));
  return words;
}

EventLine readyEventLine(WalkieTalkieApp& app) {
  const AppStatus status = app.status();
  const bool audioStarted = app.application().audioStarted();
  // The port a script can dial directly (the advertisement says it too).
  const auto session = app.controller()->multipeerController()->session();
  const std::string port = session ? ",\"port\":" + std::to_string(session->port()) : "";
  return {"ready",
          "\"name\":" + jsonString(status.name) + ",\"audio\":" + jsonString(status.audioDevice) +
              ",\"audio_started\":" + jsonBool(audioStarted) + port,
          "ready as '" + status.name + "' on " +
              (app.engine()->device() ? status.audioDevice : std::string("no audio device")) +
              (audioStarted ? "" : " (audio did not start: running without sound)")};
}

}  // namespace qur
