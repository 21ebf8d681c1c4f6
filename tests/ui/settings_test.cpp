// The settings page over a real compressor on a real engine: the gain slider
// driven by keys as a user would, device lists and volume from a private
// PulseAudio server changed behind the page's back with pactl, the level
// meter on a loud and a silent virtual microphone, the microphone test through
// the whole loopback voice path.
#include "ui/settings_screen.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QScrollArea>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <thread>

#include "app/dynamic_range_compressor.h"
#include "app/playthrough_loopback.h"
#include "audio/engine/audio_engine.h"
#include "audio/engine/portaudio_device.h"
#include "audio/engine/pulse_device.h"
#include "audio/engine/virtual_device.h"
#include "audio/opus_decoder.h"
#include "audio/opus_encoder.h"
#include "support/alloc_guard.h"
#include "support/pulse_server.h"
#include "ui/global_talk_key.h"
#include "ui/input_level_tap.h"
#include "ui/microphone_gain.h"
#include "ui/pulse_output_volume.h"
#include "ui_test_support.h"

namespace qur {
namespace {

using namespace std::chrono_literals;
using testing::spinFor;
using testing::spinUntil;

struct Rig {
  std::shared_ptr<AudioEngine> engine;
  std::shared_ptr<DynamicRangeCompressor> compressor;
  VirtualDevice* device = nullptr;

