#include "app/sound_page.h"
#include "app/utf8_text.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>

namespace {

template <typename Control>
Control* Place(Control* control, const char* name, int left, int top, int width, int height) {
    control->setObjectName(QString::fromLatin1(name));
    control->setGeometry(left, top, width, height);
    return control;
}

QSlider* NewSlider(QWidget* parent, int minimum, int maximum) {
    auto* slider = new QSlider(Qt::Horizontal, parent);
    slider->setRange(minimum, maximum);
    // The keys stay with the keyboard: a slider takes them only when tabbed to.
    slider->setFocusPolicy(Qt::TabFocus);
    return slider;
}

QSpinBox* NewSpin(QWidget* parent, int minimum, int maximum) {
    auto* spin = new QSpinBox(parent);
    spin->setRange(minimum, maximum);
    spin->setFocusPolicy(Qt::StrongFocus);
    return spin;
}

QLabel* NewLabel(QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    return label;
}

// What the list shows of an instrument: bank and program as the device numbers them, then the
// name, so that two sounds of one name can be told apart.
QString ItemText(const Instrument& instrument) {
    return QStringLiteral("%1:%2  %3")
        .arg(instrument.bank, 3, 10, QLatin1Char('0'))
        .arg(instrument.choice.program, 3, 10, QLatin1Char('0'))
        .arg(QString::fromStdString(instrument.name));
}

} // namespace

SoundPage::SoundPage(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("SoundTabSheet"));

    InstrumentBox = Place(new QGroupBox(this), "InstrumentBox", 6, 4, 250, 169);
    SearchEdit = Place(new QLineEdit(InstrumentBox), "SearchEdit", 8, 16, 234, 21);
    InstrumentList = Place(new QListWidget(InstrumentBox), "InstrumentList", 8, 40, 234, 121);
    InstrumentList->setUniformItemSizes(true);

    ControllersBox = Place(new QGroupBox(this), "ControllersBox", 262, 4, 262, 169);
    for (std::size_t i = 0; i < kControllerCount; ++i) {
        const int top = 16 + static_cast<int>(i) * 21;
        ControllerLabels[i] =
            Place(NewLabel(ControllersBox), "ControllerLabel", 8, top + 3, 70, 13);
        ControllerSliders[i] =
            Place(NewSlider(ControllersBox, 0, 127), "ControllerSlider", 80, top, 174, 19);
        connect(ControllerSliders[i], &QSlider::valueChanged, this,
                [this, i](int value) { emit controllerMoved(static_cast<Controller>(i), value); });
    }
    BendLabel = Place(NewLabel(ControllersBox), "BendLabel", 8, 16 + 6 * 21 + 3, 70, 13);
    BendSlider = Place(NewSlider(ControllersBox, 0, 16383), "BendSlider", 80, 16 + 6 * 21, 110, 19);
    BendSlider->setValue(kBendCentre);
    connect(BendSlider, &QSlider::valueChanged, this, &SoundPage::bendMoved);
    // Like a bender's spring: let go, the pitch is back.
    connect(BendSlider, &QSlider::sliderReleased, this,
            [this] { BendSlider->setValue(kBendCentre); });
    BendRangeSpin =
        Place(NewSpin(ControllersBox, 0, kMaxBendRange), "BendRangeSpin", 196, 16 + 6 * 21, 58, 21);
    BendRangeSpin->setPrefix(QStringLiteral("±"));
    connect(BendRangeSpin, &QSpinBox::valueChanged, this, &SoundPage::bendRangeChanged);

    PlayingBox = Place(new QGroupBox(this), "PlayingBox", 530, 4, 257, 92);
    for (std::size_t i = 0; i < PedalButtons.size(); ++i) {
        PedalButtons[i] = Place(new QPushButton(PlayingBox), "PedalButton",
                                8 + static_cast<int>(i) * 81, 16, 77, 21);
        PedalButtons[i]->setCheckable(true);
        PedalButtons[i]->setFocusPolicy(Qt::TabFocus);
        connect(PedalButtons[i], &QPushButton::toggled, this,
                [this, i](bool down) { emit pedalPressed(static_cast<Pedal>(i), down); });
    }
    KeyVelocityLabel = Place(NewLabel(PlayingBox), "KeyVelocityLabel", 8, 44, 70, 13);
    KeyVelocitySpin = Place(NewSpin(PlayingBox, 1, 127), "KeyVelocitySpin", 78, 41, 44, 21);
    connect(KeyVelocitySpin, &QSpinBox::valueChanged, this, &SoundPage::keyVelocityChanged);
    TransposeLabel = Place(NewLabel(PlayingBox), "TransposeLabel", 128, 44, 76, 13);
    TransposeSpin = Place(NewSpin(PlayingBox, -24, 24), "TransposeSpin", 205, 41, 44, 21);
    connect(TransposeSpin, &QSpinBox::valueChanged, this, &SoundPage::transposeChanged);
    NoteNamesLabel = Place(NewLabel(PlayingBox), "NoteNamesLabel", 8, 69, 72, 13);
    NoteNamesBox = Place(new QComboBox(PlayingBox), "NoteNamesBox", 80, 66, 169, 21);
    NoteNamesBox->addItems({QString(), QString(), QString()});
    NoteNamesBox->setFocusPolicy(Qt::StrongFocus);
    connect(NoteNamesBox, &QComboBox::activated, this,
            [this](int index) { emit keyLabelsChanged(static_cast<KeyLabels>(index)); });

    SynthesizerBox = Place(new QGroupBox(this), "SynthesizerBox", 530, 98, 257, 75);
    SoundFontButton = Place(new QPushButton(SynthesizerBox), "SoundFontButton", 8, 16, 80, 21);
    SoundFontButton->setFocusPolicy(Qt::TabFocus);
    connect(SoundFontButton, &QPushButton::clicked, this, &SoundPage::soundFontRequested);
    SoundFontLabel = Place(NewLabel(SynthesizerBox), "SoundFontLabel", 94, 19, 155, 13);
    MasterVolumeLabel = Place(NewLabel(SynthesizerBox), "MasterVolumeLabel", 8, 46, 60, 13);
    MasterVolumeSlider =
        Place(NewSlider(SynthesizerBox, 0, 200), "MasterVolumeSlider", 70, 43, 179, 19);
    connect(MasterVolumeSlider, &QSlider::valueChanged, this, &SoundPage::masterVolumeChanged);

    connect(SearchEdit, &QLineEdit::textChanged, this, &SoundPage::Filter);
    // The selection, not the current item: the list makes its first item current by itself
    // when it takes the focus, which chooses nothing.
    connect(InstrumentList, &QListWidget::itemSelectionChanged, this, [this] {
        const QList<QListWidgetItem*> selected = InstrumentList->selectedItems();
        if (selected.isEmpty())
            return;
        const auto index = selected.front()->data(Qt::UserRole).toULongLong();
        if (index < instruments_.size()) {
            chosen_ = instruments_[index].choice;
            emit instrumentChosen(*chosen_);
        }
    });
}

