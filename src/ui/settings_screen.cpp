#include "ui/settings_screen.h"

#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "app/dynamic_range_compressor.h"
#include "audio/engine/audio_engine.h"
#include "signals/property.h"
#include "signals/signal_operators.h"
#include "ui/app_bridge.h"
#include "ui/microphone_gain.h"
#include "ui/styles.h"
#include "ui/ui_adapters.h"

namespace qur {
namespace {

QString css(const QColor& colour) {
  return colour.name(QColor::HexArgb);
}

QString pageStyleSheet() {
  return QStringLiteral(
             "QLabel { color: white; }"
             "QLabel#title { font-size: 24px; font-weight: 300; }"
             "QLabel#sectionHeader { color: rgba(255,255,255,150); font-size: 12px;"
             " font-weight: 600; }"
             "QLabel#caption { color: rgba(255,255,255,130); font-size: 11px; }"
             "QFrame#card { background: rgba(255,255,255,20); border-radius: 10px; }"
             "QComboBox, QLineEdit { color: white; background: rgba(255,255,255,28);"
             " border: 1px solid rgba(255,255,255,55); border-radius: 6px; padding: 4px 8px; }"
             "QComboBox QAbstractItemView { color: white; background: %3;"
             " selection-background-color: %1; }"
             "QSlider::groove:horizontal { height: 4px; background: rgba(255,255,255,55);"
             " border-radius: 2px; }"
             "QSlider::sub-page:horizontal { background: %1; border-radius: 2px; }"
             "QSlider::handle:horizontal { background: white; width: 16px; height: 16px;"
             " margin: -6px 0; border-radius: 8px; }"
             "QSlider::handle:horizontal:disabled { background: %4; }"
             "QPushButton { color: white; background: rgba(255,255,255,28);"
             " border: 1px solid rgba(255,255,255,60); border-radius: 6px; padding: 5px 12px; }"
             "QPushButton:checked { background: %2; border-color: %2; }"
             "QPushButton:pressed { background: rgba(255,255,255,60); }"
             "QPushButton#done { background: %1; border: none; font-weight: 600; }"
             "QPushButton:focus, QCheckBox:focus { border-color: white; }"
             "QCheckBox { color: white; }"
             "QLineEdit:disabled, QComboBox:disabled { color: rgba(255,255,255,110); }"
             "QLabel#identity { color: white; font-size: 13px; }"
             "QScrollArea, QWidget#settingsContent { background: transparent; }"
             "QScrollBar:vertical { background: transparent; width: 6px; }"
             "QScrollBar::handle:vertical { background: rgba(255,255,255,70);"
             " border-radius: 3px; min-height: 20px; }"
             "QScrollBar::add-line, QScrollBar::sub-line { height: 0; }")
      .arg(css(Styles::transmitButtonColor()), css(Styles::transmitButtonPressedColor()),
           css(Styles::applicationBackgroundBottomColor()),
           css(Styles::transmitButtonDisabledColor()));
}

// Every card has the same frame and a label column beside a stretching one,
// so the cards line up.
QGridLayout* cardGrid(QFrame* card) {
  card->setObjectName(QStringLiteral("card"));
  auto* grid = new QGridLayout(card);
  grid->setContentsMargins(14, 12, 14, 12);
  grid->setColumnStretch(1, 1);
  grid->setColumnMinimumWidth(0, 56);
  return grid;
}

QLabel* caption(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(QStringLiteral("caption"));
  label->setWordWrap(true);
  return label;
}

QString gainText(float gain) {
  return QStringLiteral("%1%2 dB")
      .arg(gain > 0 ? QStringLiteral("+") : QString())
      .arg(double(gain), 0, 'f', 1);
}

}  // namespace

SettingsScreen::SettingsScreen(Context context, QWidget* parent)
    : QDialog(parent), _context(std::move(context)) {
  setWindowTitle(tr("Settings"));
  setModal(true);
  setMinimumWidth(360);
  setStyleSheet(pageStyleSheet());
  if (!_context.settings) _context.settings = std::make_shared<QSettings>();
  if (!_context.listDevices) _context.listDevices = &soundDevices;
  if (!_context.outputVolume)
    _context.outputVolume = OutputVolume::createForSystem(_context.engine);
  _started = Preferences::load(*_context.settings);

  auto* title = new QLabel(tr("Settings"), this);
  title->setObjectName(QStringLiteral("title"));
  _cancel = new QPushButton(tr("Cancel"), this);
  _cancel->setToolTip(tr("Drop the changes (Escape)"));
  connect(_cancel, &QPushButton::clicked, this, &QDialog::reject);
  _done = new QPushButton(tr("Done"), this);
  _done->setObjectName(QStringLiteral("done"));
  _done->setDefault(true);
  connect(_done, &QPushButton::clicked, this, &QDialog::accept);
  auto* header = new QHBoxLayout();
  header->addWidget(title);
  header->addStretch(1);
  header->addWidget(_cancel);
  header->addWidget(_done);

  // The cards scroll in a low window rather than squeeze their controls.
  auto* content = new QWidget(this);
  content->setObjectName(QStringLiteral("settingsContent"));
  content->setAttribute(Qt::WA_TranslucentBackground);
  auto* sections = new QVBoxLayout(content);
  sections->setContentsMargins(0, 0, 6, 0);
  sections->setSpacing(8);
  auto* scroll = new QScrollArea(this);
  scroll->setObjectName(QStringLiteral("settingsScroll"));
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll->viewport()->setAutoFillBackground(false);
  scroll->setWidget(content);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(20, 16, 20, 20);
  layout->setSpacing(8);
  layout->addLayout(header);
  layout->addWidget(scroll, 1);
  auto addSection = [this, content, sections](const QString& text, QWidget* card) {
    auto* label = new QLabel(text, content);
    label->setObjectName(QStringLiteral("sectionHeader"));
    sections->addSpacing(8);
    sections->addWidget(label);
    card->setParent(content);
    sections->addWidget(card);
    _sectionTitles << text;
  };
  addSection(tr("Speakers"), buildSpeakers());
  addSection(tr("Microphone"), buildMicrophone());
  addSection(tr("This device"), buildDevice());
  addSection(tr("Desktop"), buildDesktop());
  sections->addStretch(1);

  fillDevices();
  if (_context.devicesFromCommandLine) {
    for (QComboBox* box : {_inputDevices, _outputDevices}) {
      box->setEnabled(false);
      box->setToolTip(tr("Given with --audio, --mic or --speaker on the command line"));
    }
  }
  bindMicrophoneGain();
  updateRestartHint();
  // Every card at once where the screen has room; scrolling only where not.
  int wanted = content->sizeHint().height() + header->sizeHint().height() + 16 + 20 + 8;
  if (QScreen* display = screen())
    wanted = std::min(wanted, display->availableGeometry().height() - 60);
  resize(std::max(width(), 400), std::max(wanted, minimumSizeHint().height()));
}

SettingsScreen::~SettingsScreen() {
  _lifetime.deallocDisposable()->dispose();
  if (_levelTap && _context.engine) _context.engine->removeInputReceiver(_levelTap);
}

QWidget* SettingsScreen::buildSpeakers() {
  auto* card = new QFrame(this);
  auto* grid = cardGrid(card);
  _volumeControl = new VolumeControl(std::move(_context.outputVolume), card);
  _outputDevices = new QComboBox(card);
  _outputDevices->setAccessibleName(tr("Output device"));
  grid->addWidget(new QLabel(tr("Volume"), card), 0, 0, Qt::AlignTop);
  grid->addWidget(_volumeControl, 0, 1);
  grid->addWidget(new QLabel(tr("Output"), card), 1, 0);
  grid->addWidget(_outputDevices, 1, 1);
  connect(_outputDevices, &QComboBox::currentIndexChanged, this,
          &SettingsScreen::updateRestartHint);
  return card;
}

QWidget* SettingsScreen::buildMicrophone() {
  auto* card = new QFrame(this);
  auto* grid = cardGrid(card);

  _gainSlider = new QSlider(Qt::Horizontal, card);
  _gainSlider->setRange(0, kGainSliderSteps);
  _gainSlider->setPageStep(kGainSliderSteps / 20);
  _gainSlider->setAccessibleName(tr("Microphone gain"));
  _gainLabel = new QLabel(card);
  _gainLabel->setMinimumWidth(64);
  _gainLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

  _levelMeter = new LevelMeter(card);
  if (_context.engine) {
    _levelTap = std::make_shared<InputLevelTap>();
    _context.engine->addInputReceiver(_levelTap);
    _levelMeter->setTap(_levelTap);
  }

  _inputDevices = new QComboBox(card);
  _inputDevices->setAccessibleName(tr("Input device"));
  connect(_inputDevices, &QComboBox::currentIndexChanged, this, &SettingsScreen::updateRestartHint);

  _testMicrophone = new QPushButton(tr("Test microphone"), card);
  _testMicrophone->setCheckable(true);
  // Without a running device a test would only pretend.
  _testMicrophone->setEnabled(_context.engine && _context.engine->isRunning());
  _microphoneTest = std::make_unique<MicrophoneTest>(_context.engine);
  auto* testHint = caption(tr("Hear yourself through the whole voice path."), card);
  connect(_testMicrophone, &QPushButton::toggled, this, [this](bool on) {
    if (!on) {
      _microphoneTest->stop();
      return;
    }
    if (!_microphoneTest->start()) {
      const QSignalBlocker blocker(_testMicrophone);
      _testMicrophone->setChecked(false);
    }
  });

  grid->addWidget(new QLabel(tr("Gain"), card), 0, 0);
  grid->addWidget(_gainSlider, 0, 1);
  grid->addWidget(_gainLabel, 0, 2);
  grid->addWidget(new QLabel(tr("Level"), card), 1, 0);
  grid->addWidget(_levelMeter, 1, 1, 1, 2);
  grid->addWidget(new QLabel(tr("Input"), card), 2, 0);
  grid->addWidget(_inputDevices, 2, 1, 1, 2);
  // Shows what runs now unless a stored choice waits for the next start.
  _voiceProcessing = new QCheckBox(tr("Cancel echo and noise"), card);
  _voiceProcessing->setChecked(_started.voiceProcessing.value_or(
      _context.engine && _context.engine->isVoiceProcessingActive()));
  auto* processingHint =
      caption(tr("Keeps your speakers and the room out of what others hear."), card);
  connect(_voiceProcessing, &QCheckBox::toggled, this, [this](bool on) {
    _voiceProcessingChoice = on;
    updateRestartHint();
  });

  grid->addWidget(_testMicrophone, 3, 1, Qt::AlignLeft);
  grid->addWidget(testHint, 4, 1, 1, 2);
  grid->addWidget(_voiceProcessing, 5, 1, 1, 2);
  grid->addWidget(processingHint, 6, 1, 1, 2);
  return card;
}

QWidget* SettingsScreen::buildDevice() {
  auto* card = new QFrame(this);
  auto* grid = cardGrid(card);
  _identity = new QLabel(identityText(_context.localName, _context.localFingerprint), card);
  _identity->setObjectName(QStringLiteral("identity"));
  _identity->setWordWrap(true);
  _identity->setTextInteractionFlags(Qt::TextSelectableByMouse);
  _identity->setVisible(!_context.localName.isEmpty());
  // The name in use, not an empty field: what others see now is what to edit.
  _displayName = new QLineEdit(
      _started.displayName.isEmpty() ? _context.localName : _started.displayName, card);
  _displayName->setPlaceholderText(tr("This computer's name"));
  _displayName->setMaxLength(63);
  _displayName->setAccessibleName(tr("Display name"));
  connect(_displayName, &QLineEdit::textChanged, this, &SettingsScreen::updateRestartHint);
  if (_context.nameFromCommandLine) {
    _displayName->setEnabled(false);
    _displayName->setToolTip(tr("Given with --name on the command line"));
  }
  _restartAudio = new QPushButton(tr("Restart audio"), card);
  _restartAudio->setVisible(bool(_context.restartAudio));
  connect(_restartAudio, &QPushButton::clicked, this, [this] {
    storePreferences();
    if (_context.restartAudio) _context.restartAudio();
  });
  _restartHint = caption(QString(), card);
  grid->addWidget(_identity, 0, 0, 1, 3);
  grid->addWidget(new QLabel(tr("Name"), card), 1, 0);
  grid->addWidget(_displayName, 1, 1, 1, 2);
  grid->addWidget(_restartHint, 2, 1);
  grid->addWidget(_restartAudio, 2, 2, Qt::AlignRight | Qt::AlignTop);
  return card;
}

int SettingsScreen::sliderPosition(float value) {
  if (!std::isfinite(value)) return kGainSliderSteps / 2;
  return int(std::lround(std::clamp(value, 0.0f, 1.0f) * float(kGainSliderSteps)));
}

void SettingsScreen::bindMicrophoneGain() {
  const auto compressor = _context.compressor;
  const float current = compressor ? compressor->masterGain() : std::nanf("");
  _gainAtOpening = current;
  if (!compressor || !std::isfinite(current)) {
    _gainSlider->setEnabled(false);
    _gainSlider->setValue(kGainSliderSteps / 2);
    _gainLabel->setText(tr("n/a"));
    return;
  }
  // The page shows the gain as it is; a gain beyond the scale parks the
  // slider at its end and stays until the user moves it.
  {
    const QSignalBlocker blocker(_gainSlider);
    _gainSlider->setValue(sliderPosition(sliderValueForMicrophoneGain(current)));
  }
  auto channel = newValueChannel(_gainSlider, kGainSliderSteps / 2);
  // The current gain itself comes first: mapping it to the slider's float and
  // back would move it by a rounding step just by opening the page.
  const Signal<float> gains = channel->signal()
                                  .map([](const std::optional<int>& position) {
                                    return float(microphoneGainForSliderValue(
                                        sliderValue(position.value_or(kGainSliderSteps / 2))));
                                  })
                                  .startWith(current);
  std::weak_ptr<DynamicRangeCompressor> weakCompressor = compressor;
  bindSignal(
      gains, _lifetime,
      [weakCompressor, label = QPointer<QLabel>(_gainLabel)](const float& gain) {
        auto compressor = weakCompressor.lock();
        if (!compressor) return;
        if (compressor->masterGain() != gain) compressor->setValueForKey("masterGain", gain);
        if (label) label->setText(gainText(gain));
      },
      "masterGain");
}

void SettingsScreen::fillDevices() {
  const auto devices = _context.listDevices();
  auto fill = [&devices](QComboBox* box, const QString& chosen, bool input) {
    const QSignalBlocker blocker(box);
    box->clear();
    box->addItem(tr("System default"), QString());
    for (const auto& device : devices) {
      if ((input ? device.inputChannels : device.outputChannels) <= 0) continue;
      box->addItem(QString::fromStdString(device.label()), QString::fromStdString(device.name));
    }
    int index = box->findData(chosen);
    if (index < 0) {
      // A remembered device that is not plugged in stays chosen, visibly.
      box->addItem(tr("%1 (not found)").arg(chosen), chosen);
      index = box->count() - 1;
    }
    box->setCurrentIndex(index);
  };
  fill(_inputDevices, _started.inputDevice, true);
  fill(_outputDevices, _started.outputDevice, false);
}

Preferences SettingsScreen::shownPreferences() const {
  Preferences shown;
  shown.inputDevice = _inputDevices->currentData().toString();
  shown.outputDevice = _outputDevices->currentData().toString();
  shown.displayName = _displayName->text().trimmed();
  // The name in use, left as it was, stays unstored: the host name keeps deciding.
  if (_started.displayName.isEmpty() && shown.displayName == _context.localName.trimmed())
    shown.displayName.clear();
  shown.talkKey = _talkKey;
  shown.voiceProcessing =
      _voiceProcessingChoice ? _voiceProcessingChoice : _started.voiceProcessing;
  return shown;
}

QStringList SettingsScreen::sectionTitles() const {
  return _sectionTitles;
}

void SettingsScreen::storePreferences() {
  shownPreferences().save(*_context.settings);
}

void SettingsScreen::updateRestartHint() {
  if (!_restartHint || !_inputDevices || !_outputDevices || !_displayName || !_voiceProcessing)
    return;
  // The talk key applies at once; the rest waits for audio to restart.
  Preferences shown = shownPreferences();
  shown.talkKey = _started.talkKey;
  const bool changed = !(shown == _started);
  _restartHint->setText(changed ? tr("Devices, name and echo cancelling change when audio "
                                     "restarts; a restart ends the current conversation.")
                                : tr("Devices and name are remembered."));
}

void SettingsScreen::done(int result) {
  _testMicrophone->setChecked(false);
  captureKey(false);
  if (result == QDialog::Accepted) {
    storePreferences();
  } else {
    // Cancel: the gain as it was when the page opened, the key as stored.
    if (_context.compressor && std::isfinite(_gainAtOpening) &&
        _context.compressor->masterGain() != _gainAtOpening)
      _context.compressor->setValueForKey("masterGain", _gainAtOpening);
    if (_context.talkKey && _context.talkKey->key() != _started.talkKey)
      _context.talkKey->setKey(_started.talkKey);
    if (_startAtLogin->isChecked() != _startAtLoginAtOpening)
      _startAtLogin->setChecked(_startAtLoginAtOpening);
  }
  QDialog::done(result);
}

void SettingsScreen::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Styles::applicationBackgroundGradient(QRectF(rect())));
}

}  // namespace qur