  explicit Rig(VirtualDeviceOptions::Input input = VirtualDeviceOptions::Input::Silence,
               double amplitude = 0.5,
               VirtualDeviceOptions::Output output = VirtualDeviceOptions::Output::Discard) {
    VirtualDeviceOptions options;
    options.clock = VirtualDeviceOptions::Clock::RealTime;
    options.input = input;
    options.toneAmplitude = amplitude;
    options.output = output;
    options.memoryCapacityFrames = 44100 * 20;
    auto owned = std::make_unique<VirtualDevice>(options);
    device = owned.get();
    engine = std::make_shared<AudioEngine>(AudioEngine::interleaved16BitStereoAudioDescription(),
                                           true, false, std::move(owned));
    compressor = DynamicRangeCompressor::create(engine.get());
    EXPECT_TRUE(compressor);
    EXPECT_TRUE(engine->start());
  }
  ~Rig() { engine->stop(); }
};

// Each page gets settings of its own, never the user's.
struct PageSettings {
  QTemporaryDir dir;
  std::shared_ptr<QSettings> make() const {
    return std::make_shared<QSettings>(dir.filePath(QStringLiteral("settings.ini")),
                                       QSettings::IniFormat);
  }
};

std::vector<PortAudioDeviceInfo> someDevices() {
  return {{"Built-in Audio Analog Stereo", 2, 2, true, true},
          {"USB Headset, Mono (hw:1,0)", 1, 0, false, false},
          {"HDMI Output", 0, 8, false, false}};
}

SettingsScreen::Context contextFor(const Rig& rig, const PageSettings& settings) {
  SettingsScreen::Context context;
  context.compressor = rig.compressor;
  context.engine = rig.engine;
  context.outputVolume = std::make_unique<EngineOutputVolume>(rig.engine);
  context.settings = settings.make();
  context.listDevices = someDevices;
  return context;
}

std::string runCommand(const std::string& command) {
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    pclose(pipe);
  }
  return output;
}

AudioBufferList bufferOver(int16_t* samples, UInt32 count) {
  AudioBufferList list{};
  list.mNumberBuffers = 1;
  list.mBuffers[0].mNumberChannels = 2;
  list.mBuffers[0].mDataByteSize = count * sizeof(int16_t);
  list.mBuffers[0].mData = samples;
  return list;
}

void saveScreenshot(QWidget* widget, const QString& name) {
  const QString dir = QStringLiteral(QUR_BUILD_DIR "/screenshots");
  QDir().mkpath(dir);
  EXPECT_TRUE(testing::grabImage(widget).save(dir + "/" + name));
}

// ---- Microphone gain ----------------------------------------------------------

TEST(SettingsGain, OpeningThePageLeavesAnyGainAsItWas) {
  Rig rig;
  PageSettings settings;
  for (const float gain : {15.0f, 7.3f, -19.99f, 0.1f, 39.97f}) {
    rig.compressor->setMasterGain(gain);
    const float before = rig.compressor->masterGain();
    SettingsScreen page(contextFor(rig, settings));
    testing::processMainQueue();
    EXPECT_EQ(rig.compressor->masterGain(), before) << "gain " << gain;
    EXPECT_EQ(page.microphoneSlider()->value(),
              SettingsScreen::sliderPosition(sliderValueForMicrophoneGain(before)));
  }
}

TEST(SettingsGain, SliderEndsAndMiddleThroughKeys) {
  Rig rig;
  PageSettings settings;
  SettingsScreen page(contextFor(rig, settings));
  page.show();
  QSlider* slider = page.microphoneSlider();
  slider->setFocus();
  QTest::keyClick(slider, Qt::Key_Home);
  EXPECT_EQ(rig.compressor->masterGain(), -20.0f);
  EXPECT_EQ(page.microphoneGainLabel()->text(), QStringLiteral("-20.0 dB"));
  QTest::keyClick(slider, Qt::Key_End);
  EXPECT_EQ(rig.compressor->masterGain(), 40.0f);
  slider->setValue(SettingsScreen::kGainSliderSteps / 2);
  EXPECT_EQ(rig.compressor->masterGain(), 10.0f);
  // One step up from the middle: 60 dB across the slider's steps.
  QTest::keyClick(slider, Qt::Key_Right);
  EXPECT_NEAR(rig.compressor->masterGain(), 10.0 + 60.0 / SettingsScreen::kGainSliderSteps, 1e-4);
}

TEST(SettingsGain, GainBeyondTheScaleParksTheSliderUntilTheUserMovesIt) {
  Rig rig;
  PageSettings settings;
  // Below the scale is where a gain can lie: the effect itself stops at +40 dB.
  for (const float gain : {-31.5f, -40.0f}) {
    rig.compressor->setMasterGain(gain);
    ASSERT_EQ(rig.compressor->masterGain(), gain);
    SettingsScreen page(contextFor(rig, settings));
    page.show();
    QSlider* slider = page.microphoneSlider();
    EXPECT_EQ(slider->value(), slider->minimum());
    testing::processMainQueue();
    EXPECT_EQ(rig.compressor->masterGain(), gain);
    // A move off the end is a real choice and lands inside the scale.
    slider->setFocus();
    QTest::keyClick(slider, Qt::Key_Right);
    const float moved = rig.compressor->masterGain();
    EXPECT_GE(moved, kMicrophoneGainMinimum);
    EXPECT_LE(moved, kMicrophoneGainMaximum);
    EXPECT_NE(moved, gain);
  }
}

TEST(SettingsGain, BindingEndsWithThePage) {
  Rig rig;
  PageSettings settings;
  QPointer<QSlider> slider;
  {
    SettingsScreen page(contextFor(rig, settings));
    slider = page.microphoneSlider();
    slider->setValue(0);
    EXPECT_EQ(rig.compressor->masterGain(), -20.0f);
  }
  EXPECT_TRUE(slider.isNull());
  rig.compressor->setMasterGain(12.0f);
  testing::processMainQueue();
  EXPECT_EQ(rig.compressor->masterGain(), 12.0f);
  // A page opened later starts from what the compressor holds now.
  SettingsScreen again(contextFor(rig, settings));
  EXPECT_EQ(again.microphoneGainLabel()->text(), QStringLiteral("+12.0 dB"));
}

TEST(SettingsGain, WithoutACompressorTheSliderIsOffAndNothingBreaks) {
  Rig rig;
  PageSettings settings;
  auto context = contextFor(rig, settings);
  context.compressor = nullptr;
  SettingsScreen page(std::move(context));
  EXPECT_FALSE(page.microphoneSlider()->isEnabled());
  page.microphoneSlider()->setValue(0);
  testing::processMainQueue();
}

// ---- Page, devices, preferences -------------------------------------------

TEST(SettingsPage, SectionsDoneAndScreenshot) {
  Rig rig(VirtualDeviceOptions::Input::Tone, 0.2);
  PageSettings settings;
  auto context = contextFor(rig, settings);
  context.restartAudio = [] {};
  SettingsScreen page(std::move(context));
  page.show();
  ASSERT_GE(page.sectionTitles().size(), 2);
  EXPECT_EQ(page.sectionTitles()[0], QStringLiteral("Speakers"));
  EXPECT_EQ(page.sectionTitles()[1], QStringLiteral("Microphone"));
  ASSERT_TRUE(spinUntil([&] { return page.levelMeter()->level() > -30.0f; }));
  saveScreenshot(&page, QStringLiteral("settings.png"));
  QTest::mouseClick(page.doneButton(), Qt::LeftButton);
  EXPECT_FALSE(page.isVisible());
  EXPECT_EQ(page.result(), QDialog::Accepted);
}

TEST(SettingsPage, DeviceListsFilterByDirectionAndKeepTheChoice) {
  Rig rig;
  PageSettings settings;
  {
    SettingsScreen page(contextFor(rig, settings));
    QComboBox* inputs = page.inputDevices();
    QComboBox* outputs = page.outputDevices();
    EXPECT_EQ(inputs->itemText(0), QStringLiteral("System default"));
    EXPECT_EQ(outputs->itemText(0), QStringLiteral("System default"));
    EXPECT_EQ(inputs->currentIndex(), 0);
    EXPECT_EQ(inputs->findData(QStringLiteral("HDMI Output")), -1);
    EXPECT_EQ(outputs->findData(QStringLiteral("USB Headset, Mono (hw:1,0)")), -1);
    inputs->setCurrentIndex(inputs->findData(QStringLiteral("USB Headset, Mono (hw:1,0)")));
    outputs->setCurrentIndex(outputs->findData(QStringLiteral("HDMI Output")));
    page.displayNameEdit()->setText(QStringLiteral("  Kitchen  "));
    page.accept();
  }
  const auto stored = Preferences::load(*settings.make());
  EXPECT_EQ(stored.inputDevice, QStringLiteral("USB Headset, Mono (hw:1,0)"));
  EXPECT_EQ(stored.outputDevice, QStringLiteral("HDMI Output"));
  EXPECT_EQ(stored.displayName, QStringLiteral("Kitchen"));

  // Unplugged meanwhile: still the choice, shown as missing rather than
  // silently replaced by the default.
  auto context = contextFor(rig, settings);
  context.listDevices = [] { return std::vector<PortAudioDeviceInfo>{}; };
  SettingsScreen later(std::move(context));
  EXPECT_EQ(later.inputDevices()->currentData().toString(),
            QStringLiteral("USB Headset, Mono (hw:1,0)"));
  EXPECT_TRUE(later.inputDevices()->currentText().contains(QStringLiteral("not found")));
  EXPECT_EQ(later.shownPreferences(), stored);
}

TEST(SettingsPage, RestartAudioStoresBeforeRestarting) {
  Rig rig;
  PageSettings settings;
  auto context = contextFor(rig, settings);
  Preferences seenAtRestart;
  auto store = settings.make();
  context.restartAudio = [&] {
    store->sync();
    seenAtRestart = Preferences::load(*store);
  };
  SettingsScreen page(std::move(context));
  page.show();
  ASSERT_TRUE(page.restartAudioButton()->isVisible());
  page.displayNameEdit()->setText(QStringLiteral("Desk"));
  page.findChild<QScrollArea*>()->ensureWidgetVisible(page.restartAudioButton());
  QTest::mouseClick(page.restartAudioButton(), Qt::LeftButton);
  EXPECT_EQ(seenAtRestart.displayName, QStringLiteral("Desk"));
}

TEST(SettingsPage, VoiceProcessingShowsWhatRunsAndStoresOnlyAChoiceTheUserMade) {
  Rig rig;  // the virtual device runs without it
  ASSERT_FALSE(rig.engine->isVoiceProcessingActive());
  PageSettings settings;
  {
    SettingsScreen page(contextFor(rig, settings));
    EXPECT_FALSE(page.voiceProcessingSwitch()->isChecked());
    page.accept();
  }
  // Untouched, the device's default keeps deciding.
  EXPECT_FALSE(Preferences::load(*settings.make()).voiceProcessing.has_value());
  EXPECT_FALSE(settings.make()->contains(Preferences::kVoiceProcessingKey));

  {
    SettingsScreen page(contextFor(rig, settings));
    page.show();
    // The page scrolls: bring the switch into view as a user would.
    page.findChild<QScrollArea*>()->ensureWidgetVisible(page.voiceProcessingSwitch());
    // On its box: the switch spans the card, its text does not.
    QTest::mouseClick(page.voiceProcessingSwitch(), Qt::LeftButton, {},
                      QPoint(8, page.voiceProcessingSwitch()->height() / 2));
    EXPECT_TRUE(page.voiceProcessingSwitch()->isChecked());
    EXPECT_EQ(page.shownPreferences().voiceProcessing, std::optional<bool>(true));
    page.accept();
  }
  EXPECT_EQ(Preferences::load(*settings.make()).voiceProcessing, std::optional<bool>(true));
  // The stored choice shows, though the engine runs without it until restarted.
  SettingsScreen later(contextFor(rig, settings));
  EXPECT_TRUE(later.voiceProcessingSwitch()->isChecked());

  // A value written by hand that is neither word means the default, not "off".
  auto store = settings.make();
  store->setValue(Preferences::kVoiceProcessingKey, QStringLiteral("yes please"));
  EXPECT_FALSE(Preferences::load(*store).voiceProcessing.has_value());
}

TEST(SettingsPage, EscapeDropsEveryChangeAndPutsTheGainBack) {
  Rig rig;
  PageSettings settings;
  rig.compressor->setMasterGain(12.0f);
  {
    SettingsScreen page(contextFor(rig, settings));
    page.show();
    page.displayNameEdit()->setText(QStringLiteral("Somewhere else"));
    page.microphoneSlider()->setValue(SettingsScreen::kGainSliderSteps);
    testing::processMainQueue();
    ASSERT_NE(rig.compressor->masterGain(), 12.0f);
    QTest::keyClick(&page, Qt::Key_Escape);
    EXPECT_EQ(page.result(), QDialog::Rejected);
  }
  EXPECT_EQ(rig.compressor->masterGain(), 12.0f);
  EXPECT_FALSE(settings.make()->contains(Preferences::kDisplayNameKey));
}

TEST(SettingsPage, TheNameFieldHoldsTheNameInUseAndIdentitySaysWhoWeAre) {
  Rig rig;
  PageSettings settings;
  auto context = contextFor(rig, settings);
  context.localName = QStringLiteral("desk-7");
  context.localFingerprint = QStringLiteral("ABCD EFGH IJKL MNOP");
  {
    SettingsScreen page(std::move(context));
    EXPECT_EQ(page.displayNameEdit()->text(), QStringLiteral("desk-7"));
    EXPECT_EQ(page.identityLabel()->text(),
              QStringLiteral("You are desk-7 · key ABCD EFGH IJKL MNOP"));
    page.accept();
  }
  // Left as it was, the name in use is not stored: the host name keeps deciding.
  EXPECT_TRUE(Preferences::load(*settings.make()).displayName.isEmpty());
}

TEST(SettingsPage, TheTalkKeyIsChosenByPressingItAndOffByDefault) {
  Rig rig;
  PageSettings settings;
  auto talkKey = GlobalTalkKey::create();
  auto context = contextFor(rig, settings);
  context.talkKey = talkKey.get();
  {
    SettingsScreen page(std::move(context));
    page.show();
    EXPECT_EQ(page.talkKeyLabel()->text(), QStringLiteral("Off"));
    EXPECT_FALSE(page.talkKeyOffButton()->isEnabled());
    // The offscreen desktop has no global keys, and the page says so.
    EXPECT_FALSE(page.talkKeyAvailability()->text().isEmpty());
    page.findChild<QScrollArea*>()->ensureWidgetVisible(page.talkKeyButton());
    QTest::mouseClick(page.talkKeyButton(), Qt::LeftButton);
    ASSERT_TRUE(page.isCapturingKey());
    EXPECT_EQ(page.talkKeyButton()->text(), QStringLiteral("Press the key…"));
    // Escape while waiting only stops waiting; the page stays.
    QTest::keyClick(&page, Qt::Key_Escape);
    EXPECT_FALSE(page.isCapturingKey());
    EXPECT_TRUE(page.isVisible());
    QTest::mouseClick(page.talkKeyButton(), Qt::LeftButton);
    QTest::keyClick(&page, Qt::Key_F8);
    EXPECT_FALSE(page.isCapturingKey());
    EXPECT_EQ(page.talkKeyLabel()->text(), QStringLiteral("F8"));
    EXPECT_EQ(talkKey->key(), QStringLiteral("F8"));
    page.accept();
  }
  EXPECT_EQ(Preferences::load(*settings.make()).talkKey, QStringLiteral("F8"));
  {
    // Cancel puts back the stored key.
    auto again = contextFor(rig, settings);
    again.talkKey = talkKey.get();
    SettingsScreen page(std::move(again));
    page.show();
    QTest::mouseClick(page.talkKeyOffButton(), Qt::LeftButton);
    EXPECT_TRUE(talkKey->key().isEmpty());
    page.reject();
  }
  EXPECT_EQ(talkKey->key(), QStringLiteral("F8"));
  EXPECT_EQ(Preferences::load(*settings.make()).talkKey, QStringLiteral("F8"));
}

// ---- Level meter ----------------------------------------------------------------

TEST(SettingsMeter, MovesForALoudMicrophone) {
  const double amplitude = 0.5;
  Rig rig(VirtualDeviceOptions::Input::Tone, amplitude);
  PageSettings settings;
  SettingsScreen page(contextFor(rig, settings));
  page.show();
  const float expected = float(20.0 * std::log10(amplitude));
  ASSERT_TRUE(spinUntil([&] { return page.levelMeter()->highestLevel() > expected - 1.0f; }));
  // Never above what the tone really reaches.
  EXPECT_LE(page.levelMeter()->highestLevel(), expected + 0.5f);
}

TEST(SettingsMeter, StaysAtItsFloorForSilence) {
  Rig rig(VirtualDeviceOptions::Input::Silence);
  PageSettings settings;
  SettingsScreen page(contextFor(rig, settings));
  page.show();
  const uint64_t start = rig.device->cycleCount();
  ASSERT_TRUE(spinUntil([&] { return rig.device->cycleCount() > start + 20; }));
  spinFor(std::chrono::milliseconds(3 * LevelMeter::kRefreshMilliseconds));
  page.levelMeter()->refresh();
  EXPECT_EQ(page.levelMeter()->highestLevel(), InputLevelTap::kFloorDecibels);
  EXPECT_EQ(page.levelMeter()->level(), InputLevelTap::kFloorDecibels);
}

TEST(SettingsMeter, FallsBackToTheFloorAfterSpeechEnds) {
  InputLevelTap tap;
  LevelMeter meter;
  auto shared = std::shared_ptr<InputLevelTap>(&tap, [](InputLevelTap*) {});
  meter.setTap(shared);
  std::vector<int16_t> loud(882, 16384);
  AudioBufferList list = bufferOver(loud.data(), UInt32(loud.size()));
  tap.receiverCallback()(&tap, nullptr, kAudioEngineSourceInput, nullptr, 441, &list);
  meter.refresh();
  EXPECT_NEAR(meter.level(), 20.0f * std::log10(0.5f), 0.01f);
  int refreshes = 0;
  while (meter.level() > InputLevelTap::kFloorDecibels && refreshes < 1000) {
    meter.refresh();
    ++refreshes;
  }
  EXPECT_EQ(meter.level(), InputLevelTap::kFloorDecibels);
  EXPECT_GT(refreshes, 1);  // a word stays visible for a moment
}

TEST(SettingsMeterConcurrency, TheLoudestPeakBetweenReadsIsNeverLost) {
  InputLevelTap tap;
  constexpr int kCycles = 20000;
  std::atomic<bool> done{false};
  int16_t sample = 0;
  AudioBufferList list = bufferOver(&sample, 1);
  std::thread audio([&] {
    testing::AllocationGuard::arm();
    for (int i = 0; i < kCycles; ++i) {
      // A sawtooth with one loud burst per 1000 cycles.
      sample = int16_t(i % 1000 == 999 ? 32000 : (i % 100) * 10);
      tap.receiverCallback()(&tap, nullptr, kAudioEngineSourceInput, nullptr, 1, &list);
    }
    const auto allocations = testing::AllocationGuard::disarm();
    EXPECT_EQ(allocations, 0u);
    done = true;
  });
  float loudest = 0;
  int bursts = 0;
  while (!done) {
    const float peak = tap.takePeak();
    if (peak > 0.97f) ++bursts;
    loudest = std::max(loudest, peak);
  }
  audio.join();
  const float last = tap.takePeak();
  if (last > 0.97f) ++bursts;
  EXPECT_FLOAT_EQ(std::max(loudest, last), 32000.0f / 32768.0f);
  // Each burst is seen by some read; two may share one read.
  EXPECT_GE(bursts, 1);
  EXPECT_LE(bursts, kCycles / 1000);
}

// ---- Microphone test -------------------------------------------------------

TEST(SettingsMicrophoneTest, PlaysTheMicrophoneBackAndStopsCleanly) {
  Rig rig(VirtualDeviceOptions::Input::Tone, 0.4, VirtualDeviceOptions::Output::Memory);
  PageSettings settings;
  SettingsScreen page(contextFor(rig, settings));
  page.show();
  const std::size_t channelsBefore = rig.engine->channels().size();
  QTest::mouseClick(page.testMicrophoneButton(), Qt::LeftButton);
  ASSERT_TRUE(page.testMicrophoneButton()->isChecked());
  ASSERT_TRUE(page.microphoneTest()->isRunning());
  EXPECT_EQ(rig.engine->channels().size(), channelsBefore + 1);
  rig.device->clearCapturedOutput();
  const bool heard = spinUntil([&] {
    const auto out = rig.device->capturedOutput();
    return std::any_of(out.begin(), out.end(), [](int16_t s) { return std::abs(s) > 3000; });
  });
  ASSERT_TRUE(heard);
  QTest::mouseClick(page.testMicrophoneButton(), Qt::LeftButton);
  EXPECT_FALSE(page.microphoneTest()->isRunning());
  EXPECT_EQ(rig.engine->channels().size(), channelsBefore);
  // Closing the page with the test on ends it too.
  QTest::mouseClick(page.testMicrophoneButton(), Qt::LeftButton);
  page.accept();
  EXPECT_FALSE(page.microphoneTest()->isRunning());
  EXPECT_EQ(rig.engine->channels().size(), channelsBefore);
}

// ---- Sound server: devices and volume -------------------------------------------

class SettingsPulse : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    if (!_server.start(&error)) GTEST_SKIP() << "no PulseAudio server: " << error;
  }
  static int sinkVolumePercent() {
    const std::string out = runCommand("pactl get-sink-volume nullsink");
    const auto slash = out.find('/');
    if (slash == std::string::npos) return -1;
    return std::atoi(out.c_str() + slash + 1);
  }
  testing::PulseServer _server;
};