void SoundPage::SetTexts(const SoundTexts& texts) {
    InstrumentBox->setTitle(FromUtf8(texts.instrumentBox));
    SearchEdit->setPlaceholderText(FromUtf8(texts.search));
    ControllersBox->setTitle(FromUtf8(texts.controllersBox));
    for (std::size_t i = 0; i < kControllerCount; ++i)
        ControllerLabels[i]->setText(FromUtf8(texts.controllers[i]));
    BendLabel->setText(FromUtf8(texts.bend));
    BendRangeSpin->setToolTip(FromUtf8(texts.bendRange));
    PlayingBox->setTitle(FromUtf8(texts.playingBox));
    for (std::size_t i = 0; i < PedalButtons.size(); ++i)
        PedalButtons[i]->setText(FromUtf8(texts.pedals[i]));
    KeyVelocityLabel->setText(FromUtf8(texts.keyVelocity));
    TransposeLabel->setText(FromUtf8(texts.transpose));
    NoteNamesLabel->setText(FromUtf8(texts.noteNames));
    for (int i = 0; i < NoteNamesBox->count(); ++i)
        NoteNamesBox->setItemText(i, FromUtf8(texts.noteNameChoices[static_cast<std::size_t>(i)]));
    SynthesizerBox->setTitle(FromUtf8(texts.synthesizerBox));
    SoundFontButton->setText(FromUtf8(texts.chooseSoundFont));
    MasterVolumeLabel->setText(FromUtf8(texts.masterVolume));
}

