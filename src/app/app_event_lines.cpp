#include "app/app_event_lines.h"

#include "app/application.h"
#include "app/event_writer.h"
#include "audio/engine/audio_engine.h"

namespace qur {

namespace {

std::string jsonBool(bool value) {
  return value ? "true" : "false";
}

std::string keyField(const std::string& fingerprint) {
  return fingerprint.empty() ? std::string() : ",\"fingerprint\":" + jsonString(fingerprint);
}

EventLine invitationLine(const AppEvent& event) {
  const auto& invitation = event.invitation;
  // Enough of the identifier to tell two inviters of one name apart.
  const std::string shortId = invitation.identifier.substr(0, 8);
  std::string fields = "\"peer\":" + jsonString(invitation.peer) +
                       ",\"policy\":" + jsonString(acceptPolicyName(event.policy));
  if (!shortId.empty()) fields += ",\"identifier\":" + jsonString(shortId);
  if (!invitation.address.empty()) fields += ",\"address\":" + jsonString(invitation.address);
  fields += ",\"fingerprint\":" + jsonString(invitation.fingerprint) +
            ",\"trust\":" + jsonString(invitation.trust);
  std::string from = "invitation from " + invitation.peer;
  if (!shortId.empty() || !invitation.address.empty()) {
    from += " (" + shortId + (invitation.address.empty() ? "" : " at " + invitation.address) + ")";
  }
  if (!invitation.fingerprint.empty()) from += ", key " + invitation.fingerprint;
  if (invitation.trust == "key changed") {
    from = "WARNING: key changed for " + invitation.peer +
           " (another device may be using the name): " + from;
  } else if (invitation.trust == "new") {
    from += " (new)";
  }
  return {"invitation", fields,
          event.policy == AcceptPolicy::Ask ? from + ": type 'accept' or 'decline'" : from};
}

EventLine invitationResultLine(const AppEvent& event) {
  std::string fields = "\"peer\":" + jsonString(event.peer) +
                       ",\"outcome\":" + jsonString(event.reason) +
                       ",\"invited_us\":" + jsonBool(event.value);
  std::string text;
  if (event.value) {
    text = "invitation from " + event.peer + " " + invitationEndWords(event.reason);
  } else if (event.reason == "accepted") {
    text = event.peer + " accepted the invitation";
  } else if (event.reason == "declined") {
    text = event.peer + " declined the invitation";
  } else if (event.reason == "timed_out") {
    text = event.peer + " did not answer the invitation in time";
  } else if (event.reason == "unreachable") {
    text = event.peer + " could not be reached";
  } else {
    text = "invitation to " + event.peer + " " + invitationEndWords(event.reason);
  }
  return {"invitation_result", fields, text};
}

EventLine peerDisconnectedLine(const AppEvent& event) {
  std::string fields = "\"peer\":" + jsonString(event.peer);
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
    case Kind::PeerFound:
      return {"peer_found", peer + keyField(event.fingerprint),
              "peer found: " + event.peer + keyWords(event.fingerprint)};
    case Kind::PeerLost:
      return {"peer_lost", peer + keyField(event.fingerprint), "peer lost: " + event.peer};
    case Kind::Invitation:
      return invitationLine(event);
    case Kind::InvitationAnswered:
      return {
          "invitation_answered", peer + ",\"accepted\":" + jsonBool(event.value),
          (event.value ? "accepted invitation from " : "declined invitation from ") + event.peer};
    case Kind::InvitationResult:
      return invitationResultLine(event);
    case Kind::PeerConnected:
      return {"peer_connected", peer, "peer connected: " + event.peer};
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
  }
  return {"error", "\"message\":\"unknown event\"", "unknown event"};
}

EventLine readyEventLine(WalkieTalkieApp& app) {
  const AppStatus status = app.status();
  const bool audioStarted = app.application().audioStarted();
  return {"ready",
          "\"name\":" + jsonString(status.name) + ",\"audio\":" + jsonString(status.audioDevice) +
              ",\"audio_started\":" + jsonBool(audioStarted),
          "ready as '" + status.name + "' on " +
              (app.engine()->device() ? status.audioDevice : std::string("no audio device")) +
              (audioStarted ? "" : " (audio did not start: running without sound)")};
}

}  // namespace qur