// With a sound server running, the lists are its sinks and sources, shown
// by description and remembered by name.
TEST_F(SettingsPulse, DeviceListComesFromTheSoundServer) {
  Rig rig;
  PageSettings settings;
  auto context = contextFor(rig, settings);
  context.listDevices = nullptr;  // the real listing
  SettingsScreen page(std::move(context));
  const auto devices = pulseDevices();
  ASSERT_FALSE(devices.empty());
  int outputs = 0;
  for (const auto& device : devices) {
    if (device.outputChannels <= 0) continue;
    ++outputs;
    const int index = page.outputDevices()->findData(QString::fromStdString(device.name));
    EXPECT_GE(index, 1) << device.name;
    EXPECT_EQ(page.outputDevices()->itemText(index).toStdString(), device.description);
  }
  EXPECT_EQ(page.outputDevices()->count(), outputs + 1);
  const int monitor = page.inputDevices()->findData(QStringLiteral("nullsink.monitor"));
  EXPECT_GE(monitor, 1);
  EXPECT_EQ(page.inputDevices()->itemText(monitor), QStringLiteral("Monitor of Null Output"));
}

TEST_F(SettingsPulse, ChosenDevicesOpenByFullName) {
  PortAudioDevice device("pulse", 441, "pulse");
  struct Client : AudioDeviceClient {
    std::atomic<int> cycles{0};
    void audioDeviceCycle(const int16_t*, int16_t* output, uint32_t frames, uint64_t) override {
      std::fill(output, output + frames * 2, int16_t(0));
      ++cycles;
    }
  } client;
  std::string error;
  ASSERT_TRUE(device.open(AudioDeviceFormat{}, &client, &error)) << error;
  EXPECT_TRUE(device.inputAvailable());
  EXPECT_EQ(device.name(), "PortAudio 'pulse'");
  ASSERT_TRUE(device.start(&error)) << error;
  ASSERT_TRUE(spinUntil([&] { return client.cycles > 10; }));
  device.stop();
  device.close();
}