void SoundPage::SetInstruments(std::vector<Instrument> instruments) {
    if (instruments == instruments_ && InstrumentList->count() > 0) {
        MarkChosen();
        return;
    }
    instruments_ = std::move(instruments);
    const QSignalBlocker quiet(InstrumentList);
    InstrumentList->clear();
    for (std::size_t i = 0; i < instruments_.size(); ++i) {
        auto* item = new QListWidgetItem(ItemText(instruments_[i]), InstrumentList);
        item->setData(Qt::UserRole, QVariant::fromValue<qulonglong>(i));
    }
    Filter(SearchEdit->text());
    MarkChosen();
}

void SoundPage::ShowChannel(const ChannelSettings& settings, bool sustain, bool sostenuto,
                            bool soft) {
    chosen_ = settings.sound;
    MarkChosen();
    for (std::size_t i = 0; i < kControllerCount; ++i) {
        const QSignalBlocker quiet(ControllerSliders[i]);
        ControllerSliders[i]->setValue(settings.controllers[i]);
    }
    {
        const QSignalBlocker quiet(BendRangeSpin);
        BendRangeSpin->setValue(settings.bendRange);
    }
    ShowPedal(Pedal::Sustain, sustain);
    ShowPedal(Pedal::Sostenuto, sostenuto);
    ShowPedal(Pedal::Soft, soft);
}

void SoundPage::ShowPedal(Pedal pedal, bool down) {
    QPushButton* button = PedalButtons[static_cast<std::size_t>(pedal)];
    const QSignalBlocker quiet(button);
    button->setChecked(down);
}

void SoundPage::ShowPlaying(int keyVelocity, int transpose, KeyLabels labels) {
    const QSignalBlocker quietVelocity(KeyVelocitySpin);
    const QSignalBlocker quietTranspose(TransposeSpin);
    KeyVelocitySpin->setValue(keyVelocity);
    TransposeSpin->setValue(transpose);
    NoteNamesBox->setCurrentIndex(static_cast<int>(labels));
}

void SoundPage::ShowSynthesizer(bool chosen, const QString& soundFont, const QString& problem,
                                bool loading, int masterVolume) {
    const QSignalBlocker quiet(MasterVolumeSlider);
    MasterVolumeSlider->setValue(masterVolume);
    MasterVolumeSlider->setEnabled(chosen);
    QString shown = soundFont;
    QPalette palette = SoundFontLabel->palette();
    palette.setColor(QPalette::WindowText,
                     problem.isEmpty() ? palette.color(QPalette::Text) : QColor(160, 0, 0));
    if (!problem.isEmpty())
        shown = problem;
    else if (loading)
        shown = soundFont + QStringLiteral(" …");
    SoundFontLabel->setPalette(palette);
    SoundFontLabel->setToolTip(shown);
    SoundFontLabel->setText(
        SoundFontLabel->fontMetrics().elidedText(shown, Qt::ElideRight, SoundFontLabel->width()));
}

void SoundPage::StepInstrument(int step) {
    const int rows = InstrumentList->count();
    int row = InstrumentList->currentRow();
    for (int left = rows; left > 0; --left) {
        row = row < 0 ? (step > 0 ? 0 : rows - 1) : row + step;
        if (row < 0 || row >= rows)
            return; // the ends of the list stay where they are
        if (!InstrumentList->item(row)->isHidden()) {
            InstrumentList->setCurrentRow(row);
            return;
        }
    }
}

void SoundPage::Filter(const QString& text) {
    for (int row = 0; row < InstrumentList->count(); ++row) {
        QListWidgetItem* item = InstrumentList->item(row);
        const auto index = item->data(Qt::UserRole).toULongLong();
        item->setHidden(index >= instruments_.size() ||
                        !QString::fromStdString(instruments_[index].name)
                             .contains(text.trimmed(), Qt::CaseInsensitive));
    }
}

void SoundPage::MarkChosen() {
    const QSignalBlocker quiet(InstrumentList);
    InstrumentList->clearSelection();
    InstrumentList->setCurrentRow(-1);
    if (!chosen_)
        return;
    for (int row = 0; row < InstrumentList->count(); ++row) {
        const auto index = InstrumentList->item(row)->data(Qt::UserRole).toULongLong();
        if (index < instruments_.size() && instruments_[index].choice == *chosen_) {
            InstrumentList->setCurrentRow(row);
            InstrumentList->scrollToItem(InstrumentList->item(row));
            return;
        }
    }
}

void SoundPage::showEvent(QShowEvent* event) {
    // The clear button's icon is looked up in the desktop's icon theme, a walk through its
    // folders that was a third of building the window: the page takes it when it first shows.
    SearchEdit->setClearButtonEnabled(true);
    QWidget::showEvent(event);
}
