// qur-wtalkie-cli heard: reports the start sound, the voice and the end sound
// of the first transmission in a speaker recording, and, given the
// microphone file it came from, how faithfully the voice arrived.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "app/cli/cli_support.h"
#include "app/cli/run_command.h"
#include "app/recording_analysis.h"
#include "audio/sound_resources.h"

namespace qur::cli {

namespace {

constexpr const char* kHeardHelp =
    "usage: qur-wtalkie-cli heard RECORDING.wav [--reference MIC.wav] [--from SECONDS]\n"
    "\n"
    "Finds the first transmission in a speaker recording made with 'run --speaker':\n"
    "the start sound, the voice and the end sound, with their times. With\n"
    "--reference (the sender's microphone file) it also prints the correlation of\n"
    "the level envelopes after alignment and the longest dropout. Exit status 0\n"
    "when start sound, voice and end sound were found in that order.\n";

// What "intact" means for a voice that crossed the chain: its loudness
// follows the microphone closely and no syllable is missing.
constexpr double kIntactCorrelation = 0.8;
constexpr double kIntactDropout = 0.020;  // s
// Where in the microphone file the voice began, at most, for "from the start".
constexpr double kFromTheStart = 0.1;  // s

std::string verdict(const VoiceComparison& comparison) {
  std::vector<std::string> faults;
  char text[200];
  if (comparison.envelopeCorrelation < kIntactCorrelation) {
    std::snprintf(text, sizeof text,
                  "its loudness follows the microphone only loosely (correlation %.2f, "
                  "needs %.2f or more)",
                  comparison.envelopeCorrelation, kIntactCorrelation);
    faults.push_back(text);
  }
  if (comparison.longestDropout > kIntactDropout) {
    std::snprintf(text, sizeof text, "a piece of %.0f ms is missing (at most %.0f ms may be)",
                  comparison.longestDropout * 1000, kIntactDropout * 1000);
    faults.push_back(text);
  }
  std::string out;
  if (faults.empty()) {
    std::snprintf(text, sizeof text,
                  "  verdict: the voice arrived intact (loudness correlation %.2f, at least "
                  "%.2f needed; longest gap %.0f ms, at most %.0f ms allowed)\n",
                  comparison.envelopeCorrelation, kIntactCorrelation,
                  comparison.longestDropout * 1000, kIntactDropout * 1000);
    out = text;
  } else {
    out = "  verdict: the voice arrived damaged: ";
    for (std::size_t i = 0; i < faults.size(); ++i) out += (i ? "; " : "") + faults[i];
    out += "\n";
  }
  if (comparison.offset <= kFromTheStart)
    return out + "  it begins with the microphone file's beginning\n";
  std::snprintf(text, sizeof text,
                "  it begins %.2f s into the microphone file: the start of the phrase was not "
                "sent\n",
                comparison.offset);
  return out + text;
}

std::string seconds(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.2f s", value);
  return buffer;
}

}  // namespace

int heardCommand(const std::vector<std::string>& args) {
  ParsedArguments parsed;
  if (const auto status = parseCommandArguments("heard", args, {"--reference", "--from"},
                                                kHeardHelp, true, &parsed)) {
    return *status;
  }
  if (parsed.positional.size() != 1) {
    printError("heard takes one recording (try heard --help)");
    return kExitUsage;
  }
  installLoggers();
  const std::string path = parsed.positional.front();
  std::string reason;
  if (!readableFile(path, &reason)) {
    printError("cannot read " + path + ": " + reason);
    return kExitFailure;
  }
  auto recording = loadAnalysisSignal(path);
  if (!recording) {
    printError("cannot read recording " + path + " (not a sound file?)");
    return kExitFailure;
  }
  const std::string beepPath = soundResourcePath("beep");
  auto beep = beepPath.empty() ? std::nullopt : loadAnalysisSignal(beepPath);
  if (!beep) {
    printError("the \"beep\" sound is missing or unreadable: " + soundResourceLocation("beep"));
    return kExitFailure;
  }
  double from = 0;
  if (parsed.options.count("--from")) from = std::atof(parsed.options["--from"].c_str());
  const HeardReport report = analyseTransmission(*recording, *beep, from);
  std::cout << path << " (" << seconds(recording->duration()) << "):\n";
  std::cout << "  start sound: "
            << (report.startSound ? "at " + seconds(*report.startSound) : "not found") << "\n";
  std::cout << "  voice:       " << seconds(report.voiceLength());
  if (report.voiceLength() > 0) {
    std::cout << " (" << seconds(report.voiceStart) << " to " << seconds(report.voiceEnd) << ")";
  }
  std::cout << "\n  end sound:   "
            << (report.endSound ? "at " + seconds(*report.endSound) : "not found") << "\n";
  if (parsed.options.count("--reference") && report.voiceLength() > 0) {
    auto reference = loadAnalysisSignal(parsed.options["--reference"]);
    if (!reference) {
      printError("cannot read reference " + parsed.options["--reference"]);
      return kExitFailure;
    }
    const auto comparison =
        compareVoice(slice(*recording, report.voiceStart, report.voiceEnd), *reference);
    char line[160];
    std::snprintf(line, sizeof line,
                  "  voice vs microphone: envelope correlation %.3f, longest dropout %.0f ms\n",
                  comparison.envelopeCorrelation, comparison.longestDropout * 1000);
    std::cout << line;
    std::cout << verdict(comparison);
  }
  const bool ok = report.inOrder() && report.voiceLength() > 0;
  std::cout << "  " << (ok ? "start sound, voice and end sound in order" : "incomplete") << "\n";
  return ok ? kExitOK : kExitFailure;
}

}  // namespace qur::cli