TEST_F(SettingsPulse, VolumeFollowsTheServerBothWays) {
  ASSERT_EQ(runCommand("pactl set-sink-volume nullsink 40% && echo ok"), "ok\n");
  auto volume = PulseOutputVolume::connect();
  ASSERT_TRUE(volume);
  EXPECT_NEAR(volume->volume(), 0.40, 0.01);
  EXPECT_EQ(volume->sinkName(), QStringLiteral("nullsink"));
  Rig rig;
  PageSettings settings;
  auto context = contextFor(rig, settings);
  context.outputVolume = std::move(volume);
  SettingsScreen page(std::move(context));
  page.show();
  QSlider* slider = page.volumeControl()->slider();
  EXPECT_EQ(slider->value(), 40);
  saveScreenshot(&page, QStringLiteral("settings-pulse.png"));
  EXPECT_TRUE(page.volumeControl()->sourceLabel()->text().startsWith(QStringLiteral("System")));

  // Another program changes it: the slider follows.
  runCommand("pactl set-sink-volume nullsink 25%");
  ASSERT_TRUE(spinUntil([&] { return slider->value() == 25; }));
  // The user moves the slider: the server follows.
  slider->setValue(70);
  ASSERT_TRUE(spinUntil([] { return sinkVolumePercent() == 70; }));
  spinFor(100ms);
  EXPECT_EQ(slider->value(), 70);
  // And again, after our own change went through.
  runCommand("pactl set-sink-volume nullsink 60%");
  ASSERT_TRUE(spinUntil([&] { return slider->value() == 60; }));
}

TEST(SettingsVolume, WithoutAServerTheEngineVolumeIsUsed) {
  const char* saved = std::getenv("PULSE_SERVER");
  const std::string restore = saved ? saved : "";
  setenv("PULSE_SERVER", "unix:/nonexistent/qur-wtalkie-test/native", 1);
  EXPECT_FALSE(PulseOutputVolume::connect());
  Rig rig;
  auto volume = OutputVolume::createForSystem(rig.engine);
  if (saved) {
    setenv("PULSE_SERVER", restore.c_str(), 1);
  } else {
    unsetenv("PULSE_SERVER");
  }
  ASSERT_TRUE(volume);
  EXPECT_FALSE(volume->followsExternalChanges());
  PageSettings settings;
  auto context = contextFor(rig, settings);
  context.outputVolume = std::move(volume);
  SettingsScreen page(std::move(context));
  page.volumeControl()->slider()->setValue(35);
  EXPECT_FLOAT_EQ(rig.engine->masterOutputVolume(), 0.35f);
  // Out-of-range requests are clamped, never passed on.
  page.volumeControl()->outputVolume()->setVolume(std::nan(""));
  page.volumeControl()->outputVolume()->setVolume(-3.0);
  EXPECT_FLOAT_EQ(rig.engine->masterOutputVolume(), 0.0f);
}

}  // namespace
}  // namespace qur
